// SPDX-License-Identifier: MIT
#include "platform/command_line.h"

#include <getopt.h>

namespace vrelay {

namespace {

// What getopt_long stopped at: a short option by its letter (it may stand in
// a cluster like -qx), a long one as the word before optind.
std::string Offending(char* const* argv) {
    if (optopt > 0 && optopt < 256) {
        return std::string("-") + static_cast<char>(optopt);
    }
    const std::string arg = argv[optind - 1];
    return arg.substr(0, arg.find('='));
}

}  // namespace

std::string OptionError(int getopt_result, char* const* argv) {
    if (getopt_result == ':') {
        return "option " + Offending(argv) + " needs a value";
    }
    return "unknown option " + Offending(argv);
}

}  // namespace vrelay
