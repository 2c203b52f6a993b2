// SPDX-License-Identifier: GPL-3.0-or-later
#include "tools/text_source.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vrelay {
namespace tools {

namespace {

constexpr size_t kBlockSize = 64 * 1024;
// A live line longer than this goes without waiting for its end.
constexpr size_t kLongestWait = 4000;

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// Where a live block may end: after the last line end or sentence end (. ? or
// ! with any closing quotes or brackets, then a blank); after the last blank
// of text too long to wait for; 0 when it must wait.
size_t LiveCut(const std::string& text) {
    for (size_t i = text.size(); i > 0; --i) {
        const char c = text[i - 1];
        if (c == '\n') {
            return i;
        }
        if (!IsBlank(c)) {
            continue;
        }
        size_t k = i - 1;
        while (k > 0 && std::strchr("\"')]", text[k - 1]) != nullptr) {
            --k;
        }
        if (k > 0 && std::strchr(".?!", text[k - 1]) != nullptr) {
            return i;
        }
    }
    if (text.size() > kLongestWait) {
        const size_t blank = text.find_last_of(" \t\r\n");
        return blank == std::string::npos ? text.size() : blank + 1;
    }
    return 0;
}

}  // namespace

TextSource::~TextSource() {
    if (owns_fd_) {
        ::close(fd_);
    }
}

bool TextSource::Open(const SayOptions& options, std::string* error) {
    lines_ = options.stream;
    if (!options.words.empty() && options.file.empty() && !options.stream) {
        std::string words;
        for (size_t i = 0; i < options.words.size(); ++i) {
            words += (i ? " " : "") + options.words[i];
        }
        pending_ = cleaner_.Clean(words, true);
        size_ = static_cast<int64_t>(words.size());
        return true;
    }
    if (!options.file.empty() && options.file != "-") {
        name_ = options.file;
        fd_ = ::open(options.file.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd_ < 0) {
            *error = "cannot read " + name_ + ": " + std::strerror(errno);
            return false;
        }
        owns_fd_ = true;
    } else {
        name_ = "standard input";
        fd_ = STDIN_FILENO;
    }
    struct stat st {};
    if (::fstat(fd_, &st) == 0 && S_ISDIR(st.st_mode)) {
        *error = name_ + " is a directory, not a file of text";
        return false;
    }
    if (S_ISREG(st.st_mode)) {
        size_ = static_cast<int64_t>(st.st_size);
        if (size_ == 0) {
            *error = name_ + " is empty: there is no text to speak";
            return false;
        }
    }
    ended_ = false;
    if (!lines_) {
        Fill();
    }
    return true;
}

bool TextSource::KnownBlank() const {
    return !lines_ && ended_ && pending_.find_first_not_of(" \t\r\n") == std::string::npos;
}

bool TextSource::ReadOnce() {
    char buffer[kBlockSize];
    ssize_t n;
    do {
        n = ::read(fd_, buffer, sizeof buffer);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        error_ = "cannot read " + name_ + ": " + std::strerror(errno);
    }
    ended_ = n <= 0;
    pending_ += cleaner_.Clean(std::string(buffer, n > 0 ? static_cast<size_t>(n) : 0), ended_);
    return !ended_;
}

void TextSource::Fill() {
    while (!ended_ && pending_.size() < kBlockSize && ReadOnce()) {
    }
}

bool TextSource::Next(std::string* block) {
    block->clear();
    if (lines_) {
        for (;;) {
            const size_t cut = LiveCut(pending_);
            if (cut > 0 || (ended_ && !pending_.empty())) {
                const size_t end = cut > 0 ? cut : pending_.size();
                block->assign(pending_, 0, end);
                pending_.erase(0, end);
                return true;
            }
            if (ended_) {
                return false;
            }
            ReadOnce();
        }
    }
    Fill();
    if (pending_.empty()) {
        return false;
    }
    size_t cut = pending_.size();
    if (!ended_) {
        const size_t blank = pending_.find_last_of(" \t\r\n");
        cut = blank == std::string::npos ? pending_.size() : blank + 1;
    }
    block->assign(pending_, 0, cut);
    pending_.erase(0, cut);
    return true;
}

}  // namespace tools
}  // namespace vrelay
