// SPDX-License-Identifier: GPL-3.0-or-later
#include "frontend/render_worker.h"

#include <signal.h>

#include <algorithm>
#include <cctype>

#include "frontend/request_cutter.h"
#include "transport/socket.h"

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
    : options_(std::move(options)), handle_(vrCreateConnection()) {
    vrSetCallBack(handle_, &RenderWorker::OnPacket);
    vrSetUserData(handle_, this);
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
    const uint64_t id = item->id = ++lastId_;
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
        if (currentId_ != 0 && (id == 0 || id == currentId_)) {
            stopId_ = std::max(stopId_, currentId_);
            stopping_ = true;
            cancel = inCall_ && !cancelled_;
            cancelled_ = cancelled_ || cancel;
        }
        // No call starts until the cancel is done, so that it cannot hit
        // the next request.
        cancels_ += cancel ? 1 : 0;
        changed_.notify_all();
    }
    // The callback now refuses every packet; the cancel also ends a call
    // that waits for the server, and rebuilds the connection.
    if (cancel) {
        vrCancelRequest(handle_);
        std::lock_guard<std::mutex> lock(mutex_);
        --cancels_;
        changed_.notify_all();
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
        return currentId_ != id && std::none_of(queue_.begin(), queue_.end(),
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

void RenderWorker::Close() {
    bool join = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        join = !closing_;
        closing_ = true;
        changed_.notify_all();
    }
    Stop(0);
    if (join) {
        thread_.join();
        return;
    }
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return finished_; });
}

int32_t VR_CDECL RenderWorker::OnPacket(void* self, PACKET_TYPE type, void* data, int32_t length) {
    return static_cast<RenderWorker*>(self)->Packet(type, data, length);
}

int32_t RenderWorker::Packet(PACKET_TYPE type, const void* data, int32_t length) {
    if (type == PACKET_REQUEST_DONE) {
        std::lock_guard<std::mutex> lock(mutex_);
        requestDone_ = true;
        changed_.notify_all();
        return VR_SUCCESS;
    }
    AnswerDecoder* decoder = decoder_.load();
    if (stopping_.load() || decoder == nullptr) {
        return VR_ERROR;  // nothing more of this request is wanted
    }
    if (!decoder->Decode(type, data, length)) {
        sinkRefused_ = true;
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
            currentId_ = item->id;
            stopping_ = stopId_ >= currentId_;
            cancelled_ = false;
        }
        RunItem(item.get());
        std::lock_guard<std::mutex> lock(mutex_);
        currentId_ = 0;
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
    vrDestroyConnection(handle_);
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
        item->kind == Item::Kind::kConnect ? Open(&end)
        : item->kind == Item::Kind::kVoice
            ? EnsureConnected(&end) && SelectVoice(item->job.voice, &end)
            : EnsureConnected(&end) && (voices_.has_value() || ReadVoiceList(&end));
    std::lock_guard<std::mutex> lock(mutex_);
    if (ok && item->voices != nullptr) {
        *item->voices = *voices_;
    }
    *item->end = end;
}

vr_result RenderWorker::Call(AnswerDecoder* decoder, const std::function<vr_result()>& call) {
    {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return cancels_ == 0; });
        if (StoppedLocked()) {
            return VR_CANCELLED;
        }
        inCall_ = true;
    }
    sinkRefused_ = false;
    decoder_ = decoder;
    const vr_result result = call();
    decoder_ = nullptr;
    std::lock_guard<std::mutex> lock(mutex_);
    inCall_ = false;
    if (cancelled_) {
        // The cancel rebuilt the connection: a new session, with the
        // server's default voice.
        selected_.clear();
        voiceKnown_ = true;
    } else if (sinkRefused_ || (stopping_ && result == VR_CANCELLED)) {
        broken_ = true;  // the refused answer is left unread in the stream
    }
    return result;
}

vr_result RenderWorker::RenderAsync(const std::string& submit) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        requestDone_ = false;
    }
    const vr_result result = vrRenderSpeechXMLAsync(handle_, submit.c_str());
    if (result != VR_SUCCESS) {
        return result;
    }
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return requestDone_; });
    return decoder_.load()->Complete() ? VR_SUCCESS : stopping_ ? VR_CANCELLED : VR_ERROR;
}

bool RenderWorker::Open(JobEnd* end) {
    voices_.reset();
    selected_.clear();
    voiceKnown_ = true;
    broken_ = false;
    connected_ = vrOpenConnection(handle_, options_.host.c_str(), options_.port) == VR_SUCCESS;
    if (!connected_) {
        *end = Failed(kExitNoServer, "no speech server at " + Address(options_.host, options_.port) +
                                         " (" + WhyNoServer(options_.host, options_.port) + ")");
        return false;
    }
    return !options_.checkServer || ReadVoiceList(end);
}

bool RenderWorker::EnsureConnected(JobEnd* end) {
    return (connected_ && !broken_) || Open(end);
}

