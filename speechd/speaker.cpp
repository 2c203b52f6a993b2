// SPDX-License-Identifier: GPL-3.0-or-later
#include "speechd/speaker.h"

#include <signal.h>
#include <vrelay/vrelay_helpers.h>

#include <algorithm>

#include "speechd/module_protocol.h"

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

}  // namespace

Speaker::Speaker(ModuleOutput* output, ModuleLog* log)
    : output_(output), log_(log), connection_(vrCreateConnection()) {
    vrSetCallBack(connection_, &Speaker::OnPacket);
    vrSetUserData(connection_, this);
    // Signals are the main thread's business.
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &previous);
    thread_ = std::thread([this] { Run(); });
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

Speaker::~Speaker() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        quit_ = true;
        jobs_.clear();
    }
    wake_.notify_all();
    // The open message ends here. Destroying the connection ends whatever the
    // session's thread waits for in the library (a text's answer, a voice
    // selection), and every call that thread starts afterwards fails at once,
    // so the join never waits for a server that does not answer, whenever the
    // thread began its call. (Nothing else here makes connections meanwhile,
    // so the handle's number is not reused under it.)
    output_->CloseOpen(kStop);
    vrDestroyConnection(connection_);
    thread_.join();
}

bool Speaker::Connect(const std::string& host, int port, std::string* error) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        host_ = host;
        port_ = port;
    }
    const vr_result result = vrOpenConnection(connection_, host.c_str(), port);
    if (result != VR_SUCCESS) {
        *error = "no speech server at " + host + ":" + std::to_string(port) + " (" +
                 vr_result_name(result) + ")";
        broken_ = true;
        return false;
    }
    fresh_ = true;
    broken_ = false;
    return true;
}

bool Speaker::Voices(std::vector<frontend::VoiceEntry>* voices) {
    return frontend::ReadVoices(connection_, voices);
}

void Speaker::Speak(uint64_t id, std::string markup, std::string voice) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        jobs_.push_back(Job{id, std::move(markup), std::move(voice)});
    }
    wake_.notify_all();
}

void Speaker::Stop() {
    if (!output_->CloseOpen(kStop)) {
        return;
    }
    // The callback now refuses every packet, so the request ends at its next
    // one; the cancel ends it even while the server is silent, and rebuilds
    // the connection, which loses the voice selected on it.
    const vr_result result = vrCancelRequest(connection_);
    fresh_ = true;
    if (result != VR_SUCCESS) {
        broken_ = true;
    }
}

void Speaker::Pause(uint64_t id) {
    pauseId_ = id;
}

void Speaker::Run() {
    for (;;) {
        Job job;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait(lock, [this] { return quit_ || !jobs_.empty(); });
            if (quit_) {
                return;
            }
            job = std::move(jobs_.front());
            jobs_.pop_front();
        }
        SpeakJob(job);
    }
}

bool Speaker::Reopen() {
    std::string host;
    int port;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        host = host_;
        port = port_;
    }
    vrCloseConnection(connection_);
    const vr_result result = vrOpenConnection(connection_, host.c_str(), port);
    if (result != VR_SUCCESS) {
        log_->Write(2, "cannot reach the speech server at " + host + ":" + std::to_string(port) +
                           " (" + vr_result_name(result) + ")");
        return false;
    }
    log_->Write(3, "connected again to the speech server at " + host + ":" + std::to_string(port));
    selected_ = "";
    fresh_ = false;
    return true;
}

bool Speaker::SelectVoice(const std::string& voice) {
    if (fresh_.exchange(false)) {
        selected_ = "";
    }
    if (selected_ == voice) {
        return true;
    }
    if (voice.empty()) {
        return Reopen();  // a new session speaks with the server's default
    }
    const vr_result result = vrSetVoiceFast(connection_, voice.c_str());
    if (result != VR_SUCCESS) {
        log_->Write(2, "cannot select the voice \"" + voice + "\" (" + vr_result_name(result) + ")");
        return false;
    }
    selected_ = voice;
    return true;
}

