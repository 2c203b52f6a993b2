// SPDX-License-Identifier: GPL-3.0-or-later
#include "speechd/speaker.h"

#include <algorithm>
#include <deque>
#include <memory>

#include "speechd/module_protocol.h"
#include "wire/payload.h"

namespace vrelay {
namespace speechd {

namespace {

const std::string kEnd = "702 END\n";
const std::string kStop = "703 STOP\n";
const std::string kPause = "704 PAUSE\n";

// Speech Dispatcher resumes a paused message from its own marks.
bool IsResumePoint(const std::string& name) {
    return name.compare(0, 6, "__spd_") == 0;
}

std::string Named(const std::string& voice) {
    return voice.empty() ? "the server's default voice" : "\"" + voice + "\"";
}

}  // namespace

// One message's events into the output, on the worker's thread. Each index
// mark goes out between the audio before it and the audio after it.
class Speaker::MessageSink : public frontend::JobSink {
  public:
    MessageSink(Speaker* speaker, uint64_t id, Message message)
        : speaker_(speaker), id_(id), message_(std::move(message)) {}

    bool OnFormat(uint32_t sampleRate) override {
        rate_ = sampleRate;
        return true;
    }
    bool OnAudio(const int16_t* samples, size_t count, int64_t first) override;
    bool OnWord(const frontend::WordEvent&) override { return speaker_->output_->IsOpen(id_); }
    bool OnMark(const std::string& name, int64_t sample) override;
    void OnMessage(const std::string& text, bool error) override {
        speaker_->log_->Write(error ? 2 : 3, "speech server: " + text);
    }
    void OnResume(const std::string& notice) override { speaker_->log_->Write(2, notice); }
    void OnEnd(const frontend::JobEnd& end) override;

  private:
    struct Mark {
        int64_t sample = 0;
        std::string name;
    };

    bool WriteAudio(const int16_t* samples, size_t count);
    // False when the message ends with it: paused, or closed already.
    bool WriteMark(const Mark& mark);

    Speaker* const speaker_;
    const uint64_t id_;
    const Message message_;
    uint32_t rate_ = 22050;
    int64_t written_ = 0;     // the job's samples written
    std::deque<Mark> marks_;  // reached by the server, their audio not yet written
};

bool Speaker::MessageSink::WriteAudio(const int16_t* samples, size_t count) {
    if (count == 0) {
        return true;
    }
    if (__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__) {
        return speaker_->output_->Event(
            id_, FormatAudio(reinterpret_cast<const unsigned char*>(samples), count * 2, rate_));
    }
    const std::vector<unsigned char> bytes = wire::EncodeAudio(samples, count);
    return speaker_->output_->Event(id_, FormatAudio(bytes.data(), bytes.size(), rate_));
}

bool Speaker::MessageSink::WriteMark(const Mark& mark) {
    if (!speaker_->output_->Event(id_, FormatIndexMark(mark.name))) {
        return false;
    }
    if (IsResumePoint(mark.name) && speaker_->PauseAsked(id_)) {
        speaker_->output_->Close(id_, kPause);
        return false;
    }
    return true;
}

bool Speaker::MessageSink::OnMark(const std::string& name, int64_t sample) {
    Mark mark{sample, name};
    if (marks_.empty() && sample <= written_) {
        return WriteMark(mark);
    }
    marks_.push_back(std::move(mark));
    return true;
}

bool Speaker::MessageSink::OnAudio(const int16_t* samples, size_t count, int64_t first) {
    const int64_t end = first + static_cast<int64_t>(count);
    int64_t done = 0;  // samples of this piece written
    while (!marks_.empty() && marks_.front().sample < end) {
        const int64_t cut = std::max(done, marks_.front().sample - first);
        if (!WriteAudio(samples + done, static_cast<size_t>(cut - done))) {
            return false;
        }
        done = cut;
        written_ = first + done;
        const Mark mark = std::move(marks_.front());
        marks_.pop_front();
        if (!WriteMark(mark)) {
            return false;
        }
    }
    written_ = end;
    return WriteAudio(samples + done, count - static_cast<size_t>(done));
}

void Speaker::MessageSink::OnEnd(const frontend::JobEnd& end) {
    using Outcome = frontend::JobEnd::Outcome;
    if (end.outcome == Outcome::kDone) {
        // Marks after the last audio.
        for (const Mark& mark : marks_) {
            if (!WriteMark(mark)) {
                return;
            }
        }
        speaker_->output_->Close(id_, kEnd);
        return;
    }
    if (end.outcome == Outcome::kFailed && end.exitCode == frontend::kExitUnknownVoice &&
        written_ == 0 && speaker_->TryNextVoice(id_, message_)) {
        return;
    }
    if (speaker_->output_->Close(id_, kStop) && end.outcome == Outcome::kFailed) {
        speaker_->log_->Write(2, "the speech failed: " + end.reason);
    }
}

Speaker::Speaker(ModuleOutput* output, ModuleLog* log, frontend::WorkerOptions options)
    : output_(output), log_(log), worker_(std::move(options)) {}

Speaker::~Speaker() {
    // The cancel frees whatever the worker waits for in the library (a text's
    // answer, a voice selection), so the module ends at once even while the
    // server is silent.
    output_->CloseOpen(kStop);
    worker_.Close();
}

bool Speaker::Voices(std::vector<frontend::VoiceEntry>* voices, std::string* error) {
    frontend::JobEnd failure;
    if (worker_.Voices(voices, &failure)) {
        return true;
    }
    *error = failure.reason.empty() ? "the speech server gave no voice list" : failure.reason;
    return false;
}

void Speaker::Speak(uint64_t id, Message message) {
    log_->Write(5, "speaking: " + message.markup);
    Submit(id, std::move(message));
}

std::vector<std::string> Speaker::KnownVoices(std::vector<std::string> voices) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        voices.erase(std::remove_if(voices.begin(), voices.end(),
                                    [&](const std::string& v) { return unknown_voices_.count(v); }),
                     voices.end());
    }
    if (voices.empty()) {
        voices.push_back("");  // the server's default is always there
    }
    return voices;
}

void Speaker::Submit(uint64_t id, Message message) {
    message.voices = KnownVoices(std::move(message.voices));
    frontend::SpeechJob job;
    job.text = message.markup;
    job.markup = true;
    job.voice = message.voices.front();
    job.prosody = message.prosody;
    job.spell = message.spell;
    job.sink = std::make_shared<MessageSink>(this, id, std::move(message));
    worker_.Submit(std::move(job));
}

bool Speaker::TryNextVoice(uint64_t id, Message message) {
    const std::string unknown = message.voices.front();
    if (unknown.empty() || !output_->IsOpen(id)) {
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        unknown_voices_.insert(unknown);
    }
    message.voices = KnownVoices(std::move(message.voices));
    log_->Write(3, "the speech server has no voice \"" + unknown + "\": speaking with " +
                       Named(message.voices.front()) + " instead");
    Submit(id, std::move(message));
    return true;
}

void Speaker::Stop() {
    if (output_->CloseOpen(kStop)) {
        worker_.Stop();
    }
}

}  // namespace speechd
}  // namespace vrelay
