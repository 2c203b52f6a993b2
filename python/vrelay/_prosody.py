# SPDX-License-Identifier: MIT
"""Rate, pitch and volume as a person types them, read by the rules every
door follows (the front-end core's ReadTypedProsody, from the same data
file): a name ("x-slow"), N with a unit ("150wpm", "40%", "120Hz") or a
change ("+20%", "-3st", "+6dB"). A value past what the voice reaches is
moved to the nearer end with a notice; only a value of no known form is
refused. The values go to the server in one <prosody> tag."""

import math
import re
from typing import List, NamedTuple, Optional, Tuple, Union

from . import _data

QUANTITIES = ("rate", "pitch", "volume")


class _Value(NamedTuple):
    name: str      # lower case; "" for a number
    sign: int      # -1, 0 (no sign) or +1
    number: float
    unit: str      # lower case, "" for none


_NAME = re.compile(r"[A-Za-z][A-Za-z-]*\Z")
_NUMBER = re.compile(r"([+-]?)([0-9]*\.?[0-9]*)([A-Za-z%]*)\Z")


def _read_value(text: str) -> Optional[_Value]:
    """The syntax of a prosody value, blanks around it allowed: letters and
    '-' make a name; a number is ASCII digits with at most one point, then
    its unit (letters or '%')."""
    word = text.strip(" \t")
    if not word:
        return None
    if _NAME.match(word):
        return _Value(word.lower(), 0, 0.0, "")
    number = _NUMBER.match(word)
    if number is None or number.group(2) in ("", "."):
        return None
    sign = {"+": 1, "-": -1, "": 0}[number.group(1)]
    return _Value("", sign, float(number.group(2)), number.group(3).lower())


class _Range(NamedTuple):
    quantity: str
    unit: str    # as written: "%", "wpm", "st", "dB"
    typed: str   # as the value reader gives it: lower case
    minimum: float
    maximum: float


_RANGES = [_Range(r.quantity, r.unit, r.unit.lower(), r.minimum, r.maximum)
           for r in _data.RANGES]

# The forms the server reads and how each is signed: N% and +N% -N% for every
# quantity; words a minute unsigned, or a bare number (a multiple of the
# voice's rate); semitones signed; hertz unsigned (the fundamental) or signed
# (a change of it); decibels either way; a bare volume is an amplitude in
# percent. (quantity, unit as read, signs, percent a bare number counts)
_UNSIGNED, _SIGNED, _EITHER = 1, 2, 3
_FORMS = [("rate", "%", _EITHER, 0.0), ("rate", "wpm", _UNSIGNED, 0.0),
          ("rate", "", _UNSIGNED, 100.0), ("pitch", "%", _EITHER, 0.0),
          ("pitch", "st", _SIGNED, 0.0), ("pitch", "hz", _EITHER, 0.0),
          ("volume", "%", _EITHER, 0.0), ("volume", "", _UNSIGNED, 1.0),
          ("volume", "db", _EITHER, 0.0)]


def _range_of(quantity: str, unit: str) -> Optional[_Range]:
    return next((r for r in _RANGES if r.quantity == quantity and r.typed == unit), None)


def _number(value: float) -> str:
    """46, 15.8, 0.25: at most two decimals, no trailing zeros."""
    text = ("%.2f" % value).rstrip("0").rstrip(".")
    return "0" if text == "-0" else text


def _signed(value: float) -> str:
    return ("+" if value >= 0 else "") + _number(value)


def _shown(range_: _Range, level: float, change: bool) -> str:
    """A level of the range's scale as the form typed shows it: a percent
    change is shown against 100."""
    if range_.unit == "%" and change:
        return _signed(level - 100) + "%"
    return (_signed(level) if change else _number(level)) + range_.unit


def read_typed(quantity: str, typed: str) -> Optional[Tuple[str, str]]:
    """(the value to ask the server for, a notice or "") for what a person
    typed for quantity; None for a value of no known form."""
    value = _read_value(typed)
    if value is None:
        return None
    if value.name:
        known = any(n.quantity == quantity and n.name == value.name for n in _data.NAMES)
        return (value.name, "") if known else None
    signs = _SIGNED if value.sign else _UNSIGNED
    form = next((f for f in _FORMS if f[0] == quantity and f[1] == value.unit and f[2] & signs),
                None)
    if form is None:
        return None
    _, unit, _, percent = form
    change = value.sign != 0
    number = -value.number if value.sign < 0 else value.number
    range_ = _range_of(quantity, "%" if percent > 0 else unit)
    if range_ is None:
        return typed.strip(" \t"), ""  # the fundamental's reach is the voice's own
    level = number * percent if percent > 0 else \
        100 + number if range_.unit == "%" and change else number
    kept = min(max(level, range_.minimum), range_.maximum)
    shown = _shown(range_, kept, change)
    notice = ""
    if math.fabs(kept - level) > 1e-9:
        notice = "%s is out of reach (%s to %s): %s is used" % (
            typed, _shown(range_, range_.minimum, change), _shown(range_, range_.maximum, change),
            shown)
    return shown, notice


