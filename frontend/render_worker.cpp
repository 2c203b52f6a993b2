// SPDX-License-Identifier: GPL-3.0-or-later
#include "frontend/render_worker.h"

#include <signal.h>

#include <algorithm>
#include <cctype>
#include <chrono>

#include "frontend/request_cutter.h"
#include "transport/socket.h"
#include "wire/payload.h"

namespace vrelay {
namespace frontend {

struct RenderWorker::Item {
    enum class Kind { kSpeak, kConnect, kVoices, kVoice };
    Kind kind = Kind::kSpeak;
    uint64_t id = 0;
    SpeechJob job;
    // kConnect, kVoices and kVoice (job.voice): where the answers go, the
    // waiting caller's.
    std::vector<VoiceEntry>* voices = nullptr;
    JobEnd* end = nullptr;
};

// Where the answers of the worker's own queries (the voice list, a voice
// selection) go: nowhere but the decoder's refusal.
class RenderWorker::Quiet : public SpeechSink {
  public:
    bool OnFormat(uint32_t) override { return true; }
    bool OnAudio(const int16_t*, size_t, int64_t) override { return true; }
    bool OnWord(const WordEvent&) override { return true; }
};

namespace {

// How long a cancelled call may take to end before Stop cancels it again: a
// cancel that hit ends it in far less.
constexpr std::chrono::milliseconds kCancelAgainAfter{100};

JobEnd Failed(int exitCode, std::string reason, bool refused = false) {
    JobEnd end;
    end.outcome = JobEnd::Outcome::kFailed;
    end.exitCode = exitCode;
    end.reason = std::move(reason);
    end.refused = refused;
    return end;
}

JobEnd Stopped(bool bySink) {
    JobEnd end;
    end.outcome = JobEnd::Outcome::kStopped;
    end.bySink = bySink;
    return end;
}

std::string Address(const std::string& host, int port) {
    const bool v6 = host.find(':') != std::string::npos;
    return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

// Why nothing answers at host:port, from a plain connection of our own.
std::string WhyNoServer(const std::string& host, int port) {
    SocketClient probe(host, port, 3000);
    if (probe.IsOpen()) {
        return "it accepts connections, but does not speak";
    }
    if (probe.Error().empty()) {
        return "no such host";
    }
    std::string reason = probe.Error();
    reason[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(reason[0])));
    return reason;
}

}  // namespace

RenderWorker::RenderWorker(WorkerOptions options)
    : options_(std::move(options)),
      own_pool_(options_.pool != nullptr
                   ? nullptr
                   : std::make_unique<ConnectionPool>(options_.host, options_.port, 1, 0,
                                                      options_.fallbacks)),
      pool_(options_.pool != nullptr ? options_.pool : own_pool_.get()) {
    // Signals are the main thread's business.
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &previous);
    thread_ = std::thread([this] { Run(); });
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

RenderWorker::~RenderWorker() {
    Close();
}

uint64_t RenderWorker::Queue(std::unique_ptr<Item> item) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (closing_) {
        lock.unlock();
        if (item->job.sink != nullptr) {
            item->job.sink->OnEnd(Stopped(false));
        }
        return 0;
    }
    const uint64_t id = item->id = ++last_id_;
    queue_.push_back(std::move(item));
    changed_.notify_all();
    return id;
}

uint64_t RenderWorker::Submit(SpeechJob job) {
    if (job.sink == nullptr) {
        return 0;
    }
    auto item = std::make_unique<Item>();
    item->job = std::move(job);
    return Queue(std::move(item));
}

void RenderWorker::Stop(uint64_t id) {
    std::vector<std::unique_ptr<Item>> dropped;
    bool cancel = false;
    vr_handle handle = -1;
    uint64_t call = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto it = queue_.begin(); it != queue_.end();) {
            const bool drop = (id == 0 || (*it)->id == id) && (*it)->kind == Item::Kind::kSpeak;
            if (drop) {
                dropped.push_back(std::move(*it));
                it = queue_.erase(it);
            } else {
                ++it;
            }
        }
        if (current_id_ != 0 && (id == 0 || id == current_id_)) {
            stop_id_ = std::max(stop_id_, current_id_);
            stopping_ = true;
            cancel = in_call_ && !cancelled_;
            cancelled_ = cancelled_ || cancel;
            handle = active_;
            call = calls_;
        }
        // No call starts until the cancel is done, so that it cannot hit
        // the next request.
        cancels_ += cancel ? 1 : 0;
        changed_.notify_all();
    }
    // The callback now refuses every packet; the cancel also ends a call
    // that waits for the server, and rebuilds the connection. A cancel that
    // comes before the call has begun its request inside the library finds
    // nothing to stop, and the request would then wait for a silent server:
    // so while the same call goes on, the cancel is made again.
    while (cancel) {
        vrCancelRequest(handle);
        std::unique_lock<std::mutex> lock(mutex_);
        --cancels_;
        changed_.notify_all();
        cancel = !changed_.wait_for(lock, kCancelAgainAfter,
                                    [&] { return !in_call_ || calls_ != call; });
        cancels_ += cancel ? 1 : 0;
    }
    // A job waiting for a connection of a shared pool stops waiting. (The
    // worker's own pool never keeps it waiting, and goes when it ends.)
    if (options_.pool != nullptr) {
        options_.pool->Wake();
    }
    for (auto& item : dropped) {
        item->job.sink->OnEnd(Stopped(false));
    }
}

