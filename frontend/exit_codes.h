// SPDX-License-Identifier: GPL-3.0-or-later
// The doors' exit codes, one table for all: frontend/data/exit_codes.tsv
// (code, name, meaning), compiled in and checked against this enum when the
// core builds, and read by the Python package. A door killed by a signal
// (SIGINT, SIGTERM) ends by that signal, which shells report as 128 + its
// number.
//
// Doors: vrelay-say and vrelay-web return these from main and end their help
// with ExitCodeHelp of the codes they use; python3 -m vrelay exits with the
// same codes from the same file. vrelay-server has codes of its own
// (server/exit_codes.h), which agree with these where they mean the same.
#ifndef VRELAY_FRONTEND_EXIT_CODES_H
#define VRELAY_FRONTEND_EXIT_CODES_H

#include <initializer_list>
#include <string>

namespace vrelay {
namespace frontend {

enum ExitCode {
    kExitOk = 0,
    // The speech failed partway: the server refused or failed the request.
    kExitSpeechFailed = 1,
    // Bad usage: an unknown option, a missing or malformed value.
    kExitUsage = 2,
    // No speech server: none answers at the address given (the connection is
    // refused, the host is unknown, what answers is not a speech server), or
    // none can be started.
    kExitNoServer = 3,
    // No voice matches the name asked for.
    kExitUnknownVoice = 4,
    // The input cannot be read, or holds nothing to speak.
    kExitInput = 5,
    // The output cannot be written.
    kExitOutput = 6,
    // No sound server to play through.
    kExitNoSound = 7,
    // vrelay-web cannot listen on the address given.
    kExitCannotListen = 8,
};

// The table's name of a code ("no_server"), or "" for a code not in it.
const char* ExitCodeName(int code);
// What a code means, as help texts say it ("no speech server"), or "".
const char* ExitCodeMeaning(int code);
// "Exit codes: 0 done, 1 the speech failed partway, ... ." for the codes
// given, wrapped to lines of at most width columns.
std::string ExitCodeHelp(std::initializer_list<ExitCode> codes, size_t width = 78);

}  // namespace frontend
}  // namespace vrelay

#endif
