// SPDX-License-Identifier: MIT
// vrelay-say run as a user runs it, with the embedded server's tone engine.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vrelay/vrelay.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "server/espeak_engine.h"
#include "server/speech_server.h"
#include "tests/support/captured_log.h"
#include "tests/support/child_process.h"
#include "tests/support/fake_server.h"
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
    // No sound server here: what would play fails as on a machine without one.
    const std::string command = "PULSE_SERVER=unix:/nonexistent " + std::string(VRELAY_SAY_PATH) +
                                " --engine tone " + (quiet ? "-q " : "") + "< " + inputFile +
                                " 2>&1 " + arguments;
    return vrelay::test::RunCommand(command);
}

std::string Repeat(const std::string& unit, int times) {
    std::string s;
    while (times-- > 0)
        s += unit;
    return s;
}

std::vector<uint8_t> ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

uint32_t Le32(const std::vector<uint8_t>& b, size_t at) {
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

// The file, or a pipe from standard output, holds the audio in the encoding
// and rate asked; resampled audio keeps its duration. (The header's other
// fields are WavWriterTest's.)
TEST(SayTest, WritesAValidWavInEachEncoding) {
    // format: 1: 16-bit PCM, else 8-bit with a fact chunk
    // pipe: -o - through a pipe: lengths unknown
    const struct { const char* options; uint16_t format; uint32_t rate; bool pipe; } rows[] = {
        {"--encoding ulaw --sample-rate 8000", 7, 8000, false}, {"--encoding pcm", 1, 16000, true},
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
        EXPECT_EQ(wav[20] | wav[21] << 8, row.format);
        EXPECT_EQ(Le32(wav, 24), row.rate);
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
    const std::string page = Out("page.html");
    {
        std::ofstream(page) << "<html><head><style>p { x: y }</style><script>if (a < b) go()"
                               "</script></head><body><p>Visible text</p><SCRIPT type=x>var y"
                               "</SCRIPT></body></html>";
    }
    // clang-format off
    const struct { std::string arguments; std::string input; const char* marks; } rows[] = {
        {"'Hello there, world.'", "", "    0.000  Hello\n    0.120  there,\n    0.240  world.\n"},
        {"--file " + textFile, "", "    0.000  one\n    0.120  two\n"},
        {"", "three four\n", "    0.000  three\n    0.120  four\n"},
        {"--stream", "first line\nsecond line\n",
         "    0.000  first\n    0.120  line\n    0.240  second\n    0.360  line\n"},
        {"--async 'first line'", "", "    0.000  first\n    0.120  line\n"},
        // Literal text: what looks like markup is spoken, and marks show it.
        {"'If a<b & c>d'", "", "    0.000  If\n    0.120  a<b\n    0.240  &\n    0.240  c>d\n"},
        {"--stream", "x<y\n", "    0.000  x<y\n"},
        // Markup: words as written, their entities decoded.
        {"--markup 'a &lt;b&gt; <break/>Caf&eacute;'", "",
         "    0.000  a\n    0.120  <b>\n    0.440  Café\n"},
        {"--file " + markupFile, "", "    0.000  one\n"},
        // What the user's bytes carry besides text: none of it spoken, and
        // what is not plain said once.
        {"--file " + page, "", "    0.000  Visible\n    0.120  text\n"},
        {"", std::string("one \0two\0", 9),
         "vrelay-say: the input holds a NUL byte at offset 4; NUL bytes are skipped\n"
         "    0.000  one\n    0.120  two\n"},
        {"", "caf\xE9 ol\xE9",
         "vrelay-say: the input is not UTF-8 (byte 0xE9 at offset 3); such bytes are read as "
         "Latin-1 (Windows-1252)\n    0.000  café\n    0.120  olé\n"},
        {"--plain --file " + markupFile, "", "    0.000  <s>one</s>\n"},
    };
    // clang-format on
    for (const auto& row : rows) {
        SCOPED_TRACE(row.arguments);
        const SayRun run = Say("--marks -o " + Out("marks.wav") + " " + row.arguments, row.input);
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.out, row.marks);
    }
}

// Usage errors are one line and a pointer to --help; each kind of failure
// has its own code and message. A wrong voice is found out before the output
// exists: one message, no file, no library warning.
TEST(SayTest, ExitCodesAndMessages) {
    const std::string empty = Out("empty.txt");
    { std::ofstream(empty) << ""; }
    const std::string usage = "\nTry 'vrelay-say --help' for more information.\n";
    const std::string noFile = Out("voice.wav");
    // A port where something else answers (a web server, say): one answer
    // that is no speech server's, then the connection closes.
    const std::string kAnswer = "HTTP/1.1 400 Bad Request\r\nConnection: close\r\n\r\n";
    vrelay::test::FakeServer other([&](const vrelay::test::ReceivedFrame&) {
        return std::vector<vrelay::test::Action>{
            vrelay::test::Action::Raw({kAnswer.begin(), kAnswer.end()}),
            vrelay::test::Action::Close()};
    });
    const std::string notSpeech = "127.0.0.1:" + std::to_string(other.Port());
    // whole: the message is all the output
    const struct { std::string arguments; int status; std::string message; bool whole = false;
    } rows[] = {
        {"-o /nonexistent-dir/out.wav hi", 6, "cannot write /nonexistent-dir/out.wav"},
        {"-qo /dev/null --server=127.0.0.1:1 hi", 3,
         "vrelay-say: no speech server at 127.0.0.1:1 (connection refused)\n", true},
        {"-qo /dev/null --server=nowhere.invalid:5555 hi", 3,
         "vrelay-say: no speech server at nowhere.invalid:5555 (no such host)\n", true},
        {"-qo /dev/null --server=" + notSpeech + " hi", 3,
         "vrelay-say: no speech server at " + notSpeech +
             " (what answers there is not a speech server)\n",
         true},
        {"--server nonsense -o /dev/null hi", 2, "--server wants HOST:PORT"},
        {"--encoding mp3 hi", 2, "unknown encoding \"mp3\""},
        {"--frob=1", 2, "vrelay-say: unknown option --frob" + usage, true},
        {"hi -o", 2, "vrelay-say: option -o needs a value" + usage, true},
        {"-o /dev/null '   '", 5, "vrelay-say: there is no text to speak\n", true},
        {"-f " + empty, 5, empty + " is empty: there is no text to speak"},
        {"-f /", 5, "vrelay-say: / is a directory, not a file of text\n", true},
        {"-f /nonexistent", 5, "cannot read /nonexistent: No such file or directory"},
        {"hi", 7, "no sound server to play through"},
        {"--version", 0, "vrelay-say " VRELAY_VERSION_STRING},
        {"--list-voices EN-gb", 0, "2 voices"},
        {"--list-voices=fr", 4, "vrelay-say: no voice speaks \"fr\"\n", true},
        {"-v TONE-LOW --marks -o /dev/null hi", 0, "hi"},
        {"-v tone+f3 -o /dev/null hi", 4, "unknown voice \"tone+f3\""},
        {"--voice nobody -o " + noFile + " hi", 4,
         "vrelay-say: unknown voice \"nobody\" (see --list-voices)\n", true},
        {"--markup --plain hi", 2, "cannot be combined"},
        {"--rate banana hi", 2,
         "vrelay-say: --rate wants x-slow ... x-fast, N% (45.71% to 457.14%), +N%, -N% or "
         "Nwpm (80wpm to 800wpm), not \"banana\"\n" + usage.substr(1), true},
        {"--engine mp3 hi", 2, "--engine wants espeak or tone"},
        // Past the voice's reach a value moves to the nearer end, and says so.
        {"-qo /dev/null --rate 30% --pitch +24st --volume +12dB hi", 0,
         "vrelay-say: --rate 30% is out of reach (45.71% to 457.14%): 45.71% is used\n"
         "vrelay-say: --pitch +24st is out of reach (-7.46st to +8.98st): +8.98st is used\n"
         "vrelay-say: --volume +12dB is out of reach (-60dB to +6dB): +6dB is used\n",
         true},
        {"--sample-rate 5 hi", 2, "--sample-rate wants"}, {"-o /dev/null hi", 0, ", 1 word\n"},
        {"-o /dev/null hi there", 0, ", 2 words\n"},
        // "--" ends the options: what follows is text.
        {"--marks -o /dev/null -- -v --marks", 0, "  -v\n    0.120  --marks\n"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.arguments);
        const SayRun run = Say(row.arguments, "", false);
        EXPECT_EQ(run.status, row.status) << run.out;
        if (row.whole)
            EXPECT_EQ(run.out, row.message);
        else
            EXPECT_NE(run.out.find(row.message), std::string::npos) << run.out;
    }
    EXPECT_NE(access(noFile.c_str(), F_OK), 0);
    // On a terminal (script(1) gives it one) the progress line reaches 100 %.
    const SayRun tty = vrelay::test::RunCommand(
        "script -qec \"" VRELAY_SAY_PATH " --engine tone -o /dev/null 'one two three'\" /dev/null");
    EXPECT_NE(tty.out.find("speaking: 100%"), std::string::npos) << tty.out;
}

// The voice list's columns are as wide as their contents; the variants
// (espeak-ng has a hundred) take a line each in a pipe and fill the rows of a
// terminal (script(1) gives one, 80 columns wide) without overrunning them.
TEST(SayTest, VoiceListIsSizedToItsContentsAndToTheTerminal) {
    const SayRun tone = Say("--list-voices");
    EXPECT_EQ(tone.status, 0);
    EXPECT_EQ(tone.out,
              "NAME      LANG   SEX     LANGUAGE  RATE\n"
              "tone      en-gb  female  English   16000\n"
              "tone-low  en-gb  male    English   16000\n"
              "2 voices\n");
    const auto variantLines = [](const std::string& out, size_t* widest) {
        const size_t from = out.find("variants (");
        std::istringstream lines(from == std::string::npos ? "" : out.substr(from));
        std::string line;
        std::getline(lines, line);
        size_t count = 0;
        *widest = 0;
        while (std::getline(lines, line)) {
            line.erase(line.find_last_not_of('\r') + 1);
            *widest = std::max(*widest, line.size());
            ++count;
        }
        return count;
    };
    size_t widest = 0;
    const SayRun piped = Say("--engine espeak --list-voices");
    ASSERT_EQ(piped.status, 0) << piped.out;
    const size_t variants = variantLines(piped.out, &widest);
    EXPECT_GT(variants, 50u) << piped.out;
    EXPECT_NE(piped.out.find("\n  f3/f\n"), std::string::npos) << piped.out;
    const SayRun terminal = vrelay::test::RunCommand(
        "script -qec \"" VRELAY_SAY_PATH " --engine espeak --list-voices\" /dev/null");
    ASSERT_EQ(terminal.status, 0) << terminal.out;
    EXPECT_LT(variantLines(terminal.out, &widest), variants / 2) << terminal.out;
    EXPECT_LT(widest, 80u) << terminal.out;
}

// A text longer than one block of input, full of characters that need
// escaping: every word comes back, as written, in order.
TEST(SayTest, LongTextKeepsEveryWordAcrossBlocks) {
    std::string text;
    const int words = 7000;
    for (int i = 0; i < words; ++i)
        text += "w<" + std::to_string(i) + ">&x ";
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

// What a 16-bit WAV sounds like: the median fundamental of its voiced frames,
// its loudness (RMS over the sound, in dB of full scale) and the time from
// its first sound to its last.
struct Sound { double hz = 0, db = 0, seconds = 0; };

Sound Measure(const std::string& path) {
    const auto wav = ReadFile(path);
    const int rate = wav.size() > 44 ? static_cast<int>(Le32(wav, 24)) : 1;
    std::vector<int16_t> x;
    for (size_t i = 44; i + 1 < wav.size(); i += 2)
        x.push_back(static_cast<int16_t>(wav[i] | wav[i + 1] << 8));
    Sound sound;
    size_t first = x.size(), last = 0;
    for (size_t i = 0; i < x.size(); ++i) {
        if (std::abs(x[i]) > 300)
            first = std::min(first, i), last = i;
    }
    if (first >= last)
        return sound;
    double energy = 0;
    for (size_t i = first; i <= last; ++i)
        energy += static_cast<double>(x[i]) * x[i];
    sound.db = 10 * std::log10(energy / (last - first + 1) / (32768.0 * 32768.0));
    sound.seconds = static_cast<double>(last - first) / rate;
    sound.hz = vrelay::server::MedianFundamental(x, rate);
    return sound;
}

// The real engine takes a voice by language code and HTML entities in
// markup. Each prosody option reaches the audio, in one form each (what every
// form means is the front end's and the server's to show): the fundamental
// within 10 % of the one asked, the loudness within 1 dB, the length within
// 10 % of what the rate implies.
TEST(SayTest, EspeakTakesLanguagesEntitiesAndProsody) {
    const std::string text = "The quick brown fox jumps over the lazy dog, and then it runs away.";
    const std::string path = Out("espeak.wav");
    const auto speak = [&](const std::string& arguments) {
        const SayRun run = Say("--engine espeak -o " + path + " " + arguments);
        EXPECT_EQ(run.status, 0) << arguments << ": " << run.out;
        return Measure(path);
    };
    const SayRun german = Say("--engine espeak --voice de-DE --marks -o " + path + " 'Guten Tag'");
    EXPECT_EQ(german.status, 0) << german.out;
    EXPECT_NE(german.out.find("  Guten\n"), std::string::npos) << german.out;
    EXPECT_NE(german.out.find("  Tag\n"), std::string::npos) << german.out;
    EXPECT_GT(speak("--markup '&eacute;t&eacute;'").seconds, 0.2);
    // Phonemes as espeak-ng has them: "en" is British English ("water bottle"
    // as espeak-ng -v en -x says it); the list keeps each voice's region.
    // (Which voice each name, language or variant selects is the espeak
    // engine test's.)
    const SayRun british = Say("--engine espeak -v en --phonemes -o /dev/null 'water bottle'");
    std::istringstream lines(british.out);
    std::string phonemes;
    for (std::string start, length, name; lines >> start >> length >> name;)
        phonemes += name.find('_') == std::string::npos ? name + " " : "";
    EXPECT_EQ(phonemes, "w O: t 3 b 0 t @L ") << british.out;
    const SayRun listed = Say("--engine espeak --list-voices en");
    for (const char* tag : {" en-gb-scotland ", " en-029 ", " en-us-nyc "})
        EXPECT_NE(listed.out.find(tag), std::string::npos) << listed.out;
    const Sound plain = speak("'" + text + "'");
    ASSERT_GT(plain.hz, 0);
    // A voice is louder the higher it speaks: pitches leave the loudness free.
    const double free = NAN;
    // hz: the fundamental asked for, or 0
    // db: the change of loudness
    // lengthens: the length over the plain one, or 0
    const struct { std::string arguments; double hz; double db; double lengthens; } rows[] = {
        {"-v en+f3 --pitch=300Hz", 300, free, 0}, {"--pitch=x-low", plain.hz * 0.75, free, 0},
        // espeak-ng's female voices speak near 190 Hz, its male ones near 100.
        {"-v en+female", 190, free, 0}, {"--volume=50%", 0, -6, 0},
        {"--rate=150wpm", 0, 0, 175.0 / 150},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.arguments);
        const Sound sound = speak(row.arguments + " '" + text + "'");
        if (row.hz > 0) {
            EXPECT_NEAR(sound.hz, row.hz, row.hz * 0.1);
        }
        if (!std::isnan(row.db)) {
            EXPECT_NEAR(sound.db - plain.db, row.db, 1);
        }
        const double lengthens = row.lengthens > 0 ? row.lengthens : 1;
        EXPECT_NEAR(sound.seconds / plain.seconds, lengthens, lengthens * 0.1);
    }
    // A voice asked for by sex, in markup.
    const Sound female = speak("--markup '<voice gender=\"female\">" + text + "</voice>'");
    EXPECT_NEAR(female.hz, 190, 19);
}

// SIGTERM or Ctrl-C while speaking, or a crash of the engine inside the
// process, leaves a complete WAV of what was rendered under the file's name.
TEST(SayTest, TerminatedRunLeavesAValidWav) {
    for (int signal : {SIGTERM, SIGINT, SIGSEGV}) {
        SCOPED_TRACE(signal);
        const std::string path = Out("term.wav");
        vrelay::test::ChildProcess say(
            {VRELAY_SAY_PATH, "--engine", "tone", "-q", "--stream", "--marks", "-o", path});
        ASSERT_GT(say.pid, 0);
        say.Send(Repeat("word ", 2000) + "\n");
        // An audio packet holds some sixteen words: the 25th mark comes after
        // the audio of the first eight words at least.
        std::string marks;
        EXPECT_TRUE(say.ReadUntil(
            say.out, &marks, [&] { return std::count(marks.begin(), marks.end(), '\n') >= 25; }));
        kill(say.pid, signal);
        const int status = say.Wait();
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal);
        const auto wav = ReadFile(path);
        ASSERT_GE(wav.size(), 44u + 8 * 1920 * 2);
        EXPECT_EQ(Le32(wav, 4), wav.size() - 8);
        EXPECT_EQ(Le32(wav, 40), wav.size() - 44);
        std::remove(path.c_str());
    }
}

