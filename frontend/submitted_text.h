// SPDX-License-Identifier: GPL-3.0-or-later
// The text vrelay-say hands to the library is not the user's text: plain text
// is escaped (a '<' goes as "&lt;") and options add markup of their own (a
// <prosody> around everything). The library's word marks give byte offsets
// into what was submitted; SubmittedText builds that text piece by piece and
// maps the offsets back to the user's bytes.
//
// It keeps only the user's text from the last Forget on, so a long text read
// in blocks costs memory for the words not yet spoken, not for the whole text.
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

    // The end of the longest piece of text from `from` whose submitted form
    // takes at most budget bytes: after a line or sentence end if there is
    // one, else after a blank, else (one long word) where the budget ends;
    // text.size() when the rest fits. Never cuts a UTF-8 character.
    size_t Fit(const std::string& text, size_t from, size_t budget) const;

    // The user's bytes that the submitted range [offset, offset + length)
    // stands for; "" when the range lies outside the text or before the last
    // Forget. An entity is never cut: a range that starts or ends inside one
    // takes the whole character.
    std::string UserText(int64_t offset, int64_t length) const;
    // The user byte offset of a submitted offset.
    int64_t UserOffset(int64_t submitted) const { return Map(submitted, false); }
    // The bytes submitted so far.
    int64_t SubmittedBytes() const { return submittedSize_; }
    // The user's bytes appended so far.
    int64_t UserBytes() const { return userBase_ + static_cast<int64_t>(user_.size()); }

    // Nothing before this submitted offset will be asked for again.
    void Forget(int64_t submitted);

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
    size_t firstPiece_ = 0;  // pieces before it are forgotten
    bool forgotPieces_ = false;
    int64_t submittedSize_ = 0;
    std::string user_;      // the user's bytes from userBase_ on
    int64_t userBase_ = 0;  // user offset of user_[0]
};

}  // namespace frontend
}  // namespace vrelay

#endif
