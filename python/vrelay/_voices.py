# SPDX-License-Identifier: MIT
"""The server's voices, and which of them a user means by a name."""

from dataclasses import dataclass
from typing import Callable, List, Optional, Sequence, Tuple


@dataclass
class Voice:
    """One voice of the server's list, with the attributes the server gave."""
    name: str
    voice_id: str = ""
    sex: str = ""
    language: str = ""
    language_id: str = ""
    country: str = ""
    country_id: str = ""
    region: str = ""
    accent: str = ""
    accent_id: str = ""
    voice_uuid: str = ""
    encoding: str = ""
    language_code_iso: str = ""
    language_code_microsoft: str = ""
    country_code_iso: str = ""
    sample_rate: int = 0
    sample_bits: int = 0

    @property
    def is_variant(self) -> bool:
        """A variant of any voice ("+f3"), listed beside the voices."""
        return self.language == "variant"

    @property
    def tag(self) -> str:
        """"fr-FR", or "fr" for a voice without a country."""
        iso, country = self.language_code_iso, self.country_code_iso
        return "%s-%s" % (iso, country) if country else iso


def _split_tag(tag: str) -> Tuple[str, str]:
    """"de-DE" or "de_de" into ("de", "DE"); the country is "" without one."""
    for i, c in enumerate(tag):
        if c in "-_":
            return tag[:i], tag[i + 1:]
    return tag, ""


def speaks_language(voice: Voice, language: str) -> bool:
    """Whether the voice speaks a language given as a code or tag ("fr",
    "fr-BE") or by name ("French"), without regard to case."""
    code, country = _split_tag(language)
    return (voice.language_code_iso.lower() == code.lower()
            and (not country or voice.country_code_iso.lower() == country.lower())) \
        or voice.language.lower() == language.lower()


def _best(voices: Sequence[Voice], match: Callable[[Voice], bool]) -> Optional[Voice]:
    """Among the voices matching, the home-country voice (fr-FR for fr), else
    one without a country, else the first listed."""
    first = countryless = None
    for voice in voices:
        if voice.is_variant or not match(voice):
            continue
        if voice.country_code_iso.lower() == voice.language_code_iso.lower():
            return voice
        if countryless is None and not voice.country_code_iso:
            countryless = voice
        if first is None:
            first = voice
    return countryless or first


def _choose_listed(voices: Sequence[Voice], wanted: str) -> Optional[Voice]:
    for voice in voices:
        if not voice.is_variant and voice.name.lower() == wanted.lower():
            return voice
    if not wanted:
        return None
    spoken = _best(voices, lambda v: speaks_language(v, wanted))
    if spoken is not None:
        return spoken
    # No voice for that country: any of the language ("de-DE" with only "de").
    language, country = _split_tag(wanted)
    if not country:
        return None
    return _best(voices, lambda v: speaks_language(v, language))


def choose_voice(voices: Sequence[Voice], wanted: str) -> Optional[str]:
    """The name to select for what a user typed, or None. In order: a voice
    name, a language tag ("de-DE", "de_de"), a language code ("de") or name
    ("German"), all without regard to case; a language with several voices
    gives its home country's, else one without a country, else the first
    listed, and a tag whose country has no voice falls back to its language.
    Variants ("+f3") are not voices. LANG+VARIANT ("en+f3", "fr+female",
    "en+male+70") is the name of LANG's voice followed by "+VARIANT", which
    the server reads (a variant, a sex or an age); "+VARIANT" alone is kept
    as it is (the server's current voice with the variant)."""
    plus = wanted.find("+")
    if plus == 0:
        return wanted
    if plus == len(wanted) - 1:
        return None
    voice = _choose_listed(voices, wanted if plus < 0 else wanted[:plus])
    if voice is None:
        return None
    return voice.name if plus < 0 else voice.name + wanted[plus:]


def voices_speaking(voices: Sequence[Voice], language: str) -> List[Voice]:
    """The voices that speak a language (as --list-voices LANG lists them)."""
    return [v for v in voices if speaks_language(v, language)]