void RenderWorker::Poke() {
    std::lock_guard<std::mutex> lock(mutex_);
    changed_.notify_all();
}

void RenderWorker::Wait(uint64_t id) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] {
        return current_id_ != id && std::none_of(queue_.begin(), queue_.end(),
                                                [&](const auto& item) { return item->id == id; });
    });
}

bool RenderWorker::Connect(JobEnd* failure) {
    auto item = std::make_unique<Item>();
    item->kind = Item::Kind::kConnect;
    return Ask(std::move(item), failure);
}

bool RenderWorker::Voices(std::vector<VoiceEntry>* voices, JobEnd* failure) {
    auto item = std::make_unique<Item>();
    item->kind = Item::Kind::kVoices;
    item->voices = voices;
    return Ask(std::move(item), failure);
}

bool RenderWorker::CheckVoice(const std::string& voice, JobEnd* failure) {
    auto item = std::make_unique<Item>();
    item->kind = Item::Kind::kVoice;
    item->job.voice = voice;
    return Ask(std::move(item), failure);
}

bool RenderWorker::Ask(std::unique_ptr<Item> item, JobEnd* failure) {
    item->end = failure;
    *failure = Stopped(false);  // unless the worker gets to it
    const uint64_t id = Queue(std::move(item));
    if (id != 0) {
        Wait(id);
    }
    return failure->outcome == JobEnd::Outcome::kDone;
}

void RenderWorker::CloseSoon() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closing_ = true;
        changed_.notify_all();
    }
    Stop(0);
}

void RenderWorker::Close() {
    CloseSoon();
    std::call_once(joined_, [this] { thread_.join(); });
}

bool RenderWorker::Finished() {
    std::lock_guard<std::mutex> lock(mutex_);
    return finished_;
}

int32_t VR_CDECL RenderWorker::OnPacket(void* self, PACKET_TYPE type, void* data, int32_t length) {
    // A connection given back has no worker: nothing runs on it.
    return self != nullptr ? static_cast<RenderWorker*>(self)->Packet(type, data, length)
                           : VR_SUCCESS;
}

int32_t RenderWorker::Packet(PACKET_TYPE type, const void* data, int32_t length) {
    if (type == PACKET_REQUEST_DONE) {
        std::lock_guard<std::mutex> lock(mutex_);
        request_done_ = true;
        changed_.notify_all();
        return VR_SUCCESS;
    }
    AnswerDecoder* decoder = decoder_.load();
    if (stopping_.load() || decoder == nullptr) {
        return VR_ERROR;  // nothing more of this request is wanted
    }
    if (!decoder->Decode(type, data, length)) {
        sink_refused_ = true;
        return VR_ERROR;
    }
    return VR_SUCCESS;
}

