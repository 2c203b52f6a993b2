// SPDX-License-Identifier: GPL-3.0-or-later
#include "server/worker_pool.h"

#include <dirent.h>
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "transport/log.h"

namespace vrelay {
namespace server {

namespace {

// Messages on the socket pair: a type byte, a uint32 length, the payload.
enum MessageType : char {
    kSpeak = 'S',   // to the worker: voice and words
    kUnit = 'U',    // from the worker: one synthesis unit
    kDone = 'D',    // from the worker: the words are spoken
    kFailed = 'F',  // from the worker: the synthesis failed; the payload says why
    kLost = 'L'     // from the worker: as kFailed, and the worker is exiting
};

// Longest message accepted from a worker: a unit of the largest size the
// engines make, with room to spare.
constexpr uint32_t kMaxMessage = 256u << 20;

class Writer {
  public:
    void U32(uint32_t v) { out_.append(reinterpret_cast<const char*>(&v), sizeof v); }
    void I64(int64_t v) { out_.append(reinterpret_cast<const char*>(&v), sizeof v); }
    void Text(const std::string& s) {
        U32(static_cast<uint32_t>(s.size()));
        out_ += s;
    }
    void Bytes(const void* data, size_t n) { out_.append(static_cast<const char*>(data), n); }
    void Elements(const std::vector<Element>& elements) {
        U32(static_cast<uint32_t>(elements.size()));
        for (const Element& e : elements) {
            Text(e.name);
            U32(static_cast<uint32_t>(e.attributes.size()));
            for (const Attribute& a : e.attributes) {
                Text(a.name);
                Text(a.value);
            }
        }
    }
    std::string& Result() { return out_; }

  private:
    std::string out_;
};

// Reads what Writer wrote; every read fails once the data runs short.
class Reader {
  public:
    explicit Reader(const std::string& data) : data_(data) {}
    bool U32(uint32_t* v) { return Bytes(v, sizeof *v); }
    bool I64(int64_t* v) { return Bytes(v, sizeof *v); }
    bool Bytes(void* out, size_t n) {
        if (data_.size() - pos_ < n) {
            return false;
        }
        if (n == 0) {
            return true;  // out may be the null data() of an empty vector
        }
        std::memcpy(out, data_.data() + pos_, n);
        pos_ += n;
        return true;
    }
    bool Text(std::string* s) {
        uint32_t n = 0;
        if (!U32(&n) || data_.size() - pos_ < n) {
            return false;
        }
        s->assign(data_, pos_, n);
        pos_ += n;
        return true;
    }
    // A count of items of at least min_bytes each that the data can hold.
    bool Count(uint32_t* n, size_t min_bytes) {
        return U32(n) && *n <= (data_.size() - pos_) / min_bytes;
    }
    bool Elements(std::vector<Element>* elements) {
        uint32_t n = 0;
        if (!Count(&n, 8)) {
            return false;
        }
        elements->resize(n);
        for (Element& e : *elements) {
            uint32_t attributes = 0;
            if (!Text(&e.name) || !Count(&attributes, 8)) {
                return false;
            }
            e.attributes.resize(attributes);
            for (Attribute& a : e.attributes) {
                if (!Text(&a.name) || !Text(&a.value)) {
                    return false;
                }
            }
        }
        return true;
    }
    bool AtEnd() const { return pos_ == data_.size(); }

