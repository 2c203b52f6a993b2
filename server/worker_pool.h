// SPDX-License-Identifier: GPL-3.0-or-later
// Synthesis in worker processes. espeak-ng keeps process-wide state, so one
// process can synthesise only one text at a time; a pool of worker processes,
// each with its own copy of the engine, lets every core work. Sessions stay in
// the server process: a session borrows an idle worker for one Speak call,
// sends it the words and receives the synthesis units back over a socket pair.
//
// A worker that crashes, runs out of memory, or is still busy at the
// request's deadline costs only that request (Speak fails with the reason);
// the pool starts a replacement when the slot is next needed. Workers are
// lent one synthesis unit at a time. A worker hands its unit over in pieces
// as it speaks them, and they go on to the session at once while its client
// keeps up (so the first audio leaves early); once the client lags, the rest
// of the unit is held and sent after the worker is returned, so a session
// whose client stops reading holds no worker for long. A session that stops
// taking units (its client is gone) ends the worker's synthesis.
// Back-pressure: a session asks for its next unit only after it has sent the
// previous one, so it holds at most one unit's audio.
//
// Workers are forked from the server process, which may have other threads;
// the child only closes sockets, sets its memory limit and serves requests
// with the engine object it inherited (its state was set up before any
// session thread started). They are forked on a thread the pool keeps, and
// the kernel kills a worker when that thread ends: no worker outlives the
// pool or the server process, however that ends.
#ifndef VRELAY_SERVER_WORKER_POOL_H
#define VRELAY_SERVER_WORKER_POOL_H

#include <sys/types.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "server/engine.h"

namespace vrelay {
namespace server {

// Wire forms of what crosses between a session and a worker.
// words[begin, end) with the voice to speak them.
std::string EncodeWords(const std::string& voice, const std::vector<Word>& words, size_t begin,
                        size_t end);
bool DecodeWords(const std::string& data, std::string* voice, std::vector<Word>* words);
std::string EncodeUnit(const SynthesisUnit& unit);
bool DecodeUnit(const std::string& data, SynthesisUnit* unit);

// An Engine whose Speak runs in a worker process of the pool.
class WorkerPool : public Engine {
  public:
    // engine: the engine the workers inherit (also answers Voices()).
    // memory_mb: address space each worker may add to what it inherits from
    // the server process, 0 for no limit.
    WorkerPool(std::unique_ptr<Engine> engine, int workers, long memory_mb);
    ~WorkerPool() override;  // kills and reaps every worker
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    std::string Name() const override { return engine_->Name(); }
    const std::vector<VoiceInfo>& Voices() const override { return engine_->Voices(); }
    std::string DefaultVoice() const override { return engine_->DefaultVoice(); }
    // Synthesises unit by unit: a worker is borrowed for one unit's words;
    // its pieces reach the sink while the sink takes them at once, the rest
    // after the worker is returned.
    bool Speak(const std::string& voice, const std::vector<Word>& words, UnitSink* sink,
               std::string* error) override;
    size_t UnitEnd(const std::vector<Word>& words, size_t begin) const override {
        return engine_->UnitEnd(words, begin);
    }

    // The process ids of the running workers (0 for a slot without one).
    std::vector<pid_t> WorkerPids();

    // Kills every worker and starts no more: a session waiting on one gets
    // its error at once. For stopping the server; the pool speaks no more.
    void StopWorkers();

  private:
    // Runs jobs one at a time on a thread of its own that lives as long as
    // the object: the thread the workers are forked on.
    class ForkThread {
      public:
        ForkThread();
        ~ForkThread();
        ForkThread(const ForkThread&) = delete;
        ForkThread& operator=(const ForkThread&) = delete;
        // Returns once job has run there.
        void Run(const std::function<void()>& job);

      private:
        void Loop();
        std::mutex mutex_;
        std::condition_variable changed_;
        const std::function<void()>* job_ = nullptr;
        bool quit_ = false;
        std::thread thread_;  // last: it starts once the rest is set up
    };

    struct Slot {
        pid_t pid = 0;
        int fd = -1;  // our end of the socket pair
        bool busy = false;
    };
    // Waits for an idle slot with a live worker; null with *error when no
    // worker can be started or the deadline passes.
    Slot* Acquire(std::chrono::steady_clock::time_point deadline, std::string* error);
    // Returns the slot; kill: its worker is ended first. The reason the
    // worker ended, when it did, goes to *why.
    void Release(Slot* slot, bool kill, std::string* why);
    bool StartWorker(Slot* slot, std::string* error);
    void EndWorker(Slot* slot, bool kill, std::string* why);
    // One unit's words through a worker. What the worker sends goes to sink as
    // it comes while the sink takes it at once; from the first piece it would
    // not, the rest is held in *held for after the worker's release. *stopped:
    // the sink stopped the synthesis (true is returned).
    bool Synthesise(const std::string& request, UnitSink* sink, std::vector<SynthesisUnit>* held,
                    bool* stopped, std::string* error);

    std::unique_ptr<Engine> engine_;
    const long memory_mb_;
    std::mutex mutex_;
    std::condition_variable idle_;
    std::vector<Slot> slots_;
    std::deque<uint64_t> waiting_;  // tickets of the sessions waiting, oldest first
    uint64_t next_ticket_ = 0;
    bool stopped_ = false;
    std::unique_ptr<ForkThread> fork_thread_;  // made with the first worker
};

}  // namespace server
}  // namespace vrelay

#endif