def read_as_option(quantity: str, typed: str, option: str) -> Tuple[str, str]:
    """(the value to ask the server for, a notice or "") for what a person
    typed for quantity through option ("--rate", or "rate" for an argument),
    the notice naming option; ValueError naming option and every form for a
    value of no known form."""
    read = read_typed(quantity, typed)
    if read is None:
        raise ValueError("%s wants %s, not \"%s\"" % (option, forms(quantity), typed))
    value, notice = read
    return value, "%s %s" % (option, notice) if notice else ""


def forms(quantity: str) -> str:
    """The forms quantity takes with their ranges, for a usage message:
    "x-slow ... x-fast, N% (45.71% to 457.14%), +N%, -N% or Nwpm (80wpm to 800wpm)"."""
    names = [n.name for n in _data.NAMES if n.quantity == quantity and n.name != "default"]
    shown: List[str] = []
    if names:
        shown.append(names[0] + " ... " + names[-1] if len(names) > 2 else names[0])
    for form_quantity, unit, signs, percent in _FORMS:
        if form_quantity != quantity or percent > 0:
            continue
        range_ = _range_of(quantity, unit)
        written = range_.unit if range_ is not None else "Hz"
        plain = bool(signs & _UNSIGNED)
        reach = "" if range_ is None else " (%s to %s)" % (
            _shown(range_, range_.minimum, not plain), _shown(range_, range_.maximum, not plain))
        if plain:
            shown.append("N" + written + reach)
        if signs & _SIGNED:
            shown += ["+N" + written, "-N" + written + ("" if plain else reach)]
    return ", ".join(shown[:-1]) + " or " + shown[-1] if len(shown) > 1 else "".join(shown)


def _escape_attribute(value: str) -> str:
    return value.replace("&", "&amp;").replace("<", "&lt;").replace('"', "&quot;") \
        .replace("'", "&apos;")


Typed = Union[str, int, float, None]


class ProsodyWarning(UserWarning):
    """A rate, pitch or volume was past what the voice reaches and is used at
    the nearer end; the message says which and what is used instead."""


class Prosody:
    """Rate, pitch and volume for a request, read from what a person typed
    (a str as vrelay-say --rate/--pitch/--volume take it; a number is read as
    those digits: rate=1.5 is one and a half times the voice's rate, volume=50
    half its amplitude). None or "" leaves the voice's own.

    ``rate``, ``pitch`` and ``volume`` hold the values the server is asked
    for ("" for the voice's own); ``notices`` say which values were moved
    into reach ("rate 40% is out of reach (45.71% to 457.14%): 45.71% is
    used"). A value of no known form raises ValueError naming every form."""

    __slots__ = ("rate", "pitch", "volume", "notices")

    def __init__(self, rate: Typed = None, pitch: Typed = None, volume: Typed = None) -> None:
        self.notices: List[str] = []
        self.rate = self._read("rate", rate)
        self.pitch = self._read("pitch", pitch)
        self.volume = self._read("volume", volume)

    def _read(self, quantity: str, typed: Typed) -> str:
        if typed is None or typed == "":
            return ""
        if isinstance(typed, bool) or not isinstance(typed, (str, int, float)):
            raise TypeError("%s must be str, int or float, not %s"
                            % (quantity, type(typed).__name__))
        text = typed if isinstance(typed, str) else _number_as_typed(typed)
        value, notice = read_as_option(quantity, text, quantity)
        if notice:
            self.notices.append(notice)
        return value

    def tag(self) -> str:
        """'<prosody rate="150%" volume="-6dB">', or "" when it asks for nothing;
        the end tag is "</prosody>"."""
        attributes = "".join(' %s="%s"' % (name, _escape_attribute(value))
                             for name, value in (("rate", self.rate), ("pitch", self.pitch),
                                                 ("volume", self.volume)) if value)
        return "<prosody%s>" % attributes if attributes else ""

    def __bool__(self) -> bool:
        return bool(self.rate or self.pitch or self.volume)

    def __repr__(self) -> str:
        return "<vrelay.Prosody %s>" % (self.tag() or "of the voice")


def _number_as_typed(value: Union[int, float]) -> str:
    """A number's digits as a person would type them (no exponent)."""
    if isinstance(value, float) and not math.isfinite(value):
        return repr(value)
    text = format(value, "f") if isinstance(value, float) else str(value)
    return text.rstrip("0").rstrip(".") if "." in text else text
