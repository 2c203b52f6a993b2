# SPDX-License-Identifier: MIT
"""python3 -m vrelay: speaks text out loud through the sound server, or into
a WAV file with -o, with vrelay-say's options, messages and exit codes (the
codes from the same data file)."""

import argparse
import os
import shutil
import signal
import stat
import sys
import warnings
from types import FrameType
from typing import List, NoReturn, Optional, TextIO, Tuple, Type, Union

from . import __version__, _data, _input
from ._connection import Connection, parse_address
from ._errors import ConnectFailed, ServerError, VrelayError
from ._events import Audio, AudioFormat, Mark, Message, Phoneme
from ._output import WavOutput
from ._player import Player, PlayerError
from ._prosody import QUANTITIES, forms, read_as_option
from ._resume import ResumeWarning
from ._server import LocalServer
from ._voices import voices_speaking

PROGRAM = "python3 -m vrelay"
OK, SPEECH_FAILED, USAGE, NO_SERVER, UNKNOWN_VOICE, INPUT, OUTPUT, NO_SOUND = (
    _data.exit_code(name) for name in ("ok", "speech_failed", "usage", "no_server",
                                       "unknown_voice", "input", "output", "no_sound"))
_MARKUP_SUFFIXES = (".xml", ".ssml", ".html", ".htm")


def _notice(line: str) -> None:
    print("vrelay: " + line, file=sys.stderr)


class _Usage(Exception):
    """Bad usage: the message says what."""


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        raise _Usage(message)


def _parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog=PROGRAM, usage="%(prog)s [options] [TEXT...]",
        formatter_class=argparse.RawDescriptionHelpFormatter,
        description="Speaks TEXT (or the --file, or standard input) through the sound server,\n"
                    "or into a WAV file with -o. The text is spoken as written; --markup reads\n"
                    "it as SSML-like markup.",
        epilog=_data.exit_code_help((OK, SPEECH_FAILED, USAGE, NO_SERVER, UNKNOWN_VOICE, INPUT,
                                     OUTPUT, NO_SOUND)))
    parser.add_argument("text", nargs="*", metavar="TEXT", help=argparse.SUPPRESS)
    parser.add_argument("-o", "--output", metavar="FILE",
                        help="write a WAV file instead of playing ('-': standard output)")
    parser.add_argument("--play", action="store_true", help="play as well when writing a file")
    parser.add_argument("-f", "--file", metavar="FILE",
                        help="read the text from FILE ('-': standard input); *.xml, *.ssml, "
                             "*.html and *.htm are read as markup")
    parser.add_argument("-m", "--markup", action="store_true",
                        help="the text is markup (tags, entities)")
    parser.add_argument("--plain", action="store_true",
                        help="the text is plain, whatever the file name")
    parser.add_argument("-v", "--voice",
                        help="a voice name, a language (fr, de-DE, french), or a language and "
                             "a variant (en+f3, +whisper)")
    parser.add_argument("--list-voices", nargs="?", const="", metavar="LANG",
                        help="print the server's voices (of LANG) and variants")
    for quantity, letter in zip(QUANTITIES, "RPV"):
        parser.add_argument("--" + quantity, metavar=letter,
                            help=forms(quantity).replace("%", "%%"))
    parser.add_argument("--marks", action="store_true",
                        help="print each word's start time and the word")
    parser.add_argument("--phonemes", action="store_true",
                        help="print each phoneme's start time, duration and name (on standard "
                             "error when the WAV goes to standard output)")
    parser.add_argument("--server", metavar="HOST:PORT[,HOST:PORT...]",
                        help="use a running server (default: start one here); the others "
                             "are tried in order when it does not answer or fails")
    parser.add_argument("--no-resume", action="store_true",
                        help="when the server fails mid-text, stop with the error instead "
                             "of speaking on from the last word")
    parser.add_argument("--engine", default="espeak",
                        help="engine of the server started here: espeak or tone")
    parser.add_argument("-q", "--quiet", action="store_true", help="no summary")
    parser.add_argument("--version", action="store_true", help="print the version and exit")
    return parser