  private:
    const std::string& data_;
    size_t pos_ = 0;
};

enum class IoStatus { kDone, kClosed, kTimedOut };

using Clock = std::chrono::steady_clock;

// Waits until fd is ready for events (or has failed), at most until deadline.
IoStatus WaitFor(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            return IoStatus::kTimedOut;
        }
        pollfd p{fd, events, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(std::min<int64_t>(left, 1000)));
        if (ready < 0 && errno != EINTR) {
            return IoStatus::kClosed;
        }
        if (ready > 0) {
            return IoStatus::kDone;
        }
    }
}

// Writes n bytes, waiting at most until deadline: a worker that stops reading
// (stopped, or stuck) holds its session no longer than an answer would.
IoStatus WriteAll(int fd, const char* data, size_t n, Clock::time_point deadline) {
    while (n > 0) {
        const ssize_t rc = ::send(fd, data, n, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (rc < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (errno != EAGAIN && errno != EWOULDBLOCK) {
                return IoStatus::kClosed;
            }
            const IoStatus ready = WaitFor(fd, POLLOUT, deadline);
            if (ready != IoStatus::kDone) {
                return ready;
            }
            continue;
        }
        data += rc;
        n -= static_cast<size_t>(rc);
    }
    return IoStatus::kDone;
}

IoStatus WriteMessage(int fd, char type, const std::string& payload,
                      Clock::time_point deadline = Clock::time_point::max()) {
    char header[5];
    header[0] = type;
    const uint32_t length = static_cast<uint32_t>(payload.size());
    std::memcpy(header + 1, &length, sizeof length);
    const IoStatus status = WriteAll(fd, header, sizeof header, deadline);
    return status != IoStatus::kDone ? status
                                     : WriteAll(fd, payload.data(), payload.size(), deadline);
}

// Reads n bytes, waiting at most until deadline.
IoStatus ReadExactly(int fd, char* out, size_t n, Clock::time_point deadline) {
    while (n > 0) {
        const IoStatus ready = WaitFor(fd, POLLIN, deadline);
        if (ready != IoStatus::kDone) {
            return ready;
        }
        const ssize_t rc = ::read(fd, out, n);
        if (rc == 0 || (rc < 0 && errno != EINTR && errno != EAGAIN)) {
            return IoStatus::kClosed;
        }
        if (rc > 0) {
            out += rc;
            n -= static_cast<size_t>(rc);
        }
    }
    return IoStatus::kDone;
}

IoStatus ReadMessage(int fd, Clock::time_point deadline, char* type, std::string* payload) {
    char header[5];
    IoStatus status = ReadExactly(fd, header, sizeof header, deadline);
    if (status != IoStatus::kDone) {
        return status;
    }
    *type = header[0];
    uint32_t length = 0;
    std::memcpy(&length, header + 1, sizeof length);
    if (length > kMaxMessage) {
        return IoStatus::kClosed;
    }
    payload->resize(length);
    return ReadExactly(fd, &(*payload)[0], length, deadline);
}

// The worker's side: units go back over the socket pair as they come.
class UnitWriter : public UnitSink {
  public:
    explicit UnitWriter(int fd) : fd_(fd) {}
    bool OnUnit(const SynthesisUnit& unit) override {
        return WriteMessage(fd_, kUnit, EncodeUnit(unit)) == IoStatus::kDone;
    }
    // The worker's engine is its own: pieces block no other session.
    bool TakesPieces() const override { return true; }

  private:
    const int fd_;
};

// Closes every inherited socket and pipe but keep: the worker must not hold
// clients' connections, the listener or other workers' pairs open.
void CloseInheritedDescriptors(int keep) {
    DIR* dir = ::opendir("/proc/self/fd");
    if (dir == nullptr) {
        return;
    }
    std::vector<int> doomed;
    const int own = ::dirfd(dir);
    while (dirent* entry = ::readdir(dir)) {
        const int fd = std::atoi(entry->d_name);
        struct stat info {};
        if (fd > 2 && fd != keep && fd != own && ::fstat(fd, &info) == 0 &&
            (S_ISSOCK(info.st_mode) || S_ISFIFO(info.st_mode))) {
            doomed.push_back(fd);
        }
    }
    ::closedir(dir);
    for (int fd : doomed) {
        ::close(fd);
    }
}

[[noreturn]] void WorkerMain(Engine* engine, int fd, long memory_mb, pid_t server) {
    // The worker ends with the thread that forked it, the pool's own (and so
    // with the server, however it ends); if the server is gone already, now.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != server) {
        ::_exit(0);
    }
    ::signal(SIGPIPE, SIG_DFL);  // a session that went away ends the worker
    CloseInheritedDescriptors(fd);
    if (memory_mb > 0) {
        // The address space inherited from the server (its threads' stacks
        // and arenas) is not the worker's doing: the limit is on top of it.
        unsigned long long pages = 0;
        if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
            if (std::fscanf(statm, "%llu", &pages) != 1) {
                pages = 0;
            }
            std::fclose(statm);
        }
        rlimit limit{};
        limit.rlim_cur = limit.rlim_max =
            static_cast<rlim_t>(pages) * static_cast<rlim_t>(::sysconf(_SC_PAGESIZE)) +
            (static_cast<rlim_t>(memory_mb) << 20);
        ::setrlimit(RLIMIT_AS, &limit);
    }
    for (;;) {
        char type = 0;
        std::string payload;
        if (ReadMessage(fd, Clock::time_point::max(), &type, &payload) != IoStatus::kDone ||
            type != kSpeak) {
            ::_exit(0);
        }
        try {
            std::string voice;
            std::vector<Word> words;
            std::string error;
            UnitWriter writer(fd);
            if (!DecodeWords(payload, &voice, &words)) {
                error = "garbled request";
            } else if (engine->Speak(voice, words, &writer, &error)) {
                WriteMessage(fd, kDone, std::string());
                continue;
            }
            WriteMessage(fd, kFailed, error);
        } catch (const std::bad_alloc&) {
            // The memory limit: say so, and let a fresh process take over.
            WriteMessage(fd, kLost, "the synthesis worker ran out of memory");
            ::_exit(3);
        }
    }
}

}  // namespace

