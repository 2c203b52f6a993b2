// vrelay-say run as a user runs it, with the embedded server's tone engine.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vrelay/vrelay.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/run_command.h"

namespace {

// A file name of this test's own: tests run in parallel processes.
std::string Out(const char* name) {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    return ::testing::TempDir() + "vrelay-say-" + std::to_string(getpid()) + "-" + info->name() +
           "-" + name;
}

using SayRun = vrelay::test::CommandRun;

// Runs vrelay-say with arguments (shell-quoted by the caller) and input.
SayRun Say(const std::string& arguments, const std::string& input = "", bool quiet = true) {
    const std::string inputFile = Out("input.txt");
    { std::ofstream(inputFile) << input; }
    const std::string command = std::string(VRELAY_SAY_PATH) + " --engine tone " +
                                (quiet ? "-q " : "") + "< " + inputFile + " 2>&1 " + arguments;
    return vrelay::test::RunCommand(command);
}

std::vector<uint8_t> ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

uint32_t Le32(const std::vector<uint8_t>& b, size_t at) {
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

// The file, or a pipe from standard output, holds the audio; resampled
// audio keeps its duration.
TEST(SayTest, WritesAValidWavInEachEncoding) {
    const struct {
        const char* options;
        uint16_t format;  // 1: 16-bit PCM, else 8-bit with a fact chunk
        uint32_t rate;
        bool pipe;  // -o - through a pipe: lengths unknown
    } rows[] = {
        {"--encoding pcm", 1, 16000, false},
        {"--encoding ulaw", 7, 16000, false},
        {"--encoding alaw", 6, 16000, false},
        {"--encoding ulaw --sample-rate 8000", 7, 8000, false},
        {"--encoding pcm", 1, 16000, true},
        {"--encoding alaw", 6, 16000, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.options) + (row.pipe ? " (pipe)" : ""));
        const std::string path = Out("say.wav");
        const std::string output = row.pipe ? "- | cat > " + path : path;
        const SayRun run = Say(std::string(row.options) + " 'Hello there, world.' -o " + output);
        ASSERT_EQ(run.status, 0) << run.out;
        const auto wav = ReadFile(path);
        const size_t width = row.format == 1 ? 2 : 1, dataOffset = row.format == 1 ? 44 : 58;
        ASSERT_GE(wav.size(), dataOffset);
        EXPECT_EQ(std::string(wav.begin(), wav.begin() + 4), "RIFF");
        EXPECT_EQ(wav[20] | wav[21] << 8, row.format);
        EXPECT_EQ(Le32(wav, 24), row.rate);
        EXPECT_EQ(Le32(wav, 28), row.rate * width);
        // Three words of the tone engine: 3 x (1600 + 320) samples at 16 kHz.
        const size_t bytes = wav.size() - dataOffset;
        EXPECT_NEAR(bytes / width, 3 * 1920 * row.rate / 16000, row.rate / 1000);
        EXPECT_EQ(Le32(wav, dataOffset - 4), row.pipe ? 0xFFFFFFFFu : bytes);
        EXPECT_EQ(Le32(wav, 4), row.pipe ? 0xFFFFFFFFu : wav.size() - 8);
    }
}

// Every word printed with its start time, whichever way the text arrives.
TEST(SayTest, MarksPrintEveryWordFromEachSourceOfText) {
    const std::string textFile = Out("text.txt");
    { std::ofstream(textFile) << "one two"; }
    const std::string markupFile = Out("text.ssml");
    { std::ofstream(markupFile) << "<s>one</s>"; }
    const struct {
        std::string arguments;
        const char* input;
        const char* marks;
    } rows[] = {
        {"'Hello there, world.'", "", "    0.000  Hello\n    0.120  there,\n    0.240  world.\n"},
        {"--file " + textFile, "", "    0.000  one\n    0.120  two\n"},
        {"", "three four\n", "    0.000  three\n    0.120  four\n"},
        {"--stream", "first line\nsecond line\n",
         "    0.000  first\n    0.120  line\n    0.240  second\n    0.360  line\n"},
        {"--async 'first line'", "", "    0.000  first\n    0.120  line\n"},
        // Literal text: what looks like markup is spoken, and marks show it.
        {"'If a<b & c>d'", "", "    0.000  If\n    0.120  a<b\n    0.240  &\n    0.240  c>d\n"},
        {"--stream", "x<y\n", "    0.000  x<y\n"},
        {"--rate slow --pitch +10% --volume loud 'one <two>'", "",
         "    0.000  one\n    0.120  <two>\n"},
        {"--markup 'a &lt;b&gt; <break/>c'", "",
         "    0.000  a\n    0.120  &lt;b&gt;\n    0.440  c\n"},
        {"--file " + markupFile, "", "    0.000  one\n"},
        {"--plain --file " + markupFile, "", "    0.000  <s>one</s>\n"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.arguments);
        const SayRun run = Say("--marks -o " + Out("marks.wav") + " " + row.arguments, row.input);
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.out, row.marks);
    }
}

