// SPDX-License-Identifier: MIT
// The worker pool with a scripted engine: what a worker's crash, hang or
// memory exhaustion costs, and that units cross the process boundary intact.
#include "server/worker_pool.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <functional>
#include <iterator>
#include <new>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/captured_log.h"

namespace vrelay {
namespace server {
namespace {

// Speaks each word as a unit whose samples count its letters, with one mark
// and one phoneme; the words "crash", "hang", "oom" (an allocation failure),
// "grow" (past the memory limit) and "fail" make the worker do that, "nap"
// (and any word that starts with it) sleeps up to 8 ms first, "spin" waits
// until the sink is abandoned and "stuck" never returns, whatever it is told.
// A unit sent in pieces says so in next_phoneme. With a log, each Speak (one
// unit) adds a line to it as it starts: its first mark and the worker's pid.
class ScriptedEngine : public Engine {
  public:
    explicit ScriptedEngine(std::string log = "") : log_(std::move(log)) {}
    std::string Name() const override { return "scripted"; }
    const std::vector<VoiceInfo>& Voices() const override { return voices_; }
    std::string DefaultVoice() const override { return "v"; }
    size_t UnitEnd(const std::vector<Word>& words, size_t begin) const override {
        return std::min(words.size(), begin + 2);
    }
    bool Speak(const std::string& voice, const std::vector<Word>& words, UnitSink* sink,
               std::string* error) override {
        if (!log_.empty()) {
            const int fd = ::open(log_.c_str(), O_WRONLY | O_APPEND | O_CREAT, 0600);
            const std::string line =
                (words.empty() ? "" : words[0].mark) + " " + std::to_string(::getpid()) + "\n";
            const bool written = ::write(fd, line.data(), line.size()) == ssize_t(line.size());
            ::close(fd);
            if (!written) {
                ::raise(SIGABRT);
            }
        }
        std::minstd_rand random(static_cast<unsigned>(::getpid()) * 7919u + ++calls_);
        for (const Word& word : words) {
            const std::string text = word.text.substr(0, word.text.find_last_not_of(' ') + 1);
            if (text.compare(0, 3, "nap") == 0) {
                std::this_thread::sleep_for(std::chrono::microseconds(random() % 8000));
            } else if (text == "crash") {
                ::raise(SIGABRT);
            } else if (text == "hang") {
                ::pause();
            } else if (text == "spin") {
                while (!sink->Abandoned()) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                }
            } else if (text == "stuck") {
                for (;;) {
                    ::pause();
                }
            } else if (text == "oom") {
                throw std::bad_alloc();
            } else if (text == "grow") {
                std::vector<char> huge(size_t{1} << 30, 'x');  // over the pool's limit
                unit_bytes_ += huge.size();
            } else if (text == "fail") {
                *error = "cannot say " + text;
                return false;
            }
            SynthesisUnit unit;
            unit.sample_rate = 8000;
            unit.samples.assign(word.text.size(), static_cast<int16_t>(-7));
            unit.marks.push_back(TimedMark{word.mark + "/" + voice, 1});
            unit.phonemes.push_back(
                TimedPhoneme{word.context.empty() ? "-" : word.context[0].Get("rate"), 2, 3});
            unit.interpolated_marks = static_cast<int>(word.breaks.size());
            unit.next_phoneme = sink->TakesPieces() ? "in pieces" : "";
            if (!sink->OnUnit(unit)) {
                return true;
            }
        }
        return true;
    }

