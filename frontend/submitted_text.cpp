// SPDX-License-Identifier: GPL-3.0-or-later
#include "frontend/submitted_text.h"

#include <algorithm>
#include <cstring>

#include "wire/xml_escape.h"

namespace vrelay {
namespace frontend {

namespace {

const char* EntityFor(char c) {
    return wire::XmlEntity(c, wire::XmlContext::kText);
}

}  // namespace

void SubmittedText::AddPiece(int64_t userLength, int64_t submittedLength) {
    pieces_.push_back({submittedSize_, UserBytes(), submittedLength, userLength});
}

std::string SubmittedText::AppendUser(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        const char* entity = escape_ ? EntityFor(c) : nullptr;
        if (entity == nullptr) {
            out.push_back(c);
            user_.push_back(c);
            ++submittedSize_;
            continue;
        }
        const std::string escaped = entity;
        AddPiece(1, static_cast<int64_t>(escaped.size()));
        out += escaped;
        user_.push_back(c);
        submittedSize_ += static_cast<int64_t>(escaped.size());
    }
    return out;
}

std::string SubmittedText::AppendMarkup(const std::string& markup) {
    AddPiece(0, static_cast<int64_t>(markup.size()));
    submittedSize_ += static_cast<int64_t>(markup.size());
    return markup;
}

size_t SubmittedText::Fit(const std::string& text, size_t from, size_t budget) const {
    size_t used = 0;
    size_t blank = std::string::npos;     // end after the last blank
    size_t sentence = std::string::npos;  // end after the last line or sentence end
    size_t i = from;
    for (; i < text.size(); ++i) {
        const char* entity = escape_ ? EntityFor(text[i]) : nullptr;
        used += entity != nullptr ? std::strlen(entity) : 1;
        if (used > budget) {
            break;
        }
        const char c = text[i];
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
            blank = i + 1;
            const char before = i > from ? text[i - 1] : 0;
            if (c == '\n' || before == '.' || before == '?' || before == '!') {
                sentence = i + 1;
            }
        }
    }
    if (i == text.size()) {
        return i;
    }
    if (sentence != std::string::npos) {
        return sentence;
    }
    if (blank != std::string::npos) {
        return blank;
    }
    // One word longer than the budget: cut before a character's start byte.
    while (i > from + 1 && (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) {
        --i;
    }
    return std::max(i, from + 1);
}

int64_t SubmittedText::Map(int64_t submitted, bool end) const {
    // The last piece starting before (end) or at (start) the offset.
    const auto first = pieces_.begin() + static_cast<std::ptrdiff_t>(firstPiece_);
    auto after = std::upper_bound(
        first, pieces_.end(), submitted, [end](int64_t offset, const Piece& piece) {
            return end ? offset <= piece.submitted : offset < piece.submitted;
        });
    if (after == first) {
        // Before every remembered piece: the texts are equal up to the first
        // piece, unless earlier pieces were forgotten.
        return forgotPieces_ ? -1 : submitted;
    }
    const Piece& piece = *(after - 1);
    const int64_t into = submitted - piece.submitted;
    if (into < piece.submittedLength || (end && into == piece.submittedLength)) {
        return end ? piece.user + piece.userLength : piece.user;
    }
    return piece.user + piece.userLength + (into - piece.submittedLength);
}

std::string SubmittedText::UserText(int64_t offset, int64_t length) const {
    if (offset < 0 || length < 0 || offset + length > submittedSize_) {
        return std::string();
    }
    const int64_t from = Map(offset, false);
    const int64_t to = Map(offset + length, true);
    if (from < userBase_ || to < from) {
        return std::string();
    }
    return user_.substr(static_cast<size_t>(from - userBase_), static_cast<size_t>(to - from));
}

void SubmittedText::Forget(int64_t submitted) {
    const int64_t user = std::max(userBase_, Map(submitted, false));
    const int64_t drop = user - userBase_;
    // Erasing from the front costs the whole buffer: do it when half is dead.
    if (drop > 0 && drop >= static_cast<int64_t>(user_.size()) / 2 && drop >= 4096) {
        user_.erase(0, static_cast<size_t>(drop));
        userBase_ = user;
    }
    // Keep the last piece at or before the offset: later offsets map from it.
    while (firstPiece_ + 1 < pieces_.size() && pieces_[firstPiece_ + 1].submitted <= submitted) {
        ++firstPiece_;
        forgotPieces_ = true;
    }
    if (firstPiece_ >= 4096 && firstPiece_ >= pieces_.size() / 2) {
        pieces_.erase(pieces_.begin(), pieces_.begin() + static_cast<std::ptrdiff_t>(firstPiece_));
        firstPiece_ = 0;
    }
}

}  // namespace frontend
}  // namespace vrelay
