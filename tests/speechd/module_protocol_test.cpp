// SPDX-License-Identifier: MIT
// The module protocol's reader, fed one byte at a time, and its writer.
#include "speechd/module_protocol.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vrelay {
namespace speechd {
namespace {

// Requests as "PART COMMAND [argument] [|block]" lines, from input fed one
// byte at a time.
std::vector<std::string> ReadByteByByte(const std::string& input, ModuleReader* reader) {
    std::vector<std::string> seen;
    Request request;
    for (char c : input) {
        reader->Feed(&c, 1);
        while (reader->Next(&request)) {
            std::string text = request.part == Request::kHeader  ? "header "
                               : request.part == Request::kBlock ? "block "
                                                                 : "line ";
            text += std::to_string(static_cast<int>(request.command));
            if (!request.argument.empty()) {
                text += " " + request.argument;
            }
            if (request.part == Request::kBlock) {
                text += " |" + request.block;
            }
            if (request.overflow) {
                text += " (overflow)";
            }
            seen.push_back(text);
        }
    }
    return seen;
}

// A command's number, as ReadByteByByte shows it.
std::string N(Command command) {
    return std::to_string(static_cast<int>(command));
}

TEST(ModuleReaderTest, SplitsRequestsFedOneByteAtATime) {
    const std::string speak = N(Command::kSpeak), set = N(Command::kSet);
    const std::string unknown = N(Command::kUnknown);
    // clang-format off
    struct Case { const char* input; std::vector<std::string> expected; } cases[] = {
        // Multi-line SSML; lines that start with a dot carry one more.
        {"SPEAK\n<speak>One\n..\n...x\n..y <mark name=\"b\"/></speak>\n.\n",
         {"header " + speak,
          "block " + speak + " |<speak>One\n.\n..x\n.y <mark name=\"b\"/></speak>"}},
        // CR LF line ends, a command in lower case, an empty block.
        {"speak\r\n\r\nsecond\r\n.\r\nSET\n.\n",
         {"header " + speak, "block " + speak + " |\nsecond", "header " + set,
          "block " + set + " |"}},
        {"LIST VOICES\nDEBUG ON /tmp/x y\nQUIT\n",
         {"line " + N(Command::kListVoices), "line " + N(Command::kDebug) + " ON /tmp/x y",
          "line " + N(Command::kQuit)}},
        // A name is a whole word; the unknown line comes back as it was.
        {"SPEAKER\nLIST\n", {"line " + unknown + " SPEAKER", "line " + unknown + " LIST"}},
        // Nothing before the end of a line.
        {"STOP", {}},
    };
    // clang-format on
    for (const Case& c : cases) {
        ModuleReader reader;
        EXPECT_EQ(ReadByteByByte(c.input, &reader), c.expected) << c.input;
    }
}

TEST(ModuleReaderTest, OverlongBlockAndLineAreCutButStillEnd) {
    ModuleReader reader(/*maxBlockBytes=*/8, /*maxLineBytes=*/6);
    EXPECT_EQ(
        ReadByteByByte("SPEAK\n0123456789\nabc\n.\nABCDEFGHIJ\nINIT\n", &reader),
        (std::vector<std::string>{
            "header " + N(Command::kSpeak), "block " + N(Command::kSpeak) + " |01234567 (overflow)",
            "line " + N(Command::kUnknown) + " ABCDEF (overflow)", "line " + N(Command::kInit)}));
}

// The escaping of the two bytes that need it; whole audio is compared through
// the module in ModuleTest.
TEST(ModuleWriterTest, AudioIsEscapedAndFramed) {
    std::vector<unsigned char> back;
    EXPECT_FALSE(UnescapeAudio("ab\x7D", &back));
    const unsigned char pcm[] = {'\n', 0x7D, 1, 2, 3};
    EXPECT_EQ(FormatAudio(pcm, sizeof pcm, 16000),
              std::string("705-bits=16\n705-num_channels=1\n705-sample_rate=16000\n"
                          "705-num_samples=2\n705-big_endian=0\n705-AUDIO\0\x7D\x2A\x7D\x5D\x01\x02"
                          "\n705 AUDIO\n",
                          115));
    EXPECT_EQ(FormatReply(200, {"a\tb\nc"}, "OK"), "200-a\tb c\n200 OK\n");
}

}  // namespace
}  // namespace speechd
}  // namespace vrelay
