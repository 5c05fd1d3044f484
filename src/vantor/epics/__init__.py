"""vantor's units, boards and totals as EPICS records (Channel Access and
pvAccess) from inside `vantor serve`.  Only `options` imports without the
`epics` extra; the server needs it (pip install 'vantor[epics]')."""
