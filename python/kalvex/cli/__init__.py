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

Each subcommand group lives in its own module and adds its parsers with ``register``; the
parser factory here gives every one of them the shared options.
"""
from __future__ import annotations

import argparse
import io
import os
import sys
from typing import Any, Callable, Optional, Sequence

from kalvex.cli import build, diff, index, inspect, query
from kalvex.cli._common import TROUBLE, YES, CommandError
from kalvex.errors import KalvexError

_GROUPS = (inspect, query, build, index, diff)

_EPILOG = """\
examples:
  kalvex build users.klvx users.jsonl --key id --key email
  kalvex info users.klvx
  kalvex get users.klvx u0000001
  kalvex diff old.klvx new.klvx

exit status: 0 yes (done; the same; every key found; every store sound), 1 no (they
differ; a key is missing; a store is damaged), 2 trouble: no answer (a file missing,
unreadable or not a store, bad input, or a bad command line).

'kalvex COMMAND --help' describes each command."""


def _common_options(top: bool) -> argparse.ArgumentParser:
    """The options every command takes, as a parent parser, so that each may stand before
    the command's name (``top``, the top-level parser's) or after it. Only the top level
    has defaults: a subcommand's would overwrite what was given before its name. Each call
    makes new actions, as a parser's defaults are set on the actions it shares."""
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("--debug", action="store_true", default=False if top else argparse.SUPPRESS,
                        help="show the traceback of a failure")
    return common


def _parser() -> argparse.ArgumentParser:
    from kalvex import __version__

    parser = argparse.ArgumentParser(
        prog="kalvex",
        description="Inspect, check, query, build, merge and compare .klvx stores.",
        epilog=_EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
        parents=[_common_options(top=True)],
    )
    parser.add_argument("--version", action="version", version=f"kalvex {__version__}")
    parser.set_defaults(answer=YES)

    def command(*, run: Callable[[argparse.Namespace], int], **options: Any) -> argparse.ArgumentParser:
        # Every parser keeps its text's line breaks as written, every command's takes the
        # shared options, and ``add_parser(name, run=...)`` names the function it runs
        # (``usage_error`` reports a misuse its options cannot express).
        parsed = argparse.ArgumentParser(formatter_class=parser.formatter_class,
                                         parents=[_common_options(top=False)], **options)
        parsed.set_defaults(run=run, usage_error=parsed.error)
        return parsed

    # A factory, not a class, as argparse allows; typeshed asks for a class.
    parser_class: Any = command
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True, parser_class=parser_class)
    for group in _GROUPS:
        group.register(commands)
    return parser


class _ClosedOutput(io.TextIOBase):
    """Standard output when the command started without one (``kalvex keys s.klvx >&-``):
    the interpreter leaves ``None`` there, which ``print`` skips in silence. Writing data
    fails instead, so that a command with an answer to print says why there is none;
    commands that print nothing (build, merge, index) run as usual."""

    def write(self, text: str) -> int:
        raise CommandError("standard output is closed: there is nowhere to print the answer")

    @property
    def buffer(self) -> "_ClosedOutput":
        return self

    def flush(self) -> None:
        pass


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Run the kalvex command with ``argv`` (default: ``sys.argv[1:]``); the exit status."""
    args = _parser().parse_args(argv)
    if sys.stdout is None:
        sys.stdout = _ClosedOutput()
    try:
        status: int = args.run(args)
        sys.stdout.flush()
        return status
    except BrokenPipeError:
        # The reader went away: later writes, and the flush at exit, go to the null device.
        # The broken stream keeps what it could not write; closed when collected, it fails
        # silently.
        sys.stdout = open(os.devnull, "w")
        answer: int = args.answer
        return answer
    except (KeyboardInterrupt, Exception) as exc:
        if args.debug:
            raise
        if isinstance(exc, KeyboardInterrupt):
            return 130
        if isinstance(exc, OSError) and not isinstance(exc, KalvexError) and exc.filename and exc.strerror:
            text = f"{exc.filename}: {exc.strerror}"  # a plain OSError reads best as "file: reason"
        elif isinstance(exc, (CommandError, KalvexError, OSError)):
            text = str(exc)
        else:
            # Not a failure the command foresaw: still one line, with the class to search for.
            text = f"{type(exc).__name__}: {exc} (--debug shows where)"
        print(f"kalvex: error: {text}", file=sys.stderr)
        return TROUBLE