std::string EncodeWords(const std::string& voice, const std::vector<Word>& words, size_t begin,
                        size_t end) {
    Writer w;
    w.Text(voice);
    w.U32(static_cast<uint32_t>(end - begin));
    const std::vector<Element>* previous = nullptr;
    for (size_t i = begin; i < end; ++i) {
        const Word& word = words[i];
        w.Text(word.mark);
        w.Text(word.text);
        // Words share their context: it is sent again only when it changes.
        const std::vector<Element>* context = &word.context.Elements();
        const bool same = context == previous;
        w.U32(same ? 1 : 0);
        if (!same) {
            w.Elements(*context);
            previous = context;
        }
        w.Elements(word.breaks);
    }
    return std::move(w.Result());
}

bool DecodeWords(const std::string& data, std::string* voice, std::vector<Word>* words) {
    Reader r(data);
    uint32_t count = 0;
    if (!r.Text(voice) || !r.Count(&count, 16)) {
        return false;
    }
    words->clear();
    words->reserve(count);
    Context context;
    for (uint32_t i = 0; i < count; ++i) {
        Word word;
        uint32_t same = 0;
        if (!r.Text(&word.mark) || !r.Text(&word.text) || !r.U32(&same)) {
            return false;
        }
        if (same == 0) {
            std::vector<Element> elements;
            if (!r.Elements(&elements)) {
                return false;
            }
            context.Assign(std::move(elements));
        }
        word.context = context;
        if (!r.Elements(&word.breaks)) {
            return false;
        }
        words->push_back(std::move(word));
    }
    return r.AtEnd();
}

std::string EncodeUnit(const SynthesisUnit& unit) {
    Writer w;
    w.U32(static_cast<uint32_t>(unit.sample_rate));
    w.U32(static_cast<uint32_t>(unit.interpolated_marks));
    w.U32(static_cast<uint32_t>(unit.samples.size()));
    w.Bytes(unit.samples.data(), unit.samples.size() * sizeof(int16_t));
    w.U32(static_cast<uint32_t>(unit.marks.size()));
    for (const TimedMark& m : unit.marks) {
        w.Text(m.name);
        w.I64(m.sample);
    }
    w.U32(static_cast<uint32_t>(unit.phonemes.size()));
    for (const TimedPhoneme& p : unit.phonemes) {
        w.Text(p.name);
        w.I64(p.start);
        w.I64(p.duration);
    }
    w.Text(unit.next_phoneme);
    return std::move(w.Result());
}

bool DecodeUnit(const std::string& data, SynthesisUnit* unit) {
    Reader r(data);
    uint32_t rate = 0;
    uint32_t interpolated = 0;
    uint32_t count = 0;
    if (!r.U32(&rate) || !r.U32(&interpolated) || !r.Count(&count, sizeof(int16_t))) {
        return false;
    }
    unit->sample_rate = static_cast<int>(rate);
    unit->interpolated_marks = static_cast<int>(interpolated);
    unit->samples.resize(count);
    if (!r.Bytes(unit->samples.data(), count * sizeof(int16_t)) || !r.Count(&count, 12)) {
        return false;
    }
    unit->marks.resize(count);
    for (TimedMark& m : unit->marks) {
        if (!r.Text(&m.name) || !r.I64(&m.sample)) {
            return false;
        }
    }
    if (!r.Count(&count, 20)) {
        return false;
    }
    unit->phonemes.resize(count);
    for (TimedPhoneme& p : unit->phonemes) {
        if (!r.Text(&p.name) || !r.I64(&p.start) || !r.I64(&p.duration)) {
            return false;
        }
    }
    return r.Text(&unit->next_phoneme) && r.AtEnd();
}

