// SPDX-License-Identifier: MIT
// Fuzzes the server's reading of a client stream: arbitrary bytes arrive in
// reads of sizes taken from the input and are cut into frames as a session
// does; each whole frame is decoded as the session would (text through the
// stream buffer and markup parser, queries through the tag parser; phoneme
// records have a target of their own). Nothing may crash, read out of
// bounds or keep more open elements than the parser's bound.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "server/markup.h"
#include "server/protocol.h"
#include "server/session.h"
#include "transport/log.h"
#include "wire/frame.h"
#include "wire/payload.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    vrelay::Output2FILE::SetStream(nullptr);  // rejected frames are logged; not here
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3 || size > (1 << 18)) {
        return 0;
    }
    const size_t sizes[] = {data[0] % 17u + 1, data[1] * 3u + 1, 4, 10};
    const unsigned char* stream = data + 2;
    const size_t streamSize = size - 2;
    vrelay::wire::FrameReader reader;
    vrelay::server::StreamBuffer buffer;
    vrelay::server::MarkupParser parser;
    size_t at = 0;
    for (int frames = 0, turn = 0; frames < 1000; ++frames) {
        vrelay::wire::Frame packet;
        vrelay::wire::FrameReader::Status status;
        while ((status = reader.Next(&packet)) == vrelay::wire::FrameReader::Status::kNeedMore &&
               at < streamSize) {
            const size_t n = std::min(sizes[turn++ % 4], streamSize - at);
            FuzzCheck(reader.Feed(stream + at, n));
            at += n;
        }
        if (status != vrelay::wire::FrameReader::Status::kFrame) {
            return 0;
        }
        FuzzCheck(packet.length <= vrelay::wire::kMaxPayload);
        const std::string text = vrelay::wire::DecodeText(packet.data, packet.length);
        switch (packet.type) {
            case 1:     // PACKET_TEXT
            case 15: {  // PACKET_TEXT_CHUNK
                buffer.Append(text.data(), text.size());
                std::vector<vrelay::server::Word> words;
                parser.Parse(packet.type == 1 ? buffer.TakeAll() : buffer.TakeWholeWords(), &words);
                FuzzCheck(parser.OpenElements() <= vrelay::server::MarkupParser::kMaxOpenElements);
                int64_t budget = 60000;
                vrelay::server::BoundWords(&words, vrelay::server::kMaxWordBytes, &budget);
                for (const auto& word : words) {
                    FuzzCheck(word.text.size() <= vrelay::server::kMaxWordBytes);
                    FuzzCheck(word.breaks.size() <= 1);
                }
                FuzzCheck(budget >= 0);
                if (packet.type == 1) {
                    parser.Reset();
                }
                break;
            }
            case 13: {  // PACKET_QUERY
                vrelay::server::Tag tag;
                vrelay::server::ParseTag(text, &tag);
                const std::string shown = vrelay::server::Printable(text);
                FuzzCheck(shown.find('\n') == std::string::npos && shown.size() <= 4 * 80 + 3);
                break;
            }
            default:
                break;
        }
    }
    return 0;
}
