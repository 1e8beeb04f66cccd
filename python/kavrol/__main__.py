"""python -m kavrol query ...: one transaction from the command line.

Exit status: 0 the reply was OK, 1 it was not, 2 bad arguments (nothing is
sent), 3 the port could not be opened or the library not loaded.
"""

from __future__ import annotations

import argparse
import json
import sys
from typing import Optional, Sequence

from ._protocol import FACTS
from .command import Command
from .errors import KavrolError
from .link import Link
from .port import check_line
from .reply import Reply


#: The model codes of the device family, as kavrol query takes them.
MAX_MODEL = max(m for group in FACTS["model_groups"] for m in group["models"])


def _model(text: str) -> int:
    try:
        value = int(text, 0)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not 0 <= value <= MAX_MODEL:
        raise argparse.ArgumentTypeError(f"model code must be 0..{MAX_MODEL}, got {value}")
    return value


def _numbers(text: str) -> list[int]:
    try:
        return [int(part, 0) for part in text.replace(",", " ").split()]
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a list of numbers: {text!r}") from None


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="python -m kavrol", description=__doc__.splitlines()[0])
    commands = parser.add_subparsers(dest="action", required=True)
    q = commands.add_parser("query", help="send one command and print the decoded reply")
    q.add_argument("--port", required=True, help="serial device, e.g. /dev/ttyUSB0 or a simulator's pty")
    q.add_argument("--model", required=True, type=_model, help=f"model code 0..{MAX_MODEL} of the device")
    q.add_argument("--command", required=True, type=lambda s: int(s, 0))
    q.add_argument("--sub", default=0, type=lambda s: int(s, 0), help="sub-command (default 0)")
    q.add_argument("--words", default=[], type=_numbers, help="up to four 16-bit words, e.g. 0x1234,0x56")
    q.add_argument("--raw", default=None, type=_numbers, help='raw bytes for commands 8 and 11, e.g. "0x41 0x42"')
    q.add_argument("--route", default=[], type=_numbers, help="multiplexer route, e.g. 1,5 (at most 9 bytes)")
    q.add_argument("--baud", default=9600, type=int)
    q.add_argument("--data", default=8, type=int, help="data bits")
    q.add_argument("--parity", default="N", choices=["N", "E", "O"])
    q.add_argument("--stop", default=1, type=int, choices=[1, 2], help="stop bits")
    q.add_argument("--timeout", default=1000, type=int, help="time-out in ms (default 1000)")
    q.add_argument("--json", action="store_true", help="print one JSON object")
    return parser


def _as_json(reply: Reply) -> dict[str, object]:
    code = reply.reply_code
    return {
        "status": int(reply.status),
        "status_name": reply.status.label,
        "sent": reply.sent.hex(" ").upper(),
        "received": reply.received.hex(" ").upper(),
        "reply_code": code,
        "record": reply.record.as_dict(code) if reply.record is not None and code is not None else None,
    }


def _print_text(reply: Reply) -> None:
    data = _as_json(reply)
    print(f"status    {data['status']} ({data['status_name']})")
    print(f"sent      {data['sent']}")
    print(f"received  {data['received']}")
    if data["reply_code"] is not None:
        print(f"reply     code {data['reply_code']}")
    for name, value in (data["record"] or {}).items():
        print(f"          {name} = {value}")


def main(argv: Optional[Sequence[str]] = None) -> int:
    args = _parser().parse_args(argv)
    try:
        Command.build(args.command, args.sub, args.words, args.route, args.raw)
        check_line(args.baud, args.data, args.parity, args.stop)
        link = Link.open(args.port, args.baud, args.data, args.parity, args.stop, args.timeout)
    except ValueError as e:
        print(f"python -m kavrol: {e}", file=sys.stderr)
        return 2
    except (OSError, KavrolError) as e:
        print(f"python -m kavrol: cannot use {args.port}: {e}", file=sys.stderr)
        return 3
    with link:
        try:
            reply = link.query(args.model, args.command, args.sub, args.words, args.route, args.raw)
        except ValueError as e:
            print(f"python -m kavrol: {e}", file=sys.stderr)
            return 2
    if args.json:
        print(json.dumps(_as_json(reply)))
    else:
        _print_text(reply)
    return 0 if reply.ok else 1


if __name__ == "__main__":
    sys.exit(main())
