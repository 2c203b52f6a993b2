// SPDX-License-Identifier: GPL-3.0-or-later
// The exit codes of vrelay-server. The front ends have theirs in
// frontend/data/exit_codes.tsv; where a code means the same thing (bad
// usage, no server, unknown voice) it has the same number here. A program
// killed by a signal (SIGINT, SIGTERM) ends by that signal, which shells
// report as 128 + its number.
#ifndef VRELAY_SERVER_EXIT_CODES_H
#define VRELAY_SERVER_EXIT_CODES_H

namespace vrelay {

enum ExitCode {
    kExitOk = 0,
    // Bad usage: an unknown option, a missing or malformed value.
    kExitUsage = 2,
    // The server cannot start: the engine does not start, or the address
    // cannot be bound.
    kExitNoServer = 3,
    // No voice matches the --voice asked for.
    kExitUnknownVoice = 4,
};

}  // namespace vrelay

#endif
