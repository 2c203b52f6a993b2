// vrelay-say: speaks text through a speech server into a WAV file.
//
// The client side uses only the public interface (<vrelay/vrelay.h>), as any
// application would. Without --server it starts the reference server inside
// the process on a free loopback port.
//
// Audio is written as it arrives and plain text is read and pushed in blocks,
// so memory stays the same whatever the length of the text.
#include <pthread.h>
#include <signal.h>
#include <unistd.h>
#include <vrelay/vrelay.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "server/protocol.h"
#include "server/speech_server.h"
#include "tools/embedded_server.h"
#include "tools/resampler.h"
#include "tools/say_options.h"
#include "tools/submitted_text.h"
#include "tools/text_source.h"
#include "tools/timeline.h"
#include "tools/voice_choice.h"
#include "tools/wav_writer.h"

namespace {

using vrelay::tools::SayOptions;
using vrelay::tools::SubmittedText;
using vrelay::tools::TextSource;
using vrelay::tools::Timeline;
using vrelay::tools::VoiceEntry;
using vrelay::tools::WavWriter;

enum ExitCode {
    kExitOk = 0,
    kExitUsage = 1,
    kExitNoServer = 2,
    kExitUnknownVoice = 3,
    kExitCannotWrite = 4,
    kExitRenderFailed = 5,
};

constexpr bool kLittleEndian = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__;

std::string Plural(size_t count, const char* noun) {
    return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

// Sample offsets from the server count from the start of each request; this
// turns them into offsets from the start of the whole audio. A start offset
// below what the current request already produced means a new request.
class SampleClock {
  public:
    int64_t Absolute(int64_t offset) {
        if (offset < requestSamples_) {
            requestBase_ += requestSamples_;
            requestSamples_ = 0;
        }
        return requestBase_ + offset;
    }
    void AddAudio(size_t samples) { requestSamples_ += static_cast<int64_t>(samples); }

  private:
    int64_t requestBase_ = 0;
    int64_t requestSamples_ = 0;
};

// "speaking: 42%" on a terminal, ending at 100%; a word count when the
// length of the text is not known.
class Progress {
  public:
    Progress(bool enabled, int64_t totalBytes) : enabled_(enabled), total_(totalBytes) {}
    void Update(int64_t userOffset, size_t words) {
        if (!enabled_) {
            return;
        }
        if (total_ > 0) {
            const int percent = static_cast<int>(userOffset * 100 / total_);
            if (percent == shown_ || percent >= 100) {
                return;
            }
            shown_ = percent;
            std::fprintf(stderr, "\rspeaking: %d%%", percent);
        } else {
            std::fprintf(stderr, "\rspeaking: %s", Plural(words, "word").c_str());
        }
        std::fflush(stderr);
    }
    void Done() {
        if (enabled_) {
            // Spaces wipe the end of a longer word count.
            std::fprintf(stderr, "\rspeaking: 100%%%-12s\n", "");
        }
    }

  private:
    bool enabled_;
    int64_t total_;
    int shown_ = -1;
};

// Everything the packet callback does: audio to the WAV file (resampled when
// the server's rate differs from the file's), marks and phonemes printed as
// they arrive, the timeline fed. It runs on the thread that renders; the
// main thread touches it only before a render starts and after it ends.
struct Listener {
    Listener(SubmittedText* submitted, WavWriter* output, Progress* progressLine)
        : text(submitted), wav(output), progress(progressLine) {}

    SubmittedText* text;
    WavWriter* wav;
    Progress* progress;
    Timeline* timeline = nullptr;
    FILE* events = nullptr;  // where marks and phonemes go
    bool printMarks = false;
    bool printPhonemes = false;
    bool fixedRate = false;  // the file's rate was given (--sample-rate)

    int64_t requestBase = 0;  // submitted bytes before the current request
    uint32_t inputRate = 0;
    SampleClock clock;
    vrelay::tools::Resampler resampler;
    std::vector<int16_t> converted;
    std::vector<int16_t> decoded;
    size_t words = 0;
    std::vector<std::string> messages;
    std::string failure;  // why the output could not be written

    std::mutex mutex;
    std::condition_variable doneSignal;
    bool requestDone = false;

    double Seconds(int64_t sample) const {
        return static_cast<double>(sample) / (inputRate ? inputRate : 22050);
    }

    bool OnFormat(uint32_t rate) {
        if (rate == 0 || rate == inputRate) {
            return true;
        }
        if (!fixedRate && wav->Samples() == 0 && inputRate == 0) {
            wav->SetSampleRate(rate);
        }
        inputRate = rate;
        if (timeline != nullptr) {
            timeline->SetSampleRate(wav->SampleRate());
        }
        if (rate == wav->SampleRate()) {
            return true;
        }
        resampler.Flush(&converted);
        return resampler.Start(rate, wav->SampleRate(), &failure) && WriteConverted();
    }

    // Audio payload: 16-bit little-endian samples.
    bool OnAudio(const unsigned char* bytes, size_t size) {
        const size_t count = size / 2;
        if (kLittleEndian) {
            // The payload is in this machine's layout already; the copy aligns it.
            decoded.resize(count);
            std::memcpy(decoded.data(), bytes, count * 2);
        } else {
            decoded = vrelay::server::DecodeAudio(bytes, size);
        }
        const int16_t* samples = decoded.data();
        clock.AddAudio(count);
        if (resampler.InputRate() != 0 && resampler.InputRate() == inputRate) {
            resampler.Process(samples, count, &converted);
            return WriteConverted();
        }
        return Write(samples, count);
    }

    bool Write(const int16_t* samples, size_t count) {
        if (timeline != nullptr) {
            timeline->AddAudio(samples, count);
        }
        return wav->Write(samples, count, &failure);
    }

    bool WriteConverted() {
        const bool ok = Write(converted.data(), converted.size());
        converted.clear();
        return ok;
    }

    // The filter's delay still held by the resampler.
    bool Drain() {
        resampler.Flush(&converted);
        return WriteConverted();
    }

    void OnMark(int64_t requestSample, const std::string& name) {
        const int64_t sample = clock.Absolute(requestSample);
        // Word marks read kvtk_CHAR_BYTE_CHARS_BYTES.
        long long chars = 0, byte = 0, count = 0, bytes = 0;
        if (std::sscanf(name.c_str(), "kvtk_%lld_%lld_%lld_%lld", &chars, &byte, &count, &bytes) !=
            4) {
            return;
        }
        byte += requestBase;
        ++words;
        if (printMarks || timeline != nullptr) {
            const std::string word = text->UserText(byte, bytes);
            if (printMarks) {
                std::fprintf(events, "%9.3f  %s\n", Seconds(sample), word.c_str());
            }
            if (timeline != nullptr) {
                timeline->AddWord(Seconds(sample), word);
            }
        }
        progress->Update(text->UserOffset(byte), words);
        text->Forget(byte);
    }

    void OnPhoneme(const PhonemeEvent& event) {
        const int64_t sample = clock.Absolute(event.first);
        const char* name = event.phone ? event.phone : "";
        if (printPhonemes) {
            std::fprintf(events, "%9.3f %7.3f  %s\n", Seconds(sample), Seconds(event.value1), name);
        }
        if (timeline != nullptr) {
            timeline->AddPhoneme(Seconds(sample), name);
        }
    }
};

int32_t VR_CDECL OnPacket(void* user, PACKET_TYPE type, void* data, int32_t length) {
    auto* listener = static_cast<Listener*>(user);
    const auto* bytes = static_cast<const unsigned char*>(data);
    const size_t size = length > 0 ? static_cast<size_t>(length) : 0;
    bool ok = true;
    switch (type) {
        case PACKET_DATA_9: {
            vrelay::server::AudioFormat format;
            if (vrelay::server::DecodeFormat(bytes, size, &format)) {
                ok = listener->OnFormat(format.sample_rate);
            }
            break;
        }
        case PACKET_DATA_6:
            ok = listener->OnAudio(bytes, size);
            break;
        case PACKET_DATA_8: {
            vrelay::server::MarkReached mark;
            if (vrelay::server::DecodeMark(bytes, size, &mark)) {
                listener->OnMark(mark.sample, mark.name);
            }
            break;
        }
        case PACKET_PHONEME:
            listener->OnPhoneme(*static_cast<const PhonemeEvent*>(data));
            break;
        case PACKET_DATA_10:
            listener->messages.push_back(vrelay::server::DecodeText(bytes, size));
            break;
        case PACKET_REQUEST_DONE: {
            std::lock_guard<std::mutex> guard(listener->mutex);
            listener->requestDone = true;
            listener->doneSignal.notify_all();
            break;
        }
        default:
            break;
    }
    // A failed write stops the request: there is nowhere to put its audio.
    return ok ? VR_SUCCESS : VR_ERROR;
}

// The output being written, for the signal handler.
std::atomic<WavWriter*> g_output{nullptr};

// On SIGINT or SIGTERM the file keeps what was rendered, as a complete WAV;
// then the process ends by the signal as it would have.
void OnSignal(int signal) {
    if (WavWriter* wav = g_output.load()) {
        wav->FinishAfterSignal();
    }
    ::signal(signal, SIG_DFL);
    ::raise(signal);
}

int ListVoices(const std::vector<VoiceEntry>& voices, const std::string& language) {
    std::printf("%-28s %-8s %-8s %-24s %s\n", "NAME", "LANG", "SEX", "LANGUAGE", "RATE");
    size_t shown = 0;
    for (const VoiceEntry& voice : voices) {
        if (!language.empty() && !vrelay::tools::SpeaksLanguage(voice, language)) {
            continue;
        }
        std::printf("%-28s %-8s %-8s %-24s %d\n", voice.name.c_str(), voice.Tag().c_str(),
                    voice.sex.c_str(), voice.language.c_str(), voice.sampleRate);
        ++shown;
    }
    std::printf("%s\n", Plural(shown, "voice").c_str());
    if (shown == 0 && !language.empty()) {
        std::fprintf(stderr, "vrelay-say: no voice speaks \"%s\"\n", language.c_str());
        return kExitUnknownVoice;
    }
    return kExitOk;
}

// <prosody ...> with the options' values, or "" without any.
std::string ProsodyTag(const SayOptions& options) {
    std::string tag = "<prosody";
    if (!options.rate.empty())
        tag += " rate=\"" + options.rate + "\"";
    if (!options.pitch.empty())
        tag += " pitch=\"" + options.pitch + "\"";
    if (!options.volume.empty())
        tag += " volume=\"" + options.volume + "\"";
    return tag + ">";
}

// Plain text goes in requests of at most this many bytes: the library
// tokenises its input in pieces of 4096 bytes and can cut an entity ("&lt;")
// where two pieces meet, which splits the word around it.
constexpr size_t kRequestBytes = 4000;

// Renders the text. Plain text goes block by block, in requests that end
// after a sentence where they can; --stream pushes one request line by line;
// markup and --async go as one whole text. Each request is wrapped in the
// prosody element of the options.
vr_result Render(vr_handle connection, const SayOptions& options, TextSource* source,
                 SubmittedText* text, Listener* listener, bool* anyText) {
    const std::string open = options.Prosody() ? ProsodyTag(options) : std::string();
    const std::string close = options.Prosody() ? "</prosody>" : "";
    auto markup = [&](const std::string& tag) {
        return tag.empty() ? std::string() : text->AppendMarkup(tag);
    };
    std::string block;
    auto next = [&] {
        if (!source->Next(&block)) {
            return false;
        }
        *anyText = *anyText || block.find_first_not_of(" \t\r\n") != std::string::npos;
        return true;
    };

    vr_result result = VR_SUCCESS;
    if (options.stream) {
        // Word offsets count from the start of the stream.
        auto push = options.markup ? vrPushSpeechStreamXML : vrPushSpeechStream;
        auto flush = options.markup ? vrFlushSpeechStreamXML : vrFlushSpeechStream;
        std::string submit = markup(open);
        while (result == VR_SUCCESS && next()) {
            submit += text->AppendUser(block);
            result = push(connection, submit.c_str());
            submit.clear();
        }
        submit += markup(close);
        if (result == VR_SUCCESS && !submit.empty()) {
            result = push(connection, submit.c_str());
        }
        return result == VR_SUCCESS ? flush(connection) : result;
    }
    if (!options.async && !options.markup) {
        const size_t budget = kRequestBytes - open.size() - close.size();
        while (result == VR_SUCCESS && next()) {
            for (size_t at = 0; result == VR_SUCCESS && at < block.size();) {
                const size_t end = text->Fit(block, at, budget);
                // Word offsets count from the start of each request.
                listener->requestBase = text->SubmittedBytes();
                std::string submit = markup(open);
                submit += text->AppendUser(block.substr(at, end - at));
                submit += markup(close);
                result = vrRenderSpeech(connection, submit.c_str());
                at = end;
            }
        }
        return result;
    }
    std::string submit = markup(open);
    while (next()) {
        submit += text->AppendUser(block);
    }
    submit += markup(close);
    if (!*anyText) {
        return VR_SUCCESS;
    }
    if (!options.async) {
        return vrRenderSpeechXML(connection, submit.c_str());
    }
    result = options.markup ? vrRenderSpeechXMLAsync(connection, submit.c_str())
                            : vrRenderSpeechAsync(connection, submit.c_str());
    if (result == VR_SUCCESS) {
        std::unique_lock<std::mutex> lock(listener->mutex);
        listener->doneSignal.wait(lock, [&] { return listener->requestDone; });
    }
    return result;
}

}  // namespace

int main(int argc, char** argv) {
    SayOptions options;
    std::string error;
    if (!vrelay::tools::ParseSayArgs(argc, argv, &options, &error)) {
        std::fprintf(stderr, "vrelay-say: %s\n%s", error.c_str(), vrelay::tools::kSayUsage);
        return kExitUsage;
    }
    if (options.help) {
        std::fputs(vrelay::tools::kSayUsage, stdout);
        return kExitOk;
    }
    if (options.version) {
        std::printf("vrelay-say %s\n", VRELAY_VERSION_STRING);
        return kExitOk;
    }
    TextSource source;
    if (!options.listVoices) {
        if (!source.Open(options, &error)) {
            std::fprintf(stderr, "vrelay-say: %s\n", error.c_str());
            return kExitUsage;
        }
        if (source.KnownBlank()) {
            std::fprintf(stderr, "vrelay-say: no text to speak\n%s", vrelay::tools::kSayUsage);
            return kExitUsage;
        }
    }

    std::string host = "127.0.0.1";
    int port = 0;
    std::unique_ptr<vrelay::server::SpeechServer> embedded;
    if (!options.server.empty()) {
        if (!vrelay::tools::SplitHostPort(options.server, &host, &port)) {
            std::fprintf(stderr, "vrelay-say: --server wants HOST:PORT, not \"%s\"\n",
                         options.server.c_str());
            return kExitUsage;
        }
    } else {
        embedded = vrelay::tools::StartEmbeddedServer(options.engine, options.verbose, &error);
        if (!embedded) {
            std::fprintf(stderr, "vrelay-say: cannot start the speech server: %s\n", error.c_str());
            return kExitNoServer;
        }
        port = embedded->Port();
    }

    const vr_handle connection = vrCreateConnection();
    if (vrOpenConnection(connection, host.c_str(), port) != VR_SUCCESS) {
        std::fprintf(stderr, "vrelay-say: no speech server at %s:%d\n", host.c_str(), port);
        vrDestroyConnection(connection);
        return kExitNoServer;
    }
    struct Closer {
        vr_handle connection;
        ~Closer() { vrDestroyConnection(connection); }
    } closer{connection};

    // The voice is settled before the output exists: a wrong one leaves no
    // file behind.
    if (options.listVoices || !options.voice.empty()) {
        std::vector<VoiceEntry> voices;
        if (!vrelay::tools::ReadVoices(connection, &voices)) {
            std::fprintf(stderr, "vrelay-say: cannot read the voice list\n");
            return kExitNoServer;
        }
        if (options.listVoices) {
            return ListVoices(voices, options.listLanguage);
        }
        const VoiceEntry* voice = vrelay::tools::ChooseVoice(voices, options.voice);
        if (voice == nullptr) {
            std::fprintf(stderr, "vrelay-say: unknown voice \"%s\" (see --list-voices)\n",
                         options.voice.c_str());
            return kExitUnknownVoice;
        }
        if (vrSetVoice(connection, voice->name.c_str()) != VR_SUCCESS) {
            std::fprintf(stderr, "vrelay-say: the server did not take the voice \"%s\"\n",
                         voice->name.c_str());
            return kExitUnknownVoice;
        }
    }

    const auto encoding = options.encoding == "ulaw"   ? vrelay::tools::WavEncoding::kUlaw
                          : options.encoding == "alaw" ? vrelay::tools::WavEncoding::kAlaw
                                                       : vrelay::tools::WavEncoding::kPcm16;
    WavWriter wav(encoding);
    const bool toStdout = options.output == "-";
    const std::string outputName = toStdout ? "standard output" : options.output;
    if (!wav.Open(options.output, &error)) {
        std::fprintf(stderr, "vrelay-say: cannot write %s: %s\n", outputName.c_str(),
                     error.c_str());
        return kExitCannotWrite;
    }
    if (options.sampleRate > 0) {
        wav.SetSampleRate(static_cast<uint32_t>(options.sampleRate));
    }
    g_output = &wav;
    for (int signal : {SIGINT, SIGTERM}) {
        ::signal(signal, OnSignal);
    }

    SubmittedText text(!options.markup);
    Progress progress(!options.quiet && isatty(STDERR_FILENO) != 0, source.Size());
    Listener listener(&text, &wav, &progress);
    Timeline timeline;
    if (!options.timeline.empty()) {
        listener.timeline = &timeline;
        timeline.SetSampleRate(wav.SampleRate());
    }
    listener.fixedRate = options.sampleRate > 0;
    listener.printMarks = options.marks;
    listener.printPhonemes = options.phonemes;
    listener.events = toStdout ? stderr : stdout;
    if (!toStdout) {
        // Each mark and phoneme line shows as soon as it is printed.
        std::setvbuf(stdout, nullptr, _IOLBF, 0);
    }
    vrSetCallBack(connection, OnPacket);
    vrSetUserData(connection, &listener);

    bool anyText = false;
    vr_result result = Render(connection, options, &source, &text, &listener, &anyText);
    bool written = listener.failure.empty() && listener.Drain();
    vrCloseConnection(connection);
    if (!anyText && !options.stream) {
        g_output = nullptr;
        if (!toStdout) {
            std::remove(options.output.c_str());
        }
        std::fprintf(stderr, "vrelay-say: no text to speak\n%s", vrelay::tools::kSayUsage);
        return kExitUsage;
    }
    if (result == VR_SUCCESS) {
        progress.Done();
    } else if (isatty(STDERR_FILENO) && !options.quiet) {
        std::fputc('\n', stderr);
    }
    for (const auto& message : listener.messages) {
        std::fprintf(stderr, "vrelay-say: server: %s\n", message.c_str());
    }
    // The handler must not complete the file while Finish does, nor touch
    // the descriptor once closed.
    sigset_t stopping, previous;
    sigemptyset(&stopping);
    sigaddset(&stopping, SIGINT);
    sigaddset(&stopping, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopping, &previous);
    written = written && wav.Finish(&listener.failure);
    g_output = nullptr;
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (!written) {
        std::fprintf(stderr, "vrelay-say: cannot write %s: %s\n", outputName.c_str(),
                     listener.failure.c_str());
        return kExitCannotWrite;
    }
    int status = kExitOk;
    if (result != VR_SUCCESS) {
        std::fprintf(stderr, "vrelay-say: the render failed (result %d)\n", result);
        status = kExitRenderFailed;
    }
    if (!options.timeline.empty()) {
        std::ofstream svg(options.timeline, std::ios::binary);
        svg << timeline.Svg();
        if (!svg.flush()) {
            std::fprintf(stderr, "vrelay-say: cannot write %s\n", options.timeline.c_str());
            status = status == kExitOk ? kExitCannotWrite : status;
        }
    }
    if (!options.quiet) {
        std::fprintf(stderr, "wrote %s: %.2f s of %s audio at %u Hz, %s\n", outputName.c_str(),
                     static_cast<double>(wav.Samples()) / wav.SampleRate(),
                     options.encoding.c_str(), wav.SampleRate(),
                     Plural(listener.words, "word").c_str());
    }
    return status;
}
