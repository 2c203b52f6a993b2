// SPDX-License-Identifier: GPL-3.0-or-later
#include "speechd/module_config.h"

#include <fstream>
#include <sstream>

#include "transport/address.h"

namespace vrelay {
namespace speechd {

namespace {

// The name and the value of a line: a quoted value keeps its blanks and '#';
// false for a blank or comment line.
bool SplitLine(const std::string& line, std::string* name, std::string* value, bool* closed) {
    size_t i = line.find_first_not_of(" \t\r");
    if (i == std::string::npos || line[i] == '#') {
        return false;
    }
    const size_t nameEnd = line.find_first_of(" \t\r", i);
    *name = line.substr(i, nameEnd - i);
    value->clear();
    *closed = true;
    i = nameEnd == std::string::npos ? line.size() : line.find_first_not_of(" \t\r", nameEnd);
    if (i == std::string::npos || line[i] == '#') {
        return true;
    }
    if (line[i] == '"') {
        const size_t close = line.find('"', i + 1);
        *closed = close != std::string::npos;
        *value = line.substr(i + 1, (*closed ? close : line.size()) - i - 1);
    } else {
        *value = line.substr(i, line.find_first_of(" \t\r#", i) - i);
    }
    return true;
}

}  // namespace

ModuleConfig ParseModuleConfig(const std::string& text) {
    ModuleConfig config;
    std::istringstream lines(text);
    std::string line, name, value;
    for (int number = 1; std::getline(lines, line); ++number) {
        bool closed = true;
        if (!SplitLine(line, &name, &value, &closed)) {
            continue;
        }
        const std::string where = "line " + std::to_string(number) + ": ";
        if (!closed) {
            config.warnings.push_back(where + "no closing quote");
        } else if (name == "VrelayServer") {
            std::vector<HostPort> addresses;
            std::string ignored;
            if (ParseAddressList(value, &addresses, &ignored)) {
                config.host = addresses[0].host;
                config.port = addresses[0].port;
                config.fallbacks.assign(addresses.begin() + 1, addresses.end());
            } else if (!value.empty()) {
                config.warnings.push_back(where + "VrelayServer wants HOST:PORT[,HOST:PORT...], not \"" +
                                          value + "\"");
            }
        } else if (name == "VrelayResume") {
            long resume = 1;
            if (!ParseWholeNumber(value, 0, 1, &resume)) {
                config.warnings.push_back(where + "VrelayResume wants 0 or 1, not \"" + value + "\"");
            } else {
                config.resume = resume == 1;
            }
        } else if (name == "DefaultVoice") {
            config.defaultVoice = value;
        } else if (name == "LogLevel") {
            long level = 0;
            if (!ParseWholeNumber(value, 0, 5, &level)) {
                config.warnings.push_back(where + "LogLevel wants 0 to 5, not \"" + value + "\"");
            } else {
                config.logLevel = static_cast<int>(level);
            }
        } else {
            config.warnings.push_back(where + "unknown option " + name);
        }
    }
    return config;
}

ModuleConfig LoadModuleConfig(const std::string& path) {
    std::ifstream file(path);
    if (!file) {
        ModuleConfig config;
        config.warnings.push_back("cannot read " + path + ": using the defaults");
        return config;
    }
    std::ostringstream text;
    text << file.rdbuf();
    ModuleConfig config = ParseModuleConfig(text.str());
    for (std::string& warning : config.warnings) {
        warning = path + ", " + warning;
    }
    return config;
}

}  // namespace speechd
}  // namespace vrelay
