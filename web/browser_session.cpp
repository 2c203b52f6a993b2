// SPDX-License-Identifier: GPL-3.0-or-later
#include "web/browser_session.h"

#include <vrelay/vrelay_helpers.h>

#include <algorithm>
#include <chrono>

#include "web/frames.h"

namespace vrelay {
namespace web {

namespace {

void EndSink(const std::shared_ptr<FrameSink>& sink, EndReason reason, uint64_t samples,
             const std::string& message) {
    sink->Send(EncodeEnd(reason, static_cast<uint32_t>(samples), message));
    sink->Finish();
}

}  // namespace

BrowserSession::BrowserSession(ServerPool* pool) : pool_(pool), thread_([this] { Run(); }) {}

BrowserSession::~BrowserSession() {
    Close();
    thread_.join();
}

uint64_t BrowserSession::Speak(std::unique_ptr<SpeakJob> job) {
    std::unique_ptr<SpeakJob> replaced;
    uint64_t id = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        replaced = std::move(pending_);
        stopId_ = std::max(stopId_, currentId_);
        if (closing_) {
            replaced = std::move(job);
        } else {
            pending_ = std::move(job);
            id = pendingId_ = ++lastId_;
        }
        changed_.notify_all();
    }
    if (replaced) {
        EndSink(replaced->sink, EndReason::kStopped, 0, "");
    }
    return id;
}

void BrowserSession::Stop(uint64_t id) {
    std::unique_ptr<SpeakJob> dropped;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (pending_ && pendingId_ == id) {
            dropped = std::move(pending_);
        }
        stopId_ = std::max(stopId_, id);
        changed_.notify_all();
    }
    pool_->Wake();  // in case the job waits for a connection
    if (dropped) {
        EndSink(dropped->sink, EndReason::kStopped, 0, "");
    }
}

void BrowserSession::Played(uint64_t id, uint32_t samples) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (id == currentId_ && job_ != nullptr) {
        // The page cannot have played what it was not sent.
        played_ = std::max(played_, std::min<uint64_t>(samples, sent_));
        changed_.notify_all();
    }
}

void BrowserSession::Close() {
    std::unique_ptr<SpeakJob> dropped;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closing_ = true;
        dropped = std::move(pending_);
        changed_.notify_all();
    }
    pool_->Wake();
    if (dropped) {
        EndSink(dropped->sink, EndReason::kStopped, 0, "");
    }
}

void BrowserSession::Run() {
    for (;;) {
        std::unique_ptr<SpeakJob> job;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            changed_.wait(lock, [&] { return closing_ || pending_; });
            if (closing_) {
                break;
            }
            job = std::move(pending_);
            currentId_ = pendingId_;
            job_ = job.get();
            sampleRate_ = 0;
            sent_ = played_ = 0;
        }
        RunJob(job.get());
        std::lock_guard<std::mutex> lock(mutex_);
        job_ = nullptr;
    }
    finished_ = true;
}

void BrowserSession::RunJob(SpeakJob* job) {
    Outcome outcome = Outcome::kDone;
    std::string message;
    std::string submit;
    while (outcome == Outcome::kDone && job->text.NextRequest(&submit)) {
        {
            // The next request waits until the page is about to need it.
            std::unique_lock<std::mutex> lock(mutex_);
            const uint64_t ahead =
                static_cast<uint64_t>(kAheadSeconds * (sampleRate_ != 0 ? sampleRate_ : 22050));
            changed_.wait(lock, [&] {
                return StoppedLocked() ||
                       (sent_ - played_ <= ahead && job->sink->Backlog() <= kMaxBacklogBytes);
            });
            if (StoppedLocked()) {
                outcome = Outcome::kStopped;
                break;
            }
        }
        outcome = RenderRequest(submit, job->voice, &message);
    }
    uint64_t sent = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        sent = sent_;
    }
    const EndReason reason = outcome == Outcome::kDone      ? EndReason::kDone
                             : outcome == Outcome::kStopped ? EndReason::kStopped
                                                            : EndReason::kFailed;
    EndSink(job->sink, reason, sent, message);
}