  private:
    const std::string log_;
    unsigned calls_ = 0;
    std::vector<VoiceInfo> voices_;
    size_t unit_bytes_ = 0;
};

struct Collector : UnitSink {
    bool OnUnit(const SynthesisUnit& unit) override {
        if (on_unit) {
            on_unit(unit);
        }
        units.push_back(unit);
        return units.size() < stop_after;
    }
    // The marks received, in order, without their voices.
    std::string Marks() const {
        std::string marks;
        for (const SynthesisUnit& unit : units) {
            for (const TimedMark& mark : unit.marks) {
                marks += mark.name.substr(0, mark.name.find('/')) + " ";
            }
        }
        return marks;
    }
    std::function<void(const SynthesisUnit&)> on_unit;
    std::chrono::steady_clock::time_point Deadline() const override { return deadline; }
    std::vector<SynthesisUnit> units;
    size_t stop_after = SIZE_MAX;
    std::chrono::steady_clock::time_point deadline =
        std::chrono::steady_clock::now() + std::chrono::seconds(30);
};

// The words of marked text, with their contexts and breaks.
std::vector<Word> Words(const std::string& text) {
    MarkupParser parser;
    std::vector<Word> words;
    parser.Parse(text, &words);
    return words;
}

TEST(WorkerPool, UnitsCrossIntactAndAFailingWorkerCostsOnlyItsRequest) {
    test::CapturedLog quiet;
    WorkerPool pool(std::make_unique<ScriptedEngine>(), 1, 64);
    // More than the socket buffers hold: written to a stopped worker, it waits.
    const std::string large(4 << 20, 'x');
    // error: "" when the request succeeds
    // stopped: the idle worker is stopped (SIGSTOP) first
    const struct { std::string word; const char* error; int deadline_ms; bool stopped; } cases[] = {
        {large, "took too long", 300, true}, {"oom", "ran out of memory", 30000, false},
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)  // their allocators abort
        {"grow", "ran out of memory", 30000, false},
#endif
        {"fail", "cannot say fail", 30000, false},
    };
    // The last word is silent: a unit without samples.
    const std::vector<Word> next_words = Words(
        "<mark name='m0'/>one <prosody rate='slow'><mark name='m1'/>four<break/><break/></prosody>"
        "<mark name='m2'/>seven<mark name='m3'/>");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.word.substr(0, 10));
        if (c.stopped) {
            const pid_t worker = pool.WorkerPids()[0];
            ASSERT_GT(worker, 0);  // kill(0) would stop the test's own process group
            ASSERT_EQ(::kill(worker, SIGSTOP), 0);
        }
        Collector failing;
        failing.deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(c.deadline_ms);
        std::string error;
        EXPECT_FALSE(pool.Speak("v", Words("<mark name='m0'/>ab <mark name='m1'/>" + c.word),
                                &failing, &error));
        EXPECT_NE(error.find(c.error), std::string::npos) << error;

        // The next request is served in full, by a replacement where needed.
        Collector next;
        ASSERT_TRUE(pool.Speak("v", next_words, &next, &error)) << error;
        ASSERT_EQ(next.units.size(), 4u);
        EXPECT_TRUE(next.units[3].samples.empty());
        EXPECT_EQ(next.units[1].samples, std::vector<int16_t>(4, -7));
        EXPECT_EQ(next.units[1].sample_rate, 8000);
        EXPECT_EQ(next.units[1].marks[0].name, "m1/v");
        EXPECT_EQ(next.units[1].phonemes[0].name, "slow");  // the word's context came along
        EXPECT_EQ(next.units[2].phonemes[0].name, "-");
        EXPECT_EQ(next.units[1].interpolated_marks, 2);  // and its breaks
        // Only the first unit of a request comes in pieces.
        EXPECT_EQ(next.units[1].next_phoneme, "in pieces");
        EXPECT_EQ(next.units[2].next_phoneme, "");
        EXPECT_NE(pool.WorkerPids()[0], 0);
    }
    // A sink that stops takes no more units.
    Collector stopping;
    stopping.stop_after = 1;
    std::string error;
    EXPECT_TRUE(pool.Speak("v", Words("<mark name='a'/>a<mark name='b'/>b<mark name='c'/>c"),
                           &stopping, &error));
    EXPECT_EQ(stopping.units.size(), 1u);
    // A worker told to stop a unit nobody wants stops and stays for the next
    // request; one stuck in its engine ends itself, and a replacement serves.
#if !defined(__SANITIZE_THREAD__)  // it holds back signals to a child of a threaded process
    for (const std::string word : {"spin", "stuck"}) {
        const pid_t before = pool.WorkerPids()[0];
        Collector stopped;
        stopped.stop_after = 1;
        EXPECT_TRUE(
            pool.Speak("v", Words("<mark name='a'/>a <mark name='b'/>" + word), &stopped, &error));
        Collector next;
        ASSERT_TRUE(pool.Speak("v", next_words, &next, &error)) << error;
        EXPECT_EQ(pool.WorkerPids()[0] == before, word == "spin") << word;
    }
#endif
    // A worker killed while idle (its last request over, and with it every
    // unit it was told to stop) is reaped and replaced at once, not at its
    // slot's next job (polls, bounded, until the pool has done so).
    Collector over;
    ASSERT_TRUE(pool.Speak("v", next_words, &over, &error)) << error;
    const pid_t idle = pool.WorkerPids()[0];
    ASSERT_GT(idle, 0);
    ASSERT_EQ(::kill(idle, SIGKILL), 0);
    const std::string proc = "/proc/" + std::to_string(idle);
    for (int i = 0; i < 500 && (::access(proc.c_str(), F_OK) == 0 || pool.WorkerPids()[0] == 0);
         ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_NE(::access(proc.c_str(), F_OK), 0) << "worker " << idle << " was not reaped";
    EXPECT_NE(pool.WorkerPids()[0], 0);
    EXPECT_NE(pool.WorkerPids()[0], idle);
}