class _Options:
    """The command line, read and checked."""

    def __init__(self, argv: List[str]) -> None:
        # After "--" every argument is text; argparse would still look into it.
        ends = argv.index("--") if "--" in argv else len(argv)
        args = _parser().parse_intermixed_args(_values_attached(argv[:ends]))
        args.text += argv[ends + 1:]
        self.args = args
        self.notices: List[str] = []
        self.prosody = {quantity: self._prosody(quantity, getattr(args, quantity))
                        for quantity in QUANTITIES}
        self.addresses: List[Tuple[str, int]] = []
        for typed in args.server.split(",") if args.server is not None else []:
            address = parse_address(typed)
            if address is None:
                raise _Usage("--server wants HOST:PORT[,HOST:PORT...], not \"%s\""
                             % args.server)
            self.addresses.append(address)
        if args.engine not in ("espeak", "tone"):
            raise _Usage("--engine wants espeak or tone, not \"%s\"" % args.engine)
        if args.markup and args.plain:
            raise _Usage("--markup and --plain cannot be combined")
        # "--list-voices fr", as people type it, names the language too.
        self.list_language: Optional[str] = args.list_voices
        if self.list_language == "" and len(args.text) == 1:
            self.list_language = args.text.pop()
        self.markup = args.markup or (not args.plain and args.file is not None and
                                      args.file.lower().endswith(_MARKUP_SUFFIXES))
        self.play = args.play or args.output is None

    def _prosody(self, quantity: str, typed: Optional[str]) -> str:
        if typed is None:
            return ""
        try:
            value, notice = read_as_option(quantity, typed, "--" + quantity)
        except ValueError as error:
            raise _Usage(str(error)) from None
        if notice:
            self.notices.append(notice)
        return value


# The options that take a value, as vrelay-say reads them: the next argument
# is the value even when it starts with '-' ("--volume -6dB", "--rate -20%").
_WITH_VALUE = frozenset(("-o", "--output", "-f", "--file", "-v", "--voice", "--rate", "--pitch",
                         "--volume", "--server", "--engine"))


def _values_attached(argv: List[str]) -> List[str]:
    """argv with each value that starts with '-' attached to its option
    ("--volume=-6dB", "-v-x"), where argparse would take it for an option."""
    out: List[str] = []
    for argument in argv:
        if out and out[-1] in _WITH_VALUE and argument.startswith("-") and argument != "-":
            out[-1] += ("=" if out[-1].startswith("--") else "") + argument
        else:
            out.append(argument)
    return out


class _Signalled(Exception):
    def __init__(self, number: int) -> None:
        super().__init__(number)
        self.number = number


def _on_terminate(number: int, _frame: Optional[FrameType]) -> None:
    raise _Signalled(number)


