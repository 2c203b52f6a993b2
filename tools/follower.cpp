// SPDX-License-Identifier: GPL-3.0-or-later
#include "tools/follower.h"

#include <chrono>

namespace vrelay {
namespace tools {

namespace {

// How often the clock is read: a word shows at most this late.
constexpr auto kPoll = std::chrono::milliseconds(4);

// Control characters would move the cursor.
std::string Printable(const std::string& text) {
    std::string out = text;
    for (char& c : out) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
            c = '?';
        }
    }
    return out;
}

}  // namespace

int TextColumns(const std::string& text) {
    int width = 0;
    for (char c : text) {
        width += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    }
    return width;
}

Follower::Follower(std::function<int64_t()> clock, FILE* out, int columns)
    : clock_(std::move(clock)), out_(out), columns_(columns) {
    thread_ = std::thread(&Follower::Run, this);
}

Follower::~Follower() {
    Finish();
}

void Follower::Add(int64_t sample, double seconds, const std::string& word) {
    std::lock_guard<std::mutex> lock(mutex_);
    const int width = TextColumns(word);
    if (row_width_ > 0 && row_width_ + 1 + width > columns_ - 1) {
        ++row_;
        row_width_ = 0;
    }
    row_width_ += (row_width_ > 0 ? 1 : 0) + width;
    pending_.push_back(Word{sample, seconds, Printable(word), row_});
}

void Follower::Finish() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        finishing_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) {
        thread_.join();
    }
}

void Follower::Run() {
    for (;;) {
        std::vector<Word> heard;
        std::vector<Word> coming;
        bool last = false;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait_for(lock, kPoll, [this] { return finishing_; });
            last = finishing_;
        }
        // The clock is read without the lock: it may wait on the sound server.
        const int64_t now = last ? INT64_MAX : clock_();
        {
            std::lock_guard<std::mutex> lock(mutex_);
            // A word is heard once its first sample is.
            while (!pending_.empty() && pending_.front().sample < now) {
                heard.push_back(std::move(pending_.front()));
                pending_.pop_front();
            }
            const int row = !heard.empty()   ? heard.back().row
                            : !line_.empty() ? line_.front().row
                                             : -1;
            for (const Word& word : pending_) {
                if (word.row != row || columns_ <= 0) {
                    break;
                }
                coming.push_back(word);
            }
        }
        Show(heard, coming, last);
        if (last) {
            return;
        }
    }
}

void Follower::Show(const std::vector<Word>& heard, const std::vector<Word>& coming, bool last) {
    if (columns_ <= 0) {
        for (const Word& word : heard) {
            std::fprintf(out_, "%9.3f  %s\n", word.seconds, word.text.c_str());
        }
        if (!heard.empty()) {
            std::fflush(out_);
        }
        return;
    }
    bool changed = !heard.empty() || coming.size() != line_shown_coming_;
    for (const Word& word : heard) {
        if (!line_.empty() && word.row != line_.front().row) {
            // The line is done: shown plain, and the next begins below it.
            std::string done = "\r\x1b[K";
            for (size_t i = 0; i < line_.size(); ++i) {
                done += (i ? " " : "") + line_[i].text;
            }
            std::fprintf(out_, "%s\n", done.c_str());
            line_.clear();
        }
        line_.push_back(word);
    }
    line_shown_coming_ = coming.size();
    if (last) {
        changed = !line_.empty();
    }
    if (!changed) {
        return;
    }
    std::string text = "\r\x1b[K";
    for (size_t i = 0; i < line_.size(); ++i) {
        const bool current = i + 1 == line_.size() && !last;
        text += i ? " " : "";
        text += current ? "\x1b[7m" + line_[i].text + "\x1b[27m" : line_[i].text;
    }
    for (const Word& word : coming) {
        text += " \x1b[2m" + word.text + "\x1b[22m";
    }
    std::fputs(text.c_str(), out_);
    if (last) {
        std::fputc('\n', out_);
    }
    std::fflush(out_);
}

}  // namespace tools
}  // namespace vrelay