// "<mark name='m<i>'/>word" for each word.
std::string MarkedText(const std::vector<std::string>& words) {
    std::string text;
    for (size_t i = 0; i < words.size(); ++i) {
        text += "<mark name='m" + std::to_string(i) + "'/>" + words[i] + " ";
    }
    return text;
}
// "m0 m1 ... " up to m<n-1>, as Collector::Marks gives them.
std::string FirstMarks(size_t n) {
    std::string marks;
    for (size_t i = 0; i < n; ++i) {
        marks += "m" + std::to_string(i) + " ";
    }
    return marks;
}

// One request's units on several workers at once, slowed at random, while the
// sink also takes its time: delivered in text order, each once, and never more
// started beyond the one being delivered than kUnitsAhead units, or than the
// units running (one a worker) and those that fit in kSamplesAhead samples.
// A unit that fails midway ends the request after the units before it.
TEST(WorkerPool, UnitsOnManyWorkersArriveInTextOrderWithinTheBoundAndFailAtTheirPlace) {
    test::CapturedLog quiet;
    const std::string log = ::testing::TempDir() + "pool_log_" + std::to_string(::getpid());
    // letters: of each word: the samples of its unit
    const struct { int workers; bool pinned; size_t letters; size_t words; } pools[] = {
        {1, false, 3, 60}, {3, false, 3, 60}, {3, true, 3, 60}, {1, false, 300000, 16},
        {3, false, 300000, 16}};
    for (const auto& p : pools) {
        SCOPED_TRACE(std::to_string(p.workers) + " workers, pinned " + std::to_string(p.pinned) +
                     ", words of " + std::to_string(p.letters));
        ::unlink(log.c_str());
        WorkerPool pool(std::make_unique<ScriptedEngine>(log), p.workers, 0, p.pinned);
        const int64_t unit_samples = 2 * static_cast<int64_t>(p.letters + 1);  // two words a unit
        const size_t ahead = std::min<size_t>(
            WorkerPool::kUnitsAhead,
            static_cast<size_t>(p.workers + (WorkerPool::kSamplesAhead - 1) / unit_samples));
        Collector slow;
        std::minstd_rand random(7);
        slow.on_unit = [&](const SynthesisUnit& unit) {
            std::ifstream in(log);
            const size_t started =
                static_cast<size_t>(std::count(std::istreambuf_iterator<char>(in), {}, '\n'));
            const size_t unit_index = std::stoul(unit.marks[0].name.substr(1)) / 2;
            EXPECT_LE(started, unit_index + 1 + ahead);
            std::this_thread::sleep_for(std::chrono::microseconds(random() % 8000));
        };
        std::string error;
        const std::vector<Word> request = Words(
            MarkedText(std::vector<std::string>(p.words, "nap" + std::string(p.letters - 3, 'x'))));
        ASSERT_TRUE(pool.Speak("v", request, &slow, &error)) << error;
        if (p.pinned) {
            // However long each unit takes, the same request again goes to the
            // same workers unit by unit.
            const auto assignment = [&log] {
                std::ifstream in(log);
                std::vector<std::string> lines;
                for (std::string line; std::getline(in, line);) {
                    lines.push_back(line);
                }
                std::sort(lines.begin(), lines.end());
                return lines;
            };
            const std::vector<std::string> first = assignment();
            ::unlink(log.c_str());
            Collector again;
            ASSERT_TRUE(pool.Speak("v", request, &again, &error)) << error;
            EXPECT_EQ(assignment(), first);
        }
        EXPECT_EQ(slow.Marks(), FirstMarks(p.words));
        if (p.letters > 3) {
            continue;  // the failures below are the same with any words
        }

        const struct { const char* word; const char* error; } failures[] = {
            {"crash", "crashed (signal 6)"}, {"hang", "took too long"}};
        for (const auto& f : failures) {
            std::vector<std::string> words(24, "nap");
            words[17] = f.word;
            Collector failing;
            failing.deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
            EXPECT_FALSE(pool.Speak("v", Words(MarkedText(words)), &failing, &error));
            EXPECT_NE(error.find(f.error), std::string::npos) << error;
            EXPECT_EQ(failing.Marks(), FirstMarks(17));
            Collector next;
            ASSERT_TRUE(pool.Speak("v", Words(MarkedText({"a", "b", "c"})), &next, &error))
                << error;
            EXPECT_EQ(next.Marks(), FirstMarks(3));
        }
    }
    ::unlink(log.c_str());
}

}  // namespace
}  // namespace server
}  // namespace vrelay
