# SPDX-License-Identifier: MIT
"""Text going to the server, by the rules of the front-end core: plain text
escaped, markup read construct by construct, one request's text wrapped in
its <prosody> (outside everything, or right inside a <speak> root), the
elements left open closed at its end, and offsets into what was sent mapped
back to the caller's string."""

import bisect
import re
from typing import List, Optional, Tuple

_ESCAPES = {"&": "&amp;", "<": "&lt;", ">": "&gt;"}
_SPECIAL = re.compile("[&<>]")
_BLANKS = " \t\r\n"
_MAX_OPEN = 32  # elements followed; deeper ones are left as they are
_VOID = ("br", "hr", "img", "meta", "link", "input", "wbr")  # never closed in HTML
_XML_ENTITIES = {"amp": "&", "lt": "<", "gt": ">", "quot": '"', "apos": "'"}
_REFERENCE = re.compile(r"[A-Za-z0-9#]{1,11};")


def check(text: object, what: str = "text") -> str:
    """A str argument as it is. TypeError for anything but str, ValueError
    for a NUL (the library would end the text there)."""
    if not isinstance(text, str):
        raise TypeError("%s must be str, not %s" % (what, type(text).__name__))
    nul = text.find("\0")
    if nul >= 0:
        raise ValueError("%s contains a NUL character at index %d" % (what, nul))
    return text


def encode(text: object, what: str = "text") -> bytes:
    """The UTF-8 bytes of a str argument, checked as check() does."""
    return check(text, what).encode()


def decode_entity(text: str, at: int) -> Tuple[str, int]:
    """The entity at text[at] ('&') decoded, and the index after it: XML's
    five, HTML's named ones and character references; a lone '&' stays
    itself; an unknown or invalid reference becomes a blank."""
    reference = _REFERENCE.match(text, at + 1)
    if reference is None:
        return "&", at + 1
    name, end = reference.group()[:-1], reference.end()
    if name in _XML_ENTITIES:
        return _XML_ENTITIES[name], end
    import html.entities  # only here: its table is large and seldom needed
    if name in html.entities.name2codepoint:
        return chr(html.entities.name2codepoint[name]), end
    if name[0] == "#":
        hexadecimal = name[1:2] in ("x", "X")
        digits = name[2:] if hexadecimal else name[1:]
        try:
            code = int(digits, 16 if hexadecimal else 10)
        except ValueError:
            code = 0
        if 0 < code <= 0x10FFFF and not 0xD800 <= code <= 0xDFFF:
            return chr(code), end
    return " ", end


def decode_entities(text: str) -> str:
    """Every entity of element text decoded, as decode_entity does."""
    out: List[str] = []
    at = 0
    while (amp := text.find("&", at)) >= 0:
        out.append(text[at:amp])
        decoded, at = decode_entity(text, amp)
        out.append(decoded)
    out.append(text[at:])
    return "".join(out)


def as_written(word: str, markup: bool) -> str:
    """A word as the user wrote it: in markup, with its entities decoded and
    any tag inside it left out."""
    if not markup or not ("&" in word or "<" in word):
        return word
    kept: List[str] = []
    at = 0
    while at < len(word):
        end = word.find(">", at) if word[at] == "<" else -1
        if end >= 0:
            at = end + 1
        else:
            kept.append(word[at])
            at += 1
    return decode_entities("".join(kept))


_DELIMITED = (("<!--", "-->"), ("<![CDATA[", "]]>"), ("<?", "?>"))
# A tag up to its '>', past quoted attribute values.
_TAG_END = re.compile(r"""(?:[^"'>]|"[^"]*"|'[^']*')*>""")


def after_construct(text: str, at: int) -> int:
    """The index after the markup construct at text[at] ('<'): a comment,
    CDATA, a processing instruction, or a tag up to its '>' past quoted
    attribute values; -1 when the text ends first."""
    for opening, closing in _DELIMITED:
        if text.startswith(opening, at):
            end = text.find(closing, at + len(opening))
            return -1 if end < 0 else end + len(closing)
        if len(text) - at < len(opening) and opening.startswith(text[at:]):
            return -1  # cut before it can be told
    tag = _TAG_END.match(text, at + 1)
    return -1 if tag is None else tag.end()


def _tag_name(text: str, at: int) -> str:
    end = at
    while end < len(text) and text[end] not in _BLANKS + "/>":
        end += 1
    return text[at:end]


