// SPDX-License-Identifier: MIT
// The render worker against the reference server (tone engine: every word
// is 1920 samples at 16 kHz): jobs, their events on one clock, stopping,
// a connection the server closed, and workers sharing a pool.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "frontend/render_worker.h"
#include "wire/payload.h"
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
        if (countOnly) {
            contiguous_ = contiguous_ && word.source.begin.byte == 2 * wordCount_ &&
                          (!rewinds || word.sample == 1920 * wordCount_);
        } else {
            words_ += std::to_string(word.sample) + "@" + std::to_string(word.source.begin.byte) +
                      ":" + word.source.written + " ";
        }
        if (++wordCount_ == 3 && onThirdWord) {
            onThirdWord();
        }
        return true;
    }
    bool OnRewind(int64_t sample) override {
        samples_ = rewinds ? sample : samples_;
        return rewinds;
    }
    void OnResume(const std::string& notice) override { notices_ += notice + "\n"; }
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
    // For texts of "a a a ...": each word checked in place, not recorded.
    bool countOnly = false;
    bool rewinds = false;
    std::function<void()> onThirdWord;
    int64_t wordCount_ = 0;
    std::string notices_;
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

WorkerOptions At(int port, bool checkServer) {
    WorkerOptions options;
    options.port = port;
    options.checkServer = checkServer;
    return options;
}

WorkerOptions On(ConnectionPool* pool) {
    WorkerOptions options;
    options.pool = pool;
    options.checkServer = false;
    return options;
}

SpeechJob Job(const std::string& text, std::shared_ptr<Recorder> sink, size_t bytes = 4000) {
    SpeechJob job;
    job.text = text;
    job.requestBytes = bytes;
    job.sink = std::move(sink);
    return job;
}

// A port that takes a render's text and never answers.
class SilentServer {
  public:
    SilentServer() : socket_(0, 4, WaitingSelect, "127.0.0.1") {}
    int Port() const { return socket_.Port(); }
    // Submits a job to worker and returns once its text has come: the
    // render waits for an answer from then on.
    void Render(RenderWorker* worker, std::shared_ptr<Recorder> sink) {
        ASSERT_TRUE(socket_.IsOpen());
        worker->Submit(Job("no answer comes", std::move(sink)));
        peer_.reset(socket_.Accept());
        ASSERT_NE(peer_, nullptr);
        char text[64];
        size_t received = 0;
        ASSERT_TRUE(peer_->ReceiveBytes(text, sizeof text, &received));
    }

  private:
    SocketServer socket_;
    std::unique_ptr<Socket> peer_;
};

class RenderWorkerTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_NO_FATAL_FAILURE(Start(&server_)); }
    static void Start(std::unique_ptr<server::SpeechServer>* server) {
        server::ServerOptions options;
        options.engine = "tone";
        options.limits.idle_timeout_ms = 300;
        *server = std::make_unique<server::SpeechServer>(options);
        std::string error;
        ASSERT_TRUE((*server)->Start(&error)) << error;
    }
    const test::CapturedLog log_;
    std::unique_ptr<server::SpeechServer> server_;
};

// Requests of a job follow each other on one clock; words keep their place
// in the text; a voice named as a person names it is chosen, an unknown one
// ends the job with its exit code.
TEST_F(RenderWorkerTest, JobsSpeakOnOneClockInTheirVoice) {
    RenderWorker worker(At(server_->Port(), true));
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
    RenderWorker worker(At(server_->Port(), true));
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

    SilentServer silent;
    RenderWorker stuck(At(silent.Port(), false));
    auto hanging = std::make_shared<Recorder>();
    ASSERT_NO_FATAL_FAILURE(silent.Render(&stuck, hanging));
    const auto stopped = std::chrono::steady_clock::now();
    stuck.Stop(0);
    EXPECT_EQ(hanging->End().outcome, JobEnd::Outcome::kStopped);
    // Far sooner than the library's 60 s wait for an answer.
    EXPECT_LT(std::chrono::steady_clock::now() - stopped, std::chrono::seconds(30));
}

