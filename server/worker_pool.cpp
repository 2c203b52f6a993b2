// SPDX-License-Identifier: GPL-3.0-or-later
#include "server/worker_pool.h"

#include <dirent.h>
#include <errno.h>
#include <malloc.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <initializer_list>
#include <new>
#include <vector>

#include "transport/log.h"
#include "wire/frame.h"

namespace vrelay {
namespace server {

namespace {

// Messages on the socket pair are frames as a connection carries them (stream
// id 0), of these types of their own and with a larger bound on the payload.
enum MessageType : uint16_t {
    kSpeak = 'S',       // to the worker: voice and words, the unit sent in pieces
    kSpeakWhole = 'W',  // to the worker: as kSpeak, the unit sent whole
    kUnit = 'U',        // from the worker: a synthesis unit, its samples in the kSamples after it
    kSamples = 'A',     // from the worker: the next of the unit's samples
    kDone = 'D',        // from the worker: the words are spoken
    kFailed = 'F',      // from the worker: the synthesis failed; the payload says why
    kLost = 'L'         // from the worker: as kFailed, and the worker is exiting
};

// Longest message accepted from a worker: a unit's marks and phonemes, with
// room to spare. Its samples come in messages of at most kSamplesBytes, so
// that the pool's reader needs no buffer the size of a unit (which it would
// then copy), and at most kMaxUnitSamples of them.
constexpr uint32_t kMaxMessage = 256u << 20;
constexpr size_t kSamplesBytes = 64000;
constexpr uint32_t kMaxUnitSamples = kMaxMessage / sizeof(int16_t);

BytePiece Part(const std::string& bytes) {
    return {bytes.data(), bytes.size()};
}

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

// Writes messages, in as few system calls as the pair's buffer allows (each
// wakes the reader), waiting at most until deadline: a worker that stops
// reading (stopped, or stuck) holds its session no longer than an answer
// would.
IoStatus WriteMessages(int fd, const std::deque<wire::FrameParts>& messages,
                       Clock::time_point deadline = Clock::time_point::max()) {
    std::vector<iovec> parts;
    for (const wire::FrameParts& frame : messages) {
        if (!frame.Valid()) {
            return IoStatus::kClosed;  // a caller's mistake: nothing is sent
        }
        for (size_t i = 0; i < frame.Count(); ++i) {
            parts.push_back({const_cast<char*>(frame.Pieces()[i].data), frame.Pieces()[i].size});
        }
    }
    const size_t count = parts.size();
    size_t first = 0;
    while (first < count) {
        msghdr message{};
        message.msg_iov = parts.data() + first;
        message.msg_iovlen = std::min<size_t>(count - first, IOV_MAX);
        const ssize_t rc = ::sendmsg(fd, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
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
        // Skips what went out: whole parts, then the start of the next.
        size_t sent = static_cast<size_t>(rc);
        while (first < count && sent >= parts[first].iov_len) {
            sent -= parts[first++].iov_len;
        }
        if (first < count) {
            parts[first].iov_base = static_cast<char*>(parts[first].iov_base) + sent;
            parts[first].iov_len -= sent;
        }
    }
    return IoStatus::kDone;
}

IoStatus WriteMessage(int fd, uint16_t type, const std::string& payload,
                      Clock::time_point deadline = Clock::time_point::max()) {
    std::deque<wire::FrameParts> message;
    message.emplace_back(type, std::initializer_list<BytePiece>{Part(payload)});
    return WriteMessages(fd, message, deadline);
}

// Reads the next message whole into reader, waiting at most until deadline.
// It reads before it waits (a message's payload and trailer are usually there
// with its header), and never more than the message lacks, so that the
// pair's next message stays in the socket. A length over kMaxMessage or a
// trailer that disagrees with its header counts as a closed pair: the
// worker's stream is out of step.
IoStatus ReadMessage(int fd, Clock::time_point deadline, wire::FrameReader* reader,
                     wire::Frame* message) {
    // A worker that keeps talking past the deadline is cut off too.
    if (Clock::now() >= deadline) {
        return IoStatus::kTimedOut;
    }
    for (;;) {
        switch (reader->Next(message)) {
            case wire::FrameReader::Status::kFrame:
                return IoStatus::kDone;
            case wire::FrameReader::Status::kNeedMore:
                break;
            default:
                return IoStatus::kClosed;
        }
        size_t room = 0;
        char* space = reader->Space(&room);
        if (space == nullptr) {
            throw std::bad_alloc();
        }
        const ssize_t rc = ::recv(fd, space, std::min(room, reader->Missing()), MSG_DONTWAIT);
        if (rc > 0) {
            reader->Filled(static_cast<size_t>(rc));
            continue;
        }
        if (rc == 0 || (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)) {
            return IoStatus::kClosed;
        }
        const IoStatus ready = WaitFor(fd, POLLIN, deadline);
        if (ready != IoStatus::kDone) {
            return ready;
        }
    }
}

IoStatus ReadMessage(int fd, Clock::time_point deadline, uint16_t* type, std::string* payload) {
    wire::FrameReader reader(kMaxMessage);
    wire::Frame message;
    const IoStatus status = ReadMessage(fd, deadline, &reader, &message);
    *type = message.type;
    if (status == IoStatus::kDone) {
        payload->assign(reinterpret_cast<const char*>(message.data), message.length);
    }
    return status;
}

// A unit's wire form: sample rate, interpolated marks, sample count (the
// head), then the marks, the phonemes and the next phoneme (the tail); its
// samples follow in kSamples messages, sent straight from the unit.

void EncodeUnit(const SynthesisUnit& unit, std::string* head, std::string* tail) {
    Writer h;
    h.U32(static_cast<uint32_t>(unit.sample_rate));
    h.U32(static_cast<uint32_t>(unit.interpolated_marks));
    h.U32(static_cast<uint32_t>(unit.samples.size()));
    *head = std::move(h.Result());
    Writer w;
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
    *tail = std::move(w.Result());
}

bool DecodeUnitTail(const std::string& tail, SynthesisUnit* unit) {
    Reader r(tail);
    uint32_t count = 0;
    if (!r.Count(&count, 12)) {
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

// The unit a unit message holds, with room for the samples to come; false
// when its payload holds none.
bool DecodeUnit(const wire::Frame& message, SynthesisUnit* unit, size_t* samples) {
    uint32_t head[3] = {};  // sample rate, interpolated marks, sample count
    if (message.length < sizeof head) {
        return false;
    }
    std::memcpy(head, message.data, sizeof head);
    if (head[2] > kMaxUnitSamples) {
        return false;
    }
    unit->sample_rate = static_cast<int>(head[0]);
    unit->interpolated_marks = static_cast<int>(head[1]);
    const std::string tail(reinterpret_cast<const char*>(message.data) + sizeof head,
                           message.length - sizeof head);
    if (!DecodeUnitTail(tail, unit)) {
        return false;
    }
    *samples = head[2];
    unit->samples.reserve(*samples);
    return true;
}

// Appends a samples message to the unit, which lacks *missing samples; false
// when it holds more, or half a sample.
bool AddSamples(const wire::Frame& message, SynthesisUnit* unit, size_t* missing) {
    const size_t count = message.length / sizeof(int16_t);
    if (message.length % sizeof(int16_t) != 0 || count > *missing) {
        return false;
    }
    const size_t at = unit->samples.size();
    unit->samples.resize(at + count);
    std::memcpy(unit->samples.data() + at, message.data, message.length);
    *missing -= count;
    return true;
}

// A worker is told to stop a job nobody wants any more by SIGUSR1 carrying
// the job's number (the worker's jobs are numbered from 1 as they come): its
// synthesis ends at the next buffer, and the worker, warm, takes the next
// job (ending it would cost the next request a fresh process). A worker
// that has not finished the job a second later (stuck inside the engine) is
// ended by the alarm's default action. A signal that arrives late, between
// jobs or in a later one, names another job and is ignored.
volatile sig_atomic_t g_job = 0;  // the job being spoken; 0 between jobs
volatile sig_atomic_t g_stop = 0;
constexpr unsigned kStopGraceSeconds = 1;

void OnStopSignal(int, siginfo_t* info, void*) {
    if (g_job != 0 && info->si_code == SI_QUEUE && info->si_value.sival_int == g_job) {
        g_stop = 1;
        ::alarm(kStopGraceSeconds);
    }
}

int NextJobNumber(int number) {
    return number == INT_MAX ? 1 : number + 1;
}

// The worker's side: units go back over the socket pair as they come, in
// pieces when the session may be waiting for the first of them.
class UnitWriter : public UnitSink {
  public:
    UnitWriter(int fd, bool pieces) : fd_(fd), pieces_(pieces) {}
    bool OnUnit(const SynthesisUnit& unit) override {
        EncodeUnit(unit, &head_, &tail_);
        std::deque<wire::FrameParts> messages;
        messages.emplace_back(kUnit, std::initializer_list<BytePiece>{Part(head_), Part(tail_)});
        const char* samples = reinterpret_cast<const char*>(unit.samples.data());
        const size_t bytes = unit.samples.size() * sizeof(int16_t);
        for (size_t at = 0; at < bytes; at += kSamplesBytes) {
            messages.emplace_back(kSamples, std::initializer_list<BytePiece>{
                                                {samples + at, std::min(kSamplesBytes, bytes - at)}});
        }
        return WriteMessages(fd_, messages) == IoStatus::kDone;
    }
    // The worker's engine is its own: pieces block no other session.
    bool TakesPieces() const override { return pieces_; }
    bool Abandoned() const override { return g_stop != 0; }

  private:
    const int fd_;
    const bool pieces_;
    std::string head_;  // kept from unit to unit: the encoding reuses them
    std::string tail_;
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
    struct sigaction stop {};
    stop.sa_sigaction = OnStopSignal;
    sigemptyset(&stop.sa_mask);
    stop.sa_flags = SA_RESTART | SA_SIGINFO;
    ::sigaction(SIGUSR1, &stop, nullptr);
    ::signal(SIGALRM, SIG_DFL);
    // The thread the worker was forked from may block them.
    sigset_t wanted;
    sigemptyset(&wanted);
    sigaddset(&wanted, SIGUSR1);
    sigaddset(&wanted, SIGALRM);
    ::sigprocmask(SIG_UNBLOCK, &wanted, nullptr);
    CloseInheritedDescriptors(fd);
#ifdef __GLIBC__
    // A worker speaks unit after unit with buffers of a few megabytes: they
    // are kept and reused rather than mapped and unmapped for each unit,
    // whose page faults and unmapping cost about as much as the synthesis.
    // A unit is bounded, so the worker's memory stays bounded too.
    mallopt(M_MMAP_THRESHOLD, 64 << 20);
    mallopt(M_TRIM_THRESHOLD, 64 << 20);
#endif
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
    for (int number = 1;; number = NextJobNumber(number)) {
        uint16_t type = 0;
        std::string payload;
        if (ReadMessage(fd, Clock::time_point::max(), &type, &payload) != IoStatus::kDone ||
            (type != kSpeak && type != kSpeakWhole)) {
            ::_exit(0);
        }
        g_stop = 0;
        g_job = number;
        // Out of the job before its end is told: a late stop is then ignored.
        const auto job_over = [] {
            g_job = 0;
            ::alarm(0);
        };
        try {
            std::string voice;
            std::vector<Word> words;
            std::string error;
            UnitWriter writer(fd, type == kSpeak);
            if (!DecodeWords(payload, &voice, &words)) {
                error = "garbled request";
            } else if (engine->Speak(voice, words, &writer, &error)) {
                job_over();
                WriteMessage(fd, kDone, std::string());
                continue;
            }
            job_over();
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

// What the jobs of one Speak share, guarded by the pool's mutex.
struct WorkerPool::Request {
    // Samples that came from the workers and that the session has not taken.
    int64_t waiting_samples = 0;
};

// One unit of a request, from its queueing to its delivery. Guarded by the
// pool's mutex but for what is fixed before it is queued (words to request).
struct WorkerPool::Job {
    enum class State { kQueued, kRunning, kEnded };
    std::string words;  // EncodeWords of the unit
    size_t word_count = 0;
    // The first unit of a Speak comes in pieces, so that its first audio
    // leaves early; the later ones whole, in a single message each (the
    // client has earlier audio to take meanwhile).
    bool in_pieces = false;
    bool urgent = false;  // a health probe's: it goes first
    Clock::time_point deadline;
    std::shared_ptr<Request> request;
    State state = State::kQueued;
    bool head = false;       // its session is waiting for it
    bool cancelled = false;  // nobody wants it any more
    bool failed = false;
    std::string error;
    size_t worker = SIZE_MAX;          // the slot that must run it; SIZE_MAX: any
    Slot* slot = nullptr;              // while running
    std::deque<SynthesisUnit> pieces;  // come from the worker, not yet delivered
};

WorkerPool::WorkerPool(std::unique_ptr<Engine> engine, int workers, long memory_mb, bool pinned)
    : engine_(std::move(engine)),
      memory_mb_(memory_mb),
      pinned_(pinned),
      slots_(static_cast<size_t>(workers)) {
    // The workers start here, before the drivers and the server's threads:
    // the first request does not wait for them, and no other thread of ours
    // is busy when they are forked (AddressSanitizer's allocator is not
    // locked across a fork: a child forked while another thread allocates
    // can hang).
    {
        MutexLock lock(&mutex_);
        std::string ignored;  // a slot without a worker starts one for its first job
        for (Slot& slot : slots_) {
            WorkerLocked(&slot, &ignored);
        }
    }
    for (size_t i = 0; i < slots_.size(); ++i) {
        slots_[i].driver = std::thread(&WorkerPool::Drive, this, i);
    }
}

WorkerPool::~WorkerPool() {
    {
        MutexLock lock(&mutex_);
        ending_ = true;
        for (Slot& slot : slots_) {
            if (slot.pid != 0) {
                ::kill(slot.pid, SIGKILL);  // a driver waiting on it returns
            }
        }
        WakeDriversLocked();
    }
    for (Slot& slot : slots_) {
        slot.driver.join();
    }
    for (Slot& slot : slots_) {
        EndWorker(&slot, true, nullptr);
    }
}

std::vector<pid_t> WorkerPool::WorkerPids() {
    MutexLock lock(&mutex_);
    std::vector<pid_t> pids;
    for (const Slot& slot : slots_) {
        pids.push_back(slot.pid);
    }
    return pids;
}

bool WorkerPool::StartWorker(Slot* slot, std::string* error) {
    if (stopped_ || ending_) {
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
    slot->jobs = 0;
    slot->idle_replacement = false;
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
    MutexLock lock(&mutex_);
    stopped_ = true;
    for (const auto& job : queue_) {
        job->state = Job::State::kEnded;
        job->failed = true;
        job->error = "the server is stopping";
    }
    queue_.clear();
    for (Slot& slot : slots_) {
        if (slot.pid != 0) {
            ::kill(slot.pid, SIGKILL);  // its driver sees the end and reaps it
        }
    }
    progress_.SignalAll();
}

WorkerPool::ForkThread::ForkThread() : thread_([this] { Loop(); }) {}

WorkerPool::ForkThread::~ForkThread() {
    {
        MutexLock lock(&mutex_);
        quit_ = true;
    }
    changed_.SignalAll();
    thread_.join();
}

void WorkerPool::ForkThread::Run(const std::function<void()>& job) {
    MutexLock lock(&mutex_);
    while (job_ != nullptr) {
        changed_.Wait(&mutex_);
    }
    job_ = &job;
    changed_.SignalAll();
    while (job_ == &job) {
        changed_.Wait(&mutex_);
    }
}

void WorkerPool::ForkThread::Loop() {
    MutexLock lock(&mutex_);
    for (;;) {
        while (!quit_ && job_ == nullptr) {
            changed_.Wait(&mutex_);
        }
        if (job_ == nullptr) {
            return;
        }
        (*job_)();
        job_ = nullptr;
        changed_.SignalAll();
    }
}

bool WorkerPool::WorkerLocked(Slot* slot, std::string* error) {
    // An idle worker has nothing to say: readable means it ended meanwhile.
    pollfd p{slot->fd, POLLIN, 0};
    if (slot->pid != 0 && ::poll(&p, 1, 0) != 0) {
        EndWorker(slot, true, nullptr);
    }
    return slot->pid != 0 || StartWorker(slot, error);
}

void WorkerPool::WakeDriversLocked() {
    for (Slot& slot : slots_) {
        slot.wake.Raise();
    }
}

WorkerPool::JobList::iterator WorkerPool::NextJobLocked(size_t index) {
    const auto mine = [index](const std::shared_ptr<Job>& job) {
        return job->worker == SIZE_MAX || job->worker == index;
    };
    // A probe first, then the oldest job a session waits for, then the
    // oldest of the others whose request has room for more audio.
    auto next = std::find_if(queue_.begin(), queue_.end(), [&](const std::shared_ptr<Job>& job) {
        return job->urgent && mine(job);
    });
    if (next == queue_.end()) {
        next = std::find_if(queue_.begin(), queue_.end(), [&](const std::shared_ptr<Job>& job) {
            return job->head && mine(job);
        });
    }
    if (next == queue_.end()) {
        next = std::find_if(queue_.begin(), queue_.end(), [&](const std::shared_ptr<Job>& job) {
            return mine(job) && job->request->waiting_samples < kSamplesAhead;
        });
    }
    return next;
}

void WorkerPool::IdleLocked(Slot* slot) {
    // Raised from now on under the lock: a raise after the caller looked at
    // the queue ends the wait below.
    slot->wake.Clear();
    pollfd fds[2] = {{static_cast<int>(slot->wake.Handle()), POLLIN, 0}, {slot->fd, POLLIN, 0}};
    // Without a wake signal (no descriptor was left for it) the queue is
    // looked at now and then instead.
    const int timeout_ms = slot->wake.Valid() ? -1 : 100;
    mutex_.Unlock();
    const int ready = ::poll(fds, slot->fd >= 0 ? 2 : 1, timeout_ms);
    mutex_.Lock();
    // An idle worker has nothing to say: readable means it ended.
    if (ready <= 0 || slot->pid == 0 || fds[1].revents == 0) {
        return;
    }
    if (stopped_ || ending_) {
        EndWorker(slot, true, nullptr);  // killed for the stop: nothing to say
        return;
    }
    const pid_t pid = slot->pid;
    // A replacement that ends before any job is not replaced again and
    // again: the next job starts one.
    const bool again = slot->idle_replacement && slot->jobs == 0;
    std::string why;
    EndWorker(slot, true, &why);
    VR_LOG(logWARNING) << "vrelay server: synthesis worker " << pid << " ended while idle ("
                       << (why.empty() ? "it closed its end" : why) << ")";
    std::string error;
    if (again) {
        return;
    }
    if (StartWorker(slot, &error)) {
        slot->idle_replacement = true;
    } else {
        VR_LOG(logWARNING) << "vrelay server: " << error;
    }
}

void WorkerPool::Drive(size_t index) {
    Slot* const slot = &slots_[index];
    MutexLock lock(&mutex_);
    for (;;) {
        auto next = queue_.end();
        while (!ending_ && (next = NextJobLocked(index)) == queue_.end()) {
            IdleLocked(slot);
        }
        if (ending_) {
            return;
        }
        const std::shared_ptr<Job> job = *next;
        queue_.erase(next);
        job->state = Job::State::kRunning;
        std::string error;
        if (!WorkerLocked(slot, &error)) {
            job->failed = true;
            job->error = error;
        } else {
            slot->jobs = NextJobNumber(slot->jobs);
            job->slot = slot;
            lock.Unlock();
            Run(slot, job.get());
            lock.Lock();
            job->slot = nullptr;
        }
        job->state = Job::State::kEnded;
        progress_.SignalAll();
    }
}

void WorkerPool::Run(Slot* slot, Job* job) {
    // Only this thread changes the slot's worker while the job runs.
    const int fd = slot->fd;
    // Fails the job with error (unless it was cancelled: nobody asks), after
    // killing the worker when end_worker. The reason the worker ended by
    // itself, when it did, replaces a worker_reason error.
    const auto fail = [&](const std::string& error, bool end_worker, bool worker_reason) {
        MutexLock lock(&mutex_);
        std::string why;
        if (end_worker) {
            EndWorker(slot, true, worker_reason ? &why : nullptr);
        }
        if (!job->cancelled) {
            job->failed = true;
            job->error = why.empty() ? error : why;
        }
    };
    IoStatus status =
        WriteMessage(fd, job->in_pieces ? kSpeak : kSpeakWhole, job->words, job->deadline);
    // The job's reader: one buffer of a samples message's size serves them all.
    wire::FrameReader reader(kMaxMessage);
    SynthesisUnit unit;
    bool in_unit = false;   // a unit came, its samples not all yet
    size_t missing = 0;     // the unit's samples still to come
    for (;;) {
        wire::Frame message;
        if (status == IoStatus::kDone) {
            status = ReadMessage(fd, job->deadline, &reader, &message);
        }
        bool garbled = false;
        if (status == IoStatus::kDone && message.type == kUnit) {
            garbled = in_unit || !DecodeUnit(message, &unit, &missing);
            in_unit = true;
        } else if (status == IoStatus::kDone && message.type == kSamples) {
            garbled = !in_unit || !AddSamples(message, &unit, &missing);
        } else if (status == IoStatus::kDone) {
            garbled = in_unit;  // a unit's samples cut short
        }
        if (status == IoStatus::kTimedOut) {
            fail("the synthesis took too long", true, false);
            return;
        }
        if (status == IoStatus::kClosed) {
            // Usually the worker died (or was killed for a cancelled job); a
            // garbled length is ended the same way.
            fail("the synthesis worker ended", true, true);
            return;
        }
        const uint16_t type = garbled ? 0 : message.type;
        if (type == kUnit || type == kSamples) {
            if (missing == 0) {  // the unit is whole
                MutexLock lock(&mutex_);
                if (!job->cancelled) {
                    job->request->waiting_samples += static_cast<int64_t>(unit.samples.size());
                    job->pieces.push_back(std::move(unit));
                    progress_.SignalAll();
                }
                unit = SynthesisUnit();
                in_unit = false;
            }
            continue;
        }
        if (type == kDone) {
            return;
        }
        const bool told = type == kFailed || type == kLost;
        fail(told ? std::string(reinterpret_cast<const char*>(message.data), message.length)
                  : "garbled answer from the synthesis worker",
             type != kFailed, false);
        return;
    }
}

void WorkerPool::CancelLocked(const JobList& jobs) {
    for (const auto& job : jobs) {
        job->cancelled = true;
        for (const SynthesisUnit& piece : job->pieces) {
            job->request->waiting_samples -= static_cast<int64_t>(piece.samples.size());
        }
        job->pieces.clear();
        if (job->state == Job::State::kQueued) {
            queue_.erase(std::find(queue_.begin(), queue_.end(), job));
            job->state = Job::State::kEnded;
        } else if (job->state == Job::State::kRunning && job->slot->pid != 0) {
            sigval number{};  // still speaking what nobody wants
            number.sival_int = job->slot->jobs;
            ::sigqueue(job->slot->pid, SIGUSR1, number);
        }
    }
}

std::vector<size_t> WorkerPool::PinnedWorkers(const std::vector<Word>& words,
                                              const std::vector<size_t>& ends, size_t workers) {
    std::vector<size_t> bytes(ends.size());  // the text of each unit
    for (size_t unit = 0, word = 0; unit < ends.size(); ++unit) {
        for (; word < ends[unit]; ++word) {
            bytes[unit] += words[word].text.size() + 1;
        }
    }
    // The last units that fit in what is queued ahead at once.
    size_t tail = ends.size();
    size_t tail_words = 0;
    while (tail > 0 && ends.size() - tail < kUnitsAhead) {
        const size_t count = ends[tail - 1] - (tail > 1 ? ends[tail - 2] : 0);
        if (tail_words + count > kWordsAhead) {
            break;
        }
        tail_words += count;
        --tail;
    }
    std::vector<size_t> order(ends.size());
    for (size_t unit = 0; unit < order.size(); ++unit) {
        order[unit] = unit;
    }
    std::stable_sort(order.begin() + static_cast<ptrdiff_t>(tail), order.end(),
                     [&bytes](size_t a, size_t b) { return bytes[a] > bytes[b]; });
    std::vector<size_t> load(workers);  // text given to each worker
    std::vector<size_t> chosen(ends.size());
    for (const size_t unit : order) {
        const size_t least =
            static_cast<size_t>(std::min_element(load.begin(), load.end()) - load.begin());
        load[least] += bytes[unit];
        chosen[unit] = least;
    }
    return chosen;
}

size_t WorkerPool::WordsAhead(const JobList& jobs) {
    size_t words = 0;
    for (size_t i = 1; i < jobs.size(); ++i) {
        words += jobs[i]->word_count;
    }
    return words;
}

bool WorkerPool::Speak(const std::string& voice, const std::vector<Word>& words, UnitSink* sink,
                       std::string* error) {
    const Clock::time_point deadline = sink->Deadline();
    const bool urgent = sink->Urgent();
    const auto request = std::make_shared<Request>();
    JobList jobs;  // queued, running, or ended and not yet delivered, in text order
    std::vector<size_t> ends;  // where each unit ends
    for (size_t end = 0; end < words.size();) {
        end = UnitEnd(words, end);
        ends.push_back(end);
    }
    const std::vector<size_t> workers =
        pinned_ ? PinnedWorkers(words, ends, slots_.size()) : std::vector<size_t>();
    size_t next_unit = 0;
    MutexLock lock(&mutex_);
    for (;;) {
        bool queued = false;
        while (next_unit < ends.size() && jobs.size() <= kUnitsAhead &&
               WordsAhead(jobs) < kWordsAhead && request->waiting_samples < kSamplesAhead) {
            const size_t next_word = next_unit > 0 ? ends[next_unit - 1] : 0;
            const size_t end = ends[next_unit];
            auto job = std::make_shared<Job>();
            job->words = EncodeWords(voice, words, next_word, end);
            job->word_count = end - next_word;
            job->deadline = deadline;
            job->request = request;
            job->urgent = urgent;
            job->in_pieces = next_word == 0;
            job->worker = pinned_ ? workers[next_unit] : SIZE_MAX;
            ++next_unit;
            if (stopped_) {
                job->state = Job::State::kEnded;
                job->failed = true;
                job->error = "the server is stopping";
            } else {
                queue_.push_back(job);
                queued = true;
            }
            jobs.push_back(std::move(job));
        }
        if (queued) {
            WakeDriversLocked();  // pinned jobs wait for their own driver: all look
        }
        if (jobs.empty()) {
            return true;
        }
        Job& head = *jobs.front();
        if (!head.head) {
            head.head = true;
            if (head.state == Job::State::kQueued) {
                WakeDriversLocked();  // it may have been held back for the audio waiting
            }
        }
        // A tenth of a second at most: then the deadline and the client are checked.
        const Clock::time_point until = Clock::now() + std::chrono::milliseconds(100);
        const auto head_ready = [&head] {
            return !head.pieces.empty() || head.state == Job::State::kEnded;
        };
        while (!head_ready() && progress_.WaitUntil(&mutex_, until)) {
        }
        const bool ready = head_ready();
        if (!ready) {
            if (head.state == Job::State::kQueued && Clock::now() > deadline) {
                CancelLocked(jobs);
                *error = "no synthesis worker became free in time";
                return false;
            }
            lock.Unlock();
            const bool abandoned = sink->Abandoned();
            lock.Lock();
            if (abandoned) {
                CancelLocked(jobs);
                return true;
            }
            continue;
        }
        std::deque<SynthesisUnit> pieces;
        pieces.swap(head.pieces);
        const int64_t waiting_before = request->waiting_samples;
        for (const SynthesisUnit& piece : pieces) {
            request->waiting_samples -= static_cast<int64_t>(piece.samples.size());
        }
        if (waiting_before >= kSamplesAhead && request->waiting_samples < kSamplesAhead) {
            WakeDriversLocked();  // the request's jobs held back may start
        }
        // Pieces come before the end: once ended, this is the last of them.
        const bool ended = head.state == Job::State::kEnded;
        lock.Unlock();
        bool taken = true;
        for (const SynthesisUnit& piece : pieces) {
            if (!sink->OnUnit(piece)) {
                taken = false;
                break;
            }
        }
        lock.Lock();
        if (!taken) {
            CancelLocked(jobs);
            return true;
        }
        if (ended) {
            if (head.failed) {
                *error = head.error;
                CancelLocked(jobs);
                return false;
            }
            jobs.pop_front();
        }
    }
}

}  // namespace server
}  // namespace vrelay
