// SPDX-License-Identifier: GPL-3.0-or-later
#include "speechd/module_protocol.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace vrelay {
namespace speechd {

namespace {

constexpr unsigned char kEscape = 0x7D;
constexpr unsigned char kFlip = 0x20;

struct CommandName {
    const char* name;
    Command command;
    bool block;
};

// A name matches when the end of the line or a blank follows it.
constexpr CommandName kCommands[] = {
    {"INIT", Command::kInit, false},          {"SPEAK", Command::kSpeak, true},
    {"CHAR", Command::kChar, true},           {"KEY", Command::kKey, true},
    {"SOUND_ICON", Command::kSoundIcon, true}, {"STOP", Command::kStop, false},
    {"PAUSE", Command::kPause, false},        {"SET", Command::kSet, true},
    {"AUDIO", Command::kAudio, true},         {"LOGLEVEL", Command::kLogLevel, true},
    {"DEBUG", Command::kDebug, false},        {"LIST VOICES", Command::kListVoices, false},
    {"QUIT", Command::kQuit, false},
};

bool StartsWithWord(const std::string& line, const char* word) {
    const size_t n = std::strlen(word);
    if (line.size() < n || (line.size() > n && line[n] != ' ')) {
        return false;
    }
    for (size_t i = 0; i < n; ++i) {
        if (std::toupper(static_cast<unsigned char>(line[i])) != word[i]) {
            return false;
        }
    }
    return true;
}

std::string OneLine(const std::string& text) {
    std::string out = text;
    std::replace(out.begin(), out.end(), '\n', ' ');
    std::replace(out.begin(), out.end(), '\r', ' ');
    return out;
}

}  // namespace

void ModuleReader::Feed(const char* data, size_t size) {
    while (size > 0) {
        const char* end = static_cast<const char*>(std::memchr(data, '\n', size));
        const size_t take = end != nullptr ? static_cast<size_t>(end - data) : size;
        // A dot line always fits, so an overflowing block still ends.
        const size_t limit =
            std::max<size_t>(2, in_block_ ? max_block_ - std::min(max_block_, block_.block.size())
                                         : max_line_);
        const size_t room = limit - std::min(limit, line_.size());
        line_.append(data, std::min(take, room));
        line_overflow_ = line_overflow_ || take > room;
        if (end == nullptr) {
            return;
        }
        data += take + 1;
        size -= take + 1;
        std::string line;
        line.swap(line_);
        OnLine(std::move(line));
        line_overflow_ = false;
    }
}

void ModuleReader::OnLine(std::string line) {
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    if (in_block_) {
        if (line == "." && !line_overflow_) {
            in_block_ = false;
            block_.part = Request::kBlock;
            ready_.push_back(std::move(block_));
            block_ = Request();
            return;
        }
        if (block_.overflow) {
            return;  // the rest of an overlong block is dropped
        }
        if (!line.empty() && line[0] == '.') {
            line.erase(0, 1);
        }
        if (block_lines_++ > 0) {
            line.insert(0, 1, '\n');
        }
        const size_t room = max_block_ - std::min(max_block_, block_.block.size());
        if (line_overflow_ || line.size() > room) {
            block_.overflow = true;
            line.resize(std::min(room, line.size()));
        }
        block_.block += line;
        return;
    }
    Request request;
    request.overflow = line_overflow_;
    for (const CommandName& name : kCommands) {
        if (!StartsWithWord(line, name.name)) {
            continue;
        }
        request.command = name.command;
        const size_t n = std::strlen(name.name);
        request.argument = line.size() > n ? line.substr(n + 1) : std::string();
        if (name.block) {
            request.part = Request::kHeader;
            block_ = Request();
            block_.command = name.command;
            block_lines_ = 0;
            in_block_ = true;
        }
        break;
    }
    if (request.command == Command::kUnknown) {
        request.argument = line;
    }
    ready_.push_back(std::move(request));
}

bool ModuleReader::Next(Request* request) {
    if (next_ready_ == ready_.size()) {
        ready_.clear();
        next_ready_ = 0;
        return false;
    }
    *request = std::move(ready_[next_ready_++]);
    return true;
}

std::string FormatReply(int code, const std::string& text) {
    return std::to_string(code) + " " + OneLine(text) + "\n";
}

std::string FormatReply(int code, const std::vector<std::string>& lines, const std::string& text) {
    std::string out;
    const std::string prefix = std::to_string(code) + "-";
    for (const std::string& line : lines) {
        out += prefix + OneLine(line) + "\n";
    }
    return out + FormatReply(code, text);
}

std::string FormatIndexMark(const std::string& name) {
    return FormatReply(700, {name}, "INDEX MARK");
}

void EscapeAudio(const unsigned char* data, size_t size, std::string* out) {
    out->reserve(out->size() + size + size / 64 + 16);
    for (size_t i = 0; i < size; ++i) {
        const unsigned char byte = data[i];
        if (byte == '\n' || byte == kEscape) {
            out->push_back(static_cast<char>(kEscape));
            out->push_back(static_cast<char>(byte ^ kFlip));
        } else {
            out->push_back(static_cast<char>(byte));
        }
    }
}

bool UnescapeAudio(const std::string& escaped, std::vector<unsigned char>* out) {
    for (size_t i = 0; i < escaped.size(); ++i) {
        unsigned char byte = static_cast<unsigned char>(escaped[i]);
        if (byte == kEscape) {
            if (++i == escaped.size()) {
                return false;
            }
            byte = static_cast<unsigned char>(escaped[i]) ^ kFlip;
        }
        out->push_back(byte);
    }
    return true;
}

std::string FormatAudio(const unsigned char* pcm, size_t bytes, uint32_t sampleRate) {
    const size_t samples = bytes / 2;
    std::string out = "705-bits=16\n705-num_channels=1\n705-sample_rate=" +
                      std::to_string(sampleRate) + "\n705-num_samples=" + std::to_string(samples) +
                      "\n705-big_endian=0\n705-AUDIO";
    out.push_back('\0');
    EscapeAudio(pcm, samples * 2, &out);
    out += "\n705 AUDIO\n";
    return out;
}

}  // namespace speechd
}  // namespace vrelay
