"""Kernel UDP counters: machine-wide from /proc/net/snmp, per socket from
/proc/net/udp (its last column counts datagrams the socket dropped)."""


def udp_counters():
    """{'InDatagrams': .., 'RcvbufErrors': .., ...} for the whole machine."""
    with open("/proc/net/snmp") as fh:
        rows = [line.split() for line in fh if line.startswith("Udp:")]
    names, values = rows[0][1:], rows[1][1:]
    return {n: int(v) for n, v in zip(names, values)}


def socket_drops(port):
    """Datagrams dropped by the IPv4 UDP socket bound to `port` (0 if none)."""
    want = f":{port:04X}"
    with open("/proc/net/udp") as fh:
        next(fh)
        for line in fh:
            fields = line.split()
            if fields[1].endswith(want):
                return int(fields[-1])
    return 0