// A connection the server has closed (it ends idle sessions) is opened again
// and the request submitted once more, or the job's voice asked for once
// more.
TEST_F(RenderWorkerTest, ReconnectsWhenTheServerClosedTheConnection) {
    for (const std::string voice : {"", "TONE-LOW"}) {
        SCOPED_TRACE(voice);
        RenderWorker worker(At(server_->Port(), true));
        JobEnd end;
        ASSERT_TRUE(worker.Connect(&end)) << end.reason;
        for (int i = 0; i < 5000 && server_->ActiveSessions() != 0; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        ASSERT_EQ(server_->ActiveSessions(), 0);
        auto sink = std::make_shared<Recorder>();
        SpeechJob job = Job("again", sink);
        job.voice = voice;
        worker.Submit(std::move(job));
        end = sink->End();
        EXPECT_EQ(end.outcome, JobEnd::Outcome::kDone) << end.reason;
        EXPECT_EQ(sink->words_, "0@0:again ");
    }
}

// A server that fails mid-text: the job goes on from its last word at the
// next address, every word once and in order; a sink that takes audio back
// (a file) keeps the clock as if nothing happened, a live one hears the
// interrupted word again.
TEST_F(RenderWorkerTest, ResumesFromTheLastWordWhenItsServerFails) {
    std::string text;
    for (int i = 0; i < 20000; ++i) {
        text += "a ";  // one request, of far more audio than the sockets hold
    }
    for (const bool rewinds : {true, false}) {
        SCOPED_TRACE(rewinds ? "rewinds" : "live");
        std::unique_ptr<server::SpeechServer> failing;
        ASSERT_NO_FATAL_FAILURE(Start(&failing));
        WorkerOptions options = At(failing->Port(), true);
        options.fallbacks = {{"127.0.0.1", server_->Port()}};
        RenderWorker worker(options);
        auto sink = std::make_shared<Recorder>();
        sink->countOnly = true;
        sink->rewinds = rewinds;
        sink->onThirdWord = [&] { failing->Stop(); };
        worker.Submit(Job(text, sink, text.size() + 100));
        const JobEnd end = sink->End();
        EXPECT_EQ(end.outcome, JobEnd::Outcome::kDone) << end.reason;
        EXPECT_EQ(sink->wordCount_, 20000);
        EXPECT_TRUE(sink->contiguous_);
        EXPECT_EQ(sink->samples_ == 20000 * 1920, rewinds);
        EXPECT_NE(sink->notices_.find("speaking on from \"a\" at 127.0.0.1:" +
                                      std::to_string(server_->Port()) + "\n"),
                  std::string::npos)
            << sink->notices_;
        EXPECT_EQ(std::count(sink->notices_.begin(), sink->notices_.end(), '\n'), 1);
    }
}

// The server sends marks ahead of their audio. A word is given out with the
// audio that holds its first sample, so that one whose audio never came (its
// server failed) comes from the resumed request, on that request's clock.
TEST(AnswerDecoderTest, AWordComesWithTheAudioThatHoldsItsFirstSample) {
    Recorder said;
    AnswerDecoder decoder(&said);
    RequestCutter cutter({});
    cutter.Add("one two three");
    cutter.Finish();
    Request request;
    ASSERT_TRUE(cutter.Next(&request));
    decoder.BeginRequest(&request);
    for (const auto& [name, sample] : std::vector<std::pair<std::string, int>>{
             {"kvtk_0_0_3_3", 0}, {"kvtk_4_4_3_3", 100}, {"kvtk_8_8_5_5", 200}}) {
        const auto mark = wire::EncodeMark(sample, name);
        ASSERT_TRUE(decoder.Decode(PACKET_DATA_8, mark.data(), static_cast<int32_t>(mark.size())));
    }
    ASSERT_TRUE(decoder.Decode(PACKET_DATA_6, std::vector<int16_t>(150).data(), 300));
    EXPECT_EQ(said.words_, "0@0:one 100@4:two ");
}

// Workers sharing a pool take a connection for a request and give it back:
// one waiting for its door holds none, each speaks in its own voice on the
// same session, one waiting for a connection stops at once, and closing the
// pool frees a worker whose server never answers.
TEST_F(RenderWorkerTest, WorkersShareAPoolInTurn) {
    ConnectionPool pool("127.0.0.1", server_->Port(), 1);
    const WorkerOptions shared = On(&pool);
    RenderWorker first(shared), second(shared);
    auto held = std::make_shared<Recorder>();
    held->ready = false;
    SpeechJob job = Job("held back", held);
    job.voice = "tone-low";
    first.Submit(std::move(job));
    auto other = std::make_shared<Recorder>();
    second.Submit(Job("meanwhile", other));
    EXPECT_EQ(other->End().outcome, JobEnd::Outcome::kDone);
    held->ready = true;
    first.Poke();
    EXPECT_EQ(held->End().outcome, JobEnd::Outcome::kDone);
    EXPECT_EQ(held->words_, "0@0:held 1920@5:back ");

    SilentServer silent;
    ConnectionPool stuckPool("127.0.0.1", silent.Port(), 1);
    const WorkerOptions stuck = On(&stuckPool);
    RenderWorker holder(stuck), waiter(stuck);
    auto hanging = std::make_shared<Recorder>();
    ASSERT_NO_FATAL_FAILURE(silent.Render(&holder, hanging));
    auto queued = std::make_shared<Recorder>();
    waiter.Submit(Job("waits for the connection", queued));
    waiter.Stop(0);
    EXPECT_EQ(queued->End().outcome, JobEnd::Outcome::kStopped);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    EXPECT_TRUE(stuckPool.Close(deadline));
    EXPECT_EQ(hanging->End().outcome, JobEnd::Outcome::kStopped);
    EXPECT_LT(std::chrono::steady_clock::now(), deadline);
}

}  // namespace
}  // namespace frontend
}  // namespace vrelay
