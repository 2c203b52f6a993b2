// SPDX-License-Identifier: GPL-3.0-or-later
// The module's configuration file (vrelay.conf), in Speech Dispatcher's
// syntax: one "Name value" per line, the value in double quotes when it has
// blanks, '#' starting a comment.
//
//   VrelayServer "HOST:PORT"   the speech server; without it the module
//                              starts one of its own on the loopback interface;
//                              "HOST:PORT,HOST:PORT..." tries them in order
//   VrelayResume 0|1           1 (the default): a message goes on from its
//                              last word when its server fails mid-text
//   DefaultVoice "NAME"        the voice when a message asks for none: a
//                              voice name or a language ("fr", "de-DE")
//   LogLevel N                 0 to 5; when given it wins over the level
//                              Speech Dispatcher sets
#ifndef VRELAY_SPEECHD_MODULE_CONFIG_H
#define VRELAY_SPEECHD_MODULE_CONFIG_H

#include <string>
#include <vector>

#include "transport/address.h"

namespace vrelay {
namespace speechd {

struct ModuleConfig {
    std::string host;  // "" without VrelayServer
    int port = 0;
    std::vector<HostPort> fallbacks;  // VrelayServer's other addresses
    bool resume = true;
    std::string defaultVoice;
    int logLevel = -1;  // -1: not given
    // One line for each thing read and not understood (the rest is used).
    std::vector<std::string> warnings;
};

// Reads text, the file's contents.
ModuleConfig ParseModuleConfig(const std::string& text);
// Reads the file at path; a missing or unreadable file gives the defaults
// and a warning.
ModuleConfig LoadModuleConfig(const std::string& path);

}  // namespace speechd
}  // namespace vrelay

#endif