// SIGTERM or Ctrl-C while the server has taken the connection but answers
// nothing more: vrelay-say ends by the signal within 2 s, whether it waits
// for the voice it selects or for the text's answer.
TEST(SayTest, ASignalEndsItWithinTwoSecondsWhileTheServerIsSilent) {
    using vrelay::test::Action;
    for (const char* voice : {"one", ""}) {
        for (int signal : {SIGTERM, SIGINT}) {
            SCOPED_TRACE(std::string(*voice ? "selecting a voice" : "rendering") + ", signal " +
                         std::to_string(signal));
            // The voice list, and silence from then on.
            vrelay::test::FakeServer server(vrelay::test::AnswerWhen(
                [](const vrelay::test::ReceivedFrame& f) {
                    return f.Text() == "<voice name=\"all\"/>";
                },
                {Action::Text(PACKET_QUERY, "<voices><voice name=\"one\"/></voices>"),
                 Action::End()},
                [](const vrelay::test::ReceivedFrame&) {
                    return std::vector<Action>{Action::Hold()};
                }));
            const std::string path = Out("silent.wav");
            std::vector<std::string> args = {VRELAY_SAY_PATH, "-q", "-o", path,
                                             "--server=127.0.0.1:" + std::to_string(server.Port())};
            if (*voice)
                args.insert(args.end(), {"-v", voice});
            args.push_back("Never heard.");
            vrelay::test::ChildProcess say(args);
            ASSERT_TRUE(server.WaitUntilHeld());
            const auto sent = std::chrono::steady_clock::now();
            kill(say.pid, signal);
            const int status = say.Wait();
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << status;
            EXPECT_LT(std::chrono::steady_clock::now() - sent, std::chrono::seconds(2));
            std::remove(path.c_str());
        }
    }
}