void RenderWorker::Run() {
    for (;;) {
        std::unique_ptr<Item> item;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            changed_.wait(lock, [&] { return closing_ || !queue_.empty(); });
            if (closing_) {
                break;
            }
            item = std::move(queue_.front());
            queue_.pop_front();
            current_id_ = item->id;
            stopping_ = stop_id_ >= current_id_;
            cancelled_ = false;
        }
        RunItem(item.get());
        std::lock_guard<std::mutex> lock(mutex_);
        current_id_ = 0;
        changed_.notify_all();
    }
    // Whatever still waits ends stopped.
    std::deque<std::unique_ptr<Item>> left;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        left.swap(queue_);
    }
    for (auto& item : left) {
        if (item->kind == Item::Kind::kSpeak) {
            item->job.sink->OnEnd(Stopped(false));
        }
    }
    Release();
    own_pool_.reset();  // the worker's own connection goes with it
    std::lock_guard<std::mutex> lock(mutex_);
    finished_ = true;
    changed_.notify_all();
}

void RenderWorker::RunItem(Item* item) {
    if (item->kind == Item::Kind::kSpeak) {
        AnswerDecoder decoder(item->job.sink.get());
        JobEnd end;
        RunJob(item->job, &decoder, &end);
        item->job.sink->OnEnd(end);
        return;
    }
    JobEnd end;
    const bool ok =
        item->kind == Item::Kind::kConnect ? Hold("", &end) && Open(&end)
        : item->kind == Item::Kind::kVoice
            ? Prepare(item->job.voice, &end)
            : Hold("", &end) && EnsureConnected(&end) &&
                  (connection_->voices.has_value() || ReadVoiceList(&end));
    std::vector<VoiceEntry> voices;
    if (ok && item->voices != nullptr) {
        voices = *connection_->voices;
    }
    Release();
    std::lock_guard<std::mutex> lock(mutex_);
    if (ok && item->voices != nullptr) {
        *item->voices = std::move(voices);
    }
    *item->end = end;
}

bool RenderWorker::Hold(const std::string& voice, JobEnd* end) {
    if (connection_ != nullptr) {
        return true;
    }
    connection_ = pool_->Take(voice, [this] {
        std::lock_guard<std::mutex> lock(mutex_);
        return StoppedLocked();
    });
    if (connection_ == nullptr) {
        *end = Stopped(false);
        return false;
    }
    vrSetCallBack(connection_->handle, &RenderWorker::OnPacket);
    vrSetUserData(connection_->handle, this);
    std::lock_guard<std::mutex> lock(mutex_);
    active_ = connection_->handle;
    return true;
}

void RenderWorker::Release() {
    if (connection_ == nullptr) {
        return;
    }
    {
        // A cancel at work on the connection ends before another worker
        // may take it.
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return cancels_ == 0; });
        active_ = -1;
    }
    vrSetUserData(connection_->handle, nullptr);
    pool_->Give(connection_);
    connection_ = nullptr;
}

bool RenderWorker::Prepare(const std::string& voice, JobEnd* end) {
    return Hold(voice, end) && EnsureConnected(end) && SelectVoice(voice, end);
}

vr_result RenderWorker::Call(AnswerDecoder* decoder, const std::function<vr_result()>& call) {
    {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return cancels_ == 0; });
        if (StoppedLocked()) {
            return VR_CANCELLED;
        }
        in_call_ = true;
        ++calls_;
    }
    sink_refused_ = false;
    decoder_ = decoder;
    const vr_result result = call();
    decoder_ = nullptr;
    std::lock_guard<std::mutex> lock(mutex_);
    in_call_ = false;
    changed_.notify_all();  // a Stop may wait for the call to end
    if (cancelled_) {
        // The cancel rebuilt the connection: a new session, with the
        // server's default voice.
        connection_->selected.clear();
        connection_->voiceKnown = true;
    } else if (sink_refused_ || result == VR_CANCELLED) {
        // The refused answer is left unread in the stream; or a cancel not
        // ours (the pool's, at shutdown) left a session of unknown voice.
        connection_->broken = true;
    }
    return result;
}

