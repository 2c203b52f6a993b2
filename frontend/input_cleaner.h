// SPDX-License-Identifier: GPL-3.0-or-later
// Makes the bytes a user hands vrelay-say into the UTF-8 text that is spoken:
// a byte-order mark at the start is dropped; NUL bytes are dropped, the first
// one reported with its offset; bytes that are not UTF-8 are read as
// Windows-1252 (Latin-1 with printable characters at 0x80 to 0x9F), reported
// once; in markup, <script> and <style> elements are dropped with their
// content, as a browser does not show them either, and a <voice> that asks
// for a sex or an age (gender="female" age="70") gets the name that asks the
// server for them ("+female+70"), since the library switches voices by name.
//
// The input may be cut anywhere: what cannot be decided yet (a character or
// tag cut at the end of a piece) waits for the next piece.
#ifndef VRELAY_TOOLS_INPUT_CLEANER_H
#define VRELAY_TOOLS_INPUT_CLEANER_H

#include <cstdint>
#include <string>
#include <vector>

namespace vrelay {
namespace tools {

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
    // Drops script and style elements, names the voices asked for by sex or
    // age.
    std::string Markup(const std::string& text, bool last);

    const bool markup_;
    int64_t offset_ = 0;    // input bytes decoded so far
    std::string partial_;   // the start of a character cut at the end of a piece
    std::string held_;      // markup not decided yet
    std::string skipping_;  // the element whose content is being dropped, or ""
    bool started_ = false;  // past the place of a byte-order mark
    bool sawNul_ = false;
    bool sawForeign_ = false;
    std::vector<std::string> notices_;
};

}  // namespace tools
}  // namespace vrelay

#endif
