// SPDX-License-Identifier: GPL-3.0-or-later
#include "speechd/module_config.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

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

// "host:port" or "[v6 address]:port".
bool ParseAddress(const std::string& text, std::string* host, int* port) {
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0) {
        return false;
    }
    std::string name = text.substr(0, colon);
    if (name.size() > 2 && name.front() == '[' && name.back() == ']') {
        name = name.substr(1, name.size() - 2);
    }
    char* end = nullptr;
    const long number = std::strtol(text.c_str() + colon + 1, &end, 10);
    if (end == text.c_str() + colon + 1 || *end != '\0' || number < 1 || number > 65535) {
        return false;
    }
    *host = name;
    *port = static_cast<int>(number);
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
            if (!value.empty() && !ParseAddress(value, &config.host, &config.port)) {
                config.warnings.push_back(where + "VrelayServer wants HOST:PORT, not \"" + value +
                                          "\"");
            }
        } else if (name == "DefaultVoice") {
            config.defaultVoice = value;
        } else if (name == "LogLevel") {
            char* end = nullptr;
            const long level = std::strtol(value.c_str(), &end, 10);
            if (value.empty() || *end != '\0' || level < 0 || level > 5) {
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
