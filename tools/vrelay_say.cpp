// SPDX-License-Identifier: GPL-3.0-or-later
// vrelay-say: speaks text through a speech server, out loud through the
// sound server or into a WAV file.
//
// The client side uses only the public interface (<vrelay/vrelay.h>), as any
// application would. Without --server it starts the reference server inside
// the process on a free loopback port.
//
// Audio is played and written as it arrives and plain text is read and pushed
// in blocks, so memory stays the same whatever the length of the text.
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>
#include <vrelay/vrelay.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "server/exit_codes.h"
#include "server/markup.h"
#include "server/protocol.h"
#include "server/speech_server.h"
#include "tools/embedded_server.h"
#include "tools/follower.h"
#include "tools/player.h"
#include "tools/resampler.h"
#include "tools/say_options.h"
#include "tools/submitted_text.h"
#include "tools/text_source.h"
#include "tools/timeline.h"
#include "tools/voice_choice.h"
#include "tools/wav_writer.h"

namespace {

using vrelay::tools::Follower;
using vrelay::tools::Player;
using vrelay::tools::SayOptions;
using vrelay::tools::SubmittedText;
using vrelay::tools::TextSource;
using vrelay::tools::Timeline;
using vrelay::tools::VoiceEntry;
using vrelay::tools::WavWriter;

constexpr bool kLittleEndian = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__;

std::string Plural(size_t count, const char* noun) {
    return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

int Usage(const std::string& message) {
    std::fprintf(stderr, "vrelay-say: %s\nTry 'vrelay-say --help' for more information.\n",
                 message.c_str());
    return vrelay::kExitUsage;
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
    // A line that follows must start on a line of its own.
    void Interrupted() {
        if (enabled_ && shown_ != -2) {
            std::fputc('\n', stderr);
            shown_ = -2;
        }
    }

  private:
    bool enabled_;
    int64_t total_;
    int shown_ = -1;
};

// A word as the user wrote it: in markup, with its entities decoded and any
// tag inside it left out.
std::string AsWritten(const std::string& word, bool markup) {
    if (!markup || word.find_first_of("&<") == std::string::npos) {
        return word;
    }
    std::string text;
    for (size_t i = 0; i < word.size(); ++i) {
        if (word[i] == '<') {
            const size_t end = word.find('>', i);
            if (end != std::string::npos) {
                i = end;
                continue;
            }
        }
        text.push_back(word[i]);
    }
    return vrelay::server::DecodeEntities(text);
}

// Everything the packet callback does: audio to the sound server and the WAV
// file (resampled when the server's rate differs from the file's), marks and
// phonemes printed as they arrive, words handed to the follower, the timeline
// fed. It runs on the thread that renders; the main thread touches it only
// before a render starts and after it ends.
struct Listener {
    SubmittedText* text = nullptr;
    WavWriter* wav = nullptr;  // null when no file is written
    Player* player = nullptr;  // null when nothing is played
    Follower* follower = nullptr;
    Progress* progress = nullptr;
    Timeline* timeline = nullptr;
    FILE* events = stdout;  // where marks and phonemes go
    bool printMarks = false;
    bool printPhonemes = false;
    bool printed = false;  // lines wait in events' buffer
    bool markup = false;
    bool fixedRate = false;  // the file's rate was given (--sample-rate)

    int64_t requestBase = 0;  // submitted bytes before the current request
    uint32_t inputRate = 0;
    uint32_t outputRate = 0;
    SampleClock clock;
    vrelay::tools::Resampler resampler;
    std::vector<int16_t> converted;
    std::vector<int16_t> decoded;
    size_t words = 0;
    std::vector<std::string> messages;
    std::string failure;      // why the output could not be written
    std::string playFailure;  // why the audio could not be played

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
        if (player != nullptr && !player->Open(rate, &playFailure)) {
            return false;
        }
        const bool first = inputRate == 0;
        inputRate = rate;
        if (wav != nullptr && !fixedRate && first && wav->Samples() == 0) {
            wav->SetSampleRate(rate);
        }
        outputRate = wav != nullptr ? wav->SampleRate() : rate;
        if (timeline != nullptr) {
            timeline->SetSampleRate(outputRate);
        }
        resampler.Flush(&converted);
        if (!WriteConverted()) {
            return false;
        }
        return rate == outputRate || resampler.Start(rate, outputRate, &failure);
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
        // The marks and phonemes printed come before this audio: they show
        // with it, in one write rather than one a line.
        if (printed) {
            std::fflush(events);
            printed = false;
        }
        if (player != nullptr && !player->Write(samples, count, &playFailure)) {
            return false;
        }
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
        return wav == nullptr || wav->Write(samples, count, &failure);
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
        if (printMarks || timeline != nullptr || follower != nullptr) {
            const std::string word = AsWritten(text->UserText(byte, bytes), markup);
            if (printMarks) {
                std::fprintf(events, "%9.3f  %s\n", Seconds(sample), word.c_str());
                printed = true;
            }
            if (timeline != nullptr) {
                timeline->AddWord(Seconds(sample), word);
            }
            if (follower != nullptr) {
                follower->Add(sample, Seconds(sample), word);
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
            printed = true;
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

// What the signal handler finishes: the output being written, and a line
// of the word display to end.
std::atomic<WavWriter*> g_output{nullptr};
std::atomic<bool> g_displayOnTerminal{false};

// On SIGINT or SIGTERM the file keeps what was rendered, as a complete WAV
// under its name; the sound stops as the process ends (the sound server drops
// the stream of a client that is gone). Then the process ends by the signal
// as it would have. A crash (of the speech engine running in this process,
// say) keeps the file the same way.
void OnSignal(int signal) {
    WavWriter* wav = g_output.exchange(nullptr);
    if (wav != nullptr) {
        wav->FinishAfterSignal();
    }
    if (g_displayOnTerminal.load()) {
        static const char kEnd[] = "\x1b[0m\n";
        const ssize_t ignored = ::write(STDOUT_FILENO, kEnd, sizeof kEnd - 1);
        (void)ignored;
    }
    if (signal != SIGINT && signal != SIGTERM && wav != nullptr) {
        static const char kCrash[] = "vrelay-say: crashed; the file keeps what was spoken\n";
        const ssize_t ignored = ::write(STDERR_FILENO, kCrash, sizeof kCrash - 1);
        (void)ignored;
    }
    ::signal(signal, SIG_DFL);
    ::raise(signal);
}

int ListVoices(const std::vector<VoiceEntry>& voices, const std::string& language) {
    std::printf("%-28s %-8s %-8s %-24s %s\n", "NAME", "LANG", "SEX", "LANGUAGE", "RATE");
    size_t shown = 0;
    std::string variants;
    for (const VoiceEntry& voice : voices) {
        if (voice.IsVariant()) {
            variants += " " + voice.name.substr(1) + (voice.sex.empty() ? "" : "/") +
                        voice.sex.substr(0, 1);
            continue;
        }
        if (!language.empty() && !vrelay::tools::SpeaksLanguage(voice, language)) {
            continue;
        }
        std::printf("%-28s %-8s %-8s %-24s %d\n", voice.name.c_str(), voice.Tag().c_str(),
                    voice.sex.c_str(), voice.language.c_str(), voice.sampleRate);
        ++shown;
    }
    std::printf("%s\n", Plural(shown, "voice").c_str());
    if (!variants.empty()) {
        std::printf("variants (LANG+VARIANT, as en+f3; f female, m male):%s\n", variants.c_str());
    }
    if (shown == 0 && !language.empty()) {
        std::fprintf(stderr, "vrelay-say: no voice speaks \"%s\"\n", language.c_str());
        return vrelay::kExitUnknownVoice;
    }
    return vrelay::kExitOk;
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
// Played, a request's answer comes at the pace of the sound: requests of a
// few sentences keep each answer well inside the server's time for one.
constexpr size_t kPlayedRequestBytes = 600;

// Open elements after the markup of text, from depth on: start tags add one,
// end tags take one. A tag cut by the end of the text counts as open.
int MarkupDepth(const std::string& text, int depth) {
    for (size_t at = text.find('<'); at != std::string::npos; at = text.find('<', at + 1)) {
        const size_t end = text.find('>', at);
        if (end == std::string::npos) {
            return depth + 1;
        }
        vrelay::server::Tag tag;
        if (vrelay::server::ParseTag(text.substr(at, end + 1 - at), &tag)) {
            depth += tag.kind == vrelay::server::Tag::kOpen    ? 1
                     : tag.kind == vrelay::server::Tag::kClose ? -1
                                                               : 0;
        }
        at = end;
    }
    return std::max(depth, 0);
}

// The server's messages: errors ("error: server busy") with the prefix taken
// off, the others as they are.
std::string ServerReason(const std::vector<std::string>& messages) {
    const std::string prefix = vrelay::server::kErrorPrefix;
    for (const std::string& message : messages) {
        if (message.compare(0, prefix.size(), prefix) == 0) {
            return message.substr(prefix.size());
        }
    }
    return "";
}

// Renders the text. Plain text goes block by block, in requests that end
// after a sentence where they can; --stream pushes the text as it comes and
// ends a request at each line or sentence end (in markup, at one outside any
// element), so that it is spoken at once; markup and --async go as one whole
// text. Each request is wrapped in the prosody element of the options.
vr_result Render(vr_handle connection, const SayOptions& options, TextSource* source,
                 SubmittedText* text, Listener* listener, bool* anyText) {
    const std::string open = options.Prosody() ? ProsodyTag(options) : std::string();
    const std::string close = options.Prosody() ? "</prosody>" : "";
    auto markup = [&](const std::string& tag) {
        return tag.empty() ? std::string() : text->AppendMarkup(tag);
    };
    std::string block;
    auto next = [&] {
        // Once the server has said why it stopped, nothing more is sent.
        if (!ServerReason(listener->messages).empty()) {
            return false;
        }
        for (const std::string& notice : source->TakeNotices()) {
            std::fprintf(stderr, "vrelay-say: %s\n", notice.c_str());
        }
        if (!source->Next(&block)) {
            return false;
        }
        *anyText = *anyText || block.find_first_not_of(" \t\r\n") != std::string::npos;
        return true;
    };

    vr_result result = VR_SUCCESS;
    if (options.stream) {
        auto push = options.markup ? vrPushSpeechStreamXML : vrPushSpeechStream;
        auto flush = options.markup ? vrFlushSpeechStreamXML : vrFlushSpeechStream;
        std::string submit;
        int depth = 0;
        bool inRequest = false;
        while (result == VR_SUCCESS && next()) {
            if (!inRequest) {
                // Word offsets count from the start of each stream.
                listener->requestBase = text->SubmittedBytes();
                submit = markup(open);
                inRequest = true;
            }
            submit += text->AppendUser(block);
            depth = options.markup ? MarkupDepth(block, depth) : 0;
            if (depth > 0) {
                result = push(connection, submit.c_str());
                submit.clear();
                continue;
            }
            submit += markup(close);
            result = push(connection, submit.c_str());
            result = result == VR_SUCCESS ? flush(connection) : result;
            std::fflush(listener->events);
            inRequest = false;
        }
        if (result == VR_SUCCESS && inRequest) {
            result = push(connection, (submit + markup(close)).c_str());
            result = result == VR_SUCCESS ? flush(connection) : result;
        }
        return result;
    }
    if (!options.async && !options.markup) {
        const size_t limit = options.play ? kPlayedRequestBytes : kRequestBytes;
        const size_t budget = limit - open.size() - close.size();
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
        return options.markup ? vrRenderSpeechXML(connection, submit.c_str())
                              : vrRenderSpeech(connection, submit.c_str());
    }
    result = options.markup ? vrRenderSpeechXMLAsync(connection, submit.c_str())
                            : vrRenderSpeechAsync(connection, submit.c_str());
    if (result == VR_SUCCESS) {
        std::unique_lock<std::mutex> lock(listener->mutex);
        listener->doneSignal.wait(lock, [&] { return listener->requestDone; });
    }
    return result;
}

int TerminalColumns(FILE* out) {
    if (isatty(fileno(out)) == 0) {
        return 0;
    }
    winsize size{};
    return ::ioctl(fileno(out), TIOCGWINSZ, &size) == 0 && size.ws_col > 10 ? size.ws_col : 80;
}

}  // namespace

int main(int argc, char** argv) {
    SayOptions options;
    std::string error;
    if (!vrelay::tools::ParseSayArgs(argc, argv, &options, &error)) {
        return Usage(error);
    }
    if (options.help) {
        std::fputs(vrelay::tools::kSayUsage, stdout);
        return vrelay::kExitOk;
    }
    if (options.version) {
        std::printf("vrelay-say %s\n", VRELAY_VERSION_STRING);
        return vrelay::kExitOk;
    }
    // This tool says in its own words what went wrong, and its standard
    // output may carry audio: the library's own warnings and log lines (and
    // the embedded server's) go nowhere unless --verbose asks for them, on
    // standard error. A VRELAY_MESSAGES the user set wins.
    setenv("VRELAY_MESSAGES", options.verbose ? "stderr" : "none", 0);
    std::string host = "127.0.0.1";
    int port = 0;
    if (!options.server.empty() && !vrelay::tools::SplitHostPort(options.server, &host, &port)) {
        return Usage("--server wants HOST:PORT, not \"" + options.server + "\"");
    }
    TextSource source(options.markup);
    if (!options.listVoices) {
        if (!source.Open(options, &error)) {
            std::fprintf(stderr, "vrelay-say: %s\n", error.c_str());
            return vrelay::kExitInput;
        }
        if (source.KnownBlank()) {
            std::fprintf(stderr, "vrelay-say: there is no text to speak\n");
            return vrelay::kExitInput;
        }
    }

    // The speech server starts on a thread of its own while the sound server
    // and the connection are made here: what comes first costs only the
    // longest of the three.
    std::unique_ptr<vrelay::server::SpeechServer> embedded;
    struct Starter {
        std::thread thread;
        bool started = true;
        std::string error;
        ~Starter() { Join(); }
        void Join() {
            if (thread.joinable()) {
                thread.join();
            }
        }
    } starter;
    if (options.server.empty()) {
        vrelay::server::ServerOptions serverOptions =
            vrelay::tools::EmbeddedServerOptions(options.engine, options.verbose);
        // This program is its only client: synthesis stays in this process
        // and a unit's first audio leaves before the rest is synthesised.
        serverOptions.max_sessions = 1;
        if (options.play) {
            // Answers come at the pace of the sound: an hour per text packet.
            serverOptions.limits.request_timeout_ms = 3600 * 1000;
        }
        embedded = std::make_unique<vrelay::server::SpeechServer>(serverOptions);
        starter.thread = std::thread([&] { starter.started = embedded->Start(&starter.error); });
    }
    std::unique_ptr<Player> player;
    if (options.play && !options.listVoices) {
        player = std::make_unique<Player>();
        if (!player->Open(22050, &error)) {
            std::fprintf(stderr,
                         "vrelay-say: no sound server to play through (%s); -o FILE writes a WAV "
                         "file instead\n",
                         error.c_str());
            return vrelay::kExitNoSound;
        }
    }
    const vr_handle connection = vrCreateConnection();
    struct Closer {
        vr_handle connection;
        ~Closer() { vrDestroyConnection(connection); }
    } closer{connection};
    starter.Join();
    if (!starter.started) {
        std::fprintf(stderr, "vrelay-say: cannot start the speech server: %s\n",
                     starter.error.c_str());
        return vrelay::kExitNoServer;
    }
    if (embedded != nullptr) {
        port = embedded->Port();
    }
    if (vrOpenConnection(connection, host.c_str(), port) != VR_SUCCESS) {
        std::fprintf(stderr, "vrelay-say: no speech server at %s:%d\n", host.c_str(), port);
        return vrelay::kExitNoServer;
    }

    SubmittedText text(!options.markup);
    const bool toStdout = options.output == "-";
    FILE* events = toStdout ? stderr : stdout;
    const int columns = options.follow ? TerminalColumns(events) : 0;
    Progress progress(!options.quiet && !options.follow && isatty(STDERR_FILENO) != 0,
                      source.Size());
    Listener listener;
    listener.text = &text;
    listener.progress = &progress;
    listener.markup = options.markup;
    // Set before any query: the server's messages (a refusal) come to it.
    vrSetCallBack(connection, OnPacket);
    vrSetUserData(connection, &listener);
    const auto refused = [&](const char* otherwise) {
        const std::string reason = ServerReason(listener.messages);
        std::fprintf(stderr, "vrelay-say: %s%s\n",
                     reason.empty() ? otherwise : "the server refused: ", reason.c_str());
        return reason.empty() ? vrelay::kExitNoServer : vrelay::kExitSpeechFailed;
    };

    // The voice is settled before the output exists: a wrong one leaves no
    // file behind.
    if (options.listVoices || !options.voice.empty()) {
        // The voice list is read apart from the callback: a query through it
        // first hears a refusal ("server busy") if there is one.
        vrQueryServer(connection, "<voice name=\"all\"/>");
        if (!ServerReason(listener.messages).empty()) {
            return refused("");
        }
        std::vector<VoiceEntry> voices;
        if (!vrelay::tools::ReadVoices(connection, &voices)) {
            return refused("cannot read the voice list");
        }
        if (options.listVoices) {
            return ListVoices(voices, options.listLanguage);
        }
        const std::string name = vrelay::tools::ChooseVoiceName(voices, options.voice);
        listener.messages.clear();
        if (name.empty() || vrSetVoiceFast(connection, name.c_str()) != VR_SUCCESS ||
            !ServerReason(listener.messages).empty()) {
            std::fprintf(stderr, "vrelay-say: unknown voice \"%s\" (see --list-voices)\n",
                         options.voice.c_str());
            return vrelay::kExitUnknownVoice;
        }
    }

    const auto encoding = options.encoding == "ulaw"   ? vrelay::tools::WavEncoding::kUlaw
                          : options.encoding == "alaw" ? vrelay::tools::WavEncoding::kAlaw
                                                       : vrelay::tools::WavEncoding::kPcm16;
    std::unique_ptr<WavWriter> wav;
    const std::string outputName = toStdout ? "standard output" : options.output;
    if (!options.output.empty()) {
        wav = std::make_unique<WavWriter>(encoding);
        if (!wav->Open(options.output, &error)) {
            std::fprintf(stderr, "vrelay-say: cannot write %s: %s\n", outputName.c_str(),
                         error.c_str());
            return vrelay::kExitOutput;
        }
        if (options.sampleRate > 0) {
            wav->SetSampleRate(static_cast<uint32_t>(options.sampleRate));
        }
        g_output = wav.get();
        // A crash keeps what was written, too.
        for (int signal : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT}) {
            ::signal(signal, OnSignal);
        }
    }
    for (int signal : {SIGINT, SIGTERM}) {
        ::signal(signal, OnSignal);
    }

    Timeline timeline;
    if (!options.timeline.empty()) {
        listener.timeline = &timeline;
        timeline.SetSampleRate(wav != nullptr ? wav->SampleRate() : 22050);
    }
    std::unique_ptr<Follower> follower;
    if (options.follow && player != nullptr) {
        Player* clock = player.get();
        follower = std::make_unique<Follower>([clock] { return clock->Heard(); }, events, columns);
        listener.follower = follower.get();
        g_displayOnTerminal = columns > 0;
    }
    listener.wav = wav.get();
    listener.player = player.get();
    listener.fixedRate = options.sampleRate > 0;
    listener.printMarks = options.marks;
    listener.printPhonemes = options.phonemes;
    listener.events = events;
    if (!toStdout) {
        // On a terminal each mark and phoneme line shows as soon as it is
        // printed; elsewhere with the audio that follows it.
        std::setvbuf(stdout, nullptr, isatty(STDOUT_FILENO) ? _IOLBF : _IOFBF, 1 << 16);
    }
    listener.messages.clear();

    bool anyText = false;
    vr_result result = Render(connection, options, &source, &text, &listener, &anyText);
    bool written = listener.failure.empty() && listener.Drain();
    vrCloseConnection(connection);
    if (player != nullptr && result == VR_SUCCESS && listener.playFailure.empty()) {
        player->Drain(&listener.playFailure);
    }
    if (follower != nullptr) {
        follower->Finish();
        g_displayOnTerminal = false;
    }
    for (const std::string& notice : source.TakeNotices()) {
        std::fprintf(stderr, "vrelay-say: %s\n", notice.c_str());
    }
    if (!source.Error().empty()) {
        progress.Interrupted();
        std::fprintf(stderr, "vrelay-say: %s\n", source.Error().c_str());
    }
    if (!anyText && source.Error().empty()) {
        g_output = nullptr;
        if (wav != nullptr) {
            wav->Discard();
        }
        std::fprintf(stderr, "vrelay-say: there is no text to speak\n");
        return vrelay::kExitInput;
    }
    if (result == VR_SUCCESS && source.Error().empty()) {
        progress.Done();
    } else {
        progress.Interrupted();
    }
    const std::string reason = ServerReason(listener.messages);
    for (const auto& message : listener.messages) {
        if (message.compare(0, std::strlen(vrelay::server::kErrorPrefix),
                            vrelay::server::kErrorPrefix) != 0) {
            std::fprintf(stderr, "vrelay-say: server: %s\n", message.c_str());
        }
    }
    if (!listener.playFailure.empty()) {
        std::fprintf(stderr, "vrelay-say: cannot play: %s\n", listener.playFailure.c_str());
    }
    // The handler must not complete the file while Finish does, nor touch
    // the descriptor once closed.
    sigset_t stopping, previous;
    sigemptyset(&stopping);
    sigaddset(&stopping, SIGINT);
    sigaddset(&stopping, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopping, &previous);
    const bool spoke = wav != nullptr && wav->Samples() > 0;
    if (wav != nullptr && (result != VR_SUCCESS || !reason.empty()) && !spoke) {
        // Nothing was spoken: no file, and one of that name stays as it was.
        wav->Discard();
    } else if (wav != nullptr) {
        written = written && wav->Finish(&listener.failure);
    }
    g_output = nullptr;
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (!written) {
        std::fprintf(stderr, "vrelay-say: cannot write %s: %s\n", outputName.c_str(),
                     listener.failure.c_str());
        return vrelay::kExitOutput;
    }
    int status = vrelay::kExitOk;
    if ((result != VR_SUCCESS || !reason.empty()) && listener.playFailure.empty()) {
        const std::string why = !reason.empty()            ? reason
                                : result == VR_SEND_FAILED ? "the connection to the server broke"
                                                           : "the server stopped answering";
        if (spoke) {
            std::fprintf(stderr,
                         "vrelay-say: the speech stopped partway (%s); %s holds the %.2f s "
                         "spoken before\n",
                         why.c_str(), outputName.c_str(),
                         static_cast<double>(wav->Samples()) / wav->SampleRate());
        } else if (player != nullptr && player->Written() > 0) {
            std::fprintf(stderr, "vrelay-say: the speech stopped partway (%s) after %.2f s\n",
                         why.c_str(), listener.Seconds(player->Written()));
        } else {
            std::fprintf(stderr, "vrelay-say: %s%s\n",
                         reason.empty() ? "" : "the server refused: ", why.c_str());
        }
        status = vrelay::kExitSpeechFailed;
    } else if (!listener.playFailure.empty()) {
        status = vrelay::kExitNoSound;
    } else if (!source.Error().empty()) {
        status = vrelay::kExitInput;
    }
    if (!options.timeline.empty()) {
        std::ofstream svg(options.timeline, std::ios::binary);
        svg << timeline.Svg();
        if (!svg.flush()) {
            std::fprintf(stderr, "vrelay-say: cannot write %s\n", options.timeline.c_str());
            status = status == vrelay::kExitOk ? vrelay::kExitOutput : status;
        }
    }
    if (!options.quiet && status == vrelay::kExitOk) {
        if (wav != nullptr) {
            std::fprintf(stderr, "wrote %s: %.2f s of %s audio at %u Hz, %s\n", outputName.c_str(),
                         static_cast<double>(wav->Samples()) / wav->SampleRate(),
                         options.encoding.c_str(), wav->SampleRate(),
                         Plural(listener.words, "word").c_str());
        } else {
            std::fprintf(stderr, "spoke %.2f s, %s\n",
                         listener.Seconds(player != nullptr ? player->Written() : 0),
                         Plural(listener.words, "word").c_str());
        }
    }
    return status;
}
