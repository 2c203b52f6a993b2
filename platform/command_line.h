// SPDX-License-Identifier: MIT
// The option errors of vrelay's programs, worded the same in each. The
// programs scan with getopt_long, opterr = 0 and ':' leading the short
// options, so a missing value comes back as ':' and an unknown option as '?'.
// (POSIX programs only: the Windows build has none of them.)
#ifndef VRELAY_PLATFORM_COMMAND_LINE_H
#define VRELAY_PLATFORM_COMMAND_LINE_H

#include <string>

namespace vrelay {

// Right after getopt_long returned ':' or '?': "option --rate needs a value"
// or "unknown option --frob", the option as typed without its "=value".
std::string OptionError(int getopt_result, char* const* argv);

}  // namespace vrelay

#endif