// Live input: each line is spoken and its audio written while the input
// waits for the next.
TEST(SayTest, StreamSpeaksEachLineAsItComes) {
    vrelay::test::ChildProcess say(
        {VRELAY_SAY_PATH, "--engine", "tone", "-q", "--stream", "-o", "-"});
    ASSERT_GT(say.pid, 0);
    std::string wav;
    const size_t word = 1920 * 2;  // bytes of one word of the tone engine
    for (const char* line : {"First line.\n", "And then, the second one.\n"}) {
        SCOPED_TRACE(line);
        const size_t before = wav.size();
        say.Send(line);
        const size_t words = std::count(line, line + std::strlen(line), ' ') + 1;
        EXPECT_TRUE(say.ReadUntil(say.out, &wav, [&] {
            return wav.size() >= std::max<size_t>(before, 44) + words * word;
        }));
    }
    say.CloseInput();
    EXPECT_EQ(say.Wait(), 0);
}

// A server that refuses leaves no file (one that was there stays as it was)
// and says why in one line; one that stops partway leaves a complete WAV of
// what was spoken, and a line that says it is partial.
TEST(SayTest, RefusedOrStoppedSpeechLeavesNoFileOrAValidPart) {
    const vrelay::test::CapturedLog serverLog;
    vrelay::server::ServerOptions options;
    options.engine = "tone";
    options.max_sessions = 1;
    options.limits.max_request_audio_seconds = 8;  // the tone engine's first unit, 7.68 s
    vrelay::server::SpeechServer server(options);
    std::string error;
    ASSERT_TRUE(server.Start(&error)) << error;
    const auto sessions = [&](int count) {
        for (int i = 0; i < 5000 && server.ActiveSessions() != count; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return server.ActiveSessions() == count;
    };
    const vr_handle holder = vrCreateConnection();
    ASSERT_EQ(vrOpenConnection(holder, "127.0.0.1", server.Port()), VR_SUCCESS);
    ASSERT_TRUE(sessions(1));
    const std::string path = Out("refused.wav");
    { std::ofstream(path) << "before"; }
    const std::string at = "--server=127.0.0.1:" + std::to_string(server.Port()) + " -o " + path;
    SayRun run;
    for (const char* voice : {"", " -v tone"}) {
        run = Say(at + voice + " hello", "", false);
        EXPECT_EQ(run.status, 1) << run.out;
        EXPECT_NE(run.out.find("vrelay-say: the server refused: server busy\n"), std::string::npos)
            << run.out;
        EXPECT_EQ(run.out.find("server busy"), run.out.rfind("server busy")) << run.out;
        const auto kept = ReadFile(path);
        EXPECT_EQ(std::string(kept.begin(), kept.end()), "before");
    }
    vrDestroyConnection(holder);
    ASSERT_TRUE(sessions(0));

    run = Say(at + " '" + Repeat("w ", 100) + "'", "", false);
    EXPECT_EQ(run.status, 1) << run.out;
    EXPECT_NE(run.out.find("vrelay-say: the speech stopped partway (more than 8 s of audio in one "
                           "request; the rest of the request is dropped); " +
                           path + " holds the 7.68 s spoken before\n"),
              std::string::npos)
        << run.out;
    const auto wav = ReadFile(path);
    ASSERT_EQ(wav.size(), 44u + 64 * 1920 * 2);
    EXPECT_EQ(Le32(wav, 4), wav.size() - 8);
    EXPECT_EQ(Le32(wav, 40), wav.size() - 44);
}

// The timeline is an SVG a browser shows: rendered to PNG at its stated
// size, with every word as a label.
TEST(SayTest, TimelineShowsEveryWord) {
    const std::string svg = Out("timeline.svg");
    // The width and height (from the IHDR chunk) of a run's timeline as PNG.
    const auto size = [&](const std::string& arguments) {
        const SayRun run = Say("--timeline " + svg + " -o /dev/null " + arguments);
        EXPECT_EQ(run.status, 0) << run.out;
        const std::string png = Out("timeline.png");
        EXPECT_EQ(std::system(("rsvg-convert -o " + png + " " + svg).c_str()), 0);
        const auto image = ReadFile(png);
        uint32_t be32[2] = {0, 0};
        for (size_t i = 16; i < 24 && image.size() >= 24; ++i)
            be32[i / 20] = be32[i / 20] << 8 | image[i];
        return std::make_pair(be32[0], be32[1]);
    };
    // 4 voiced words of the tone engine ("&" is silent), 0.12 s each, 200
    // columns a second, and the margins.
    EXPECT_EQ(size("'Hello there, <world> & all'"), std::make_pair(20u + 4 * 24, 220u));
    const auto text = ReadFile(svg);
    const std::string document(text.begin(), text.end());
    for (const char* word : {">Hello<", ">there,<", ">&lt;world&gt;<", ">&amp;<", ">all<"})
        EXPECT_NE(document.find(word), std::string::npos) << word;
    // A long text wraps into rows of ten seconds, and still renders.
    const auto wrapped = size("-f /usr/share/common-licenses/GPL-3");
    EXPECT_EQ(wrapped.first, 2020u);
    EXPECT_EQ(wrapped.second % 220, 0u);
    EXPECT_GT(wrapped.second, 20 * 220u);
}

}  // namespace