void Speaker::SpeakJob(const Job& job) {
    render_ = Render();
    render_.id = job.id;
    if (!output_->IsOpen(job.id)) {
        return;  // stopped before it started
    }
    if ((broken_.exchange(false) && !Reopen()) || !SelectVoice(job.voice)) {
        broken_ = true;
        output_->Close(job.id, kStop);
        return;
    }
    log_->Write(5, "speaking: " + job.markup);
    const vr_result result = vrRenderSpeechXML(connection_, job.markup.c_str());
    if (job.markup.find("<voice") != std::string::npos) {
        selected_.reset();  // the library switched voices inside the text
    }
    if (result == VR_SUCCESS) {
        // Marks after the last audio.
        while (!render_.marks.empty()) {
            const Mark mark = std::move(render_.marks.front());
            render_.marks.pop_front();
            if (!WriteMark(mark)) {
                return;
            }
        }
        output_->Close(job.id, kEnd);
        return;
    }
    if (output_->Close(job.id, kStop)) {
        log_->Write(2, std::string("the speech server failed (") + vr_result_name(result) + ")");
    }
    // A request stopped by its callback (which the library reports as
    // cancelled), or by a failing server, leaves the stream unusable; one
    // cancelled by Stop was rebuilt by the cancel.
    if (result != VR_CANCELLED || render_.refused) {
        broken_ = true;
    }
}

int32_t VR_CDECL Speaker::OnPacket(void* self, PACKET_TYPE type, void* data, int32_t length) {
    auto* speaker = static_cast<Speaker*>(self);
    const auto* bytes = static_cast<const unsigned char*>(data);
    bool go_on = true;
    switch (type) {
        case PACKET_DATA_9: {
            vr_audio_format format;
            if (vr_decode_audio_format(data, length, &format) && format.sample_rate > 0) {
                speaker->render_.rate = format.sample_rate;
            }
            break;
        }
        case PACKET_DATA_6:
            go_on = speaker->OnAudio(bytes, length > 0 ? static_cast<size_t>(length) : 0);
            break;
        case PACKET_DATA_8: {
            vr_mark_event mark;
            if (vr_decode_mark(data, length, &mark)) {
                go_on = speaker->OnMark(mark.sample_offset, mark.name);
            }
            break;
        }
        case PACKET_DATA_10:
            if (length > 0) {
                const auto* text = static_cast<const char*>(data);
                speaker->log_->Write(2, "speech server: " +
                                            std::string(text, strnlen(text, length)));
            }
            break;
        default:
            break;
    }
    // Refusing stops the request: the message was stopped or paused.
    if (!go_on) {
        speaker->render_.refused = true;
        return VR_ERROR;
    }
    return VR_SUCCESS;
}

bool Speaker::OnMark(int64_t sample, const std::string& name) {
    vr_word_mark word;
    if (vr_parse_word_mark(name.c_str(), &word) || vr_is_final_mark(name.c_str())) {
        return output_->IsOpen(render_.id);  // the library's own marks
    }
    Mark mark{sample, name};
    if (render_.marks.empty() && sample <= render_.sent) {
        return WriteMark(mark);
    }
    render_.marks.push_back(std::move(mark));
    return true;
}

bool Speaker::WriteMark(const Mark& mark) {
    if (!output_->Event(render_.id, FormatIndexMark(mark.name))) {
        return false;
    }
    if (IsResumePoint(mark.name) && pauseId_ == render_.id) {
        output_->Close(render_.id, kPause);
        return false;
    }
    return true;
}

bool Speaker::OnAudio(const unsigned char* pcm, size_t bytes) {
    const int64_t samples = static_cast<int64_t>(bytes / 2);
    const int64_t start = render_.sent;
    int64_t done = 0;  // samples of this packet written
    // Each mark goes out between the audio before it and the audio after.
    while (!render_.marks.empty() && render_.marks.front().sample < start + samples) {
        const int64_t cut = std::max(done, render_.marks.front().sample - start);
        if (cut > done &&
            !output_->Event(render_.id, FormatAudio(pcm + done * 2, static_cast<size_t>(cut - done) * 2,
                                                    render_.rate))) {
            return false;
        }
        done = cut;
        render_.sent = start + done;
        const Mark mark = std::move(render_.marks.front());
        render_.marks.pop_front();
        if (!WriteMark(mark)) {
            return false;
        }
    }
    render_.sent = start + samples;
    return done == samples ||
           output_->Event(render_.id, FormatAudio(pcm + done * 2,
                                                  static_cast<size_t>(samples - done) * 2,
                                                  render_.rate));
}

}  // namespace speechd
}  // namespace vrelay