vr_result RenderWorker::RenderAsync(const std::string& submit) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        request_done_ = false;
    }
    const vr_result result = vrRenderSpeechXMLAsync(connection_->handle, submit.c_str());
    if (result != VR_SUCCESS) {
        return result;
    }
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return request_done_; });
    return decoder_.load()->Complete() ? VR_SUCCESS : stopping_ ? VR_CANCELLED : VR_ERROR;
}

bool RenderWorker::Open(JobEnd* end) {
    ServerConnection& c = *connection_;
    c.voices.reset();
    c.selected.clear();
    c.voiceKnown = true;
    c.broken = false;
    // The old session ends before the new one begins, so that the server
    // never sees more sessions than there are connections (it may limit
    // them per address).
    if (c.connected) {
        vrCloseConnection(c.handle);
        c.connected = false;
    }
    if (OpenAt({pool_->Host(), pool_->Port()}, end)) {
        return true;
    }
    for (const HostPort& address : pool_->Fallbacks()) {
        if (end->outcome == JobEnd::Outcome::kStopped) {
            return false;
        }
        JobEnd ignored;  // the first address's failure is the one told
        if (OpenAt(address, &ignored)) {
            return true;
        }
    }
    return false;
}

bool RenderWorker::OpenAt(const HostPort& address, JobEnd* end) {
    ServerConnection& c = *connection_;
    if (c.connected) {
        vrCloseConnection(c.handle);
    }
    c.address = Address(address.host, address.port);
    c.connected = vrOpenConnection(c.handle, address.host.c_str(), address.port) == VR_SUCCESS;
    if (!c.connected) {
        *end = Failed(kExitNoServer, "no speech server at " + c.address + " (" +
                                         WhyNoServer(address.host, address.port) + ")");
        return false;
    }
    return !options_.checkServer || ReadVoiceList(end);
}

bool RenderWorker::EnsureConnected(JobEnd* end) {
    return (connection_->connected && !connection_->broken) || Open(end);
}

bool RenderWorker::ReadVoiceList(JobEnd* end) {
    // The list is read through an enumerator, apart from the callback: a
    // query through the callback first hears a refusal ("server busy").
    Quiet quiet;
    AnswerDecoder probe(&quiet);
    const vr_handle handle = connection_->handle;
    const vr_result result =
        Call(&probe, [&] { return vrQueryServer(handle, "<voice name=\"all\"/>"); });
    std::vector<VoiceEntry> voices;
    if (result == VR_CANCELLED) {
        *end = Stopped(false);
    } else if (!probe.Refusal().empty()) {
        *end = Failed(kExitSpeechFailed, probe.Refusal(), true);
    } else if (result != VR_SUCCESS && !probe.Answered()) {
        *end = Failed(kExitNoServer, "no speech server at " + connection_->address +
                                         " (what answers there is not a speech server)");
    } else if (result != VR_SUCCESS || !ReadVoices(handle, &voices)) {
        *end = Failed(kExitSpeechFailed, "cannot read the voice list");
    } else {
        connection_->voices = std::move(voices);
        return true;
    }
    connection_->connected = false;
    return false;
}

