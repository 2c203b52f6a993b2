// SPDX-License-Identifier: MIT
// The render worker against the reference server (tone engine: every word
// is 1920 samples at 16 kHz): jobs, their events on one clock, stopping,
// and a connection the server closed.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "frontend/render_worker.h"
#include "server/speech_server.h"
#include "tests/support/captured_log.h"
#include "transport/socket.h"

namespace vrelay {
namespace frontend {
namespace {

// Records a job's words and audio, and waits for its end; ReadyForMore
// follows `ready`.
class Recorder : public JobSink {
  public:
    bool OnFormat(uint32_t rate) override {
        rate_ = rate;
        return true;
    }
    bool OnAudio(const int16_t*, size_t count, int64_t first) override {
        contiguous_ = contiguous_ && first == samples_;
        samples_ += static_cast<int64_t>(count);
        return true;
    }
    bool OnWord(const WordEvent& word) override {
        words_ += std::to_string(word.sample) + "@" + std::to_string(word.source.begin.byte) +
                  ":" + word.source.written + " ";
        return true;
    }
    bool ReadyForMore() override { return ready; }
    void OnEnd(const JobEnd& end) override {
        std::lock_guard<std::mutex> lock(mutex_);
        end_ = end;
        ended_ = true;
        changed_.notify_all();
    }
    JobEnd End() {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return ended_; });
        return end_;
    }

    std::atomic<bool> ready{true};
    uint32_t rate_ = 0;
    int64_t samples_ = 0;
    bool contiguous_ = true;
    std::string words_;

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool ended_ = false;
    JobEnd end_;
};

SpeechJob Job(const std::string& text, std::shared_ptr<Recorder> sink, size_t bytes = 4000) {
    SpeechJob job;
    job.text = text;
    job.requestBytes = bytes;
    job.sink = std::move(sink);
    return job;
}

class RenderWorkerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ServerOptions options;
        options.engine = "tone";
        options.limits.idle_timeout_ms = 300;
        server_ = std::make_unique<server::SpeechServer>(options);
        std::string error;
        ASSERT_TRUE(server_->Start(&error)) << error;
    }
    using ServerOptions = server::ServerOptions;
    const test::CapturedLog log_;
    std::unique_ptr<server::SpeechServer> server_;
};

// Requests of a job follow each other on one clock; words keep their place
// in the text; a voice named as a person names it is chosen, an unknown one
// ends the job with its exit code.
TEST_F(RenderWorkerTest, JobsSpeakOnOneClockInTheirVoice) {
    RenderWorker worker({"127.0.0.1", server_->Port(), false, true});
    auto sink = std::make_shared<Recorder>();
    SpeechJob job = Job("one two. three four.", sink, 16);
    job.voice = "TONE-LOW";
    worker.Submit(std::move(job));
    JobEnd end = sink->End();
    EXPECT_EQ(end.outcome, JobEnd::Outcome::kDone);
    EXPECT_EQ(sink->words_, "0@0:one 1920@4:two. 3840@9:three 5760@15:four. ");
    EXPECT_EQ(sink->samples_, 4 * 1920);
    EXPECT_TRUE(sink->contiguous_);
    EXPECT_EQ(sink->rate_, 16000u);

    // A door may ask for its voice up front; the server decides (a
    // language's name is a voice too).
    EXPECT_TRUE(worker.CheckVoice("english", &end)) << end.reason;
    EXPECT_FALSE(worker.CheckVoice("klingon", &end));
    EXPECT_EQ(end.exitCode, kExitUnknownVoice);
    EXPECT_EQ(end.reason, "unknown voice \"klingon\"");

    auto unknown = std::make_shared<Recorder>();
    job = Job("hi", unknown);
    job.voice = "klingon";
    worker.Submit(std::move(job));
    end = unknown->End();
    EXPECT_EQ(end.outcome, JobEnd::Outcome::kFailed);
    EXPECT_EQ(end.exitCode, kExitUnknownVoice);
    EXPECT_EQ(end.reason, "unknown voice \"klingon\"");
}

// Stop ends a queued job at once, a job waiting for its sink, and a call
// that waits for a server that never answers; the worker goes on after.
TEST_F(RenderWorkerTest, StopEndsQueuedWaitingAndRunningJobs) {
    RenderWorker worker({"127.0.0.1", server_->Port(), false, true});
    auto waiting = std::make_shared<Recorder>();
    auto queued = std::make_shared<Recorder>();
    waiting->ready = false;
    const uint64_t first = worker.Submit(Job("held back", waiting));
    const uint64_t second = worker.Submit(Job("never spoken", queued));
    worker.Stop(second);
    EXPECT_EQ(queued->End().outcome, JobEnd::Outcome::kStopped);
    worker.Stop(first);
    EXPECT_EQ(waiting->End().outcome, JobEnd::Outcome::kStopped);
    EXPECT_EQ(waiting->samples_, 0);
    auto after = std::make_shared<Recorder>();
    worker.Submit(Job("after", after));
    EXPECT_EQ(after->End().outcome, JobEnd::Outcome::kDone);

    SocketServer silent(0, 4, WaitingSelect, "127.0.0.1");  // takes the text, never answers
    ASSERT_TRUE(silent.IsOpen());
    RenderWorker stuck({"127.0.0.1", silent.Port(), false, false});
    auto hanging = std::make_shared<Recorder>();
    stuck.Submit(Job("no answer comes", hanging));
    std::unique_ptr<Socket> peer(silent.Accept());
    ASSERT_NE(peer, nullptr);
    char text[64];
    size_t received = 0;
    ASSERT_TRUE(peer->ReceiveBytes(text, sizeof text, &received));  // the render waits now
    const auto stopped = std::chrono::steady_clock::now();
    stuck.Stop(0);
    EXPECT_EQ(hanging->End().outcome, JobEnd::Outcome::kStopped);
    // Far sooner than the library's 60 s wait for an answer.
    EXPECT_LT(std::chrono::steady_clock::now() - stopped, std::chrono::seconds(30));
}

// A connection the server has closed (it ends idle sessions) is opened again
// and the request submitted once more.
TEST_F(RenderWorkerTest, ReconnectsWhenTheServerClosedTheConnection) {
    RenderWorker worker({"127.0.0.1", server_->Port(), false, true});
    JobEnd end;
    ASSERT_TRUE(worker.Connect(&end)) << end.reason;
    for (int i = 0; i < 5000 && server_->ActiveSessions() != 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_EQ(server_->ActiveSessions(), 0);
    auto sink = std::make_shared<Recorder>();
    worker.Submit(Job("again", sink));
    EXPECT_EQ(sink->End().outcome, JobEnd::Outcome::kDone);
    EXPECT_EQ(sink->words_, "0@0:again ");
}

}  // namespace
}  // namespace frontend
}  // namespace vrelay
