#include "tools/text_source.h"

#include <cerrno>
#include <cstring>
#include <iostream>

namespace vrelay {
namespace tools {

namespace {

constexpr size_t kBlockSize = 64 * 1024;

}  // namespace

bool TextSource::Open(const SayOptions& options, std::string* error) {
    lines_ = options.stream;
    if (!options.file.empty() && options.file != "-") {
        file_.open(options.file, std::ios::binary | std::ios::ate);
        if (!file_) {
            *error = "cannot read " + options.file + ": " + std::strerror(errno);
            return false;
        }
        size_ = static_cast<int64_t>(file_.tellg());
        file_.seekg(0);
        in_ = &file_;
    } else if (!options.words.empty() && options.file.empty() && !options.stream) {
        for (size_t i = 0; i < options.words.size(); ++i) {
            pending_ += (i ? " " : "") + options.words[i];
        }
        size_ = static_cast<int64_t>(pending_.size());
    } else {
        in_ = &std::cin;
    }
    if (!lines_) {
        Fill();
    }
    return true;
}

bool TextSource::KnownBlank() const {
    return !lines_ && (in_ == nullptr || !*in_) &&
           pending_.find_first_not_of(" \t\r\n") == std::string::npos;
}

bool TextSource::Next(std::string* block) {
    block->clear();
    if (lines_) {
        if (!std::getline(*in_, *block)) {
            return false;
        }
        *block += '\n';
        return true;
    }
    Fill();
    if (pending_.empty()) {
        return false;
    }
    size_t cut = pending_.size();
    if (in_ != nullptr && *in_) {
        const size_t blank = pending_.find_last_of(" \t\r\n");
        cut = blank == std::string::npos ? pending_.size() : blank + 1;
    }
    block->assign(pending_, 0, cut);
    pending_.erase(0, cut);
    return true;
}

void TextSource::Fill() {
    if (in_ != nullptr && pending_.size() < kBlockSize && *in_) {
        const size_t had = pending_.size();
        pending_.resize(had + kBlockSize);
        in_->read(&pending_[had], static_cast<std::streamsize>(kBlockSize));
        pending_.resize(had + static_cast<size_t>(in_->gcount()));
    }
}

}  // namespace tools
}  // namespace vrelay
