// SPDX-License-Identifier: MIT
// Throughput of the XML scanner on documents of growing size. The scan is
// linear: bytes per second at 100 KB and at 1 MB should agree within a few
// percent, one-shot and in 4096-byte chunks alike.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>

#include "textproc/scanner/tpxml.h"

namespace {

// A configuration-like document of about `size` bytes with every construct
// the scanner handles.
std::string MakeDocument(size_t size) {
    std::string doc = "<?xml version=\"1.0\"?>\n<!DOCTYPE root [ <!ENTITY e 'x'> ]>\n<root>\n";
    for (int i = 0; doc.size() < size; ++i) {
        std::string n = std::to_string(i);
        doc += "  <group id=\"" + n + "\" name='caf\xC3\xA9-" + n +
               "' enabled='True'>Some text, with words &amp; a well-known hyphen.</group>\n";
        if (i % 10 == 0) {
            doc += "  <!-- a comment mentioning <tags/> -->\n  <![CDATA[raw <b>data</b>]]>\n";
        }
        doc += "  <setting key='k" + n + "' value=\"v\"/>\n";
    }
    return doc + "</root>\n";
}

int OnStart(void* ud, const char*, const char** atts) {
    int64_t* count = static_cast<int64_t*>(ud);
    for (int i = 0; atts[i] != nullptr; ++i) {
        ++*count;
    }
    return 0;
}

int OnEnd(void* ud, const char*) {
    ++*static_cast<int64_t*>(ud);
    return 0;
}

int OnData(void* ud, const char*, int32_t len) {
    *static_cast<int64_t*>(ud) += len;
    return 0;
}

void Scan(benchmark::State& state, size_t chunk) {
    const std::string doc = MakeDocument(static_cast<size_t>(state.range(0)));
    KVTP_tpxml* x = KVTP_tpxml_new();
    int64_t sink = 0;
    KVTP_tpxml_set_userdata(x, &sink);
    KVTP_tpxml_set_element_handler(x, OnStart, OnEnd);
    KVTP_tpxml_set_character_data_handler(x, OnData);
    for (auto _ : state) {
        for (size_t at = 0; at < doc.size(); at += chunk) {
            size_t n = std::min(chunk, doc.size() - at);
            KVTP_tpxml_parse(x, doc.data() + at, static_cast<int32_t>(n), 0);
        }
        KVTP_tpxml_parse(x, nullptr, 0, 1);
        benchmark::DoNotOptimize(sink);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(doc.size()));
    KVTP_tpxml_delete(x);
}

void BM_ScanOneShot(benchmark::State& state) {
    Scan(state, SIZE_MAX);
}

void BM_ScanChunked4096(benchmark::State& state) {
    Scan(state, 4096);
}

BENCHMARK(BM_ScanOneShot)->Arg(100 << 10)->Arg(1 << 20)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ScanChunked4096)->Arg(100 << 10)->Arg(1 << 20)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
