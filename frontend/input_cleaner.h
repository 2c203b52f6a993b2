// SPDX-License-Identifier: GPL-3.0-or-later
// Makes the bytes a user hands a door into the UTF-8 text that is spoken:
//  - a byte-order mark at the start is dropped; NUL bytes are dropped, the
//    first one reported with its offset; bytes that are not UTF-8 are read as
//    Windows-1252 (Latin-1 with printable characters at 0x80 to 0x9F),
//    reported once;
//  - a no-break or other wide space (U+00A0, U+2000 to U+200A, U+202F,
//    U+205F, U+3000) becomes blanks, and so does, in markup, an entity for
//    one (&nbsp;, &#160;, &thinsp; ...): a listener hears a space there, not
//    a word;
//  - in markup, what a browser does not show is blanked: a declaration such
//    as <!DOCTYPE html>, comments, and <script> and <style> elements with
//    their content; a <voice> that asks for a sex or an age
//    (gender="female" age="70") gets the name that asks the server for them
//    ("+female+70"), since the library switches voices by name.
// What is blanked is replaced by as many blanks as it had bytes, so offsets
// into the cleaned text are those of the input wherever the decoding did not
// change bytes; InputOffset and CleanedOffset map them across the changes
// (vrelay-web maps words back to the page's text by them).
//
// The input may be cut anywhere: what cannot be decided yet (a character,
// entity or tag cut at the end of a piece) waits for the next piece.
//
// Doors: vrelay-say cleans its arguments, file or standard input through
// TextSource; vrelay-web cleans the page's text (one piece, last = true)
// before cutting it; sd_vrelay cleans a SPEAK message's markup; the Python
// package follows the same rules in its own code.
#ifndef VRELAY_FRONTEND_INPUT_CLEANER_H
#define VRELAY_FRONTEND_INPUT_CLEANER_H

#include <cstdint>
#include <string>
#include <vector>

namespace vrelay {
namespace frontend {

class InputCleaner {
  public:
    explicit InputCleaner(bool markup) : markup_(markup) {}

    // The text of the next piece of input; last: the input ends with it.
    std::string Clean(const std::string& bytes, bool last);
    // What the user should know, one line each, in the order met; each is
    // handed out once.
    std::vector<std::string> TakeNotices();

    // The input byte that a byte of the cleaned text (an offset into all
    // that Clean returned so far) stands for, and back. They differ after
    // a change of length: a dropped byte-order mark or NUL, a byte read as
    // Windows-1252, a <voice> given a name; an offset inside such a change
    // maps to where the change ends at most.
    int64_t InputOffset(int64_t cleaned) const;
    int64_t CleanedOffset(int64_t input) const;

  private:
    // From here on, offset out + k of a step's output is offset in + k of
    // its input.
    struct Shift {
        int64_t out;
        int64_t in;
    };
    static int64_t Across(const std::vector<Shift>& shifts, int64_t at, bool fromOut);

    std::string Decode(const std::string& bytes, bool last);
    // Blanks what markup shows nobody and names the voices asked for by sex
    // or age.
    std::string Markup(const std::string& text, bool last);
    // The markup construct at in[at] ('<' or '&') into *out; the index after
    // it, or npos when it may go on in the next piece.
    size_t Construct(const std::string& in, size_t at, bool last, std::string* out);
    // Inside a script or style element: up to and including its end tag.
    size_t SkipElement(const std::string& in, size_t at, bool last, std::string* out);

    const bool markup_;
    int64_t offset_ = 0;    // input bytes decoded so far
    std::string partial_;   // the start of a character cut at the end of a piece
    std::string held_;      // markup not decided yet
    std::string skipping_;  // the element whose content is being blanked, or ""
    bool started_ = false;  // past the place of a byte-order mark
    bool saw_nul_ = false;
    bool saw_foreign_ = false;
    std::vector<std::string> notices_;
    std::vector<Shift> decode_shifts_;  // input -> decoded text
    std::vector<Shift> markup_shifts_;  // decoded text -> cleaned text
    int64_t decoded_ = 0;   // bytes Decode has returned
    int64_t marked_ = 0;    // decoded bytes Markup has taken, those it holds not counted
    int64_t cleaned_ = 0;   // bytes Markup has returned
};

// Whether bytes are UTF-8 text without a NUL character, as a door that takes
// nothing else wants it (vrelay-web's page sends it so); false with
// *problem: "the text is not UTF-8 (byte 0xFF at offset 3)" or "the text
// holds a NUL character at offset 5".
bool IsUtf8Text(const std::string& bytes, std::string* problem);

}  // namespace frontend
}  // namespace vrelay

#endif
