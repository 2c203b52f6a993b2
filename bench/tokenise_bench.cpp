// Throughput of the tokenising channel on a 5 MB marked-up English corpus,
// beside libxml2's SAX parser on the same bytes, and the growth of the
// tokenising time on hostile markup (1 MB against 4 MB).
#include <benchmark/benchmark.h>
#include <libxml/parser.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "textproc/tokeniser/tpc.h"

namespace {

// Deterministic English-like text with the markup a speech application sends.
std::string make_corpus(size_t target) {
    static const char* const kWords[] = {
        "the",      "quick",   "brown",    "fox",     "jumps",      "over",      "lazy",
        "dog",      "speech",  "server",   "voice",   "renders",    "every",     "word",
        "with",     "care",    "although", "weather", "seemed",     "uncertain", "morning",
        "children", "walked",  "towards",  "station", "carrying",   "bright",    "umbrellas",
        "and",      "singing", "quietly",  "again",   "well-known", "it's",      "don't",
        "1984",     "3.14",    "e-mail",   "U.S.",    "Dr.",
    };
    const size_t n = sizeof kWords / sizeof kWords[0];
    uint32_t seed = 12345;
    auto next = [&seed]() {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 16) & 0x7FFF;
    };
    std::string s = "<?xml version=\"1.0\"?>\n<speak>\n";
    while (s.size() < target) {
        s += "<p>";
        for (int sentence = 0; sentence < 4; ++sentence) {
            s += "<s>";
            int words = 6 + static_cast<int>(next() % 12);
            for (int w = 0; w < words; ++w) {
                uint32_t r = next();
                if (w > 0)
                    s += ' ';
                if (r % 23 == 0) {
                    s += "<emphasis level=\"strong\">";
                    s += kWords[next() % n];
                    s += "</emphasis>";
                } else if (r % 31 == 0) {
                    s += "<break time=\"300ms\"/>";
                    s += kWords[next() % n];
                } else if (r % 37 == 0) {
                    s += "Smith &amp; Sons";
                } else {
                    s += kWords[r % n];
                }
                if (r % 11 == 0)
                    s += ',';
            }
            s += ".</s>\n";
        }
        s += "</p>\n";
    }
    s += "</speak>\n";
    return s;
}

const std::string& corpus() {
    static const std::string c = make_corpus(5 * 1024 * 1024);
    return c;
}

void count_text(void* userdata, const char*, int length) {
    *static_cast<int64_t*>(userdata) += length;
}

void BM_TokeniseChannel(benchmark::State& state) {
    const std::string& text = corpus();
    KVTP_tpc* channel = KVTP_tpc_newtype(nullptr, nullptr, 1, "CLIENT", 3);
    int64_t out = 0;
    KVTP_tpc_set_text_callback(channel, count_text, &out);
    for (auto _ : state) {
        KVTP_tpc_process(channel, text.data(), static_cast<int32_t>(text.size()), 1);
    }
    benchmark::DoNotOptimize(out);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(text.size()));
    state.counters["MB/s"] = benchmark::Counter(static_cast<double>(text.size()) / 1e6,
                                                benchmark::Counter::kIsIterationInvariantRate);
    KVTP_tpc_delete(channel);
}
BENCHMARK(BM_TokeniseChannel)->Unit(benchmark::kMillisecond);

struct SaxCounts {
    int64_t elements = 0;
    int64_t chars = 0;
};

xmlSAXHandler counting_sax() {
    xmlSAXHandler sax;
    memset(&sax, 0, sizeof sax);
    sax.initialized = XML_SAX2_MAGIC;
    sax.startElementNs = [](void* ctx, const xmlChar*, const xmlChar*, const xmlChar*, int,
                            const xmlChar**, int, int,
                            const xmlChar**) { ++static_cast<SaxCounts*>(ctx)->elements; };
    sax.characters = [](void* ctx, const xmlChar*, int len) {
        static_cast<SaxCounts*>(ctx)->chars += len;
    };
    return sax;
}

