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
// change bytes (vrelay-web maps words back to the page's text by them).
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

  private:
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
    bool sawNul_ = false;
    bool sawForeign_ = false;
    std::vector<std::string> notices_;
};

}  // namespace frontend
}  // namespace vrelay

#endif