class _OffsetMap:
    """Where the sent text and the caller's differ, counted in one unit
    (characters or UTF-8 bytes): each piece sent that is not a copy of the
    caller's text (an entity for one ASCII character, markup of the
    package's own for none, or the markup that re-opens a resumed text for
    all the text before it), where it starts in the sent text and in the
    caller's, how long it is sent, and how much of the caller's text it
    stands for."""

    def __init__(self) -> None:
        self.sent = 0    # sent so far
        self.caller = 0  # of the caller's text so far
        self._starts: List[int] = []
        self._origins: List[int] = []
        self._lengths: List[int] = []
        self._stands_for: List[int] = []

    def copy(self, length: int) -> None:
        self.sent += length
        self.caller += length

    def insert(self, length: int, stands_for: int) -> None:
        self._starts.append(self.sent)
        self._origins.append(self.caller)
        self._lengths.append(length)
        self._stands_for.append(stands_for)
        self.sent += length
        self.caller += stands_for

    def caller_offset(self, sent: int, end: bool) -> int:
        # The last insertion starting before (end) or at (start) the offset.
        index = (bisect.bisect_left if end else bisect.bisect_right)(self._starts, sent) - 1
        if index < 0:
            return sent  # before every insertion the texts are equal
        into = sent - self._starts[index]
        length, stands_for = self._lengths[index], self._stands_for[index]
        if into < length or (end and into == length):
            return self._origins[index] + (stands_for if end else 0)
        return self._origins[index] + stands_for + into - length


class SubmittedText:
    """The caller's text of one request or stream, piece by piece, and what
    was sent for it: plain text with &, < and > as entities, markup as it is,
    and markup of the package's own (a <prosody> tag) that stands for none
    of the caller's text. Offsets the server reports count in the sent text
    and map back in characters and in UTF-8 bytes."""

    def __init__(self) -> None:
        self._pieces: List[str] = []
        self._piece_starts: List[int] = []  # where each piece begins in the caller's text
        self._chars = _OffsetMap()
        self._bytes = _OffsetMap()

    def _insertion(self, sent: str, stands_for: str) -> None:
        self._chars.insert(len(sent), len(stands_for))
        self._bytes.insert(len(sent.encode()), len(stands_for.encode()))

    def _copy(self, text: str) -> None:
        self._chars.copy(len(text))
        self._bytes.copy(len(text.encode()))

    def _record(self, piece: str) -> None:
        self._pieces.append(piece)
        self._piece_starts.append(self._chars.caller)

    def add(self, piece: str, plain: bool) -> bytes:
        """Records a piece of the caller's text; returns the bytes to send."""
        check(piece)
        self._record(piece)
        if not plain or _SPECIAL.search(piece) is None:
            self._copy(piece)
            return piece.encode()
        out: List[str] = []
        last = 0
        for match in _SPECIAL.finditer(piece):
            before, entity = piece[last:match.start()], _ESCAPES[match.group()]
            self._copy(before)
            self._insertion(entity, match.group())
            out += (before, entity)
            last = match.end()
        self._copy(piece[last:])
        out.append(piece[last:])
        return "".join(out).encode()

    def add_markup(self, markup: str) -> bytes:
        """Records markup of the package's own; returns its bytes."""
        if markup:
            self._insertion(markup, "")
        return markup.encode()

    def skip(self, piece: str, markup: str) -> bytes:
        """Records a piece of the caller's text that is not sent: markup of
        the package's own goes in its place. Returns the markup's bytes."""
        self._record(piece)
        self._insertion(markup, piece)
        return markup.encode()

    def pieces(self) -> Tuple[List[str], int]:
        """The pieces so far (a list that only grows) and their number."""
        return self._pieces, len(self._pieces)

    def caller_text(self, start: int, length: int) -> str:
        """The caller's characters [start, start + length)."""
        index = max(bisect.bisect_right(self._piece_starts, start) - 1, 0)
        parts: List[str] = []
        end = start + length
        while index < len(self._pieces) and self._piece_starts[index] < end:
            begin = self._piece_starts[index]
            parts.append(self._pieces[index][max(start - begin, 0):end - begin])
            index += 1
        return "".join(parts)

    def caller_chars(self, sent: int, end: bool = False) -> int:
        """A character offset in the sent text as one in the caller's; an
        offset inside an entity is its character's start, or its end for
        the end of a range (end=True)."""
        return self._chars.caller_offset(sent, end)

    def caller_bytes(self, sent: int, end: bool = False) -> int:
        """A UTF-8 byte offset in the sent text as one in the caller's."""
        return self._bytes.caller_offset(sent, end)


