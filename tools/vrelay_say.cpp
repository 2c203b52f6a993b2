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
#include <vrelay/vrelay_helpers.h>

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
#include "wire/payload.h"

namespace {

using vrelay::tools::Follower;
using vrelay::tools::Player;
using vrelay::tools::SayOptions;
using vrelay::tools::SubmittedText;
using vrelay::tools::TextColumns;
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
            decoded = vrelay::wire::DecodeAudio(bytes, size);
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

    void OnMark(int64_t requestSample, const char* name) {
        const int64_t sample = clock.Absolute(requestSample);
        vr_word_mark mark;
        if (!vr_parse_word_mark(name, &mark)) {
            return;
        }
        const int64_t byte = requestBase + mark.byte_offset;
        const int64_t bytes = mark.byte_length;
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
            vr_audio_format format;
            if (vr_decode_audio_format(data, length, &format)) {
                ok = listener->OnFormat(format.sample_rate);
            }
            break;
        }
        case PACKET_DATA_6:
            ok = listener->OnAudio(bytes, size);
            break;
        case PACKET_DATA_8: {
            vr_mark_event mark;
            if (vr_decode_mark(data, length, &mark)) {
                listener->OnMark(mark.sample_offset, mark.name);
            }
            break;
        }
        case PACKET_PHONEME:
            listener->OnPhoneme(*static_cast<const PhonemeEvent*>(data));
            break;
        case PACKET_DATA_10:
            listener->messages.push_back(vrelay::wire::DecodeText(bytes, size));
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
// as it would have. A crash of this process keeps the file the same way (the
// embedded server's engine runs in worker processes: its crash ends only the
// request, which stops the speech partway).
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

// The terminal's width, 0 when out is not one.
int TerminalColumns(FILE* out);

// text padded with blanks to width columns.
std::string Padded(const std::string& text, int width) {
    return text + std::string(static_cast<size_t>(std::max(0, width - TextColumns(text))), ' ');
}

// The voices (those speaking language, when given) in columns as wide as
// their contents, then the variants: on a terminal in columns filling its
// width, elsewhere one a line. A language no voice speaks gets the error
// alone.
int ListVoices(const std::vector<VoiceEntry>& voices, const std::string& language) {
    std::vector<std::vector<std::string>> rows = {{"NAME", "LANG", "SEX", "LANGUAGE", "RATE"}};
    std::vector<std::string> variants;
    for (const VoiceEntry& voice : voices) {
        if (voice.IsVariant()) {
            variants.push_back(voice.name.substr(1) + (voice.sex.empty() ? "" : "/") +
                               voice.sex.substr(0, 1));
        } else if (language.empty() || vrelay::tools::SpeaksLanguage(voice, language)) {
            rows.push_back({voice.name, voice.Tag(), voice.sex, voice.language,
                            std::to_string(voice.sampleRate)});
        }
    }
    const size_t shown = rows.size() - 1;
    if (shown == 0 && !language.empty()) {
        std::fprintf(stderr, "vrelay-say: no voice speaks \"%s\"\n", language.c_str());
        return vrelay::kExitUnknownVoice;
    }
    std::vector<int> widths(rows[0].size(), 0);
    for (const auto& row : rows) {
        for (size_t c = 0; c < row.size(); ++c) {
            widths[c] = std::max(widths[c], TextColumns(row[c]));
        }
    }
    for (const auto& row : rows) {
        std::string line;
        for (size_t c = 0; c + 1 < row.size(); ++c) {
            line += Padded(row[c], widths[c]) + "  ";
        }
        std::printf("%s%s\n", line.c_str(), row.back().c_str());
    }
    std::printf("%s\n", Plural(shown, "voice").c_str());
    if (variants.empty()) {
        return vrelay::kExitOk;
    }
    std::printf("variants (LANG+VARIANT, as en+f3; f female, m male):\n");
    const int columns = TerminalColumns(stdout);
    int cell = 0;
    for (const std::string& variant : variants) {
        cell = std::max(cell, TextColumns(variant) + 2);
    }
    // Filled row by row, as many to a row as fit before the last column (at
    // least one), each row indented as a cell's blanks are wide.
    const size_t perRow = columns == 0 ? 1 : static_cast<size_t>(std::max(1, (columns - 1) / cell));
    for (size_t start = 0; start < variants.size(); start += perRow) {
        const size_t end = std::min(variants.size(), start + perRow);
        std::string line = "  ";
        for (size_t i = start; i + 1 < end; ++i) {
            line += Padded(variants[i], cell);
        }
        std::printf("%s%s\n", line.c_str(), variants[end - 1].c_str());
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
    const std::string prefix = vrelay::wire::kErrorPrefix;
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

// The cases a step ends the program with; kGoOn lets the next step run.
constexpr int kGoOn = -1;

// One run of the program, step by step. Members are declared in the order
// they come to life, so that they end in reverse: the output and the
// connection before the sound and the embedded server.
class Say {
  public:
    explicit Say(const SayOptions& options)
        : options_(options), source_(options.markup), text_(!options.markup) {}
    ~Say() {
        if (connection_ != 0) {
            vrDestroyConnection(connection_);
        }
    }
    Say(const Say&) = delete;
    Say& operator=(const Say&) = delete;

    // The text to speak is there and not blank (not needed for --list-voices).
    int OpenInput();
    // The speech server (embedded, started on a thread of its own), the sound
    // server and the connection, made side by side: what comes first costs
    // only the longest of the three.
    int Connect();
    // Lists the voices, or selects the one asked for: before the output
    // exists, so that a wrong voice leaves no file behind.
    int SettleVoice();
    // The WAV file (kept whole on a signal or a crash), the timeline and the
    // word display.
    int OpenOutput();
    // Renders everything and finishes the output; the exit status.
    int SpeakAndReport();

  private:
    int Refused(const char* otherwise);
    int Finish(vr_result result, bool anyText);

    const SayOptions& options_;
    std::string error_;
    std::string host_ = "127.0.0.1";
    int port_ = 0;
    TextSource source_;
    std::unique_ptr<vrelay::server::SpeechServer> embedded_;
    std::unique_ptr<Player> player_;
    vr_handle connection_ = 0;
    SubmittedText text_;
    FILE* events_ = stdout;
    std::unique_ptr<Progress> progress_;
    Listener listener_;
    std::unique_ptr<WavWriter> wav_;
    std::string outputName_;
    Timeline timeline_;
    std::unique_ptr<Follower> follower_;
};

int Say::OpenInput() {
    if (!options_.server.empty() &&
        !vrelay::tools::SplitHostPort(options_.server, &host_, &port_)) {
        return Usage("--server wants HOST:PORT, not \"" + options_.server + "\"");
    }
    if (options_.listVoices) {
        return kGoOn;
    }
    if (!source_.Open(options_, &error_)) {
        std::fprintf(stderr, "vrelay-say: %s\n", error_.c_str());
        return vrelay::kExitInput;
    }
    if (source_.KnownBlank()) {
        std::fprintf(stderr, "vrelay-say: there is no text to speak\n");
        return vrelay::kExitInput;
    }
    return kGoOn;
}

int Say::Connect() {
    std::thread starter;
    bool started = true;
    std::string startError;
    if (options_.server.empty()) {
        vrelay::server::ServerOptions serverOptions =
            vrelay::tools::EmbeddedServerOptions(options_.engine, options_.verbose);
        // This program is its only client.
        serverOptions.max_sessions = 1;
        if (options_.play) {
            // Answers come at the pace of the sound: an hour per text packet.
            serverOptions.limits.request_timeout_ms = 3600 * 1000;
        }
        embedded_ = std::make_unique<vrelay::server::SpeechServer>(serverOptions);
        starter = std::thread([&] { started = embedded_->Start(&startError); });
    }
    struct Joiner {
        std::thread& thread;
        ~Joiner() {
            if (thread.joinable()) {
                thread.join();
            }
        }
    } joiner{starter};
    if (options_.play && !options_.listVoices) {
        player_ = std::make_unique<Player>();
        if (!player_->Open(22050, &error_)) {
            std::fprintf(stderr,
                         "vrelay-say: no sound server to play through (%s); -o FILE writes a WAV "
                         "file instead\n",
                         error_.c_str());
            return vrelay::kExitNoSound;
        }
    }
    connection_ = vrCreateConnection();
    if (starter.joinable()) {
        starter.join();
    }
    if (!started) {
        std::fprintf(stderr, "vrelay-say: cannot start the speech server: %s\n",
                     startError.c_str());
        return vrelay::kExitNoServer;
    }
    if (embedded_ != nullptr) {
        port_ = embedded_->Port();
    }
    if (vrOpenConnection(connection_, host_.c_str(), port_) != VR_SUCCESS) {
        std::fprintf(stderr, "vrelay-say: no speech server at %s:%d\n", host_.c_str(), port_);
        return vrelay::kExitNoServer;
    }
    events_ = options_.output == "-" ? stderr : stdout;
    progress_ = std::make_unique<Progress>(
        !options_.quiet && !options_.follow && isatty(STDERR_FILENO) != 0, source_.Size());
    listener_.text = &text_;
    listener_.progress = progress_.get();
    listener_.markup = options_.markup;
    // Set before any query: the server's messages (a refusal) come to it.
    vrSetCallBack(connection_, OnPacket);
    vrSetUserData(connection_, &listener_);
    return kGoOn;
}

int Say::Refused(const char* otherwise) {
    const std::string reason = ServerReason(listener_.messages);
    std::fprintf(stderr, "vrelay-say: %s%s\n",
                 reason.empty() ? otherwise : "the server refused: ", reason.c_str());
    return reason.empty() ? vrelay::kExitNoServer : vrelay::kExitSpeechFailed;
}

int Say::SettleVoice() {
    if (!options_.listVoices && options_.voice.empty()) {
        return kGoOn;
    }
    // The voice list is read apart from the callback: a query through it
    // first hears a refusal ("server busy") if there is one.
    vrQueryServer(connection_, "<voice name=\"all\"/>");
    if (!ServerReason(listener_.messages).empty()) {
        return Refused("");
    }
    std::vector<VoiceEntry> voices;
    if (!vrelay::tools::ReadVoices(connection_, &voices)) {
        return Refused("cannot read the voice list");
    }
    if (options_.listVoices) {
        return ListVoices(voices, options_.listLanguage);
    }
    const std::string name = vrelay::tools::ChooseVoiceName(voices, options_.voice);
    listener_.messages.clear();
    if (name.empty() || vrSetVoiceFast(connection_, name.c_str()) != VR_SUCCESS ||
        !ServerReason(listener_.messages).empty()) {
        std::fprintf(stderr, "vrelay-say: unknown voice \"%s\" (see --list-voices)\n",
                     options_.voice.c_str());
        return vrelay::kExitUnknownVoice;
    }
    return kGoOn;
}

int Say::OpenOutput() {
    const auto encoding = options_.encoding == "ulaw"   ? vrelay::tools::WavEncoding::kUlaw
                          : options_.encoding == "alaw" ? vrelay::tools::WavEncoding::kAlaw
                                                        : vrelay::tools::WavEncoding::kPcm16;
    const bool toStdout = options_.output == "-";
    outputName_ = toStdout ? "standard output" : options_.output;
    if (!options_.output.empty()) {
        wav_ = std::make_unique<WavWriter>(encoding);
        if (!wav_->Open(options_.output, &error_)) {
            std::fprintf(stderr, "vrelay-say: cannot write %s: %s\n", outputName_.c_str(),
                         error_.c_str());
            return vrelay::kExitOutput;
        }
        if (options_.sampleRate > 0) {
            wav_->SetSampleRate(static_cast<uint32_t>(options_.sampleRate));
        }
        g_output = wav_.get();
        // A crash keeps what was written, too.
        for (int signal : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT}) {
            ::signal(signal, OnSignal);
        }
    }
    for (int signal : {SIGINT, SIGTERM}) {
        ::signal(signal, OnSignal);
    }
    if (!options_.timeline.empty()) {
        listener_.timeline = &timeline_;
        timeline_.SetSampleRate(wav_ != nullptr ? wav_->SampleRate() : 22050);
    }
    if (options_.follow && player_ != nullptr) {
        const int columns = TerminalColumns(events_);
        Player* clock = player_.get();
        follower_ =
            std::make_unique<Follower>([clock] { return clock->Heard(); }, events_, columns);
        listener_.follower = follower_.get();
        g_displayOnTerminal = columns > 0;
    }
    listener_.wav = wav_.get();
    listener_.player = player_.get();
    listener_.fixedRate = options_.sampleRate > 0;
    listener_.printMarks = options_.marks;
    listener_.printPhonemes = options_.phonemes;
    listener_.events = events_;
    if (!toStdout) {
        // On a terminal each mark and phoneme line shows as soon as it is
        // printed; elsewhere with the audio that follows it.
        std::setvbuf(stdout, nullptr, isatty(STDOUT_FILENO) ? _IOLBF : _IOFBF, 1 << 16);
    }
    listener_.messages.clear();
    return kGoOn;
}

int Say::SpeakAndReport() {
    bool anyText = false;
    const vr_result result = Render(connection_, options_, &source_, &text_, &listener_, &anyText);
    return Finish(result, anyText);
}

int Say::Finish(vr_result result, bool anyText) {
    bool written = listener_.failure.empty() && listener_.Drain();
    vrCloseConnection(connection_);
    if (player_ != nullptr && result == VR_SUCCESS && listener_.playFailure.empty()) {
        player_->Drain(&listener_.playFailure);
    }
    if (follower_ != nullptr) {
        follower_->Finish();
        g_displayOnTerminal = false;
    }
    for (const std::string& notice : source_.TakeNotices()) {
        std::fprintf(stderr, "vrelay-say: %s\n", notice.c_str());
    }
    if (!source_.Error().empty()) {
        progress_->Interrupted();
        std::fprintf(stderr, "vrelay-say: %s\n", source_.Error().c_str());
    }
    if (!anyText && source_.Error().empty()) {
        g_output = nullptr;
        if (wav_ != nullptr) {
            wav_->Discard();
        }
        std::fprintf(stderr, "vrelay-say: there is no text to speak\n");
        return vrelay::kExitInput;
    }
    if (result == VR_SUCCESS && source_.Error().empty()) {
        progress_->Done();
    } else {
        progress_->Interrupted();
    }
    const std::string reason = ServerReason(listener_.messages);
    const std::string prefix = vrelay::wire::kErrorPrefix;
    for (const auto& message : listener_.messages) {
        if (message.compare(0, prefix.size(), prefix) != 0) {
            std::fprintf(stderr, "vrelay-say: server: %s\n", message.c_str());
        }
    }
    if (!listener_.playFailure.empty()) {
        std::fprintf(stderr, "vrelay-say: cannot play: %s\n", listener_.playFailure.c_str());
    }
    // The handler must not complete the file while Finish does, nor touch
    // the descriptor once closed.
    sigset_t stopping, previous;
    sigemptyset(&stopping);
    sigaddset(&stopping, SIGINT);
    sigaddset(&stopping, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopping, &previous);
    const bool spoke = wav_ != nullptr && wav_->Samples() > 0;
    if (wav_ != nullptr && (result != VR_SUCCESS || !reason.empty()) && !spoke) {
        // Nothing was spoken: no file, and one of that name stays as it was.
        wav_->Discard();
    } else if (wav_ != nullptr) {
        written = written && wav_->Finish(&listener_.failure);
    }
    g_output = nullptr;
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (!written) {
        std::fprintf(stderr, "vrelay-say: cannot write %s: %s\n", outputName_.c_str(),
                     listener_.failure.c_str());
        return vrelay::kExitOutput;
    }
    int status = vrelay::kExitOk;
    if ((result != VR_SUCCESS || !reason.empty()) && listener_.playFailure.empty()) {
        const std::string why = !reason.empty()            ? reason
                                : result == VR_SEND_FAILED ? "the connection to the server broke"
                                                           : "the server stopped answering";
        if (spoke) {
            std::fprintf(stderr,
                         "vrelay-say: the speech stopped partway (%s); %s holds the %.2f s "
                         "spoken before\n",
                         why.c_str(), outputName_.c_str(),
                         static_cast<double>(wav_->Samples()) / wav_->SampleRate());
        } else if (player_ != nullptr && player_->Written() > 0) {
            std::fprintf(stderr, "vrelay-say: the speech stopped partway (%s) after %.2f s\n",
                         why.c_str(), listener_.Seconds(player_->Written()));
        } else {
            std::fprintf(stderr, "vrelay-say: %s%s\n",
                         reason.empty() ? "" : "the server refused: ", why.c_str());
        }
        status = vrelay::kExitSpeechFailed;
    } else if (!listener_.playFailure.empty()) {
        status = vrelay::kExitNoSound;
    } else if (!source_.Error().empty()) {
        status = vrelay::kExitInput;
    }
    if (!options_.timeline.empty()) {
        std::ofstream svg(options_.timeline, std::ios::binary);
        svg << timeline_.Svg();
        if (!svg.flush()) {
            std::fprintf(stderr, "vrelay-say: cannot write %s\n", options_.timeline.c_str());
            status = status == vrelay::kExitOk ? vrelay::kExitOutput : status;
        }
    }
    if (!options_.quiet && status == vrelay::kExitOk) {
        if (wav_ != nullptr) {
            std::fprintf(stderr, "wrote %s: %.2f s of %s audio at %u Hz, %s\n", outputName_.c_str(),
                         static_cast<double>(wav_->Samples()) / wav_->SampleRate(),
                         options_.encoding.c_str(), wav_->SampleRate(),
                         Plural(listener_.words, "word").c_str());
        } else {
            std::fprintf(stderr, "spoke %.2f s, %s\n",
                         listener_.Seconds(player_ != nullptr ? player_->Written() : 0),
                         Plural(listener_.words, "word").c_str());
        }
    }
    return status;
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
    Say say(options);
    for (int (Say::*step)() : {&Say::OpenInput, &Say::Connect, &Say::SettleVoice, &Say::OpenOutput,
                               &Say::SpeakAndReport}) {
        const int status = (say.*step)();
        if (status != kGoOn) {
            return status;
        }
    }
    return vrelay::kExitOk;
}