TEST(SayTest, ExitCodesAndMessages) {
    const struct {
        const char* arguments;
        int status;
        const char* message;
    } rows[] = {
        {"--list-voices", 0, "tone-low"},
        {"--list-voices", 0, "2 voices"},
        {"-o /nonexistent-dir/out.wav hi", 4, "cannot write /nonexistent-dir/out.wav"},
        {"--server 127.0.0.1:1 -o /dev/null hi", 2, "no speech server at"},
        {"--server nonsense -o /dev/null hi", 1, "--server wants HOST:PORT"},
        {"--encoding mp3 hi", 1, "unknown encoding \"mp3\""},
        {"--frobnicate", 1, "unknown option --frobnicate"},
        {"-o /dev/null '   '", 1, "no text to speak"},
        {"--version", 0, "vrelay-say " VRELAY_VERSION_STRING},
        {"--list-voices EN-gb", 0, "2 voices"},
        {"--list-voices fr", 3, "no voice speaks \"fr\""},
        {"--voice TONE-LOW --marks -o /dev/null hi", 0, "hi"},
        {"--voice en -o /dev/null hi", 0, ""},
        {"--markup --plain hi", 1, "cannot be combined"},
        {"--rate '1\"/>' hi", 1, "not a prosody value"},
        {"--sample-rate 5 hi", 1, "--sample-rate wants"},
        {"-o /dev/null hi", 0, ", 1 word\n"},
        {"-o /dev/null hi there", 0, ", 2 words\n"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.arguments);
        const SayRun run = Say(row.arguments, "", false);
        EXPECT_EQ(run.status, row.status) << run.out;
        EXPECT_NE(run.out.find(row.message), std::string::npos) << run.out;
    }
    // On a terminal (script(1) gives it one) the progress line reaches 100 %.
    const SayRun tty = vrelay::test::RunCommand(
        "script -qec \"" VRELAY_SAY_PATH " --engine tone -o /dev/null 'one two three'\" /dev/null");
    EXPECT_NE(tty.out.find("speaking: 100%"), std::string::npos) << tty.out;
}

// A text longer than one block of input, full of characters that need
// escaping: every word comes back, as written, in order.
TEST(SayTest, LongTextKeepsEveryWordAcrossBlocks) {
    std::string text;
    const int words = 7000;
    for (int i = 0; i < words; ++i) {
        text += "w<" + std::to_string(i) + ">&x ";
    }
    ASSERT_GT(text.size(), 64u * 1024);
    const SayRun run = Say("--marks -o /dev/null", text);
    ASSERT_EQ(run.status, 0);
    std::istringstream lines(run.out);
    std::string line;
    int seen = 0;
    while (std::getline(lines, line)) {
        ASSERT_EQ(line.substr(line.find("  w") + 2), "w<" + std::to_string(seen) + ">&x");
        ++seen;
    }
    EXPECT_EQ(seen, words);
}

// A wrong voice is found out before the output exists: one message, no file,
// no library warning.
TEST(SayTest, WrongVoiceLeavesNoFile) {
    const std::string path = Out("voice.wav");
    const SayRun run = Say("--voice nobody -o " + path + " hi", "", false);
    EXPECT_EQ(run.status, 3);
    EXPECT_EQ(run.out, "vrelay-say: unknown voice \"nobody\" (see --list-voices)\n");
    EXPECT_NE(access(path.c_str(), F_OK), 0);
}

// Seconds of audio in the summary line, or -1.
double SpokenSeconds(const SayRun& run) {
    const size_t at = run.out.find(": ");
    return at == std::string::npos ? -1 : std::atof(run.out.c_str() + at + 2);
}