WorkerPool::WorkerPool(std::unique_ptr<Engine> engine, int workers, long memory_mb)
    : engine_(std::move(engine)), memory_mb_(memory_mb), slots_(static_cast<size_t>(workers)) {}

WorkerPool::~WorkerPool() {
    std::lock_guard<std::mutex> lock(mutex_);
    for (Slot& slot : slots_) {
        EndWorker(&slot, true, nullptr);
    }
}

std::vector<pid_t> WorkerPool::WorkerPids() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<pid_t> pids;
    for (const Slot& slot : slots_) {
        pids.push_back(slot.pid);
    }
    return pids;
}

bool WorkerPool::StartWorker(Slot* slot, std::string* error) {
    if (stopped_) {
        *error = "the server is stopping";
        return false;
    }
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
        *error = std::string("cannot start a synthesis worker: ") + std::strerror(errno);
        return false;
    }
    pid_t pid = -1;
    int fork_errno = 0;
    try {
        if (!fork_thread_) {
            fork_thread_ = std::make_unique<ForkThread>();
        }
        const pid_t server = ::getpid();
        fork_thread_->Run([&] {
            pid = ::fork();
            if (pid == 0) {
                WorkerMain(engine_.get(), pair[1], memory_mb_, server);
            }
            fork_errno = errno;
        });
    } catch (const std::exception&) {
        fork_errno = EAGAIN;  // no thread to fork on
    }
    if (pid < 0) {
        *error = std::string("cannot start a synthesis worker: ") + std::strerror(fork_errno);
        ::close(pair[0]);
        ::close(pair[1]);
        return false;
    }
    ::close(pair[1]);
    slot->pid = pid;
    slot->fd = pair[0];
    VR_LOG(logDEBUG) << "vrelay server: synthesis worker " << pid << " started";
    return true;
}

void WorkerPool::EndWorker(Slot* slot, bool kill, std::string* why) {
    if (slot->pid == 0) {
        return;
    }
    if (kill) {
        ::kill(slot->pid, SIGKILL);
    }
    ::close(slot->fd);  // a worker not killed sees the end of its requests and exits
    int status = 0;
    if (::waitpid(slot->pid, &status, 0) == slot->pid && why != nullptr) {
        if (WIFSIGNALED(status) && WTERMSIG(status) != SIGKILL) {
            *why = "the synthesis worker crashed (signal " + std::to_string(WTERMSIG(status)) + ")";
        } else if (WIFSIGNALED(status)) {
            *why = "the synthesis worker was killed";
        } else {
            *why =
                "the synthesis worker ended (status " + std::to_string(WEXITSTATUS(status)) + ")";
        }
    }
    VR_LOG(logINFO) << "vrelay server: synthesis worker " << slot->pid << " ended";
    slot->pid = 0;
    slot->fd = -1;
}

void WorkerPool::StopWorkers() {
    std::lock_guard<std::mutex> lock(mutex_);
    stopped_ = true;
    for (Slot& slot : slots_) {
        if (!slot.busy) {
            EndWorker(&slot, true, nullptr);
        } else if (slot.pid != 0) {
            ::kill(slot.pid, SIGKILL);  // its session sees the end and reaps it
        }
    }
    idle_.notify_all();
}

WorkerPool::ForkThread::ForkThread() : thread_([this] { Loop(); }) {}

WorkerPool::ForkThread::~ForkThread() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        quit_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

void WorkerPool::ForkThread::Run(const std::function<void()>& job) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return job_ == nullptr; });
    job_ = &job;
    changed_.notify_all();
    changed_.wait(lock, [&] { return job_ != &job; });
}

