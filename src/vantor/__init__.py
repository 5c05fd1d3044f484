"""vantor: data path of the host software for multi-channel sensor read-out electronics."""