// The real engine: a voice by language code, HTML entities in markup, and
// prosody options that change the speech.
TEST(SayTest, EspeakTakesLanguagesEntitiesAndProsody) {
    const std::string path = Out("espeak.wav");
    const SayRun german = Say("--engine espeak --voice de-DE --marks -o " + path + " 'Guten Tag'");
    EXPECT_EQ(german.status, 0) << german.out;
    EXPECT_NE(german.out.find("  Guten\n"), std::string::npos) << german.out;
    EXPECT_NE(german.out.find("  Tag\n"), std::string::npos) << german.out;
    const SayRun entity =
        Say("--engine espeak --markup -o " + path + " '&eacute;t&eacute;'", "", false);
    EXPECT_EQ(entity.status, 0) << entity.out;
    EXPECT_GT(SpokenSeconds(entity), 0.2) << entity.out;
    const std::string sentence = " -o " + path + " 'This sentence is spoken at two speeds.'";
    const double normal = SpokenSeconds(Say("--engine espeak" + sentence, "", false));
    const double slow = SpokenSeconds(Say("--engine espeak --rate x-slow" + sentence, "", false));
    EXPECT_GT(slow, normal * 1.3);
}

// SIGTERM while speaking leaves a complete WAV of what was rendered.
TEST(SayTest, TerminatedRunLeavesAValidWav) {
    const std::string path = Out("term.wav");
    int input[2], output[2];
    ASSERT_EQ(pipe(input), 0);
    ASSERT_EQ(pipe(output), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        dup2(input[0], 0);
        dup2(output[1], 1);
        close(input[1]);
        close(output[0]);
        execl(VRELAY_SAY_PATH, VRELAY_SAY_PATH, "--engine", "tone", "-q", "--stream", "--marks",
              "-o", path.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(input[0]);
    close(output[1]);
    FILE* marks = fdopen(output[0], "r");
    // The library holds back a few kilobytes of a stream: give it plenty.
    std::string text;
    for (int i = 0; i < 2000; ++i) {
        text += "word ";
    }
    text += "\n";
    ASSERT_EQ(write(input[1], text.data(), text.size()), static_cast<ssize_t>(text.size()));
    // An audio packet holds some sixteen words: the 25th mark comes after
    // the audio of the first eight words at least.
    char line[256];
    for (int seen = 0; seen < 25 && fgets(line, sizeof line, marks) != nullptr; ++seen) {
    }
    kill(child, SIGTERM);
    int status = 0;
    waitpid(child, &status, 0);
    close(input[1]);
    fclose(marks);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
    const auto wav = ReadFile(path);
    ASSERT_GE(wav.size(), 44u + 8 * 1920 * 2);
    EXPECT_EQ(Le32(wav, 4), wav.size() - 8);
    EXPECT_EQ(Le32(wav, 40), wav.size() - 44);
}

// The timeline is an SVG a browser shows: rendered to PNG at its stated
// size, with every word as a label.
TEST(SayTest, TimelineShowsEveryWord) {
    const std::string svg = Out("timeline.svg");
    const std::string png = Out("timeline.png");
    const SayRun run =
        Say("--timeline " + svg + " -o " + Out("timeline.wav") + " 'Hello there, <world> & all'");
    ASSERT_EQ(run.status, 0) << run.out;
    ASSERT_EQ(std::system(("rsvg-convert -o " + png + " " + svg).c_str()), 0);
    const auto image = ReadFile(png);
    ASSERT_GT(image.size(), 24u);
    const auto be32 = [&](size_t at) {
        return static_cast<uint32_t>(image[at]) << 24 | image[at + 1] << 16 | image[at + 2] << 8 |
               image[at + 3];
    };
    // 4 voiced words of the tone engine ("&" is silent), 0.12 s each, 200
    // columns a second, and the margins.
    EXPECT_EQ(be32(16), 20u + 4 * 24);  // IHDR width
    EXPECT_EQ(be32(20), 220u);          // IHDR height
    const auto text = ReadFile(svg);
    const std::string document(text.begin(), text.end());
    for (const char* word : {">Hello<", ">there,<", ">&lt;world&gt;<", ">&amp;<", ">all<"}) {
        EXPECT_NE(document.find(word), std::string::npos) << word;
    }
}

}  // namespace
