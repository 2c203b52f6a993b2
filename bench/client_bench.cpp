// SPDX-License-Identifier: MIT
// The client library measured through its exported functions, each figure
// beside an anchor from the same run:
//   companding           vrSampleToUlaw/vrSampleToAlaw against a 65536-entry
//                        table called per sample from a shared library;
//   connection cost      vrCreateConnection + vrDestroyConnection, and the
//                        resident memory of an open connection;
//   round trips          a query and a one-word render against the same
//                        exchanges written straight to a socket;
//   audio throughput     audio bytes reaching the callback against the same
//                        server read straight from a socket;
//   time to first audio  against espeak-ng called in this process.
// Options: --server=PATH (default: vrelay-server beside this build).
#include <arpa/inet.h>
#include <espeak-ng/speak_lib.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vrelay/vrelay.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "report.h"
#include "server_process.h"
#include "table_anchor.h"
#include "wire/frame.h"

namespace {

namespace wire = vrelay::wire;
using Clock = std::chrono::steady_clock;

double SecondsBetween(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

// ---- Servers ------------------------------------------------------------

std::string ServerPath() {
    std::string path = bench::Option("server");
    if (!path.empty()) {
        return path;
    }
    char self[4096] = {0};
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    path = n > 0 ? std::string(self, static_cast<size_t>(n)) : std::string();
    // build/<dir>/bench/client_bench -> build/<dir>/server/vrelay-server
    const size_t slash = path.rfind('/');
    const size_t parent = slash == std::string::npos ? slash : path.rfind('/', slash - 1);
    return parent == std::string::npos ? "vrelay-server"
                                       : path.substr(0, parent) + "/server/vrelay-server";
}

// One server per engine for the whole program, stopped at exit.
int ServerPort(const std::string& engine) {
    static std::unique_ptr<bench::ServerProcess> tone, espeak;
    std::unique_ptr<bench::ServerProcess>& server = engine == "tone" ? tone : espeak;
    if (!server) {
        server = std::make_unique<bench::ServerProcess>(ServerPath(), engine);
    }
    return server->Port();
}

// ---- What the callback sees ------------------------------------------------

struct Tally {
    int64_t audio_bytes = 0;
    bool first_audio_seen = false;
    Clock::time_point first_audio;
    bool stop_at_first_audio = false;
};

int32_t CountingCallBack(void* user_data, PACKET_TYPE type, void*, int32_t length) {
    Tally* tally = static_cast<Tally*>(user_data);
    if (type == PACKET_DATA_6 && length > 0) {
        tally->audio_bytes += length;
        if (!tally->first_audio_seen) {
            tally->first_audio_seen = true;
            tally->first_audio = Clock::now();
            if (tally->stop_at_first_audio) {
                return VR_ERROR;
            }
        }
    }
    return VR_SUCCESS;
}

// An open connection with the counting callback; destroyed with the object.
class OpenConnection {
  public:
    OpenConnection(int port, Tally* tally) : handle_(vrCreateConnection()) {
        vrSetCallBack(handle_, CountingCallBack);
        vrSetUserData(handle_, tally);
        opened_ = port > 0 && vrOpenConnection(handle_, "127.0.0.1", port) == VR_SUCCESS;
    }
    ~OpenConnection() { vrDestroyConnection(handle_); }
    OpenConnection(const OpenConnection&) = delete;
    OpenConnection& operator=(const OpenConnection&) = delete;

    vr_handle handle() const { return handle_; }
    bool opened() const { return opened_; }

  private:
    vr_handle handle_;
    bool opened_;
};

// ---- The anchor's client: the wire's frames on a plain blocking socket ----

class RawStream {
  public:
    explicit RawStream(int port) : fd_(socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const int one = 1;
        setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~RawStream() { close(fd_); }
    RawStream(const RawStream&) = delete;
    RawStream& operator=(const RawStream&) = delete;

    bool connected() const { return connected_; }

    // One frame in one write: the text and its NUL.
    bool Send(uint16_t type, const std::string& text) {
        std::string frame;
        wire::AppendFrame(type, text.c_str(), text.size() + 1, &frame);
        return write(fd_, frame.data(), frame.size()) == static_cast<ssize_t>(frame.size());
    }

    // Reads frames up to PACKET_END; returns the audio payload bytes, or -1
    // when the stream failed. One recv takes as much as the kernel holds.
    int64_t ReadAnswer() {
        int64_t audio = 0;
        for (;;) {
            wire::Frame frame;
            switch (reader_.Next(&frame)) {
                case wire::FrameReader::Status::kFrame:
                    if (frame.type == PACKET_DATA_6) {
                        audio += frame.length;
                    } else if (frame.type == PACKET_END) {
                        return audio;
                    }
                    continue;
                case wire::FrameReader::Status::kNeedMore:
                    break;
                default:
                    return -1;
            }
            size_t room = 0;
            char* space = reader_.Space(&room);
            const ssize_t n = space ? recv(fd_, space, room, 0) : -1;
            if (n <= 0) {
                return -1;
            }
            reader_.Filled(static_cast<size_t>(n));
        }
    }

  private:
    int fd_;
    bool connected_ = false;
    wire::FrameReader reader_;
};

// ---- Companding ---------------------------------------------------------------

// Speech-like samples: a wandering tone under a slow envelope, with noise,
// reaching full scale now and then.
const std::vector<int16_t>& Samples() {
    static const std::vector<int16_t> samples = [] {
        const size_t count = bench::Smoke() ? 65536 : 10000000;
        std::vector<int16_t> s(count);
        uint32_t seed = 2024;
        double phase = 0;
        for (size_t i = 0; i < count; ++i) {
            seed = seed * 1664525u + 1013904223u;
            const double noise = static_cast<double>(seed >> 16) / 65536.0 - 0.5;
            const double envelope = 0.5 + 0.5 * std::sin(static_cast<double>(i) * 2e-5);
            phase += 0.05 + 0.04 * std::sin(static_cast<double>(i) * 1e-4);
            const double value = 40000.0 * envelope * (std::sin(phase) + 0.3 * noise);
            s[i] = static_cast<int16_t>(std::max(-32768.0, std::min(32767.0, value)));
        }
        return s;
    }();
    return samples;
}

// The anchor (table_anchor.h) holds the codes the exported functions give.
const bool g_tables_filled = [] {
    AnchorFillTables(vrSampleToUlaw, vrSampleToAlaw);
    return true;
}();

template <uint8_t (*Convert)(int16_t)>
void Compand(benchmark::State& state) {
    const std::vector<int16_t>& in = Samples();
    std::vector<uint8_t> out(in.size());
    for (auto _ : state) {
        for (size_t i = 0; i < in.size(); ++i) {
            out[i] = Convert(in[i]);
        }
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.counters["units"] = static_cast<double>(in.size()) / 1e6;
}
BENCHMARK_TEMPLATE(Compand, vrSampleToUlaw)->Name("BM_Ulaw")->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(Compand, AnchorTableUlaw)->Name("BM_UlawTable")->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(Compand, vrSampleToAlaw)->Name("BM_Alaw")->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(Compand, AnchorTableAlaw)->Name("BM_AlawTable")->Unit(benchmark::kMillisecond);

// ---- Connection cost ---------------------------------------------------------

void BM_CreateDestroy(benchmark::State& state) {
    for (auto _ : state) {
        vrDestroyConnection(vrCreateConnection());
    }
}
BENCHMARK(BM_CreateDestroy)->Unit(benchmark::kMicrosecond);

int64_t ResidentBytes() {
    long pages = 0, resident = 0;
    FILE* statm = std::fopen("/proc/self/statm", "r");
    if (statm == nullptr) {
        return 0;
    }
    if (std::fscanf(statm, "%ld %ld", &pages, &resident) != 2) {
        resident = 0;
    }
    std::fclose(statm);
    return static_cast<int64_t>(resident) * sysconf(_SC_PAGESIZE);
}

// Resident memory grown by opening 50 connections (after a warm-up that
// pays for what the process shares between connections), per connection;
// with argument 1, after each has also rendered one word.
void BM_MemoryPerConnection(benchmark::State& state) {
    const bool render = state.range(0) != 0;
    const int port = ServerPort("tone");
    const int count = bench::Smoke() ? 2 : 50;
    for (auto _ : state) {
        {
            Tally tally;
            OpenConnection warm(port, &tally);
            vrRenderSpeech(warm.handle(), "warm");
        }
        const int64_t before = ResidentBytes();
        std::vector<std::unique_ptr<OpenConnection>> open;
        Tally tally;
        for (int i = 0; i < count; ++i) {
            open.push_back(std::make_unique<OpenConnection>(port, &tally));
            if (!open.back()->opened() ||
                (render && vrRenderSpeech(open.back()->handle(), "hello") != VR_SUCCESS)) {
                state.SkipWithError("cannot use a connection to the tone server");
                return;
            }
        }
        const int64_t after = ResidentBytes();
        state.counters["KB"] = static_cast<double>(after - before) / count / 1024.0;
    }
}
BENCHMARK(BM_MemoryPerConnection)->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kMillisecond);

// ---- Round trips -------------------------------------------------------------

// A voice selection: the cheapest query, answered by PACKET_END alone.
constexpr char kQuery[] = "<voice name=\"tone\" select=\"1\"/>";
// What the library sends for "hello": the word with its mark and the final
// mark, then the empty text that ends the request.
constexpr char kWordText[] =
    "<parent><xmlfixopen/><mark name=\"kvtk_0_0_5_5\"/>hello<mark name=\"kvox_final\"/>"
    "<xmlfixcloseoffopen/></parent>";

// One exchange per iteration; the first failure ends the benchmark.
template <typename Exchange>
void Exchanges(benchmark::State& state, const char* failure, Exchange exchange) {
    for (auto _ : state) {
        if (!exchange()) {
            state.SkipWithError(failure);
            break;
        }
    }
}

void BM_Query(benchmark::State& state) {
    Tally tally;
    OpenConnection c(ServerPort("tone"), &tally);
    Exchanges(state, "query failed",
              [&] { return vrQueryServer(c.handle(), kQuery) == VR_SUCCESS; });
}
BENCHMARK(BM_Query)->Unit(benchmark::kMicrosecond);

void BM_RawQuery(benchmark::State& state) {
    RawStream raw(ServerPort("tone"));
    Exchanges(state, "raw query failed",
              [&] { return raw.Send(PACKET_QUERY, kQuery) && raw.ReadAnswer() >= 0; });
}
BENCHMARK(BM_RawQuery)->Unit(benchmark::kMicrosecond);

void BM_RenderWord(benchmark::State& state) {
    Tally tally;
    OpenConnection c(ServerPort("tone"), &tally);
    Exchanges(state, "render failed",
              [&] { return vrRenderSpeech(c.handle(), "hello") == VR_SUCCESS; });
}
BENCHMARK(BM_RenderWord)->Unit(benchmark::kMicrosecond);

void BM_RawRenderWord(benchmark::State& state) {
    RawStream raw(ServerPort("tone"));
    Exchanges(state, "raw render failed", [&] {
        return raw.Send(PACKET_TEXT, kWordText) && raw.ReadAnswer() >= 0 &&
               raw.Send(PACKET_TEXT, "") && raw.ReadAnswer() >= 0;
    });
}
BENCHMARK(BM_RawRenderWord)->Unit(benchmark::kMicrosecond);

// ---- Audio throughput -----------------------------------------------------------

std::vector<std::string> Words(size_t count) {
    static const char* const kWords[] = {"speech", "server", "voice", "renders", "every",
                                         "word",   "with",   "care",  "bright",  "morning"};
    std::vector<std::string> words;
    for (size_t i = 0; i < count; ++i) {
        words.push_back(kWords[i % 10]);
    }
    return words;
}

size_t AudioWords() {
    return bench::Smoke() ? 4 : 200;
}

void BM_AudioToCallback(benchmark::State& state) {
    std::string text;
    for (const std::string& w : Words(AudioWords())) {
        text += w + " ";
    }
    Tally tally;
    OpenConnection c(ServerPort("tone"), &tally);
    for (auto _ : state) {
        tally.audio_bytes = 0;
        if (vrRenderSpeech(c.handle(), text.c_str()) != VR_SUCCESS) {
            state.SkipWithError("render failed");
            break;
        }
    }
    state.counters["units"] = static_cast<double>(tally.audio_bytes) / 1e6;
}
BENCHMARK(BM_AudioToCallback)->Unit(benchmark::kMillisecond);

// The same words, each with its mark, in one text packet.
void BM_RawAudio(benchmark::State& state) {
    std::string text = "<parent>";
    size_t offset = 0;
    for (const std::string& w : Words(AudioWords())) {
        const std::string n = std::to_string(offset), l = std::to_string(w.size());
        text += "<mark name=\"kvtk_" + n + "_" + n + "_" + l + "_" + l + "\"/>" + w + " ";
        offset += w.size() + 1;
    }
    text += "<mark name=\"kvox_final\"/></parent>";
    RawStream raw(ServerPort("tone"));
    int64_t audio = 0;
    for (auto _ : state) {
        audio = raw.Send(PACKET_TEXT, text) ? raw.ReadAnswer() : -1;
        if (audio < 0) {
            state.SkipWithError("raw render failed");
            break;
        }
    }
    state.counters["units"] = static_cast<double>(audio) / 1e6;
}
BENCHMARK(BM_RawAudio)->Unit(benchmark::kMillisecond);

// ---- Time to first audio ------------------------------------------------------------

const char kSentence[] = "The quick brown fox jumps over the lazy sleeping dog.";

// The first words of a long licence text, as prose.
std::string LongText(bool markup) {
    std::ifstream in("/usr/share/common-licenses/GPL-3");
    std::string word, text;
    const size_t wanted = bench::Smoke() ? 20 : 2000;
    for (size_t n = 0; n < wanted && in >> word; ++n) {
        for (char ch : word) {
            if (markup && ch == '<') {
                text += "&lt;";
            } else if (markup && ch == '&') {
                text += "&amp;";
            } else {
                text += ch;
            }
        }
        text += ' ';
    }
    return text;
}

// Time from the render call to the first audio reaching the callback. The
// long text is abandoned at its first audio; a one-word render on the next
// connection first waits until the server has finished the abandoned unit.
void FirstAudio(benchmark::State& state, const std::string& text) {
    const int port = ServerPort("espeak");
    for (auto _ : state) {
        Tally tally;
        OpenConnection c(port, &tally);
        if (!c.opened() || vrRenderSpeech(c.handle(), "ready") != VR_SUCCESS) {
            state.SkipWithError("the espeak-ng server does not answer");
            break;
        }
        tally = Tally();
        tally.stop_at_first_audio = true;
        const Clock::time_point start = Clock::now();
        vrRenderSpeech(c.handle(), text.c_str());
        if (!tally.first_audio_seen) {
            state.SkipWithError("no audio came");
            break;
        }
        state.SetIterationTime(SecondsBetween(start, tally.first_audio));
    }
}

void BM_FirstAudioSentence(benchmark::State& state) {
    FirstAudio(state, kSentence);
}
BENCHMARK(BM_FirstAudioSentence)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_FirstAudioLongText(benchmark::State& state) {
    FirstAudio(state, LongText(true));
}
BENCHMARK(BM_FirstAudioLongText)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

struct InProcess {
    bool stop_at_first_audio = false;
    bool seen = false;
    Clock::time_point first_audio;
};
InProcess g_in_process;

int InProcessCallBack(short*, int samples, espeak_EVENT*) {
    if (samples > 0 && !g_in_process.seen) {
        g_in_process.seen = true;
        g_in_process.first_audio = Clock::now();
        if (g_in_process.stop_at_first_audio) {
            return 1;  // abandon the rest
        }
    }
    return 0;
}

bool StartEspeak() {
    static const bool started = [] {
        if (espeak_Initialize(AUDIO_OUTPUT_SYNCHRONOUS, 0, nullptr, 0) <= 0) {
            return false;
        }
        espeak_SetSynthCallback(InProcessCallBack);
        return espeak_SetVoiceByName("gmw/en") == EE_OK || espeak_SetVoiceByName("en") == EE_OK;
    }();
    return started;
}

// espeak-ng in this process: time to its first audio, or (whole) to the end.
void InProcessSynthesis(benchmark::State& state, const std::string& text, bool whole) {
    if (!StartEspeak()) {
        state.SkipWithError("espeak-ng does not start");
        return;
    }
    for (auto _ : state) {
        g_in_process = InProcess();
        g_in_process.stop_at_first_audio = !whole;
        const Clock::time_point start = Clock::now();
        espeak_Synth(text.c_str(), text.size() + 1, 0, POS_CHARACTER, 0, espeakCHARS_UTF8, nullptr,
                     nullptr);
        const Clock::time_point end = Clock::now();
        if (!g_in_process.seen) {
            state.SkipWithError("espeak-ng gave no audio");
            break;
        }
        state.SetIterationTime(SecondsBetween(start, whole ? end : g_in_process.first_audio));
    }
}

void BM_InProcessFirstAudioSentence(benchmark::State& state) {
    InProcessSynthesis(state, kSentence, false);
}
BENCHMARK(BM_InProcessFirstAudioSentence)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_InProcessWholeSentence(benchmark::State& state) {
    InProcessSynthesis(state, kSentence, true);
}
BENCHMARK(BM_InProcessWholeSentence)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_InProcessFirstAudioLongText(benchmark::State& state) {
    InProcessSynthesis(state, LongText(false), false);
}
BENCHMARK(BM_InProcessFirstAudioLongText)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_InProcessWholeLongText(benchmark::State& state) {
    InProcessSynthesis(state, LongText(false), true);
}
BENCHMARK(BM_InProcessWholeLongText)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

// ---- The report's rows -------------------------------------------------------------------

// Our time to first audio for a text beside espeak-ng's own in this process:
// its first audio and its whole synthesis of the same text.
bench::Row FirstAudioRow(const bench::Results& r, const std::string& text,
                         const std::string& benchmark, const char* target,
                         bool (*met)(double ours, double first, double whole)) {
    const std::string ours_bench = "BM_FirstAudio" + benchmark;
    const std::string first_bench = "BM_InProcessFirstAudio" + benchmark;
    const std::string whole_bench = "BM_InProcessWhole" + benchmark;
    if (!r.Has(ours_bench) || !r.Has(first_bench) || !r.Has(whole_bench)) {
        return bench::Row{};
    }
    const double ours = r.Seconds(ours_bench);
    const double first = r.Seconds(first_bench);
    const double whole = r.Seconds(whole_bench);
    return bench::Row{"time to first audio, " + text + " (espeak-ng server)",
                      "espeak-ng called in-process: first audio / whole text",
                      bench::Duration(first) + " / " + bench::Duration(whole),
                      bench::Duration(ours),
                      "+" + bench::Duration(ours - first),
                      target,
                      met(ours, first, whole)};
}

std::vector<bench::Row> Rows(const bench::Results& r) {
    using bench::Row;
    std::vector<Row> rows;
    rows.push_back(bench::SpeedRow(r, "`vrSampleToUlaw`, 10 M samples",
                                   "65536-entry table called per sample (from a shared library)",
                                   "BM_Ulaw", "BM_UlawTable", "M samples/s", 0.97,
                                   "at least 1.0x (3% run-to-run noise)", bench::kCpuTime));
    rows.push_back(bench::SpeedRow(r, "`vrSampleToAlaw`, 10 M samples",
                                   "65536-entry table called per sample (from a shared library)",
                                   "BM_Alaw", "BM_AlawTable", "M samples/s", 0.97,
                                   "at least 1.0x (3% run-to-run noise)", bench::kCpuTime));
    if (r.Has("BM_CreateDestroy")) {
        const double t = r.Seconds("BM_CreateDestroy", bench::kCpuTime);
        rows.push_back(Row{"`vrCreateConnection` + `vrDestroyConnection`", "-", "-",
                           bench::Duration(t), "-", "under 200 us", t < 200e-6});
    }
    if (r.Has("BM_MemoryPerConnection/0")) {
        const double kb = r.Counter("BM_MemoryPerConnection/0", "KB");
        rows.push_back(Row{"resident memory per open connection (50 open to the tone server)", "-",
                           "-", bench::Quantity(kb, "KB"), "-", "under 64 KB", kb < 64});
    }
    if (r.Has("BM_MemoryPerConnection/1")) {
        const double kb = r.Counter("BM_MemoryPerConnection/1", "KB");
        rows.push_back(Row{"resident memory per connection after a one-word render", "-", "-",
                           bench::Quantity(kb, "KB"), "-", "(for information)", true});
    }
    rows.push_back(bench::TimeRow(r, "query round trip", "raw TCP ping-pong", "BM_Query",
                                  "BM_RawQuery", 1.05, "within 1.05x", bench::kWallTime));
    rows.push_back(bench::TimeRow(r, "one-word render", "two raw ping-pongs", "BM_RenderWord",
                                  "BM_RawRenderWord", 1.1, "within 1.1x", bench::kWallTime));
    rows.push_back(bench::SpeedRow(r, "audio bytes reaching the callback (tone server)",
                                   "raw loopback socket", "BM_AudioToCallback", "BM_RawAudio",
                                   "MB/s", 0.8, "at least 0.8x", bench::kWallTime));
    rows.push_back(
        FirstAudioRow(r, "10-word sentence", "Sentence", "within 1 ms of in-process",
                      [](double ours, double first, double) { return ours - first <= 1e-3; }));
    rows.push_back(FirstAudioRow(r, "2000-word text", "LongText",
                                 "first audio before the whole text is synthesised",
                                 [](double ours, double, double whole) { return ours < whole; }));
    return rows;
}

}  // namespace

int main(int argc, char** argv) {
    return bench::RunAndReport(argc, argv, Rows);
}
