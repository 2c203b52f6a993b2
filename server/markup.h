// SPDX-License-Identifier: GPL-3.0-or-later
// Reading the client's tokenised text: UTF-8 XML in which every word follows a
// <mark name="..."/> element, with repair markers (<xmlfix.../>), a <parent>
// wrapper and SSML-like markup. The text of one request may arrive in pieces
// cut anywhere; StreamBuffer joins them and releases only whole words, and
// MarkupParser turns whole words into Word records, keeping the elements that
// stay open from one piece to the next.
#ifndef VRELAY_SERVER_MARKUP_H
#define VRELAY_SERVER_MARKUP_H

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "wire/markup_tag.h"

namespace vrelay {
namespace server {

// A tag and its attributes are read as the front ends read them.
using wire::Attribute;
using wire::DecodeEntities;
using wire::Element;
using wire::kMaxTagAttributes;
using wire::ParseTag;
using wire::Tag;

// The kept elements open at a word, outermost first. Words share one copy of
// the stack until it changes, so deep or long-lived markup costs memory once
// per change rather than once per word.
class Context {
  public:
    size_t size() const { return Elements().size(); }
    bool empty() const { return Elements().empty(); }
    const Element& operator[](size_t i) const { return Elements()[i]; }
    const std::vector<Element>& Elements() const;
    // Copies the stack and adds element to the copy (other words keep theirs).
    void push_back(Element element);
    void Assign(std::vector<Element> elements);

  private:
    std::shared_ptr<const std::vector<Element>> elements_;
};

// A mark and the text spoken after it.
struct Word {
    std::string mark;             // "" for text before the first mark
    std::string text;             // character data up to the next mark
    Context context;              // kept elements open at the mark
    std::vector<Element> breaks;  // <break/> elements after the mark, spoken after the text

    bool HasMark() const { return !mark.empty(); }
    // Nothing but blank space to speak.
    bool Silent() const;
    // The text ends with ".", "?" or "!" (closing quotes or brackets may
    // follow) and then blank space or nothing.
    bool EndsSentence() const;
    // The text ends with a blank line: the end of a paragraph.
    bool EndsParagraph() const;
};

// Element names kept for the synthesiser (their text is always kept): s, p,
// emphasis, prosody, say-as, and break as an empty element. sentence and
// paragraph become s and p. Every other element (speak, parent, the xmlfix
// repair markers, voice, audio, sub, unknown ones) is dropped, its text kept.
bool IsKeptContainer(const std::string& name);

class MarkupParser {
  public:
    // Kept elements nested deeper than this are dropped (their text stays),
    // and a kept element keeps attributes only up to kMaxAttributeBytes in
    // all: the open elements are held for a whole request.
    static constexpr size_t kMaxOpenElements = 32;
    static constexpr size_t kMaxAttributeBytes = 1024;
    // Breaks after one word beyond this are dropped: the pause after a word
    // is bounded anyway (see BoundWords), and a word's breaks stay few however
    // many the text repeats.
    static constexpr size_t kMaxBreaksPerWord = 64;

    // Appends the words of text. Tags must be whole except that a tag cut at
    // the very end is dropped. Entities are decoded (unknown ones become a
    // blank); comments and processing instructions are dropped; CDATA is text.
    void Parse(const std::string& text, std::vector<Word>* words);
    // Forgets the open elements: a new request starts.
    void Reset();
    size_t OpenElements() const { return open_.size(); }

  private:
    void OnTag(const Tag& tag, std::vector<Word>* words, Word** current);
    const Context& OpenContext();
    std::vector<Element> open_;
    Context snapshot_;  // open_ as words share it; stale when dirty_
    bool dirty_ = false;
};

// The pieces of one request, joined. Marks are found as MarkupParser reads
// the text (a "<mark" inside a comment or an attribute value is none, nor is
// one without a name), each byte looked at once however the pieces were cut,
// so the words of the text taken in parts are those of the whole.
class StreamBuffer {
  public:
    void Append(const char* data, size_t length) { text_.append(data, length); }
    size_t Size() const { return text_.size(); }
    // Removes and returns the text before the last complete mark element: the
    // words in it are whole, since another mark follows them. "" when there
    // is no such mark.
    std::string TakeWholeWords();
    std::string TakeAll();
    // Empties the buffer and gives its memory back.
    void Clear();

  private:
    std::string text_;
    // Where the scan for marks goes on, the construct open there (npos for
    // none) and the quote open in it, and the start of the last complete
    // mark (npos for none).
    size_t scan_ = 0;
    size_t open_ = std::string::npos;
    char quote_ = 0;
    size_t cut_ = std::string::npos;
};

}  // namespace server
}  // namespace vrelay

#endif
