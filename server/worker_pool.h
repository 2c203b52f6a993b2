// SPDX-License-Identifier: GPL-3.0-or-later
// Synthesis in worker processes. espeak-ng keeps process-wide state, so one
// process can synthesise only one text at a time; a pool of worker processes,
// each with its own copy of the engine, lets every core work. Sessions stay in
// the server process and hand the pool the synthesis units of their requests.
//
// Scheduling. A request's units are queued as jobs, a few ahead of the one its
// session is delivering, and every idle worker takes the next job: one long
// text keeps every core busy. A health probe's job goes first; then a job its
// session is waiting for (the head of its request) goes before any job queued
// ahead of need, oldest first, so a request that arrives while another's
// units fill the workers waits for one unit at most. Each worker has a driver
// thread in the server that sends it a job's words and keeps what comes back
// with the job: the unit and its end. The first unit of a request comes in
// pieces, handed over as the worker speaks them, so that its first audio
// leaves before the unit is synthesised; later units come whole, one message
// each (the session has their predecessors' audio to send meanwhile, and one
// message wakes the server once where pieces would wake it many times). The
// session takes its head job's pieces as they come and the later jobs' once
// it gets to them, so it delivers strictly in text order.
//
// What a request holds is bounded in audio: a job queued ahead of need
// starts only while the audio synthesised for the request and not yet taken
// by its session is under kSamplesAhead. A session whose client stops reading
// then holds the unit it is sending, at most kSamplesAhead samples waiting,
// and the units that were already running (one per worker at most); a worker
// never waits for a client.
//
// A worker that crashes, runs out of memory, or is still busy at the
// request's deadline costs only that request: Speak delivers the units before
// the failed one and fails with the reason. A worker that ends while idle is
// reaped at once and replaced (but a replacement that ends before its first
// job is replaced only for the next job). A session that stops taking units
// (its client is gone, a bound was hit) drops its jobs; workers still
// speaking them are told to stop: they end the synthesis at the next buffer
// and stay, warm, for the next job (a worker that does not stop within a
// second ends itself).
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

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/mutex.h"
#include "server/engine.h"
#include "transport/socket.h"

namespace vrelay {
namespace server {

// Wire forms of what crosses between a session and a worker.
// words[begin, end) with the voice to speak them.
std::string EncodeWords(const std::string& voice, const std::vector<Word>& words, size_t begin,
                        size_t end);
bool DecodeWords(const std::string& data, std::string* voice, std::vector<Word>* words);

// An Engine whose Speak runs in the worker processes of the pool.
class WorkerPool : public Engine {
  public:
    // What of one request is queued beyond the unit being delivered: at most
    // this many units and, but for the last one added, this many words (three
    // of the longest units; short units go deeper).
    static constexpr size_t kUnitsAhead = 8;
    static constexpr size_t kWordsAhead = 480;
    // A job queued ahead of need starts only while less audio than this
    // (about 24 s of espeak-ng's) waits for the request's session.
    static constexpr int64_t kSamplesAhead = int64_t{1} << 19;

    // engine: the engine the workers inherit (also answers Voices()).
    // memory_mb: address space each worker may add to what it inherits from
    // the server process, 0 for no limit. The workers start at once.
    // pinned: each unit of a request goes to a worker chosen from the text
    // (see PinnedWorkers) rather than to the first idle one. The
    // engine's state carries over from one unit to the next in a worker
    // (espeak-ng's does: a unit's audio differs by a few samples with what
    // the worker spoke before), so the same requests in the same order then
    // give the same audio every time, though not the audio of another number
    // of workers; for a server with one client, since with several a unit may
    // wait for its worker while another is idle.
    WorkerPool(std::unique_ptr<Engine> engine, int workers, long memory_mb, bool pinned = false);
    ~WorkerPool() override;  // ends every worker; no Speak may be running
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    std::string Name() const override { return engine_->Name(); }
    const std::vector<VoiceInfo>& Voices() const override { return engine_->Voices(); }
    std::string DefaultVoice() const override { return engine_->DefaultVoice(); }
    // Synthesises words unit by unit on every idle worker and hands the
    // pieces to sink on the calling thread, in text order. Waiting, it asks
    // sink->Abandoned() a few times a second.
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
        Mutex mutex_;
        CondVar changed_;  // a job was handed over or done, or quit
        const std::function<void()>* job_ GUARDED_BY(mutex_) = nullptr;
        bool quit_ GUARDED_BY(mutex_) = false;
        std::thread thread_;  // last: it starts once the rest is set up
    };