void BM_Libxml2Sax(benchmark::State& state) {
    const std::string& text = corpus();
    xmlSAXHandler sax = counting_sax();
    SaxCounts counts;
    for (auto _ : state) {
        int rc = xmlSAXUserParseMemory(&sax, &counts, text.data(), static_cast<int>(text.size()));
        if (rc != 0)
            state.SkipWithError("libxml2 rejected the corpus");
    }
    benchmark::DoNotOptimize(counts);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(text.size()));
    state.counters["MB/s"] = benchmark::Counter(static_cast<double>(text.size()) / 1e6,
                                                benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_Libxml2Sax)->Unit(benchmark::kMillisecond);

// Hostile markup that never ends: time must grow linearly with the size.
void hostile(benchmark::State& state, const char* unit) {
    const size_t size = static_cast<size_t>(state.range(0)) * 1024 * 1024;
    std::string text;
    text.reserve(size + 16);
    while (text.size() < size)
        text += unit;
    KVTP_tpc* channel = KVTP_tpc_newtype(nullptr, nullptr, 1, "CLIENT", 3);
    int64_t out = 0;
    KVTP_tpc_set_text_callback(channel, count_text, &out);
    for (auto _ : state) {
        KVTP_tpc_process(channel, text.data(), static_cast<int32_t>(text.size()), 1);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(text.size()));
    KVTP_tpc_delete(channel);
}

void BM_HostileProcessingInstruction(benchmark::State& state) {
    hostile(state, "<?");
}
void BM_HostileDoctype(benchmark::State& state) {
    hostile(state, "<!DOCTYPE x [");
}
void BM_HostileAttribute(benchmark::State& state) {
    hostile(state, "<a b=\"");
}
void BM_HostileDoctypeWithDeclarations(benchmark::State& state) {
    hostile(state, "<!DOCTYPE x [<!x>");
}
void BM_HostileNoSpace(benchmark::State& state) {
    hostile(state, "abcdefghij");
}
BENCHMARK(BM_HostileProcessingInstruction)->Arg(1)->Arg(4)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_HostileDoctype)->Arg(1)->Arg(4)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_HostileAttribute)->Arg(1)->Arg(4)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_HostileDoctypeWithDeclarations)->Arg(1)->Arg(4)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_HostileNoSpace)->Arg(1)->Arg(4)->Unit(benchmark::kMillisecond);

// Side by side: the two parsers run in turn on the same bytes and the best
// time of each counts, so that load from other processes, which comes and
// goes, weighs on both alike.
void compare(int rounds) {
    const std::string& text = corpus();
    KVTP_tpc* channel = KVTP_tpc_newtype(nullptr, nullptr, 1, "CLIENT", 3);
    int64_t out = 0;
    KVTP_tpc_set_text_callback(channel, count_text, &out);
    xmlSAXHandler sax = counting_sax();
    SaxCounts counts;
    using Clock = std::chrono::steady_clock;
    double best_channel = 1e30;
    double best_sax = 1e30;
    for (int r = 0; r < rounds; ++r) {
        Clock::time_point t0 = Clock::now();
        KVTP_tpc_process(channel, text.data(), static_cast<int32_t>(text.size()), 1);
        Clock::time_point t1 = Clock::now();
        xmlSAXUserParseMemory(&sax, &counts, text.data(), static_cast<int>(text.size()));
        Clock::time_point t2 = Clock::now();
        best_channel = std::min(best_channel, std::chrono::duration<double>(t1 - t0).count());
        best_sax = std::min(best_sax, std::chrono::duration<double>(t2 - t1).count());
    }
    KVTP_tpc_delete(channel);
    const double mb = static_cast<double>(text.size()) / 1e6;
    printf("\nSide by side, best of %d rounds on %.2f MB:\n", rounds, mb);
    printf("  tokenising channel  %8.1f MB/s\n", mb / best_channel);
    printf("  libxml2 SAX         %8.1f MB/s\n", mb / best_sax);
    printf("  channel / SAX       %8.1f %%\n", 100.0 * best_sax / best_channel);
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    compare(20);
    return 0;
}
