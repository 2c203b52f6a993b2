# SPDX-License-Identifier: MIT
"""The bytes a user hands the command line made into the text that is
spoken, by the rules every door follows (the front-end core's input
cleaner):

- a byte-order mark at the start is dropped; NUL bytes are dropped, the
  first one reported with its offset; bytes that are not UTF-8 are read as
  Windows-1252 (Latin-1 with printable characters at 0x80 to 0x9F),
  reported once;
- a no-break or other wide space becomes blanks, and so does, in markup, an
  entity for one (&nbsp;, &#160;, &thinsp; ...);
- in markup, what a browser does not show is blanked: a declaration such as
  <!DOCTYPE html>, comments, and <script> and <style> elements with their
  content; a <voice> that asks for a sex or an age gets the name that asks
  the server for them ("+female+70").

What is blanked becomes as many blanks as it had bytes."""

import codecs
import re
from typing import Dict, List, Optional, Tuple

from ._text import decode_entities, decode_entity

_WIDE_SPACES = "\u00a0\u2000\u2001\u2002\u2003\u2004\u2005\u2006\u2007\u2008\u2009\u200a" \
               "\u202f\u205f\u3000"
_WIDE_SPACE_BLANKS = {ord(c): " " * len(c.encode()) for c in _WIDE_SPACES}
_WIDE_SPACE_SET = frozenset(_WIDE_SPACES)
# Windows-1252 at 0x80 to 0x9F; a blank where it has no character. Latin-1
# is the same from 0xA0 on, where a no-break space is a blank too.
_WINDOWS_1252 = "\u20ac \u201a\u0192\u201e\u2026\u2020\u2021\u02c6\u2030\u0160\u2039\u0152 " \
                "\u017d  \u2018\u2019\u201c\u201d\u2022\u2013\u2014\u02dc\u2122\u0161\u203a" \
                "\u0153 \u017e\u0178"
# A byte b that is not UTF-8 decodes (surrogateescape) as U+DC00 + b.
_FOREIGN = {0xDC80 + i: c for i, c in enumerate(_WINDOWS_1252)}
_FOREIGN.update({0xDCA0 + i: chr(0xA0 + i) for i in range(0x60)})
_FOREIGN[0xDCA0] = " "
_SURROGATE = re.compile("[\udc80-\udcff]")
_SPECIAL = re.compile(b"[<&]")


def clean(data: bytes, markup: bool) -> Tuple[str, List[str]]:
    """The text of the whole input, and what the user should know about it
    (one line each, in the order met)."""
    text, notices = _decode(data)
    if markup:
        text = _Markup(text.encode()).cleaned().decode()
    return text, notices


def _decode(data: bytes) -> Tuple[str, List[str]]:
    start = 3 if data.startswith(codecs.BOM_UTF8) else 0
    # Python's decoder refuses what the core's does (overlong forms,
    # surrogates, past U+10FFFF, a character cut short), one byte at a time.
    text = data[start:].decode("utf-8", "surrogateescape")
    found: List[Tuple[int, str]] = []
    nul = data.find(b"\0", start)
    if nul >= 0:
        found.append((nul, "the input holds a NUL byte at offset %d; NUL bytes are skipped" % nul))
    foreign = _SURROGATE.search(text)
    if foreign is not None:
        at = start + len(text[:foreign.start()].encode("utf-8", "surrogateescape"))
        found.append((at, "the input is not UTF-8 (byte 0x%02X at offset %d); such bytes are "
                          "read as Latin-1 (Windows-1252)" % (data[at], at)))
    text = text.replace("\0", "").translate(_WIDE_SPACE_BLANKS)
    if foreign is not None:
        text = text.translate(_FOREIGN)
    return text, [notice for _, notice in sorted(found)]