class _Say:
    """One run, step by step; each step returns an exit code to end with, or
    None to go on (a VrelayError it lets through ends the run as the speech
    failing). close() releases what the steps opened."""

    def __init__(self, options: _Options) -> None:
        self.options = options
        self.args = options.args
        self.text = ""
        self.server: Optional[LocalServer] = None
        self.player: Optional[Player] = None
        self.connection: Optional[Connection] = None
        self.output: Optional[WavOutput] = None
        self.output_name = "standard output" if self.args.output == "-" else self.args.output
        self.events: TextIO = sys.stderr if self.args.output == "-" else sys.stdout

    def read_input(self) -> Optional[int]:
        for notice in self.options.notices:
            _notice(notice)
        if self.options.list_language is not None:
            return None
        args = self.args
        if args.text and args.file is None:
            data = b" ".join(os.fsencode(word) for word in args.text)
        else:
            name = "standard input" if args.file in (None, "-") else args.file
            try:
                if name == "standard input":
                    data = sys.stdin.buffer.read()
                else:
                    if stat.S_ISDIR(os.stat(name).st_mode):
                        _notice("%s is a directory, not a file of text" % name)
                        return INPUT
                    with open(name, "rb") as source:
                        data = source.read()
                    if not data:
                        _notice("%s is empty: there is no text to speak" % name)
                        return INPUT
            except OSError as error:
                _notice("cannot read %s: %s" % (name, error.strerror or error))
                return INPUT
        self.text, notices = _input.clean(data, self.options.markup)
        for notice in notices:
            _notice(notice)
        if not self.text.strip(" \t\r\n"):
            _notice("there is no text to speak")
            return INPUT
        return None

    def connect(self) -> Optional[int]:
        if self.options.play and self.options.list_language is None:
            try:
                self.player = Player()
                self.player.open(22050)
            except PlayerError as error:
                _notice("no sound server to play through (%s); -o FILE writes a WAV file "
                        "instead" % error)
                return NO_SOUND
        addresses = self.options.addresses
        if not addresses:
            try:
                self.server = LocalServer(engine=self.args.engine, log=False)
            except (OSError, VrelayError) as error:
                why = "%s: %s" % (error.filename, error.strerror) \
                    if isinstance(error, OSError) and error.strerror else str(error)
                _notice("cannot start the speech server: " + why)
                return NO_SERVER
            addresses = [(self.server.host, self.server.port)]
        try:
            self.connection = Connection(*addresses[0], alternates=addresses[1:])
        except ConnectFailed as error:
            _notice(str(error))
            return NO_SERVER
        return None

    def settle_voice(self) -> Optional[int]:
        assert self.connection is not None
        if self.options.list_language is not None:
            return _list_voices(self.connection, self.options.list_language)
        voice = self.args.voice
        if not voice:
            return None
        try:
            self.connection.set_voice(voice)
        except ServerError as error:
            if not (error.server_message or "").startswith("unknown voice"):
                raise
            _notice("unknown voice \"%s\" (see --list-voices)" % voice)
            return UNKNOWN_VOICE
        return None

    def open_output(self) -> Optional[int]:
        if self.args.output is None:
            return None
        try:
            self.output = WavOutput(self.args.output)
        except OSError as error:
            _notice("cannot write %s: %s" % (self.output_name, error.strerror or error))
            return OUTPUT
        return None

    def speak(self) -> int:
        assert self.connection is not None
        player, output, prosody = self.player, self.output, self.options.prosody
        rate, words, messages = 0, 0, []
        failure: Optional[VrelayError] = None
        play_failure = write_failure = ""
        # A file that is written alone takes back the audio after the word a
        # resumed text speaks on from; what plays is heard already.
        rewind = output is not None and output.can_take_back and player is None
        events = self.connection.events(self.text, self.options.markup, rate=prosody["rate"],
                                        pitch=prosody["pitch"], volume=prosody["volume"],
                                        resume=not self.args.no_resume, rewind=rewind)
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("always", ResumeWarning)
                warnings.showwarning = _show_resume
                for event in events:
                    if isinstance(event, AudioFormat):
                        rate = event.sample_rate
                        if output is not None and output.data_bytes == 0:
                            output.rate = rate
                        if player is not None:
                            player.open(rate)
                    elif isinstance(event, Audio):
                        self.events.flush()  # what was printed shows with its audio
                        if player is not None:
                            player.write(event.data)
                        if output is not None:
                            if rewind and event.first * 2 < output.data_bytes:
                                output.take_back(event.first * 2)
                            output.write(event.data)
                    elif isinstance(event, Mark) and event.is_word:
                        words += 1
                        if self.args.marks:
                            self.events.write("%9.3f  %s\n" % (event.sample / (rate or 22050),
                                                               event.written))
                    elif isinstance(event, Phoneme) and self.args.phonemes:
                        self.events.write("%9.3f %7.3f  %s\n" % (
                            event.sample / (rate or 22050), event.duration / (rate or 22050),
                            event.phone))
                    elif isinstance(event, Message) and not event.is_error:
                        messages.append(event.text)
        except VrelayError as error:
            failure = error
        except PlayerError as error:
            play_failure = str(error)
        except OSError as error:
            write_failure = error.strerror or str(error)
        finally:
            events.close()  # stops the request if it still runs
        return self._finish(failure, play_failure, write_failure, words, messages)

    def _finish(self, failure: Optional[VrelayError], play_failure: str, write_failure: str,
                words: int, messages: List[str]) -> int:
        player, output = self.player, self.output
        self.events.flush()
        if player is not None and not (failure or play_failure or write_failure):
            try:
                player.drain()
            except PlayerError as error:
                play_failure = str(error)
        for message in messages:
            _notice("server: " + message)
        if play_failure:
            _notice("cannot play: " + play_failure)
        if output is not None and not write_failure:
            try:
                if failure is not None and output.data_bytes == 0:
                    output.discard()
                else:
                    output.finish()
            except OSError as error:
                write_failure = error.strerror or str(error)
        if write_failure:
            if output is not None:
                output.discard()
            _notice("cannot write %s: %s" % (self.output_name, write_failure))
            return OUTPUT
        if failure is not None:
            why = failure.server_message or failure.reason
            if output is not None and output.data_bytes > 0:
                _notice("the speech stopped partway (%s); %s holds the %.2f s spoken before"
                        % (why, self.output_name, output.seconds))
            elif player is not None and player.written > 0:
                _notice("the speech stopped partway (%s) after %.2f s"
                        % (why, player.written / (player.rate or 22050)))
            else:
                _notice(failure.reason)
            return SPEECH_FAILED
        if play_failure:
            return NO_SOUND
        if not self.args.quiet:
            if output is not None:
                print("wrote %s: %.2f s of pcm audio at %d Hz, %s" % (
                    self.output_name, output.seconds, output.rate, _plural(words, "word")),
                    file=sys.stderr)
            else:
                seconds = player.written / (player.rate or 22050) if player is not None else 0
                print("spoke %.2f s, %s" % (seconds, _plural(words, "word")), file=sys.stderr)
        return OK

    def close(self, interrupted: bool = False) -> None:
        """Releases everything; interrupted, the file keeps what was spoken,
        as a complete WAV under its name, and the sound stops at once."""
        if self.output is not None:
            try:
                if interrupted and self.output.data_bytes > 0:
                    self.output.finish()
                else:
                    self.output.discard()
            except OSError:
                self.output.discard()
            self.output = None
        if self.player is not None:
            self.player.close()
        if self.connection is not None:
            self.connection.close()
        if self.server is not None:
            self.server.close()


