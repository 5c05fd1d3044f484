"""`vantor token create|list|revoke`: the tokens of a data directory (a
running service sees the change at once)."""
import datetime
import json
import sys


def add_subcommands(sub):
    from .tokens import ROLES

    token = sub.add_parser("token", help="API tokens: create, list, revoke",
                           description="Tokens let people and programs use the service: a "
                                       "viewer token reads and follows the live stream, an "
                                       "operator token also changes settings, runs and "
                                       "cancels jobs and acknowledges alarms.")
    actions = token.add_subparsers(dest="action", required=True, metavar="ACTION")
    data_help = ("data directory of the service (default $VANTOR_DATA, $XDG_DATA_HOME/vantor "
                 "or ~/.local/share/vantor)")
    create = actions.add_parser("create", help="make a token and print it (only this once)")
    create.add_argument("name", metavar="NAME", help="who or what uses it, e.g. epics-bridge")
    create.add_argument("--role", choices=ROLES, default="viewer",
                        help="viewer (default): read and live stream; operator: also changes")
    create.add_argument("--data", metavar="DIR", default=None, help=data_help)
    create.set_defaults(func=create_command)
    listing = actions.add_parser("list", help="the tokens there are (names and roles)")
    listing.add_argument("--data", metavar="DIR", default=None, help=data_help)
    listing.add_argument("--json", action="store_true", help="as JSON")
    listing.set_defaults(func=list_command)
    revoke = actions.add_parser("revoke", help="remove a token: it stops working at once")
    revoke.add_argument("name", metavar="NAME")
    revoke.add_argument("--data", metavar="DIR", default=None, help=data_help)
    revoke.set_defaults(func=revoke_command)


def _store(args):
    from .command import _data_dir
    from .tokens import TokenStore
    return TokenStore(_data_dir(args))


def create_command(args):
    from .tokens import TokenError

    try:
        secret = _store(args).create(args.name, args.role)
    except (TokenError, OSError) as exc:
        print(f"vantor token create: {exc}", file=sys.stderr)
        return 2
    print(secret)
    print(f"token {args.name} ({args.role}) created; it is shown only now: send it as "
          "'Authorization: Bearer TOKEN', or open the dashboard once as /?token=TOKEN",
          file=sys.stderr)
    return 0


def list_command(args):
    from .tokens import TokenError

    try:
        tokens = _store(args).tokens()
    except TokenError as exc:
        print(f"vantor token list: {exc}", file=sys.stderr)
        return 2
    if args.json:
        print(json.dumps([{"name": t.name, "role": t.role, "created": t.created}
                          for t in tokens], indent=1))
        return 0
    if not tokens:
        print("no tokens")
        return 0
    for t in tokens:
        when = datetime.datetime.fromtimestamp(t.created).strftime("%Y-%m-%d %H:%M")
        print(f"{t.name:<24} {t.role:<9} created {when}")
    return 0


def revoke_command(args):
    from .tokens import TokenError

    try:
        found = _store(args).revoke(args.name)
    except (TokenError, OSError) as exc:
        print(f"vantor token revoke: {exc}", file=sys.stderr)
        return 2
    if not found:
        print(f"vantor token revoke: no token named {args.name} (vantor token list shows them)",
              file=sys.stderr)
        return 2
    print(f"token {args.name} revoked")
    return 0
