// SPDX-License-Identifier: GPL-3.0-or-later
#include "frontend/submitted_text.h"

#include <algorithm>

#include "wire/xml_escape.h"

namespace vrelay {
namespace frontend {

namespace {

const char* EntityFor(char c) {
    return wire::XmlEntity(c, wire::XmlContext::kText);
}

}  // namespace

void SubmittedText::AddPiece(int64_t userLength, int64_t submittedLength) {
    pieces_.push_back({submitted_size_, UserBytes(), submittedLength, userLength});
}

std::string SubmittedText::AppendUser(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        const char* entity = escape_ ? EntityFor(c) : nullptr;
        if (entity == nullptr) {
            out.push_back(c);
            user_.push_back(c);
            ++submitted_size_;
            continue;
        }
        const std::string escaped = entity;
        AddPiece(1, static_cast<int64_t>(escaped.size()));
        out += escaped;
        user_.push_back(c);
        submitted_size_ += static_cast<int64_t>(escaped.size());
    }
    return out;
}

std::string SubmittedText::AppendMarkup(const std::string& markup) {
    AddPiece(0, static_cast<int64_t>(markup.size()));
    submitted_size_ += static_cast<int64_t>(markup.size());
    return markup;
}

int64_t SubmittedText::Map(int64_t submitted, bool end) const {
    // The last piece starting before (end) or at (start) the offset.
    auto after = std::upper_bound(
        pieces_.begin(), pieces_.end(), submitted, [end](int64_t offset, const Piece& piece) {
            return end ? offset <= piece.submitted : offset < piece.submitted;
        });
    if (after == pieces_.begin()) {
        return submitted;  // before every piece the texts are equal
    }
    const Piece& piece = *(after - 1);
    const int64_t into = submitted - piece.submitted;
    if (into < piece.submittedLength || (end && into == piece.submittedLength)) {
        return end ? piece.user + piece.userLength : piece.user;
    }
    return piece.user + piece.userLength + (into - piece.submittedLength);
}

std::string SubmittedText::UserText(int64_t offset, int64_t length) const {
    if (offset < 0 || length < 0 || offset + length > submitted_size_) {
        return std::string();
    }
    const int64_t from = Map(offset, false);
    const int64_t to = Map(offset + length, true);
    if (from < 0 || to < from) {
        return std::string();
    }
    return user_.substr(static_cast<size_t>(from), static_cast<size_t>(to - from));
}

}  // namespace frontend
}  // namespace vrelay
