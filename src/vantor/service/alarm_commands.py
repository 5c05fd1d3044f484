"""`vantor alarms` and `vantor ack ID`: the alarms of a running service."""
import datetime
import json
import sys


def add_subcommands(sub):
    from .command import DEFAULT_URL

    server_help = ("URL of a running vantor serve (default $VANTOR_URL, else the address of "
                   f"your running service, else {DEFAULT_URL})")
    alarms = sub.add_parser("alarms", help="alarms of a running service",
                            description="The shown alarms (active, acknowledged, or cleared "
                                        "but not acknowledged), newest first; --log for "
                                        "every transition kept in the archive.")
    alarms.add_argument("--server", metavar="URL", default=None, help=server_help)
    alarms.add_argument("--token", default=None, help="API token (default $VANTOR_TOKEN)")
    alarms.add_argument("--log", action="store_true", help="alarm transitions from the archive")
    alarms.add_argument("--json", action="store_true", help="as JSON")
    alarms.set_defaults(func=alarms_command)

    ack = sub.add_parser("ack", help="acknowledge an alarm of a running service",
                         description="Acknowledges alarm ID (see vantor alarms); a cleared "
                                     "alarm that is acknowledged is no longer shown.")
    ack.add_argument("id", metavar="ID")
    ack.add_argument("-m", "--comment", default=None, help="why, or what is being done")
    ack.add_argument("--server", metavar="URL", default=None, help=server_help)
    ack.add_argument("--token", default=None, help="API token (default $VANTOR_TOKEN)")
    ack.set_defaults(func=ack_command)


def _when(t):
    if t is None:
        return "-"
    return datetime.datetime.fromtimestamp(t).strftime("%Y-%m-%d %H:%M:%S")


def alarms_command(args):
    from vantor.client import ServiceError
    from .command import _client

    try:
        client = _client(args)
        rows = client.alarm_log() if args.log else client.alarms()
    except ServiceError as exc:
        print(f"vantor alarms: {exc}", file=sys.stderr)
        return 1
    if args.json:
        print(json.dumps(rows, indent=1))
        return 0
    if not rows:
        print("no alarm logged" if args.log else "no alarms")
        return 0
    print(f"{'id':>5}  {'state':<12} {'severity':<9} {'raised':<19}  "
          f"{'transition' if args.log else 'comment':<12}  message")
    for a in rows:
        extra = a.get("transition") if args.log else (a.get("comment") or "")
        print(f"{a['id']:>5}  {a['state']:<12} {a['severity']:<9} {_when(a['raised']):<19}  "
              f"{extra or '':<12}  {a['message']}")
    return 0


def ack_command(args):
    from vantor.client import ServiceError
    from .command import _client

    try:
        alarm = _client(args).ack(args.id, args.comment)
    except ServiceError as exc:
        print(f"vantor ack: {exc}", file=sys.stderr)
        return 2 if exc.status in (400, 404) else 1
    shown = "still shown until it clears" if alarm["shown"] else "no longer shown"
    print(f"alarm {alarm['id']} acknowledged ({alarm['state']}, {shown}): {alarm['message']}")
    return 0
