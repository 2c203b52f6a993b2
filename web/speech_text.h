// SPDX-License-Identifier: GPL-3.0-or-later
// The text of one speaking session as the bridge submits it. The page's text,
// from the word the page chose, goes in requests of about kRequestBytes cut
// after a sentence (so that the bridge asks the server for little more audio
// than the page is about to play), each wrapped in the session's prosody
// element. Plain text is escaped. Markup is cut only between tags: the
// elements open at a cut are closed before it and opened again after it, and
// speaking from a word opens again the elements open there. The word marks of
// a request map back to the page's text in UTF-16 code units, the way a
// JavaScript string counts.
#ifndef VRELAY_WEB_SPEECH_TEXT_H
#define VRELAY_WEB_SPEECH_TEXT_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "frontend/submitted_text.h"
#include "web/frames.h"

namespace vrelay {
namespace web {

class SpeechText {
  public:
    static constexpr size_t kRequestBytes = 1000;

    // False with *error when the text is not UTF-8, holds a NUL character,
    // or start does not fall on a character of it (its length is allowed).
    bool Start(const SpeakRequest& request, std::string* error);
    // The next request to submit; false once the text is used up. Requests
    // with nothing to speak are skipped.
    bool NextRequest(std::string* submit);
    // The page range of a word of the last request, given its mark's byte
    // offset and byte length in that request. False when it lies outside.
    bool WordRange(int64_t byteOffset, int64_t byteLength, uint32_t* begin, uint32_t* end);

  private:
    struct OpenTag {
        std::string name;
        std::string tag;  // as written, "<prosody rate='slow'>"
    };
    size_t Cut(size_t from) const;
    // Follows the tags of text_[from, to) into open_.
    void FollowTags(size_t from, size_t to);
    uint32_t Utf16At(size_t byte);

    std::string text_;
    bool markup_ = false;
    std::string prosody_;  // "" or the prosody start tag
    size_t next_ = 0;      // byte offset of what is not yet submitted
    std::vector<OpenTag> open_;
    std::unique_ptr<frontend::SubmittedText> request_;
    size_t requestBase_ = 0;  // byte offset of the last request's first user byte
    size_t cursorByte_ = 0;   // Utf16At's last answer, where the next search starts
    uint32_t cursorUnit_ = 0;
};

}  // namespace web
}  // namespace vrelay

#endif
