# SPDX-License-Identifier: MIT
"""The server's voices, and which of them speak a language. Which voice a name
means is the server's to decide: Connection.set_voice passes the name on."""

from dataclasses import dataclass
from typing import List, Sequence


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
    # Every language the voice speaks with its priority, lower is better:
    # "en-gb-scotland:5 en:4".
    languages: str = ""

    @property
    def is_variant(self) -> bool:
        """A variant of any voice ("+f3"), listed beside the voices."""
        return self.language == "variant"

    @property
    def tag(self) -> str:
        """The language with its region ("en-gb-scotland", "en-029"); from a
        server without language_id, "fr-FR" or "fr"."""
        if self.language_id:
            return self.language_id
        iso, country = self.language_code_iso, self.country_code_iso
        return "%s-%s" % (iso, country) if country else iso


def _spelling(tag: str) -> str:
    """Lower case, "_" as "-": the spelling tags are compared in."""
    return tag.lower().replace("_", "-")


def _begins(tag: str, wanted: str) -> bool:
    """Whether tag is wanted or begins with it whole parts ("en" begins
    "en-gb-scotland", not "eng")."""
    return tag == wanted or tag.startswith(wanted + "-")


def speaks_language(voice: Voice, language: str) -> bool:
    """Whether the voice speaks a language, without regard to case: a
    language's name ("english"), or a tag ("en", "en-GB", "en_us") that is
    its tag or one of its languages, or begins one of them ("en" for
    "en-gb-scotland", "zh" for Chinese (Mandarin), which lists "zh")."""
    wanted = _spelling(language)
    if not wanted:
        return False
    tags = [voice.tag] + [entry.split(":")[0] for entry in voice.languages.split()]
    return _spelling(voice.language) == wanted or any(
        _begins(_spelling(tag), wanted) for tag in tags)


def voices_speaking(voices: Sequence[Voice], language: str) -> List[Voice]:
    """The voices that speak a language (as --list-voices LANG lists them)."""
    return [v for v in voices if speaks_language(v, language)]