bool RenderWorker::SelectVoice(const std::string& wanted, JobEnd* end) {
    ServerConnection& c = *connection_;
    if (wanted.empty()) {
        // A new session speaks with the server's default voice.
        return (c.voiceKnown && c.selected.empty()) || Open(end);
    }
    if (c.voiceKnown && wanted == c.selected) {
        return true;
    }
    // "+VARIANT" changes the session's voice: the server's default, in a
    // new session, whatever an earlier job selected.
    if (wanted[0] == '+' && !(c.voiceKnown && c.selected.empty()) && !Open(end)) {
        return false;
    }
    // The server decides which voice the text means, as for every door.
    for (int attempt = 0;; ++attempt) {
        Quiet quiet;
        AnswerDecoder probe(&quiet);
        const vr_result result =
            Call(&probe, [&] { return vrSetVoiceFast(c.handle, wanted.c_str()); });
        if (result == VR_SUCCESS && probe.Refusal().empty()) {
            c.selected = wanted;
            c.voiceKnown = true;
            return true;
        }
        if (result == VR_CANCELLED) {
            *end = Stopped(false);
        } else if (probe.Refusal().rfind("unknown voice", 0) == 0) {
            *end = Failed(kExitUnknownVoice, "unknown voice \"" + wanted + "\"");
        } else if (!probe.Refusal().empty()) {
            *end = Failed(kExitSpeechFailed, probe.Refusal(), true);
        } else if (probe.Answered()) {
            *end = Failed(kExitUnknownVoice, "unknown voice \"" + wanted + "\"");
        } else if (attempt == 0) {
            // A session the server ended meanwhile (idle, or the server
            // died between requests) fails before any answer: open one
            // again, at the next address if need be, and ask once more.
            if (Open(end)) {
                continue;
            }
        } else {
            c.connected = false;
            *end = Failed(kExitSpeechFailed, "the server stopped answering");
        }
        return false;
    }
}

bool RenderWorker::WaitForRoom(JobSink* sink) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (StoppedLocked() || sink->ReadyForMore()) {
        return !StoppedLocked();
    }
    // Nothing renders while the door catches up: another worker may use
    // the connection meanwhile.
    lock.unlock();
    Release();
    lock.lock();
    changed_.wait(lock, [&] { return StoppedLocked() || sink->ReadyForMore(); });
    return !StoppedLocked();
}

bool RenderWorker::RenderRequest(const Request& request, const std::string& voice,
                                 AnswerDecoder* decoder, JobEnd* end) {
    for (int attempt = 0;; ++attempt) {
        if (connection_->broken && (!Open(end) || !SelectVoice(voice, end))) {
            return false;
        }
        decoder->BeginRequest(&request);
        const vr_handle handle = connection_->handle;
        const vr_result result = Call(decoder, [&] {
            return options_.async ? RenderAsync(request.Submit())
                                  : vrRenderSpeechXML(handle, request.Submit().c_str());
        });
        if (result == VR_SUCCESS && decoder->Refusal().empty()) {
            return true;
        }
        if (sink_refused_ || result == VR_CANCELLED) {
            *end = Stopped(sink_refused_);
            return false;
        }
        if (!decoder->Refusal().empty()) {
            *end = Failed(kExitSpeechFailed, decoder->Refusal(), true);
            // A server that ends its sessions as it stops failed; another
            // may take the rest.
            end->serverLost = decoder->Refusal() == wire::kShuttingDown;
            return false;
        }
        // A connection the server has closed meanwhile (it ends idle ones)
        // fails before any answer: open it again and submit once more.
        connection_->connected = false;
        if (attempt == 0 && !decoder->Answered()) {
            connection_->broken = true;
            continue;
        }
        *end = Failed(kExitSpeechFailed, result == VR_SEND_FAILED
                                             ? "the connection to the server broke"
                                             : "the server stopped answering");
        end->serverLost = true;
        return false;
    }
}

// The job's text as it came, kept so that a resume can cut the rest again.
struct RenderWorker::JobText {
    std::string text;
    size_t flushed = 0;  // text up to here was to go out at once (EndOfLine)
    bool finished = false;

    std::unique_ptr<RequestCutter> Cutter(const RequestCutter::Options& cut,
                                          int64_t startByte) const {
        auto cutter = std::make_unique<RequestCutter>(cut);
        cutter->Add(text.substr(0, flushed));
        if (flushed > 0) {
            cutter->EndOfLine();
        }
        cutter->Add(text.substr(flushed));
        cutter->StartAt(startByte);
        if (finished) {
            cutter->Finish();
        }
        return cutter;
    }
};