class _Markup:
    """Blanks what markup shows nobody, in the UTF-8 bytes of the text."""

    def __init__(self, text: bytes) -> None:
        self.text = text
        self.lower = text.lower()  # ASCII only, as the tags compared
        self.out = bytearray()
        self.skipping = b""  # the end of what is being blanked, or b""

    def cleaned(self) -> bytes:
        text, at = self.text, 0
        while at < len(text):
            if self.skipping:
                at = self._skip(at)
                continue
            special = _SPECIAL.search(text, at)
            if special is None:
                self.out += text[at:]
                break
            self.out += text[at:special.start()]
            at = self._construct(special.start())
        return bytes(self.out)

    def _blank(self, count: int) -> None:
        self.out += b" " * count

    def _skip(self, at: int) -> int:
        """Inside a comment, declaration, script or style: up to and
        including its end."""
        element = self.skipping.startswith(b"</")
        close = self.lower.find(self.skipping, at)
        end = close
        if close >= 0 and element:
            end = self.text.find(b">", close)
        if end < 0:
            self._blank(len(self.text) - at)
            return len(self.text)
        end += 1 if element else len(self.skipping)
        self._blank(end - at)
        self.skipping = b""
        return end

    def _construct(self, at: int) -> int:
        text = self.text
        if text[at:at + 1] == b"&":
            # A reference is at most 13 ASCII bytes, '&' and ';' included.
            decoded, length = decode_entity(text[at:at + 13].decode("latin-1"), 0)
            end = at + length
            if decoded in _WIDE_SPACE_SET:
                self._blank(length)
            else:
                self.out += text[at:end]
            return end
        if self.lower.startswith(b"<!--", at) or (
                self.lower.startswith(b"<!", at) and not self.lower.startswith(b"<![cdata[", at)):
            # A comment or a declaration (<!DOCTYPE html>): nothing to speak.
            self.skipping = b"-->" if self.lower.startswith(b"<!--", at) else b">"
            self._blank(2)
            return at + 2
        name = self._element_at(at)
        gt = text.find(b">", at) if name else -1
        if not name or gt < 0:
            self.out += b"<"
            return at + 1
        if name == b"voice":
            self.out += _named_voice_tag(text[at:gt + 1])
        else:
            self._blank(gt + 1 - at)
            if text[gt - 1:gt] != b"/":
                self.skipping = b"</" + name
        return gt + 1

    def _element_at(self, at: int) -> bytes:
        """The element of interest the tag at text[at] opens: script, style,
        voice, or b"" for any other."""
        for name in (b"script", b"style", b"voice"):
            after = at + 1 + len(name)
            if self.lower.startswith(name, at + 1) and after < len(self.text) and \
                    self.text[after:after + 1] in (b">", b"/", b" ", b"\t", b"\n", b"\r", b"\v",
                                                   b"\f"):
                return name
        return b""


def _named_voice_tag(tag: bytes) -> bytes:
    """A voice start tag that asks for a sex or an age but names no voice,
    with the name that asks the server for them ("+female+70", after the
    language of xml:lang if it has one); the tag as it is otherwise."""
    attributes = _parse_tag(tag.decode())
    if attributes is None or attributes.get("name", ""):
        return tag
    name = attributes.get("xml:lang", "")
    gender, age = attributes.get("gender", ""), attributes.get("age", "")
    if gender in ("female", "male"):
        name += "+" + gender
    if age and age.isascii() and age.isdigit():
        name += "+" + age
    if "+" not in name:
        return tag
    escaped = name.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;") \
        .replace('"', "&quot;").replace("'", "&apos;")
    return b'<voice name="' + escaped.encode() + b'"' + tag[6:]


_TAG_BLANKS = " \t\r\n"
_MAX_ATTRIBUTES = 32


def _parse_tag(tag: str) -> Optional[Dict[str, str]]:
    """The attributes of a start or empty-element tag (values with their
    entities decoded); None for an end tag or a tag that is not well formed
    (an unclosed quote, a repeated attribute, too many of them)."""
    if len(tag) < 3 or tag[0] != "<" or tag[-1] != ">" or tag[1] == "/":
        return None
    at, end = 1, len(tag) - 1
    while at < end and tag[at] not in _TAG_BLANKS + "/>":
        at += 1
    if at == 1 or tag[1] in "!?":
        return None
    attributes: Dict[str, str] = {}
    while at < end:
        if tag[at] in _TAG_BLANKS + "/":
            at += 1
            continue
        start = at
        while at < end and tag[at] not in _TAG_BLANKS + "=/":
            at += 1
        name, value = tag[start:at], ""
        while at < end and tag[at] in _TAG_BLANKS:
            at += 1
        if at < end and tag[at] == "=":
            at += 1
            while at < end and tag[at] in _TAG_BLANKS:
                at += 1
            if at < end and tag[at] in "\"'":
                close = tag.find(tag[at], at + 1)
                if close < 0 or close > end:
                    return None
                value, at = decode_entities(tag[at + 1:close]), close + 1
            else:
                start = at
                while at < end and tag[at] not in _TAG_BLANKS:
                    at += 1
                value = decode_entities(tag[start:at])
        if name:
            if name in attributes or len(attributes) == _MAX_ATTRIBUTES:
                return None
            attributes[name] = value
    return attributes
