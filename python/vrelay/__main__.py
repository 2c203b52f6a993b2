# SPDX-License-Identifier: MIT
"""python3 -m vrelay: speaks text into a WAV file, with vrelay-say's options
and exit codes for the things most people need."""

import argparse
import shutil
import sys
from typing import List, NoReturn, Optional, TextIO, Tuple

from . import __version__
from ._connection import Connection
from ._errors import ConnectFailed, VrelayError
from ._server import LocalServer
from ._voices import voices_speaking

EXIT_OK, EXIT_USAGE, EXIT_NO_SERVER, EXIT_UNKNOWN_VOICE, EXIT_CANNOT_WRITE, \
    EXIT_RENDER_FAILED = range(6)
_MARKUP_SUFFIXES = (".xml", ".ssml", ".html", ".htm")


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        self.print_usage(sys.stderr)
        self.exit(EXIT_USAGE, "%s: %s\n" % (self.prog, message))


def _parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog="python3 -m vrelay",
        description="Speaks TEXT (or the --file, or standard input) into a WAV file. The "
                    "text is spoken as written; --markup reads it as SSML-like markup.",
        epilog="Exit codes: 0 done, 1 bad usage, 2 no server, 3 unknown voice, "
               "4 cannot write the output file, 5 the render failed.")
    parser.add_argument("text", nargs="*", metavar="TEXT")
    parser.add_argument("-o", "--output", default="vrelay.wav", metavar="FILE",
                        help="WAV file to write, '-' for standard output (default: vrelay.wav)")
    parser.add_argument("-f", "--file", metavar="FILE",
                        help="read the text from FILE ('-' for standard input); *.xml, *.ssml, "
                             "*.html and *.htm are read as markup")
    kind = parser.add_mutually_exclusive_group()
    kind.add_argument("--markup", action="store_true", help="the text is markup")
    kind.add_argument("--plain", action="store_true",
                      help="the text is plain, whatever the file name")
    parser.add_argument("--server", metavar="HOST:PORT",
                        help="use a running server (default: start one here)")
    parser.add_argument("--engine", default="espeak", choices=("espeak", "tone"),
                        help="engine of the server started here")
    parser.add_argument("--voice", help="a voice name or a language (fr, de-DE, french, en+f3)")
    parser.add_argument("--list-voices", nargs="?", const="", metavar="LANG",
                        help="print the server's voices (of LANG) and exit")
    parser.add_argument("--marks", action="store_true",
                        help="print each word's start time and the word")
    parser.add_argument("--phonemes", action="store_true",
                        help="print each phoneme's start time, duration and name")
    parser.add_argument("-q", "--quiet", action="store_true", help="no summary line")
    parser.add_argument("--version", action="version", version="vrelay (Python) " + __version__)
    return parser


def _address(server: str) -> Optional[Tuple[str, int]]:
    host, colon, port = server.rpartition(":")
    if not colon or not host or not port.isdigit() or not 0 < int(port) <= 65535:
        return None
    return host.strip("[]"), int(port)


def _read_text(args: argparse.Namespace) -> str:
    if args.file == "-" or (args.file is None and not args.text):
        return sys.stdin.read()
    if args.file is not None:
        with open(args.file, encoding="utf-8", errors="replace") as source:
            return source.read()
    return " ".join(args.text)


