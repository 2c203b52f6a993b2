// vrelay-say run as a user runs it, with the embedded server's tone engine.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

// A file name of this test's own: tests run in parallel processes.
std::string Out(const char* name) {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    return ::testing::TempDir() + "vrelay-say-" + std::to_string(getpid()) + "-" + info->name() +
           "-" + name;
}

struct SayRun {
    int status;
    std::string out;
};

// Runs vrelay-say with arguments (shell-quoted by the caller) and input.
SayRun Say(const std::string& arguments, const std::string& input = "") {
    const std::string inputFile = Out("input.txt");
    { std::ofstream(inputFile) << input; }
    const std::string command = std::string(VRELAY_SAY_PATH) + " --engine tone -q " + arguments +
                                " < " + inputFile + " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    SayRun run{-1, ""};
    if (!pipe)
        return run;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        run.out.append(buffer, n);
    const int status = pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

std::vector<uint8_t> ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

uint32_t Le32(const std::vector<uint8_t>& b, size_t at) {
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

TEST(SayTest, WritesAValidWavInEachEncoding) {
    struct Row {
        const char* encoding;
        uint16_t format;
        size_t bytesPerSample;
        size_t dataOffset;
    };
    const Row rows[] = {{"pcm", 1, 2, 44}, {"ulaw", 7, 1, 58}, {"alaw", 6, 1, 58}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.encoding);
        const std::string path = Out("say.wav");
        const SayRun run = Say(std::string("--encoding ") + row.encoding + " -o " + path +
                               " 'Hello there, world.'");
        ASSERT_EQ(run.status, 0) << run.out;
        const auto wav = ReadFile(path);
        ASSERT_GE(wav.size(), row.dataOffset);
        EXPECT_EQ(std::string(wav.begin(), wav.begin() + 4), "RIFF");
        EXPECT_EQ(wav[20] | wav[21] << 8, row.format);
        EXPECT_EQ(Le32(wav, 24), 16000u);
        // Three words of the tone engine: 3 x (1600 + 320) samples.
        EXPECT_EQ(Le32(wav, row.dataOffset - 4), 3 * 1920 * row.bytesPerSample);
        EXPECT_EQ(wav.size(), row.dataOffset + 3 * 1920 * row.bytesPerSample);
    }
}

// Every word printed with its start time, whichever way the text arrives.
TEST(SayTest, MarksPrintEveryWordFromEachSourceOfText) {
    const std::string textFile = Out("text.txt");
    { std::ofstream(textFile) << "one two"; }
    struct Row {
        std::string arguments;
        const char* input;
        const char* marks;
    };
    const Row rows[] = {
        {"'Hello there, world.'", "", "    0.000  Hello\n    0.120  there,\n    0.240  world.\n"},
        {"--file " + textFile, "", "    0.000  one\n    0.120  two\n"},
        {"", "three four\n", "    0.000  three\n    0.120  four\n"},
        {"--stream", "first line\nsecond line\n",
         "    0.000  first\n    0.120  line\n    0.240  second\n    0.360  line\n"},
        {"--async 'first line'", "", "    0.000  first\n    0.120  line\n"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.arguments);
        const SayRun run = Say("--marks -o " + Out("marks.wav") + " " + row.arguments, row.input);
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.out, row.marks);
    }
}

TEST(SayTest, ExitCodesAndMessages) {
    struct Row {
        const char* arguments;
        int status;
        const char* message;
    };
    const Row rows[] = {
        {"--list-voices", 0, "tone-low"},
        {"--list-voices", 0, "2 voices"},
        {"--voice nobody -o /dev/null hi", 3, "unknown voice \"nobody\""},
        {"-o /nonexistent-dir/out.wav hi", 4, "cannot write /nonexistent-dir/out.wav"},
        {"--server 127.0.0.1:1 -o /dev/null hi", 2, "no speech server at"},
        {"--server nonsense -o /dev/null hi", 1, "--server wants HOST:PORT"},
        {"--encoding mp3 hi", 1, "unknown encoding \"mp3\""},
        {"--frobnicate", 1, "unknown option --frobnicate"},
        {"-o /dev/null '   '", 1, "no text to speak"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.arguments);
        const SayRun run = Say(row.arguments);
        EXPECT_EQ(run.status, row.status) << run.out;
        EXPECT_NE(run.out.find(row.message), std::string::npos) << run.out;
    }
}

}  // namespace