bool RenderWorker::ReadVoiceList(JobEnd* end) {
    // The list is read through an enumerator, apart from the callback: a
    // query through the callback first hears a refusal ("server busy").
    Quiet quiet;
    AnswerDecoder probe(&quiet);
    const vr_result result =
        Call(&probe, [&] { return vrQueryServer(handle_, "<voice name=\"all\"/>"); });
    std::vector<VoiceEntry> voices;
    if (result == VR_CANCELLED) {
        *end = Stopped(false);
    } else if (!probe.Refusal().empty()) {
        *end = Failed(kExitSpeechFailed, probe.Refusal(), true);
    } else if (result != VR_SUCCESS && !probe.Answered()) {
        *end = Failed(kExitNoServer, "no speech server at " +
                                         Address(options_.host, options_.port) +
                                         " (what answers there is not a speech server)");
    } else if (result != VR_SUCCESS || !ReadVoices(handle_, &voices)) {
        *end = Failed(kExitSpeechFailed, "cannot read the voice list");
    } else {
        voices_ = std::move(voices);
        return true;
    }
    connected_ = false;
    return false;
}

bool RenderWorker::SelectVoice(const std::string& wanted, JobEnd* end) {
    if (wanted.empty()) {
        // A new session speaks with the server's default voice.
        return (voiceKnown_ && selected_.empty()) || Open(end);
    }
    if (voiceKnown_ && wanted == selected_) {
        return true;
    }
    // "+VARIANT" changes the session's voice: the server's default, in a
    // new session, whatever an earlier job selected.
    if (wanted[0] == '+' && !(voiceKnown_ && selected_.empty()) && !Open(end)) {
        return false;
    }
    // The server decides which voice the text means, as for every door.
    Quiet quiet;
    AnswerDecoder probe(&quiet);
    const vr_result result = Call(&probe, [&] { return vrSetVoiceFast(handle_, wanted.c_str()); });
    if (result == VR_SUCCESS && probe.Refusal().empty()) {
        selected_ = wanted;
        voiceKnown_ = true;
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
    } else {
        connected_ = false;
        *end = Failed(kExitSpeechFailed, "the server stopped answering");
    }
    return false;
}

bool RenderWorker::WaitForRoom(JobSink* sink) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return StoppedLocked() || sink->ReadyForMore(); });
    return !StoppedLocked();
}

bool RenderWorker::RenderRequest(const Request& request, const std::string& voice,
                                 AnswerDecoder* decoder, JobEnd* end) {
    for (int attempt = 0;; ++attempt) {
        if (broken_ && (!Open(end) || !SelectVoice(voice, end))) {
            return false;
        }
        decoder->BeginRequest(&request);
        const vr_result result = Call(decoder, [&] {
            return options_.async ? RenderAsync(request.Submit())
                                  : vrRenderSpeechXML(handle_, request.Submit().c_str());
        });
        if (result == VR_SUCCESS && decoder->Refusal().empty()) {
            return true;
        }
        if (sinkRefused_ || result == VR_CANCELLED) {
            *end = Stopped(sinkRefused_);
            return false;
        }
        if (!decoder->Refusal().empty()) {
            *end = Failed(kExitSpeechFailed, decoder->Refusal(), true);
            return false;
        }
        // A connection the server has closed meanwhile (it ends idle ones)
        // fails before any answer: open it again and submit once more.
        connected_ = false;
        if (attempt == 0 && !decoder->Answered()) {
            broken_ = true;
            continue;
        }
        *end = Failed(kExitSpeechFailed, result == VR_SEND_FAILED
                                             ? "the connection to the server broke"
                                             : "the server stopped answering");
        return false;
    }
}

void RenderWorker::RunJob(const SpeechJob& job, AnswerDecoder* decoder, JobEnd* end) {
    if (!EnsureConnected(end) || !SelectVoice(job.voice, end)) {
        return;
    }
    RequestCutter::Options cut;
    cut.markup = job.markup;
    cut.prosody = job.prosody;
    cut.requestBytes = options_.async ? std::string::npos / 2 : job.requestBytes;
    RequestCutter cutter(cut);
    cutter.Add(job.text);
    cutter.StartAt(job.startByte);
    bool more = true;
    Request request;
    for (;;) {
        if (!cutter.Next(&request)) {
            if (!more) {
                break;
            }
            std::string text;
            bool endOfLine = false;
            more = job.sink->NextText(&text, &endOfLine);
            cutter.Add(text);
            if (endOfLine) {
                cutter.EndOfLine();
            }
            if (!more) {
                cutter.Finish();
            }
            continue;
        }
        if (!WaitForRoom(job.sink.get())) {
            *end = Stopped(false);
            return;
        }
        if (!RenderRequest(request, job.voice, decoder, end)) {
            return;
        }
        if (job.markup && request.Submit().find("<voice") != std::string::npos) {
            voiceKnown_ = false;  // the library switched voices inside the text
        }
    }
    *end = JobEnd();
    end->silent = !cutter.SawWords();
}

}  // namespace frontend
}  // namespace vrelay