bool RenderWorker::Resume(const JobText& text, const RequestCutter::Options& cut,
                          JobSink* sink, AnswerDecoder* decoder,
                          std::unique_ptr<RequestCutter>* cutter, JobEnd* end) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::seconds(kResumeSeconds);
    for (;;) {
        JobEnd attempt;
        if (Open(&attempt)) {
            break;
        }
        // A short pause between rounds: a proxy needs a moment to see that a
        // server is gone, a restarted server to listen.
        std::unique_lock<std::mutex> lock(mutex_);
        const auto next = std::min(deadline, Clock::now() + std::chrono::milliseconds(250));
        if (attempt.outcome == JobEnd::Outcome::kStopped ||
            changed_.wait_until(lock, next, [&] { return StoppedLocked(); })) {
            *end = Stopped(false);
            return false;
        }
        if (Clock::now() >= deadline) {
            return false;  // the failure as it was
        }
    }
    const std::string word = decoder->ResumeWord();
    sink->OnResume("the speech server failed (" + end->reason + "); speaking on from " +
                   (word.empty() ? std::string("the start of a sentence") : "\"" + word + "\"") +
                   " at " + connection_->address);
    const int64_t from = decoder->ResumeByte();
    decoder->Resume(sink->OnRewind(decoder->ResumeSample()));
    *cutter = text.Cutter(cut, from);
    return true;
}

void RenderWorker::RunJob(const SpeechJob& job, AnswerDecoder* decoder, JobEnd* end) {
    // A wrong voice or no server is told before any text is read.
    if (!Prepare(job.voice, end)) {
        Release();
        return;
    }
    RequestCutter::Options cut;
    cut.markup = job.markup;
    cut.prosody = job.prosody;
    cut.spell = job.spell;
    cut.requestBytes = options_.async ? std::string::npos / 2 : job.requestBytes;
    JobText text;
    text.text = job.text;
    std::unique_ptr<RequestCutter> cutter = text.Cutter(cut, job.startByte);
    bool sawWords = false;
    int failuresWithoutWord = 0;  // failures in a row that brought no new word
    size_t wordsAtFailure = 0;
    Request request;
    for (;;) {
        if (!cutter->Next(&request)) {
            if (text.finished) {
                break;
            }
            std::string more;
            bool endOfLine = false;
            Release();  // the text may be long in coming
            text.finished = !job.sink->NextText(&more, &endOfLine);
            text.text += more;
            cutter->Add(more);
            if (endOfLine) {
                text.flushed = text.text.size();
                cutter->EndOfLine();
            }
            if (text.finished) {
                cutter->Finish();
            }
            continue;
        }
        if (!WaitForRoom(job.sink.get())) {
            Release();
            *end = Stopped(false);
            return;
        }
        if (!Prepare(job.voice, end)) {
            Release();
            return;
        }
        if (!RenderRequest(request, job.voice, decoder, end)) {
            failuresWithoutWord = decoder->Words() > wordsAtFailure ? 0 : failuresWithoutWord + 1;
            wordsAtFailure = decoder->Words();
            sawWords = sawWords || cutter->SawWords();
            if (!end->serverLost || !options_.resume || failuresWithoutWord >= kResumeTries ||
                !Resume(text, cut, job.sink.get(), decoder, &cutter, end)) {
                Release();
                return;
            }
            continue;
        }
        if (job.markup && request.Submit().find("<voice") != std::string::npos) {
            connection_->voiceKnown = false;  // the library switched voices inside the text
        }
        // Given back between requests, so that a worker holds a connection
        // only while it renders.
        Release();
    }
    Release();
    *end = JobEnd();
    end->silent = !sawWords && !cutter->SawWords();
}

}  // namespace frontend
}  // namespace vrelay
