// SPDX-License-Identifier: GPL-3.0-or-later
#include "frontend/exit_codes.h"

namespace vrelay {
namespace frontend {

namespace {

struct Row {
    const char* code;
    const char* name;
    const char* meaning;
};

constexpr Row kRows[] = {
#define ROW(code, name, meaning) {code, name, meaning},
#include "frontend/exit_codes.inc"
#undef ROW
};
constexpr size_t kCount = sizeof kRows / sizeof kRows[0];

constexpr bool Same(const char* a, const char* b) {
    while (*a != 0 && *a == *b) {
        ++a;
        ++b;
    }
    return *a == *b;
}

constexpr int Number(const char* text) {
    int value = 0;
    for (; *text != 0; ++text) {
        value = value * 10 + (*text - '0');
    }
    return value;
}

// The enum is the file's table: row k holds code k under the enum's name.
constexpr bool Holds(ExitCode code, const char* name) {
    return static_cast<size_t>(code) < kCount && Number(kRows[code].code) == code &&
           Same(kRows[code].name, name);
}
static_assert(kCount == 9, "exit_codes.tsv and ExitCode list different codes");
static_assert(Holds(kExitOk, "ok") && Holds(kExitSpeechFailed, "speech_failed") &&
                  Holds(kExitUsage, "usage") && Holds(kExitNoServer, "no_server") &&
                  Holds(kExitUnknownVoice, "unknown_voice") && Holds(kExitInput, "input") &&
                  Holds(kExitOutput, "output") && Holds(kExitNoSound, "no_sound") &&
                  Holds(kExitCannotListen, "cannot_listen"),
              "exit_codes.tsv and ExitCode disagree");

}  // namespace

const char* ExitCodeName(int code) {
    return code >= 0 && static_cast<size_t>(code) < kCount ? kRows[code].name : "";
}

const char* ExitCodeMeaning(int code) {
    return code >= 0 && static_cast<size_t>(code) < kCount ? kRows[code].meaning : "";
}

std::string ExitCodeHelp(std::initializer_list<ExitCode> codes, size_t width) {
    std::string help;
    std::string line = "Exit codes:";
    size_t left = codes.size();
    for (ExitCode code : codes) {
        const std::string item = std::to_string(code) + " " + ExitCodeMeaning(code) +
                                 (--left > 0 ? "," : ".");
        if (line.size() + 1 + item.size() > width) {
            help += line + "\n";
            line = item;
        } else {
            line += " " + item;
        }
    }
    return help + line + "\n";
}

}  // namespace frontend
}  // namespace vrelay