void WorkerPool::ForkThread::Loop() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        changed_.wait(lock, [&] { return quit_ || job_ != nullptr; });
        if (job_ == nullptr) {
            return;
        }
        (*job_)();
        job_ = nullptr;
        changed_.notify_all();
    }
}

WorkerPool::Slot* WorkerPool::Acquire(std::chrono::steady_clock::time_point deadline,
                                      std::string* error) {
    std::unique_lock<std::mutex> lock(mutex_);
    // First come, first served: a session asking for unit after unit cannot
    // overtake one that has waited longer.
    const uint64_t ticket = next_ticket_++;
    waiting_.push_back(ticket);
    Slot* free = nullptr;
    const bool found = idle_.wait_until(lock, deadline, [&] {
        if (waiting_.front() != ticket) {
            return false;
        }
        for (Slot& slot : slots_) {
            if (!slot.busy) {
                free = &slot;
                return true;
            }
        }
        return false;
    });
    waiting_.erase(std::find(waiting_.begin(), waiting_.end(), ticket));
    idle_.notify_all();  // the next in line may go now
    if (!found) {
        *error = "no synthesis worker became free in time";
        return nullptr;
    }
    // An idle worker has nothing to say: readable means it ended meanwhile.
    pollfd p{free->fd, POLLIN, 0};
    if (free->pid != 0 && ::poll(&p, 1, 0) != 0) {
        EndWorker(free, true, nullptr);
    }
    if (free->pid == 0 && !StartWorker(free, error)) {
        return nullptr;
    }
    free->busy = true;
    return free;
}

void WorkerPool::Release(Slot* slot, bool kill, std::string* why) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (kill || why != nullptr) {
        EndWorker(slot, kill, why);
    }
    slot->busy = false;
    idle_.notify_all();
}

bool WorkerPool::Synthesise(const std::string& request, UnitSink* sink,
                            std::vector<SynthesisUnit>* held, bool* stopped, std::string* error) {
    const auto deadline = sink->Deadline();
    Slot* slot = Acquire(deadline, error);
    if (slot == nullptr) {
        return false;
    }
    for (bool sent = false;; sent = true) {
        char type = 0;
        std::string payload;
        const IoStatus status = sent ? ReadMessage(slot->fd, deadline, &type, &payload)
                                     : WriteMessage(slot->fd, kSpeak, request, deadline);
        if (status == IoStatus::kTimedOut) {
            *error = "the synthesis took too long";
            Release(slot, true, nullptr);
            return false;
        }
        if (status == IoStatus::kClosed) {
            // Usually the worker died; a garbled length is ended the same way.
            // Killing a dead worker changes nothing: its status still tells why.
            *error = "the synthesis worker ended";
            Release(slot, true, error);
            return false;
        }
        if (!sent) {
            continue;
        }
        SynthesisUnit unit;
        if (type == kUnit && DecodeUnit(payload, &unit)) {
            // Passed on at once while the sink keeps up; held otherwise.
            if (!held->empty() || !sink->TakesAtOnce()) {
                held->push_back(std::move(unit));
            } else if (!sink->OnUnit(unit)) {
                // The worker is still speaking what nobody wants.
                *stopped = true;
                Release(slot, true, nullptr);
                return true;
            }
            continue;
        }
        if (type == kDone) {
            Release(slot, false, nullptr);
            return true;
        }
        const bool told = type == kFailed || type == kLost;
        *error = told ? payload : "garbled answer from the synthesis worker";
        Release(slot, type != kFailed, nullptr);
        return false;
    }
}

bool WorkerPool::Speak(const std::string& voice, const std::vector<Word>& words, UnitSink* sink,
                       std::string* error) {
    for (size_t begin = 0; begin < words.size();) {
        const size_t end = UnitEnd(words, begin);
        std::vector<SynthesisUnit> held;
        bool stopped = false;
        if (!Synthesise(EncodeWords(voice, words, begin, end), sink, &held, &stopped, error)) {
            return false;
        }
        if (stopped) {
            return true;
        }
        for (const SynthesisUnit& unit : held) {
            if (!sink->OnUnit(unit)) {
                return true;
            }
        }
        begin = end;
    }
    return true;
}

}  // namespace server
}  // namespace vrelay