BrowserSession::Outcome BrowserSession::RenderRequest(const std::string& submit,
                                                      const std::string& voice,
                                                      std::string* message) {
    const auto lease = pool_->Take(voice, [this] {
        std::lock_guard<std::mutex> lock(mutex_);
        return StoppedLocked();
    });
    if (!lease) {
        return Outcome::kStopped;
    }
    for (int attempt = 0;; ++attempt) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            serverMessage_.clear();
        }
        if (!lease->Prepare(voice, this, message)) {
            return Outcome::kFailed;
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (StoppedLocked()) {
                return Outcome::kStopped;
            }
            // The server refused the voice (it keeps the session's) or the
            // session.
            if (!serverMessage_.empty()) {
                const bool unknown = serverMessage_.rfind("unknown voice", 0) == 0;
                *message = unknown ? "unknown voice \"" + voice + "\"" : serverMessage_;
                lease->Discard();
                return Outcome::kFailed;
            }
            requestDone_ = finalMark_ = requestOutput_ = false;
            requestBase_ = sent_;
            serverMessage_.clear();
        }
        if (!Launch(lease->Handle(), submit)) {
            lease->Discard();
            if (attempt == 0) {
                continue;
            }
            *message = "the render could not start";
            return Outcome::kFailed;
        }
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return requestDone_ || StoppedLocked(); });
        if (StoppedLocked()) {
            // The callback drops everything from now on; the cancel also
            // rebuilds the stream the callback may have left half read.
            lock.unlock();
            lease->Cancel();
            lock.lock();
            changed_.wait(lock, [&] { return requestDone_; });
            return Outcome::kStopped;
        }
        if (finalMark_) {
            return Outcome::kDone;
        }
        const bool retry = !requestOutput_ && attempt == 0;
        *message = serverMessage_.empty() ? "the speech server failed" : serverMessage_;
        lock.unlock();
        // Whatever the stream was left holding, the next use opens it again.
        // A connection the server has closed meanwhile (it ends idle ones,
        // or restarted) fails before any answer: submit once more.
        lease->Discard();
        if (!retry) {
            return Outcome::kFailed;
        }
    }
}

bool BrowserSession::Launch(vr_handle handle, const std::string& submit) {
    // The library takes a new launch only once the last render's completion
    // callback has returned, a moment after that callback woke the thread
    // that launched it.
    for (int attempt = 0; attempt < 1000; ++attempt) {
        const vr_result result = vrRenderSpeechXMLAsync(handle, submit.c_str());
        if (result != VR_BUSY) {
            return result == VR_SUCCESS;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(attempt < 10 ? 10 : 1000));
    }
    return false;
}

int32_t VR_CDECL BrowserSession::OnPacket(void* user, PACKET_TYPE type, void* data,
                                          int32_t length) {
    // A connection given back to the pool has no user.
    return user != nullptr ? static_cast<BrowserSession*>(user)->Packet(type, data, length)
                           : VR_SUCCESS;
}

int32_t BrowserSession::Packet(PACKET_TYPE type, const void* data, int32_t length) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (type == PACKET_REQUEST_DONE) {
        requestDone_ = true;
        changed_.notify_all();
        return VR_SUCCESS;
    }
    if (job_ == nullptr) {
        return VR_SUCCESS;
    }
    if (StoppedLocked()) {
        return VR_ERROR;  // nothing more of this request is wanted
    }
    switch (type) {
        case PACKET_DATA_9: {
            vr_audio_format format;
            if (vr_decode_audio_format(data, length, &format) && format.sample_rate != 0 &&
                format.sample_rate != sampleRate_) {
                sampleRate_ = format.sample_rate;
                job_->sink->Send(EncodeFormat(sampleRate_));
            }
            break;
        }
        case PACKET_DATA_6: {
            const size_t bytes = static_cast<size_t>(std::max(length, 0)) & ~size_t{1};
            if (bytes > 0) {
                job_->sink->Send(EncodeAudio(data, bytes));
                sent_ += bytes / 2;
                requestOutput_ = true;
            }
            break;
        }
        case PACKET_DATA_8: {
            vr_mark_event mark;
            vr_word_mark word;
            uint32_t begin = 0, end = 0;
            if (!vr_decode_mark(data, length, &mark)) {
                break;
            }
            if (vr_is_final_mark(mark.name)) {
                finalMark_ = true;
            } else if (vr_parse_word_mark(mark.name, &word) &&
                       job_->text.WordRange(word.byte_offset, word.byte_length, &begin, &end)) {
                const uint64_t sample = requestBase_ + static_cast<uint64_t>(std::max(mark.sample_offset, 0));
                job_->sink->Send(EncodeWord(static_cast<uint32_t>(sample), begin, end));
                requestOutput_ = true;
            }
            break;
        }
        case PACKET_DATA_10: {
            const char* text = static_cast<const char*>(data);
            const std::string line(text, strnlen(text, static_cast<size_t>(std::max(length, 0))));
            if (line.compare(0, 7, "error: ") == 0) {
                serverMessage_ = line.substr(7);
            }
            break;
        }
        default:
            break;
    }
    return VR_SUCCESS;
}

}  // namespace web
}  // namespace vrelay
