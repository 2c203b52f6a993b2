// SPDX-License-Identifier: GPL-3.0-or-later
// The exit codes of vrelay-say and vrelay-server: one table, one meaning per
// code in both programs. A program killed by a signal (SIGINT, SIGTERM) ends
// by that signal, which shells report as 128 + its number.
#ifndef VRELAY_SERVER_EXIT_CODES_H
#define VRELAY_SERVER_EXIT_CODES_H

namespace vrelay {

enum ExitCode {
    kExitOk = 0,
    // The speech failed partway: the server refused or failed the request.
    kExitSpeechFailed = 1,
    // Bad usage: an unknown option, a missing or malformed value.
    kExitUsage = 2,
    // No speech server: none answers at the address given, or none can be
    // started (the engine does not start, the address cannot be bound).
    kExitNoServer = 3,
    // No voice matches the name asked for.
    kExitUnknownVoice = 4,
    // The input cannot be read, or holds nothing to speak.
    kExitInput = 5,
    // The output cannot be written.
    kExitOutput = 6,
    // No sound server to play through.
    kExitNoSound = 7,
};

}  // namespace vrelay

#endif
