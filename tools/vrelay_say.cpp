// SPDX-License-Identifier: GPL-3.0-or-later
// vrelay-say: speaks text through a speech server, out loud through the
// sound server or into a WAV file.
//
// The speech goes through the front-end core (frontend/): its render worker
// connects, selects the voice, cuts the text into requests and decodes the
// answers into the events this program turns into sound, a file and what it
// prints. Without --server it starts the reference server inside the
// process on a free loopback port.
//
// Audio is played and written as it arrives and plain text is read and
// handed over in blocks, so memory stays the same whatever the length of
// the text.
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>
#include <vrelay/vrelay.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "frontend/embedded_server.h"
#include "frontend/exit_codes.h"
#include "frontend/render_worker.h"
#include "frontend/voice_choice.h"
#include "tools/follower.h"
#include "tools/player.h"
#include "tools/resampler.h"
#include "tools/say_options.h"
#include "tools/text_source.h"
#include "tools/timeline.h"
#include "tools/wav_writer.h"

namespace {

using vrelay::frontend::JobEnd;
using vrelay::frontend::VoiceEntry;
using vrelay::tools::Follower;
using vrelay::tools::Player;
using vrelay::tools::SayOptions;
using vrelay::tools::TextColumns;
using vrelay::tools::TextSource;
using vrelay::tools::Timeline;
using vrelay::tools::WavWriter;
using vrelay::frontend::kExitInput;
using vrelay::frontend::kExitNoServer;
using vrelay::frontend::kExitNoSound;
using vrelay::frontend::kExitOk;
using vrelay::frontend::kExitOutput;
using vrelay::frontend::kExitSpeechFailed;
using vrelay::frontend::kExitUnknownVoice;
using vrelay::frontend::kExitUsage;

std::string Plural(size_t count, const char* noun) {
    return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

int Usage(const std::string& message) {
    std::fprintf(stderr, "vrelay-say: %s\nTry 'vrelay-say --help' for more information.\n",
                 message.c_str());
    return kExitUsage;
}

void Notice(const std::string& line) {
    std::fprintf(stderr, "vrelay-say: %s\n", line.c_str());
}

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

// Where the job's events go: audio to the sound server and the WAV file
// (resampled when the server's rate differs from the file's), words and
// phonemes printed as they arrive, words handed to the follower, the
// timeline fed; the text comes from the source block by block. It runs on
// the render worker's thread; the main thread touches it only before the job
// starts and after it ends.
class SaySink : public vrelay::frontend::JobSink {
  public:
    TextSource* source = nullptr;
    WavWriter* wav = nullptr;  // null when no file is written
    Player* player = nullptr;  // null when nothing is played
    Follower* follower = nullptr;
    Progress* progress = nullptr;
    Timeline* timeline = nullptr;
    FILE* events = stdout;  // where marks and phonemes go
    bool printMarks = false;
    bool printPhonemes = false;
    bool fixedRate = false;  // the file's rate was given (--sample-rate)
    bool lines = false;      // --stream: each block is spoken at once

    uint32_t inputRate = 0;
    size_t words = 0;
    bool anyText = false;
    std::vector<std::string> messages;  // the server's, refusals aside
    std::string failure;                // why the output could not be written
    std::string playFailure;            // why the audio could not be played

    double Seconds(int64_t sample) const {
        return static_cast<double>(sample) / (inputRate ? inputRate : 22050);
    }
    // The filter's delay still held by the resampler.
    bool Drain() {
        resampler_.Flush(&converted_);
        return WriteConverted();
    }
    JobEnd WaitForEnd() {
        std::unique_lock<std::mutex> lock(mutex_);
        ended_.wait(lock, [&] { return done_; });
        return end_;
    }

    bool OnFormat(uint32_t rate) override;
    bool OnAudio(const int16_t* samples, size_t count, int64_t first) override;
    bool OnWord(const vrelay::frontend::WordEvent& word) override;
    bool OnPhoneme(const vrelay::frontend::PhoneEvent& phoneme) override;
    void OnMessage(const std::string& text, bool error) override {
        if (!error) {
            messages.push_back(text);
        }
    }
    bool NextText(std::string* text, bool* endOfLine) override;
    bool OnRewind(int64_t sample) override;
    void OnResume(const std::string& notice) override {
        progress->Interrupted();
        Notice(notice);
    }
    void OnEnd(const JobEnd& end) override {
        // Lines held for audio that never came (the speech failed or was
        // stopped before it) are not shown: they name words not spoken.
        if (end.outcome == JobEnd::Outcome::kDone) {
            ShowHeld();
        }
        held_.clear();
        std::lock_guard<std::mutex> lock(mutex_);
        end_ = end;
        done_ = true;
        ended_.notify_all();
    }

  private:
    // A line "TIME  WORD" (duration < 0) or "TIME DURATION  PHONEME".
    void Hold(double seconds, double duration, const std::string& text);
    void ShowHeld() {
        if (!held_.empty()) {
            std::fwrite(held_.data(), 1, held_.size(), events);
            held_.clear();
        }
        std::fflush(events);
    }
    bool Write(const int16_t* samples, size_t count) {
        if (timeline != nullptr) {
            timeline->AddAudio(samples, count);
        }
        return wav == nullptr || wav->Write(samples, count, &failure);
    }
    bool WriteConverted() {
        const bool ok = Write(converted_.data(), converted_.size());
        converted_.clear();
        return ok;
    }

    uint32_t output_rate_ = 0;
    std::string held_;  // marks and phonemes printed, waiting for their audio
    vrelay::tools::Resampler resampler_;
    std::vector<int16_t> converted_;
    std::mutex mutex_;
    std::condition_variable ended_;
    bool done_ = false;
    JobEnd end_;
};

bool SaySink::OnFormat(uint32_t rate) {
    if (rate == inputRate) {
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
    output_rate_ = wav != nullptr ? wav->SampleRate() : rate;
    if (timeline != nullptr) {
        timeline->SetSampleRate(output_rate_);
    }
    resampler_.Flush(&converted_);
    if (!WriteConverted()) {
        return false;
    }
    return rate == output_rate_ || resampler_.Start(rate, output_rate_, &failure);
}

bool SaySink::OnAudio(const int16_t* samples, size_t count, int64_t) {
    // The marks and phonemes printed come before this audio: they show with
    // it, in one write rather than one a line.
    if (!held_.empty()) {
        ShowHeld();
    }
    if (player != nullptr && !player->Write(samples, count, &playFailure)) {
        return false;
    }
    if (resampler_.InputRate() != 0 && resampler_.InputRate() == inputRate) {
        resampler_.Process(samples, count, &converted_);
        return WriteConverted();
    }
    return Write(samples, count);
}

bool SaySink::OnWord(const vrelay::frontend::WordEvent& word) {
    ++words;
    const std::string& text = word.source.written;
    if (printMarks) {
        Hold(Seconds(word.sample), -1, text);
    }
    if (timeline != nullptr) {
        timeline->AddWord(Seconds(word.sample), text);
    }
    if (follower != nullptr) {
        follower->Add(word.sample, Seconds(word.sample), text);
    }
    progress->Update(word.source.begin.byte, words);
    return true;
}

bool SaySink::OnRewind(int64_t sample) {
    // Only a file takes audio back, and only when nothing else showed it:
    // sound played, phonemes printed, a timeline drawn and resampled audio
    // keep the interrupted word twice instead.
    const bool resampling = resampler_.InputRate() != 0 && resampler_.InputRate() == inputRate;
    return wav != nullptr && player == nullptr && timeline == nullptr && !printPhonemes &&
           !resampling && sample >= 0 && wav->Rewind(static_cast<uint64_t>(sample));
}

bool SaySink::OnPhoneme(const vrelay::frontend::PhoneEvent& phoneme) {
    if (printPhonemes) {
        Hold(Seconds(phoneme.sample), Seconds(phoneme.duration), phoneme.phone);
    }
    if (timeline != nullptr) {
        timeline->AddPhoneme(Seconds(phoneme.sample), phoneme.phone);
    }
    return true;
}

void SaySink::Hold(double seconds, double duration, const std::string& text) {
    char times[48];
    if (duration < 0) {
        std::snprintf(times, sizeof times, "%9.3f  ", seconds);
    } else {
        std::snprintf(times, sizeof times, "%9.3f %7.3f  ", seconds, duration);
    }
    held_.append(times).append(text).push_back('\n');
}

bool SaySink::NextText(std::string* text, bool* endOfLine) {
    // What was spoken so far shows before the next block is waited for.
    if (lines) {
        ShowHeld();
    }
    for (const std::string& notice : source->TakeNotices()) {
        Notice(notice);
    }
    if (!source->Next(text)) {
        return false;
    }
    anyText = anyText || text->find_first_not_of(" \t\r\n") != std::string::npos;
    *endOfLine = lines;
    return true;
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
        } else if (language.empty() || vrelay::frontend::SpeaksLanguage(voice, language)) {
            rows.push_back({voice.name, voice.Tag(), voice.sex, voice.language,
                            std::to_string(voice.sampleRate)});
        }
    }
    const size_t shown = rows.size() - 1;
    if (shown == 0 && !language.empty()) {
        std::fprintf(stderr, "vrelay-say: no voice speaks \"%s\"\n", language.c_str());
        return vrelay::frontend::kExitUnknownVoice;
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
        return vrelay::frontend::kExitOk;
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
    return vrelay::frontend::kExitOk;
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
// they come to life, so that they end in reverse: the output and the render
// worker before the sound and the embedded server.
class Say {
  public:
    explicit Say(const SayOptions& options)
        : options_(options), source_(options.markup), sink_(std::make_shared<SaySink>()) {}
    Say(const Say&) = delete;
    Say& operator=(const Say&) = delete;

    // The text to speak is there and not blank (not needed for --list-voices).
    int OpenInput();
    // The speech server (embedded, started on a thread of its own) and the
    // sound server, made side by side: what comes first costs only the
    // longer of the two. A named server is connected to here; the embedded
    // one when the first job starts.
    int Connect();
    // Lists the voices, or finds the one asked for: before the output exists,
    // so that a wrong voice leaves no file behind.
    int SettleVoice();
    // The WAV file (kept whole on a signal or a crash), the timeline and the
    // word display.
    int OpenOutput();
    // Speaks everything and finishes the output; the exit status.
    int SpeakAndReport();

  private:
    int Failed(const JobEnd& end);
    int Finish(const JobEnd& end);
    bool CloseFile(bool done);
    int Status(const JobEnd& end);
    bool WriteTimeline();
    void Summary();

    const SayOptions& options_;
    TextSource source_;
    std::unique_ptr<vrelay::frontend::EmbeddedServer> embedded_;
    std::unique_ptr<Player> player_;
    std::unique_ptr<vrelay::frontend::RenderWorker> worker_;
    FILE* events_ = stdout;
    std::unique_ptr<Progress> progress_;
    std::shared_ptr<SaySink> sink_;
    std::unique_ptr<WavWriter> wav_;
    std::string output_name_;
    Timeline timeline_;
    std::unique_ptr<Follower> follower_;
};

int Say::OpenInput() {
    for (const std::string& notice : options_.speech.notices) {
        Notice(notice);
    }
    if (options_.speech.listVoices) {
        return kGoOn;
    }
    std::string error;
    if (!source_.Open(options_, &error)) {
        Notice(error);
        return kExitInput;
    }
    if (source_.KnownBlank()) {
        Notice("there is no text to speak");
        return kExitInput;
    }
    return kGoOn;
}

// A job, a Connect or a Voices call that failed, as the user hears of it.
int Say::Failed(const JobEnd& end) {
    if (end.refused) {
        Notice("the server refused: " + end.reason);
        return kExitSpeechFailed;
    }
    Notice(end.reason);
    return end.exitCode;
}

int Say::Connect() {
    vrelay::frontend::WorkerOptions worker;
    worker.async = options_.async;
    std::thread starter;
    bool started = true;
    std::string error;
    if (options_.speech.server.empty()) {
        vrelay::frontend::EmbeddedServerOptions server;
        server.engine = options_.speech.engine;
        server.verbose = options_.verbose;
        server.maxSessions = 1;  // this program is its only client
        // Played, answers come at the pace of the sound: an hour per packet.
        server.requestTimeoutMs = options_.play ? 3600 * 1000 : 0;
        embedded_ = std::make_unique<vrelay::frontend::EmbeddedServer>(server);
        starter = std::thread([&] { started = embedded_->Start(&error); });
        worker.checkServer = false;  // it is ours
    } else {
        worker.host = options_.speech.host;
        worker.port = options_.speech.port;
        worker.fallbacks = options_.speech.fallbacks;
    }
    worker.resume = options_.speech.resume;
    struct Joiner {
        std::thread& thread;
        ~Joiner() {
            if (thread.joinable()) {
                thread.join();
            }
        }
    } joiner{starter};
    if (options_.play && !options_.speech.listVoices) {
        std::string why;
        player_ = std::make_unique<Player>();
        if (!player_->Open(22050, &why)) {
            Notice("no sound server to play through (" + why +
                   "); -o FILE writes a WAV file instead");
            return kExitNoSound;
        }
    }
    if (starter.joinable()) {
        starter.join();
    }
    if (!started) {
        Notice("cannot start the speech server: " + error);
        return kExitNoServer;
    }
    if (embedded_ != nullptr) {
        worker.port = embedded_->Port();
    }
    worker_ = std::make_unique<vrelay::frontend::RenderWorker>(worker);
    // The embedded server is listening: the first call that needs the
    // connection makes it on the worker's thread, without a round trip
    // through this one before the first sound. A named server is asked now,
    // so that a wrong address leaves no file behind.
    if (embedded_ != nullptr) {
        return kGoOn;
    }
    JobEnd end;
    return worker_->Connect(&end) ? kGoOn : Failed(end);
}

int Say::SettleVoice() {
    const std::string& wanted = options_.speech.voice;
    JobEnd end;
    if (options_.speech.listVoices) {
        std::vector<VoiceEntry> voices;
        return worker_->Voices(&voices, &end) ? ListVoices(voices, options_.speech.listLanguage)
                                              : Failed(end);
    }
    // The server chooses the voice; asked before the output is opened, a
    // wrong one leaves no file.
    if (wanted.empty() || worker_->CheckVoice(wanted, &end)) {
        return kGoOn;
    }
    if (end.exitCode == kExitUnknownVoice) {
        Notice("unknown voice \"" + wanted + "\" (see --list-voices)");
        return kExitUnknownVoice;
    }
    return Failed(end);
}

int Say::OpenOutput() {
    const auto encoding = options_.encoding == "ulaw"   ? vrelay::tools::WavEncoding::kUlaw
                          : options_.encoding == "alaw" ? vrelay::tools::WavEncoding::kAlaw
                                                        : vrelay::tools::WavEncoding::kPcm16;
    const bool toStdout = options_.output == "-";
    output_name_ = toStdout ? "standard output" : options_.output;
    events_ = toStdout ? stderr : stdout;
    if (!options_.output.empty()) {
        std::string error;
        wav_ = std::make_unique<WavWriter>(encoding);
        if (!wav_->Open(options_.output, &error)) {
            Notice("cannot write " + output_name_ + ": " + error);
            return kExitOutput;
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
        sink_->timeline = &timeline_;
        timeline_.SetSampleRate(wav_ != nullptr ? wav_->SampleRate() : 22050);
    }
    if (options_.follow && player_ != nullptr) {
        const int columns = TerminalColumns(events_);
        Player* clock = player_.get();
        follower_ =
            std::make_unique<Follower>([clock] { return clock->Heard(); }, events_, columns);
        sink_->follower = follower_.get();
        g_displayOnTerminal = columns > 0;
    }
    if (!toStdout) {
        // On a terminal each mark and phoneme line shows as soon as it is
        // printed; elsewhere with the audio that follows it.
        std::setvbuf(stdout, nullptr, isatty(STDOUT_FILENO) ? _IOLBF : _IOFBF, 1 << 16);
    }
    return kGoOn;
}

int Say::SpeakAndReport() {
    progress_ = std::make_unique<Progress>(
        !options_.quiet && !options_.follow && isatty(STDERR_FILENO) != 0, source_.Size());
    SaySink& sink = *sink_;
    sink.source = &source_;
    sink.wav = wav_.get();
    sink.player = player_.get();
    sink.progress = progress_.get();
    sink.events = events_;
    sink.printMarks = options_.marks;
    sink.printPhonemes = options_.phonemes;
    sink.fixedRate = options_.sampleRate > 0;
    sink.lines = options_.stream;
    vrelay::frontend::SpeechJob job;
    job.markup = options_.markup;
    job.voice = options_.speech.voice;
    job.prosody = options_.speech.prosody;
    // Played, a request's answer comes at the pace of the sound: requests of
    // a few sentences keep each answer well inside the server's time for one.
    job.requestBytes = options_.play ? 600 : 4000;
    job.sink = sink_;
    worker_->Submit(std::move(job));
    const JobEnd end = sink.WaitForEnd();
    worker_->Close();
    return Finish(end);
}

int Say::Finish(const JobEnd& end) {
    SaySink& sink = *sink_;
    const bool done = end.outcome == JobEnd::Outcome::kDone;
    bool written = sink.failure.empty() && sink.Drain();
    if (player_ != nullptr && done && sink.playFailure.empty()) {
        player_->Drain(&sink.playFailure);
    }
    if (follower_ != nullptr) {
        follower_->Finish();
        g_displayOnTerminal = false;
    }
    for (const std::string& notice : source_.TakeNotices()) {
        Notice(notice);
    }
    if (!source_.Error().empty()) {
        progress_->Interrupted();
        Notice(source_.Error());
    }
    if (!sink.anyText && source_.Error().empty() && end.exitCode == kExitOk) {
        g_output = nullptr;
        if (wav_ != nullptr) {
            wav_->Discard();
        }
        Notice("there is no text to speak");
        return kExitInput;
    }
    if (done && source_.Error().empty()) {
        progress_->Done();
    } else {
        progress_->Interrupted();
    }
    for (const std::string& message : sink.messages) {
        Notice("server: " + message);
    }
    if (!sink.playFailure.empty()) {
        Notice("cannot play: " + sink.playFailure);
    }
    if (!CloseFile(done) || !written) {
        Notice("cannot write " + output_name_ + ": " + sink.failure);
        return kExitOutput;
    }
    int status = Status(end);
    if (!options_.timeline.empty() && !WriteTimeline()) {
        status = status == kExitOk ? kExitOutput : status;
    }
    if (!options_.quiet && status == kExitOk) {
        Summary();
    }
    return status;
}

// Completes the file, or drops it when the speech failed before any of it
// was spoken (a file of that name stays as it was); false when it cannot be
// written.
bool Say::CloseFile(bool done) {
    // The handler must not complete the file while this does, nor touch the
    // descriptor once closed.
    sigset_t stopping, previous;
    sigemptyset(&stopping);
    sigaddset(&stopping, SIGINT);
    sigaddset(&stopping, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopping, &previous);
    bool written = true;
    if (wav_ != nullptr && !done && wav_->Samples() == 0) {
        wav_->Discard();
    } else if (wav_ != nullptr) {
        written = wav_->Finish(&sink_->failure);
    }
    g_output = nullptr;
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return written;
}

// The exit status of the job, and what the user is told when it failed.
int Say::Status(const JobEnd& end) {
    const SaySink& sink = *sink_;
    if (end.outcome != JobEnd::Outcome::kDone && !end.bySink && sink.playFailure.empty()) {
        const std::string why = end.reason.empty() ? "stopped" : end.reason;
        if (wav_ != nullptr && wav_->Samples() > 0) {
            std::fprintf(stderr,
                         "vrelay-say: the speech stopped partway (%s); %s holds the %.2f s "
                         "spoken before\n",
                         why.c_str(), output_name_.c_str(),
                         static_cast<double>(wav_->Samples()) / wav_->SampleRate());
        } else if (player_ != nullptr && player_->Written() > 0) {
            std::fprintf(stderr, "vrelay-say: the speech stopped partway (%s) after %.2f s\n",
                         why.c_str(), sink.Seconds(player_->Written()));
        } else {
            return Failed(end);
        }
        return kExitSpeechFailed;
    }
    if (!sink.playFailure.empty()) {
        return kExitNoSound;
    }
    return source_.Error().empty() ? kExitOk : kExitInput;
}

bool Say::WriteTimeline() {
    std::ofstream svg(options_.timeline, std::ios::binary);
    svg << timeline_.Svg();
    if (!svg.flush()) {
        Notice("cannot write " + options_.timeline);
        return false;
    }
    return true;
}

void Say::Summary() {
    const SaySink& sink = *sink_;
    if (wav_ != nullptr) {
        std::fprintf(stderr, "wrote %s: %.2f s of %s audio at %u Hz, %s\n", output_name_.c_str(),
                     static_cast<double>(wav_->Samples()) / wav_->SampleRate(),
                     options_.encoding.c_str(), wav_->SampleRate(),
                     Plural(sink.words, "word").c_str());
    } else {
        std::fprintf(stderr, "spoke %.2f s, %s\n",
                     sink.Seconds(player_ != nullptr ? player_->Written() : 0),
                     Plural(sink.words, "word").c_str());
    }
}

}  // namespace

int main(int argc, char** argv) {
    SayOptions options;
    std::string error;
    if (!vrelay::tools::ParseSayArgs(argc, argv, &options, &error)) {
        return Usage(error);
    }
    if (options.help) {
        std::fputs(vrelay::tools::SayUsage().c_str(), stdout);
        return kExitOk;
    }
    if (options.version) {
        std::printf("vrelay-say %s\n", VRELAY_VERSION_STRING);
        return kExitOk;
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
    return kExitOk;
}
