// SPDX-License-Identifier: MIT
// Fuzzes the conversion of client markup into the engine's input: arbitrary
// text, cut into pieces at positions taken from the input, goes through the
// stream buffer, the markup parser, the word bounds and the SSML of one
// espeak unit. Nothing may crash or read out of bounds; the bounds must hold;
// the words are those of the text parsed whole; the SSML must be well-formed
// enough that its tags balance.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "server/espeak_engine.h"
#include "server/markup.h"
#include "server/session.h"

namespace {

// Start tags minus end tags of the kept containers in ssml.
int Balance(const std::string& ssml) {
    int depth = 0;
    for (size_t i = ssml.find('<'); i != std::string::npos; i = ssml.find('<', i + 1)) {
        const size_t end = ssml.find('>', i);
        FuzzCheck(end != std::string::npos);
        if (ssml[i + 1] == '/') {
            --depth;
        } else if (ssml[end - 1] != '/') {
            ++depth;
        }
        FuzzCheck(depth >= 0);
    }
    return depth;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2 || size > (1 << 17)) {
        return 0;
    }
    const size_t piece = data[0] * 64u + data[1] + 1;
    const std::string text(reinterpret_cast<const char*>(data + 2), size - 2);
    vrelay::server::StreamBuffer buffer;
    vrelay::server::MarkupParser parser;
    std::vector<vrelay::server::Word> words;
    for (size_t pos = 0; pos < text.size(); pos += piece) {
        const std::string part = text.substr(pos, piece);
        buffer.Append(part.data(), part.size());
        const bool last = pos + piece >= text.size();
        parser.Parse(last ? buffer.TakeAll() : buffer.TakeWholeWords(), &words);
        FuzzCheck(parser.OpenElements() <= vrelay::server::MarkupParser::kMaxOpenElements);
    }
    FuzzCheck(buffer.Size() == 0);
    // However the text was cut, its words are those of the whole.
    vrelay::server::MarkupParser whole_parser;
    std::vector<vrelay::server::Word> whole;
    whole_parser.Parse(text, &whole);
    std::string marks, whole_marks;
    for (const auto& word : words) {
        marks += word.mark + '\0' + word.text + '\0';
    }
    for (const auto& word : whole) {
        whole_marks += word.mark + '\0' + word.text + '\0';
    }
    FuzzCheck(marks == whole_marks);
    int64_t budget = 60000;
    vrelay::server::BoundWords(&words, vrelay::server::kMaxWordBytes, &budget);
    for (const auto& word : words) {
        FuzzCheck(word.text.size() <= vrelay::server::kMaxWordBytes);
        FuzzCheck(word.context.size() <= vrelay::server::MarkupParser::kMaxOpenElements);
    }
    for (size_t begin = 0; begin < words.size(); begin += 160) {
        const size_t end = std::min(words.size(), begin + 160);
        const std::string ssml = vrelay::server::EspeakEngine::UnitSsml(words, begin, end);
        FuzzCheck(Balance(ssml) == 0);
    }
    return 0;
}