def _list_voices(connection: Connection, language: str) -> int:
    """The voices (those speaking language, when given) in columns as wide as
    their contents, then the variants: on a terminal in columns filling its
    width, elsewhere one a line. A language no voice speaks gets the error
    alone."""
    everything = connection.voices()
    voices = [v for v in everything if not v.is_variant]
    if language:
        voices = voices_speaking(voices, language)
        if not voices:
            print("vrelay: no voice speaks \"%s\"" % language, file=sys.stderr)
            return EXIT_UNKNOWN_VOICE
    rows = [("NAME", "LANG", "SEX", "LANGUAGE", "RATE")]
    rows += [(v.name, v.tag, v.sex, v.language, str(v.sample_rate)) for v in voices]
    widths = [max(len(row[c]) for row in rows) for c in range(len(rows[0]))]
    for row in rows:
        print("".join(cell.ljust(width + 2) for cell, width in zip(row[:-1], widths)) + row[-1])
    print("%d voice%s" % (len(voices), "" if len(voices) == 1 else "s"))
    variants = [v.name[1:] + ("/" + v.sex[:1] if v.sex else "")
                for v in everything if v.is_variant]
    if variants:
        print("variants (LANG+VARIANT, as en+f3; f female, m male):")
        cell = max(len(name) for name in variants) + 2
        per_row = max(1, (shutil.get_terminal_size().columns - 1) // cell) \
            if sys.stdout.isatty() else 1
        for start in range(0, len(variants), per_row):
            names = variants[start:start + per_row]
            print("  " + "".join(name.ljust(cell) for name in names[:-1]) + names[-1])
    return EXIT_OK


def _speak(connection: Connection, args: argparse.Namespace, text: str) -> int:
    if args.voice:
        try:
            connection.set_voice(args.voice)
        except VrelayError as error:
            reason = error.server_message or error.name
            if not reason.startswith("unknown voice"):
                print("vrelay: the voice was not selected: %s" % reason, file=sys.stderr)
                return EXIT_RENDER_FAILED
            print("vrelay: unknown voice \"%s\" (see --list-voices)" % args.voice,
                  file=sys.stderr)
            return EXIT_UNKNOWN_VOICE
    markup = args.markup or (not args.plain and args.file is not None
                             and args.file.lower().endswith(_MARKUP_SUFFIXES))
    try:
        result = connection.render(text, markup=markup)
    except VrelayError as error:
        reason = error.server_message or error.name
        print("vrelay: the render failed: %s" % reason, file=sys.stderr)
        return EXIT_RENDER_FAILED
    events: TextIO = sys.stderr if args.output == "-" else sys.stdout
    if args.phonemes:
        for p in result.phonemes:
            rate = p.sample_rate or result.sample_rate or 22050
            events.write("%9.3f %7.3f  %s\n" % (p.start / rate, p.duration / rate, p.phone))
    if args.marks:
        for mark in result.marks:
            events.write("%9.3f  %s\n" % (mark.time or 0.0,
                                          result.text[mark.char_offset:mark.char_end]))
    try:
        result.save_wav(sys.stdout.buffer if args.output == "-" else args.output)
    except OSError as error:
        print("vrelay: cannot write %s: %s" % (args.output, error.strerror or error),
              file=sys.stderr)
        return EXIT_CANNOT_WRITE
    if not args.quiet:
        print("wrote %s: %.2f s of audio at %d Hz, %d word%s" % (
            "standard output" if args.output == "-" else args.output, result.duration,
            result.sample_rate, len(result.marks), "" if len(result.marks) == 1 else "s"),
            file=sys.stderr)
    return EXIT_OK


def main(argv: Optional[List[str]] = None) -> int:
    args = _parser().parse_args(argv)
    text = ""
    if args.list_voices is None:
        text = _read_text(args)
        if not text.strip():
            print("vrelay: no text to speak", file=sys.stderr)
            return EXIT_USAGE
        if "\0" in text:
            print("vrelay: the text holds a NUL character at index %d" % text.index("\0"),
                  file=sys.stderr)
            return EXIT_USAGE
    server: Optional[LocalServer] = None
    if args.server:
        address = _address(args.server)
        if address is None:
            print("vrelay: --server wants HOST:PORT, not \"%s\"" % args.server, file=sys.stderr)
            return EXIT_USAGE
    else:
        try:
            server = LocalServer(engine=args.engine)
        except (OSError, VrelayError) as error:
            print("vrelay: cannot start the speech server: %s" % error, file=sys.stderr)
            return EXIT_NO_SERVER
        address = (server.host, server.port)
    try:
        try:
            connection = Connection(*address)
        except ConnectFailed:
            print("vrelay: no speech server at %s:%d" % address, file=sys.stderr)
            return EXIT_NO_SERVER
        with connection:
            if args.list_voices is not None:
                return _list_voices(connection, args.list_voices)
            return _speak(connection, args, text)
    finally:
        if server is not None:
            server.close()


if __name__ == "__main__":
    sys.exit(main())
