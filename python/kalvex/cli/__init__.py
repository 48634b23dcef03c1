"""The kalvex command: look into, check, query, dump, build, merge and compare stores.

``main(argv)`` parses the command line, runs one subcommand and returns the exit status,
as ``diff`` and ``cmp`` have it: 0 the answer yes (done; the stores are the same; every key
was found; every store is sound), 1 the answer no (they differ; a key is missing; a store
is damaged), 2 trouble: no answer, because a file is missing or unreadable, the input is
bad or the command line is. A failure is one line on standard error,
``kalvex: error: ...``, with no traceback unless ``--debug`` is given (before or after the
command's name). Standard output carries only the data asked for; progress, summaries and
messages go to standard error, so every subcommand's output can be piped. A reader that
closes the pipe early (``kalvex diff a b | head``) ends the command quietly, with the status
of what it had found by then (``args.answer``: a difference already printed is a 1).

Each subcommand group lives in its own module and adds its parsers with ``register``,
each taking the shared options from the parent parsers it is given.
"""
from __future__ import annotations

import argparse
import os
import sys
from typing import Optional, Sequence

from kalvex.cli import build, diff, index, inspect, query
from kalvex.cli._common import TROUBLE, YES, CommandError, HelpFormatter, common_options
from kalvex.errors import KalvexError

_GROUPS = (inspect, query, build, index, diff)

_EPILOG = """\
examples:
  kalvex build users.klvx users.jsonl --key id --key email
  kalvex info users.klvx
  kalvex get users.klvx u0000001
  kalvex diff old.klvx new.klvx

'kalvex COMMAND --help' describes each command."""


def _parser() -> argparse.ArgumentParser:
    from kalvex import __version__

    parser = argparse.ArgumentParser(
        prog="kalvex",
        description="Inspect, check, query, build, merge and compare .klvx stores.",
        epilog=_EPILOG,
        formatter_class=HelpFormatter,
        parents=[common_options(top=True)],
    )
    parser.add_argument("--version", action="version", version=f"kalvex {__version__}")
    parser.set_defaults(answer=YES)
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    parents = [common_options(top=False)]
    for group in _GROUPS:
        group.register(commands, parents)
    return parser


def _drop_stdout() -> None:
    # The reader went away: later writes, and the flush at exit, go to the null device. The
    # broken stream keeps what it could not write; closed when collected, it fails silently.
    sys.stdout = open(os.devnull, "w")


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Run the kalvex command with ``argv`` (default: ``sys.argv[1:]``); the exit status."""
    args = _parser().parse_args(argv)
    try:
        status: int = args.run(args)
        sys.stdout.flush()
        return status
    except BrokenPipeError:
        _drop_stdout()
        answer: int = args.answer
        return answer
    except KeyboardInterrupt:
        if args.debug:
            raise
        return 130
    except (CommandError, KalvexError, OSError) as exc:
        if args.debug:
            raise
        print(f"kalvex: error: {_text(exc)}", file=sys.stderr)
        return TROUBLE
    except Exception as exc:
        # Not a failure the command foresaw: still one line, with the class to search for.
        if args.debug:
            raise
        print(f"kalvex: error: {type(exc).__name__}: {exc} (--debug shows where)", file=sys.stderr)
        return TROUBLE


def _text(exc: Exception) -> str:
    # A plain OSError (not a store's KalvIOError) reads best as "file: reason".
    if isinstance(exc, OSError) and not isinstance(exc, KalvexError) and exc.filename and exc.strerror:
        return f"{exc.filename}: {exc.strerror}"
    return str(exc)
