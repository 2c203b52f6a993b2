// SPDX-License-Identifier: GPL-3.0-or-later
#include "frontend/request_cutter.h"

#include <algorithm>
#include <cstring>

#include "wire/markup_tag.h"
#include "wire/utf8.h"
#include "wire/xml_escape.h"

namespace vrelay {
namespace frontend {

namespace {

constexpr size_t kMaxOpen = 32;

const char kSpellStart[] = "<say-as interpret-as=\"characters\">";
const char kSpellEnd[] = "</say-as>";

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

bool IsContinuation(char c) {
    return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

// The index after the markup construct at text[at] ('<'), or npos when the
// text ends before it does.
size_t AfterConstruct(const std::string& text, size_t at) {
    const wire::Delimited* kind = nullptr;
    if (!wire::ClassifyConstruct(text, at, &kind)) {
        return std::string::npos;
    }
    size_t from = at;
    char quote = 0;
    const size_t last = wire::ConstructEnd(text, at, kind, &from, &quote);
    return last == std::string::npos ? last : last + 1;
}

std::string TagName(const std::string& tag, size_t from) {
    size_t end = from;
    while (end < tag.size() && !IsBlank(tag[end]) && tag[end] != '/' && tag[end] != '>') {
        ++end;
    }
    return tag.substr(from, end - from);
}

// HTML elements that are never closed; reopening them at every cut would
// repeat them.
bool IsVoidElement(const std::string& name) {
    static const char* const kVoid[] = {"br", "hr", "img", "meta", "link", "input", "wbr"};
    for (const char* v : kVoid) {
        if (name == v) {
            return true;
        }
    }
    return false;
}

void Advance(TextPosition* position, const std::string& text, size_t from, size_t to) {
    for (size_t i = from; i < to; ++i) {
        ++position->byte;
        if (!IsContinuation(text[i])) {
            ++position->character;
            position->utf16 += static_cast<unsigned char>(text[i]) >= 0xF0 ? 2 : 1;
        }
    }
}

// Moves cursor, a place in text, to byte (at most text's end).
void MoveTo(TextPosition* cursor, const std::string& text, int64_t byte) {
    byte = std::min<int64_t>(std::max<int64_t>(byte, 0), static_cast<int64_t>(text.size()));
    if (byte < cursor->byte) {
        *cursor = TextPosition();
    }
    Advance(cursor, text, static_cast<size_t>(cursor->byte), static_cast<size_t>(byte));
}

TextPosition Plus(const TextPosition& a, const TextPosition& b) {
    return {a.byte + b.byte, a.character + b.character, a.utf16 + b.utf16};
}

// Something to speak: a character that is no blank, outside markup.
bool HasWords(const std::string& text, bool markup) {
    for (size_t i = 0; i < text.size();) {
        if (markup && text[i] == '<') {
            i = AfterConstruct(text, i);
        } else if (!IsBlank(text[i++])) {
            return true;
        }
    }
    return false;
}

// A word as the user wrote it: in markup, with its entities decoded and any
// tag inside it left out.
std::string AsWritten(const std::string& word, bool markup) {
    if (!markup || word.find_first_of("&<") == std::string::npos) {
        return word;
    }
    std::string text;
    for (size_t i = 0; i < word.size(); ++i) {
        const size_t end = word[i] == '<' ? word.find('>', i) : std::string::npos;
        if (end != std::string::npos) {
            i = end;
        } else {
            text.push_back(word[i]);
        }
    }
    return wire::DecodeEntities(text);
}

}  // namespace

int64_t ByteOfUtf16(const std::string& text, int64_t units) {
    TextPosition at;
    for (size_t i = 0; i <= text.size(); ++i) {
        if (at.utf16 == units && (i == text.size() || !IsContinuation(text[i]))) {
            return static_cast<int64_t>(i);
        }
        if (at.utf16 > units || i == text.size()) {
            break;
        }
        Advance(&at, text, i, i + 1);
    }
    return -1;
}

TextPosition TextPositions::At(int64_t byte) {
    MoveTo(&cursor_, text_, byte);
    return cursor_;
}

TextPosition Request::At(int64_t userByte) const {
    MoveTo(&cursor_, user_, userByte);
    return Plus(start_, cursor_);
}

bool Request::Word(int64_t offset, int64_t length, SourceRange* word) const {
    if (offset < 0 || length < 0 || offset + length > map_.SubmittedBytes()) {
        return false;
    }
    const int64_t from = map_.UserOffset(offset);
    const std::string text = map_.UserText(offset, length);
    if (from < 0 || from + static_cast<int64_t>(text.size()) > static_cast<int64_t>(user_.size())) {
        return false;
    }
    word->begin = At(from);
    word->end = At(from + static_cast<int64_t>(text.size()));
    word->written = AsWritten(text, markup_);
    return true;
}

RequestCutter::RequestCutter(const Options& options)
    : options_(options),
      wrap_open_(ProsodyTag(options.prosody) + (options.spell ? kSpellStart : "")),
      wrap_close_((options.spell ? kSpellEnd : "") +
                 std::string(options.prosody.Empty() ? "" : "</prosody>")) {}

void RequestCutter::Add(const std::string& text) {
    pending_ += text;
}

void RequestCutter::EndOfLine() {
    flush_ = pending_.size();
}

void RequestCutter::Finish() {
    finished_ = true;
}

void RequestCutter::StartAt(int64_t byte) {
    skip_to_ = byte;
}

size_t RequestCutter::Available() const {
    size_t end = pending_.size();
    if (finished_) {
        return end;
    }
    if (options_.markup) {
        for (size_t at = pending_.find('<'); at != std::string::npos;) {
            const size_t after = AfterConstruct(pending_, at);
            if (after == std::string::npos) {
                end = at;
                break;
            }
            at = pending_.find('<', after);
        }
    }
    size_t lead = end;
    while (lead > 0 && IsContinuation(pending_[lead - 1])) {
        --lead;
    }
    if (lead > 0 && wire::Utf8Length(pending_.substr(lead - 1, end - lead + 1), 0) < 0) {
        end = lead - 1;
    }
    return end;
}

size_t RequestCutter::Cut(size_t limit, size_t budget) const {
    size_t used = 0;
    size_t blank = std::string::npos;
    size_t sentence = std::string::npos;
    char last = 0;  // the last character of text, tags skipped
    size_t i = 0;
    while (i < limit) {
        if (options_.markup && pending_[i] == '<') {
            const size_t after = std::min(AfterConstruct(pending_, i), limit);
            used += after - i;
            i = after;
            if (used > budget && blank != std::string::npos) {
                break;
            }
            continue;
        }
        const char c = pending_[i];
        const char* entity = options_.markup ? nullptr : wire::XmlEntity(c, wire::XmlContext::kText);
        used += entity != nullptr ? std::strlen(entity) : 1;
        if (used > budget && (blank != std::string::npos || !options_.markup)) {
            break;
        }
        ++i;
        if (IsBlank(c)) {
            blank = i;
            if (c == '\n' || last == '.' || last == '?' || last == '!') {
                sentence = i;
            }
        }
        last = c;
    }
    if (i >= limit) {
        return std::string::npos;
    }
    if (sentence != std::string::npos && sentence >= budget / 4) {
        return sentence;
    }
    if (blank != std::string::npos) {
        return blank;
    }
    // One plain word longer than a request: cut between two characters.
    while (i > 1 && IsContinuation(pending_[i])) {
        --i;
    }
    return std::max<size_t>(i, 1);
}

std::string RequestCutter::Opening(bool* prosody) const {
    // The wrapper goes outside everything, or right inside a <speak> root;
    // while such a root is not open, the root's own tag brings it.
    const size_t at = RootIsSpeak() ? 1 : 0;
    *prosody = !wrap_open_.empty() && (at == 1 || !speak_root_);
    std::string opening;
    for (size_t k = 0; k <= open_.size(); ++k) {
        if (k == at && *prosody) {
            opening += wrap_open_;
        }
        if (k < open_.size()) {
            opening += open_[k].tag;
        }
    }
    return opening;
}

std::string RequestCutter::Closing(bool prosodyOpen) const {
    std::string closing;
    const size_t root = RootIsSpeak() ? 1 : 0;
    for (size_t k = open_.size(); k > root; --k) {
        closing += "</" + open_[k - 1].name + ">";
    }
    if (prosodyOpen) {
        closing += wrap_close_;
    }
    return root != 0 ? closing + "</" + open_[0].name + ">" : closing;
}

void RequestCutter::FollowTag(const std::string& tag, std::string* before, std::string* after) {
    if (tag.size() < 3 || tag.back() != '>' || tag[1] == '!' || tag[1] == '?') {
        return;
    }
    const bool prosody = speak_root_ && !wrap_open_.empty();
    if (tag[1] == '/') {
        const std::string name = TagName(tag, 2);
        for (size_t k = open_.size(); k > 0; --k) {
            if (open_[k - 1].name == name) {
                if (k == 1 && prosody && RootIsSpeak()) {
                    *before = wrap_close_;
                }
                open_.resize(k - 1);
                break;
            }
        }
        return;
    }
    const std::string name = TagName(tag, 1);
    if (!name.empty() && tag[tag.size() - 2] != '/' && !IsVoidElement(name) &&
        open_.size() < kMaxOpen) {
        open_.push_back({name, tag});
        if (open_.size() == 1 && prosody && RootIsSpeak()) {
            *after = wrap_open_;
        }
    }
}

void RequestCutter::Consume(size_t end) {
    Advance(&base_, pending_, 0, end);
    pending_.erase(0, end);
    flush_ = flush_ > end ? flush_ - end : 0;
}

void RequestCutter::Build(size_t end, Request* request) {
    request->user_ = pending_.substr(0, end);
    request->start_ = base_;
    request->markup_ = options_.markup;
    request->map_ = SubmittedText(!options_.markup);
    request->cursor_ = TextPosition();
    SubmittedText& map = request->map_;
    bool prosodyOpen = false;
    const std::string opening = Opening(&prosodyOpen);
    std::string submit = opening.empty() ? std::string() : map.AppendMarkup(opening);
    size_t from = 0;
    for (size_t at = options_.markup ? pending_.find('<') : end; at < end;) {
        const size_t after = std::min(AfterConstruct(pending_, at), end);
        std::string before, behind;
        FollowTag(pending_.substr(at, after - at), &before, &behind);
        if (!before.empty() || !behind.empty()) {
            submit += map.AppendUser(pending_.substr(from, at - from));
            submit += before.empty() ? std::string() : map.AppendMarkup(before);
            submit += map.AppendUser(pending_.substr(at, after - at));
            submit += behind.empty() ? std::string() : map.AppendMarkup(behind);
            prosodyOpen = before.empty();
            from = after;
        }
        at = pending_.find('<', after);
    }
    submit += map.AppendUser(pending_.substr(from, end - from));
    const std::string closing = Closing(prosodyOpen);
    submit += closing.empty() ? std::string() : map.AppendMarkup(closing);
    request->submit_ = std::move(submit);
    Consume(end);
}

bool RequestCutter::DecideRoot() {
    // A document whose first element is <speak> keeps the prosody inside it.
    size_t at = pending_.find_first_not_of(" \t\r\n");
    while (options_.markup && at != std::string::npos && pending_.compare(at, 2, "<?") == 0) {
        const size_t after = AfterConstruct(pending_, at);
        at = after == std::string::npos ? after : pending_.find_first_not_of(" \t\r\n", after);
    }
    if (at == std::string::npos && !finished_) {
        return false;
    }
    root_decided_ = true;
    speak_root_ = options_.markup && at != std::string::npos && TagName(pending_, at + 1) == "speak";
    return true;
}

bool RequestCutter::SkipToStart() {
    size_t at = 0;
    while (at < pending_.size() && base_.byte + static_cast<int64_t>(at) < skip_to_) {
        const size_t after =
            options_.markup && pending_[at] == '<' ? AfterConstruct(pending_, at) : at + 1;
        if (after == std::string::npos) {
            break;
        }
        std::string ignored;
        if (after > at + 1) {
            FollowTag(pending_.substr(at, after - at), &ignored, &ignored);
        }
        at = after;
    }
    while (at < pending_.size() && IsContinuation(pending_[at])) {
        ++at;
    }
    Consume(at);
    if (base_.byte < skip_to_ && !finished_) {
        return false;
    }
    skip_to_ = 0;
    return true;
}

bool RequestCutter::Next(Request* request) {
    for (;;) {
        if ((!root_decided_ && !DecideRoot()) || (base_.byte < skip_to_ && !SkipToStart())) {
            return false;
        }
        const size_t available = Available();
        const size_t limit = flush_ > 0 ? std::min(flush_, available) : available;
        if (limit == 0) {
            return false;
        }
        bool prosody = false;
        const size_t frame = Opening(&prosody).size() + Closing(true).size();
        const size_t size = std::max<size_t>(options_.requestBytes, 16);
        size_t end = Cut(limit, std::max(size / 2, size - std::min(frame, size)));
        if (end == std::string::npos) {
            if (!finished_ && flush_ == 0) {
                return false;
            }
            end = limit;
        }
        Build(end, request);
        if (HasWords(request->user_, options_.markup)) {
            saw_words_ = true;
            return true;
        }
    }
}

}  // namespace frontend
}  // namespace vrelay