def _show_resume(message: Union[Warning, str], category: Type[Warning], filename: str,
                 lineno: int, file: Optional[TextIO] = None, line: Optional[str] = None) -> None:
    """A render that went on after its server failed: one line, as every
    notice of the command line."""
    _notice(str(message))


def _plural(count: int, noun: str) -> str:
    return "%d %s%s" % (count, noun, "" if count == 1 else "s")


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
            _notice("no voice speaks \"%s\"" % language)
            return UNKNOWN_VOICE
    rows = [("NAME", "LANG", "SEX", "LANGUAGE", "RATE")]
    rows += [(v.name, v.tag, v.sex, v.language, str(v.sample_rate)) for v in voices]
    widths = [max(len(row[c]) for row in rows) for c in range(len(rows[0]))]
    for row in rows:
        print("".join(cell.ljust(width + 2) for cell, width in zip(row[:-1], widths)) + row[-1])
    print(_plural(len(voices), "voice"))
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
    return OK


def _run(argv: List[str]) -> int:
    try:
        options = _Options(argv)
    except _Usage as error:
        print("vrelay: %s\nTry '%s --help' for more information." % (error, PROGRAM),
              file=sys.stderr)
        return USAGE
    if options.args.version:
        print("vrelay (Python) %s" % __version__)
        return OK
    say = _Say(options)
    interrupted = True
    try:
        for step in (say.read_input, say.connect, say.settle_voice, say.open_output):
            try:
                status = step()
            except VrelayError as error:  # the server failed or refused
                _notice(error.reason)
                status = SPEECH_FAILED
            if status is not None:
                interrupted = False
                return status
        status = say.speak()
        interrupted = False
        return status
    finally:
        say.close(interrupted)


def main(argv: Optional[List[str]] = None) -> int:
    """Runs the command line (sys.argv[1:] by default) and returns its exit
    code; on SIGINT or SIGTERM the process ends by that signal, as shells
    expect, keeping the file written so far."""
    # The library's own warnings would only repeat, less clearly, what this
    # says; a VRELAY_MESSAGES the user set wins.
    os.environ.setdefault("VRELAY_MESSAGES", "none")
    previous = signal.signal(signal.SIGTERM, _on_terminate)
    try:
        return _run(sys.argv[1:] if argv is None else argv)
    except (KeyboardInterrupt, _Signalled) as stop:
        number = stop.number if isinstance(stop, _Signalled) else signal.SIGINT
        sys.stdout.flush()
        signal.signal(number, signal.SIG_DFL)
        os.kill(os.getpid(), number)
        return 128 + number
    finally:
        signal.signal(signal.SIGTERM, previous)


if __name__ == "__main__":
    try:
        sys.exit(main())
    except BrokenPipeError:
        # What was meant for standard output has nowhere to go.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        sys.exit(OUTPUT)