class _Element:
    __slots__ = ("name", "tag")

    def __init__(self, name: str, tag: str) -> None:
        self.name = name
        self.tag = tag


def build_request(text: str, markup: bool, prosody: str,
                  start: int = 0) -> Tuple[SubmittedText, bytes]:
    """What to send for a whole text as one request: plain text escaped,
    wrapped in the prosody tag (or "" for none); in a document whose root is
    <speak> the tag goes right inside the root. Elements still open at the
    end are closed there. From a start (a character of text: a text resumed
    from a word) the text before it is not sent, only followed for the
    elements open there, which the request opens again around the rest; a
    start inside a tag moves after it. Offsets still count in all of text."""
    submitted = SubmittedText()
    speak_root = markup and _speak_root(text)
    opened: List[_Element] = []
    prosody_open = bool(prosody) and not speak_root
    at = text.find("<") if markup else -1
    while 0 <= at < start:
        after = after_construct(text, at)
        after = len(text) if after < 0 else after
        start = max(start, after)
        before, behind = _follow_tag(text[at:after], opened, speak_root, prosody)
        if before or behind:
            prosody_open = not before
        at = text.find("<", after)
    root = 1 if speak_root and opened and opened[0].name == "speak" else 0
    opening = "".join(element.tag for element in opened[:root]) + \
        (prosody if prosody_open else "") + "".join(element.tag for element in opened[root:])
    sent = [submitted.skip(text[:start], opening) if start else submitted.add_markup(opening)]
    while 0 <= at < len(text):
        after = after_construct(text, at)
        after = len(text) if after < 0 else after
        before, behind = _follow_tag(text[at:after], opened, speak_root, prosody)
        if before or behind:
            sent.append(submitted.add(text[start:at], plain=not markup))
            sent.append(submitted.add_markup(before))
            sent.append(submitted.add(text[at:after], plain=not markup))
            sent.append(submitted.add_markup(behind))
            prosody_open = not before
            start = after
        at = text.find("<", after)
    sent.append(submitted.add(text[start:], plain=not markup))
    root = 1 if speak_root and opened and opened[0].name == "speak" else 0
    closing = "".join("</%s>" % element.name for element in reversed(opened[root:]))
    if prosody_open and prosody:
        closing += "</prosody>"
    if root:
        closing += "</%s>" % opened[0].name
    sent.append(submitted.add_markup(closing))
    return submitted, b"".join(sent)


def _speak_root(text: str) -> bool:
    """Whether the document's first element is <speak> (after blanks and
    processing instructions)."""
    at = _skip_blanks(text, 0)
    while at < len(text) and text.startswith("<?", at):
        after = after_construct(text, at)
        at = len(text) if after < 0 else _skip_blanks(text, after)
    return at < len(text) and _tag_name(text, at + 1) == "speak"


def _skip_blanks(text: str, at: int) -> int:
    while at < len(text) and text[at] in _BLANKS:
        at += 1
    return at


def _follow_tag(tag: str, opened: List[_Element], speak_root: bool,
                prosody: str) -> Tuple[str, str]:
    """Follows one tag into the open elements; the package's markup to go
    before and after it (the prosody's end before the root's end tag, its
    start after the root's start tag)."""
    if len(tag) < 3 or tag[-1] != ">" or tag[1] in "!?":
        return "", ""
    inside_root = speak_root and bool(prosody)

    def root_is_speak() -> bool:
        return speak_root and bool(opened) and opened[0].name == "speak"

    if tag[1] == "/":
        name = _tag_name(tag, 2)
        for depth in range(len(opened), 0, -1):
            if opened[depth - 1].name == name:
                before = "</prosody>" if depth == 1 and inside_root and root_is_speak() else ""
                del opened[depth - 1:]
                return before, ""
        return "", ""
    name = _tag_name(tag, 1)
    if name and tag[-2] != "/" and name not in _VOID and len(opened) < _MAX_OPEN:
        opened.append(_Element(name, tag))
        if len(opened) == 1 and inside_root and root_is_speak():
            return "", prosody
    return "", ""


def mapped_word(submitted: SubmittedText, word: List[int]) -> List[int]:
    """[char offset, byte offset, char length, byte length] of a word mark in
    the sent text, as offsets into the caller's text."""
    chars, size_at, count, size = word
    first = submitted.caller_chars(chars)
    first_byte = submitted.caller_bytes(size_at)
    return [first, first_byte, submitted.caller_chars(chars + count, end=True) - first,
            submitted.caller_bytes(size_at + size, end=True) - first_byte]