    struct Job;
    struct Request;
    struct Slot {
        pid_t pid = 0;
        int fd = -1;   // our end of the socket pair
        int jobs = 0;  // jobs handed to the worker: the number of its current one
        // Started because the one before ended while idle.
        bool idle_replacement = false;
        WakeSignal wake;  // raised: the slot's driver looks at the queue again
        std::thread driver;
    };
    using JobList = std::deque<std::shared_ptr<Job>>;

    // A slot's driver thread: runs jobs on its worker until the pool ends.
    void Drive(size_t index);
    // The job the slot's driver takes next, or queue_.end().
    JobList::iterator NextJobLocked(size_t index) REQUIRES(mutex_);
    // Waits, letting go of the lock meanwhile, until the slot's wake is
    // raised or its worker ends; a worker that ended is reaped and replaced.
    void IdleLocked(Slot* slot) REQUIRES(mutex_);
    // Every driver looks at the queue again.
    void WakeDriversLocked() REQUIRES(mutex_);
    // One job's words through the slot's worker, its pieces and end kept
    // with the job. Called without the lock.
    void Run(Slot* slot, Job* job);
    // Drops a request's jobs: queued ones leave the queue, workers speaking
    // the others are told to stop.
    void CancelLocked(const JobList& jobs) REQUIRES(mutex_);
    // Words of a request's jobs beyond the one being delivered.
    static size_t WordsAhead(const JobList& jobs);
    // The worker of each of a request's units (unit i is words[ends[i - 1],
    // ends[i])), from the text alone: in text order, the one with the least of
    // the request's text so far (the first of equals); the last units, which
    // are queued together, longest first, so that the workers end the request
    // at about the same time rather than one speaking the last unit alone.
    static std::vector<size_t> PinnedWorkers(const std::vector<Word>& words,
                                             const std::vector<size_t>& ends, size_t workers);
    // A live worker for the slot, started if need be; false with *error.
    bool WorkerLocked(Slot* slot, std::string* error) REQUIRES(mutex_);
    bool StartWorker(Slot* slot, std::string* error) REQUIRES(mutex_);
    // Ends the slot's worker (killed first when kill); the reason it ended,
    // when it did so by itself, goes to *why.
    void EndWorker(Slot* slot, bool kill, std::string* why);

    std::unique_ptr<Engine> engine_;
    const long memory_mb_;
    const bool pinned_;
    // Guards the fields below, the slots' workers (pid, fd, jobs: a slot's
    // driver reads its fd without it while it runs a job, as then
    // only that driver may change the worker) and every Job but its words
    // and deadline. The slot fields and the jobs are not annotated: the
    // analysis cannot name this mutex from them.
    Mutex mutex_;
    CondVar progress_;                         // a job has pieces or ended
    JobList queue_ GUARDED_BY(mutex_);         // jobs no worker has taken, oldest first
    bool stopped_ GUARDED_BY(mutex_) = false;  // StopWorkers
    bool ending_ GUARDED_BY(mutex_) = false;   // the destructor: drivers return
    std::unique_ptr<ForkThread> fork_thread_ GUARDED_BY(mutex_);  // made with the first worker
    std::vector<Slot> slots_;  // last: the drivers start once the rest is set up
};

}  // namespace server
}  // namespace vrelay

#endif
