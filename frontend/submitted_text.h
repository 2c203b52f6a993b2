// SPDX-License-Identifier: GPL-3.0-or-later
// The text a door hands to the library is not the user's text: plain text is
// escaped (a '<' goes as "&lt;") and the core adds markup of its own (a
// <prosody> around a request, the elements reopened after a cut). The
// library's word marks give byte offsets into what was submitted;
// SubmittedText builds one request's text piece by piece and maps the
// offsets back to the user's bytes. The request cutter keeps one per request.
//
// Doors: none uses it directly; they get words mapped back through the
// request cutter (Request::Word) and the answer decoder's WordEvent. (The
// Python package keeps its own map of the same kind for its own requests.)
#ifndef VRELAY_FRONTEND_SUBMITTED_TEXT_H
#define VRELAY_FRONTEND_SUBMITTED_TEXT_H

#include <cstdint>
#include <string>
#include <vector>

namespace vrelay {
namespace frontend {

class SubmittedText {
  public:
    // escape: &, < and > of the user's text are sent as entities (literal
    // text); otherwise the user's text is sent as it is (markup).
    explicit SubmittedText(bool escape) : escape_(escape) {}

    // Appends the user's text; returns what to submit for it.
    std::string AppendUser(const std::string& text);
    // Appends markup of the tool's own, which no user byte corresponds to;
    // returns it.
    std::string AppendMarkup(const std::string& markup);

    // The user's bytes that the submitted range [offset, offset + length)
    // stands for; "" when the range lies outside the text. An entity is never
    // cut: a range that starts or ends inside one takes the whole character.
    std::string UserText(int64_t offset, int64_t length) const;
    // The user byte offset of a submitted offset.
    int64_t UserOffset(int64_t submitted) const { return Map(submitted, false); }
    // The bytes submitted so far.
    int64_t SubmittedBytes() const { return submitted_size_; }
    // The user's bytes appended so far.
    int64_t UserBytes() const { return static_cast<int64_t>(user_.size()); }

  private:
    // A piece of submitted text that is not a byte-for-byte copy: an entity
    // (submittedLength 4 or 5, userLength 1) or the tool's markup (userLength
    // 0). Between two pieces the texts are equal byte for byte.
    struct Piece {
        int64_t submitted;
        int64_t user;
        int64_t submittedLength;
        int64_t userLength;
    };
    // end: the offset ends a range (a piece starting there is not entered).
    int64_t Map(int64_t submitted, bool end) const;
    void AddPiece(int64_t userLength, int64_t submittedLength);

    bool escape_;
    std::vector<Piece> pieces_;
    int64_t submitted_size_ = 0;
    std::string user_;
};

}  // namespace frontend
}  // namespace vrelay

#endif
