// SPDX-License-Identifier: MIT
#include "wire/prosody_value.h"

#include <cctype>
#include <cmath>
#include <cstdlib>

namespace vrelay {
namespace wire {

namespace {

std::string Lower(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

bool IsLetter(char c) {
    return std::isalpha(static_cast<unsigned char>(c)) != 0;
}

}  // namespace

bool ReadProsodyValue(const std::string& text, ProsodyValue* value) {
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) {
        return false;
    }
    const std::string word = text.substr(first, text.find_last_not_of(" \t") + 1 - first);
    ProsodyValue read;
    if (IsLetter(word[0])) {
        for (char c : word) {
            if (!IsLetter(c) && c != '-') {
                return false;
            }
        }
        read.name = Lower(word);
        *value = read;
        return true;
    }
    size_t at = 0;
    if (word[0] == '+' || word[0] == '-') {
        read.sign = word[0] == '+' ? 1 : -1;
        ++at;
    }
    // Digits with at most one point: strtod would also take "inf", "0x1p3".
    const size_t start = at;
    bool point = false;
    while (at < word.size() &&
           (std::isdigit(static_cast<unsigned char>(word[at])) || (word[at] == '.' && !point))) {
        point = point || word[at] == '.';
        ++at;
    }
    if (at == start || (at == start + 1 && point)) {
        return false;
    }
    for (size_t k = at; k < word.size(); ++k) {
        if (!IsLetter(word[k]) && word[k] != '%') {
            return false;
        }
    }
    read.number = std::strtod(word.substr(start, at - start).c_str(), nullptr);
    read.unit = Lower(word.substr(at));
    if (!std::isfinite(read.number)) {
        return false;
    }
    *value = read;
    return true;
}

}  // namespace wire
}  // namespace vrelay
