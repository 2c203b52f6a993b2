// SPDX-License-Identifier: MIT
// Throughput of the tokenising channel on a 5 MB marked-up English corpus and
// on 5 MB of plain prose, each beside libxml2's SAX parser on the same bytes,
// and the growth of the tokenising time on hostile markup (1 MB against 4 MB).
#include <benchmark/benchmark.h>
#include <libxml/parser.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "report.h"
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

size_t CorpusBytes() {
    return bench::Smoke() ? 16 * 1024 : 5 * 1024 * 1024;
}

const std::string& corpus() {
    static const std::string c = make_corpus(CorpusBytes());
    return c;
}

// A licence text repeated to the corpus size, as one document: its few
// angle brackets escaped, so that both parsers read it as text.
const std::string& prose() {
    static const std::string p = [] {
        std::ifstream in("/usr/share/common-licenses/GPL-3");
        std::stringstream whole;
        whole << in.rdbuf();
        std::string text;
        for (char ch : whole.str()) {
            if (ch == '<') {
                text += "&lt;";
            } else {
                text += ch;
            }
        }
        if (text.empty()) {
            text = "Plain prose without any markup. ";
        }
        std::string document = "<speak>\n";
        while (document.size() < CorpusBytes()) {
            document += text;
        }
        return document + "</speak>\n";
    }();
    return p;
}

void count_text(void* userdata, const char*, int length) {
    *static_cast<int64_t*>(userdata) += length;
}

void Tokenise(benchmark::State& state, const std::string& text) {
    KVTP_tpc* channel = KVTP_tpc_newtype(nullptr, nullptr, 1, "CLIENT", 3);
    int64_t out = 0;
    KVTP_tpc_set_text_callback(channel, count_text, &out);
    for (auto _ : state) {
        KVTP_tpc_process(channel, text.data(), static_cast<int32_t>(text.size()), 1);
    }
    benchmark::DoNotOptimize(out);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(text.size()));
    state.counters["units"] = static_cast<double>(text.size()) / 1e6;
    KVTP_tpc_delete(channel);
}
void BM_TokeniseChannel(benchmark::State& state) {
    Tokenise(state, corpus());
}
void BM_TokeniseProse(benchmark::State& state) {
    Tokenise(state, prose());
}
BENCHMARK(BM_TokeniseChannel)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TokeniseProse)->Unit(benchmark::kMillisecond);

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

void Sax(benchmark::State& state, const std::string& text) {
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
    state.counters["units"] = static_cast<double>(text.size()) / 1e6;
}
void BM_Libxml2Sax(benchmark::State& state) {
    Sax(state, corpus());
}
void BM_Libxml2SaxProse(benchmark::State& state) {
    Sax(state, prose());
}
BENCHMARK(BM_Libxml2Sax)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Libxml2SaxProse)->Unit(benchmark::kMillisecond);

// Hostile markup that never ends: time must grow linearly with the size.
void hostile(benchmark::State& state, const char* unit) {
    const size_t size = static_cast<size_t>(state.range(0)) * (bench::Smoke() ? 1024 : 1024 * 1024);
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

// Linear growth: the 4 MB time is four times the 1 MB time.
bench::Row Linearity(const bench::Results& r, const char* unit, const char* name) {
    const std::string one = std::string(name) + "/1", four = std::string(name) + "/4";
    if (!r.Has(one) || !r.Has(four)) {
        return bench::Row{};
    }
    const double growth = r.Seconds(four, bench::kCpuTime) / r.Seconds(one, bench::kCpuTime);
    char ratio[32];
    snprintf(ratio, sizeof ratio, "%.2fx", growth);
    return bench::Row{std::string("hostile markup `") + unit + "...`, 1 MB vs 4 MB",
                      "linear: 4.00x",
                      bench::Duration(r.Seconds(one, bench::kCpuTime)) + " (1 MB)",
                      bench::Duration(r.Seconds(four, bench::kCpuTime)) + " (4 MB)",
                      ratio,
                      "within 20% of linear (3.2x to 4.8x)",
                      growth >= 3.2 && growth <= 4.8};
}

std::vector<bench::Row> Rows(const bench::Results& r) {
    return {
        bench::SpeedRow(r, "tokenising channel, 5 MB marked-up corpus",
                        "libxml2 SAX on the same bytes", "BM_TokeniseChannel", "BM_Libxml2Sax",
                        "MB/s", 0.75, "at least 0.75x", bench::kCpuTime),
        bench::SpeedRow(r, "tokenising channel, 5 MB plain prose (GPL-3 repeated)",
                        "libxml2 SAX on the same bytes", "BM_TokeniseProse", "BM_Libxml2SaxProse",
                        "MB/s", 0.75, "at least 0.75x", bench::kCpuTime),
        Linearity(r, "<?", "BM_HostileProcessingInstruction"),
        Linearity(r, "<!DOCTYPE x [", "BM_HostileDoctype"),
        Linearity(r, "<a b=\"", "BM_HostileAttribute"),
        Linearity(r, "<!DOCTYPE x [<!x>", "BM_HostileDoctypeWithDeclarations"),
        Linearity(r, "abcdefghij", "BM_HostileNoSpace"),
    };
}

}  // namespace

int main(int argc, char** argv) {
    return bench::RunAndReport(argc, argv, Rows);
}
