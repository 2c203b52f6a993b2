// SPDX-License-Identifier: MIT
// Fuzzes the tokenising channel on arbitrary bytes, split into pieces of a
// size taken from the input, in the client's lax mode, in the strict mode
// that skips the encoding repair (with a small context), and in server mode.
// Nothing may crash, hang or read out of bounds; in lax mode the output must
// be valid UTF-8 without NUL bytes; and on valid UTF-8 input every mark must
// name a run of characters of the input.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "textproc/tokeniser/tokenise.h"
#include "textproc/tokeniser/tokenise_utf8.h"
#include "textproc/tokeniser/tpc.h"

namespace {

struct Sink {
    std::string text;
    std::string tags;
};

void on_text(void* u, const char* text, int len) {
    static_cast<Sink*>(u)->text.append(text, static_cast<size_t>(len));
}
void on_app(void* u, const char* text, int len) {
    static_cast<Sink*>(u)->tags.append(text, static_cast<size_t>(len));
}

// A configuration file selecting strict mode and a 64-byte context, written
// once.
const char* strict_config() {
    static std::string path;
    if (path.empty()) {
        char name[] = "/tmp/tokenise_fuzz_XXXXXX";
        int fd = mkstemp(name);
        FuzzCheck(fd >= 0);
        const char doc[] =
            "<tpconfig><tokenise processing_mode='strict_utf8_xml' context_size='64'/></tpconfig>";
        FuzzCheck(write(fd, doc, sizeof doc - 1) == static_cast<ssize_t>(sizeof doc - 1));
        close(fd);
        path = name;
    }
    return path.c_str();
}

void feed(KVTP_tpc* ch, const char* data, size_t size, size_t step) {
    size_t pos = 0;
    while (step > 0 && size - pos > step) {
        KVTP_tpc_process(ch, data + pos, static_cast<int32_t>(step), 0);
        pos += step;
    }
    KVTP_tpc_process(ch, data + pos, static_cast<int32_t>(size - pos), 1);
}

int64_t chars_in(const char* s, size_t from, size_t to) {
    int64_t n = 0;
    for (size_t i = from; i < to; ++i)
        n += (static_cast<unsigned char>(s[i]) & 0xC0) != 0x80;
    return n;
}

// Channels are built once (building compiles every pattern) and reused:
// each run ends with a final call, which starts a new document.
struct Channels {
    Sink client_sink, client_no_app_sink, strict_sink;
    KVTP_tpc* client_xml;
    KVTP_tpc* client_text;
    KVTP_tpc* client_no_app;
    KVTP_tpc* strict;
    KVTP_tpc* server;
    Channels() {
        client_xml = KVTP_tpc_newtype(nullptr, nullptr, 1, "CLIENT", 3);
        client_text = KVTP_tpc_newtype(nullptr, nullptr, 0, "CLIENT", 3);
        client_no_app = KVTP_tpc_newtype(nullptr, nullptr, 1, "CLIENT", 3);
        strict = KVTP_tpc_newtype(nullptr, strict_config(), 1, "FUZZ", 3);
        server = KVTP_tpc_newtype(nullptr, nullptr, 1, "SERVER", 3);
        for (KVTP_tpc* ch : {client_xml, client_text}) {
            KVTP_tpc_set_text_callback(ch, on_text, &client_sink);
            KVTP_tpc_set_application_callback(ch, on_app, &client_sink);
        }
        KVTP_tpc_set_text_callback(client_no_app, on_text, &client_no_app_sink);
        KVTP_tpc_set_text_callback(strict, on_text, &strict_sink);
        KVTP_tpc_set_application_callback(strict, on_app, &strict_sink);
        KVTP_tokenise_set_server_mode(static_cast<KVTP_tokenise*>(server->processor));
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > (1 << 17))
        return 0;
    static Channels channels;
    const uint8_t control = data[0];
    const char* text = reinterpret_cast<const char*>(data + 1);
    const size_t len = size - 1;
    static const size_t kSteps[] = {0, 1, 2, 3, 7, 64, 4096, 5000};
    const size_t step = kSteps[control & 7];

    // Exactly sized copy, so reads past the end are caught.
    std::vector<char> input(text, text + len);

    // Client mode: lax, encoding repaired, so the output is valid UTF-8.
    Sink& sink = channels.client_sink;
    sink.text.clear();
    sink.tags.clear();
    KVTP_tpc* ch = (control & 8) ? channels.client_text : channels.client_xml;
    if (control & 16)
        ch = channels.client_no_app;
    Sink& used = (control & 16) ? channels.client_no_app_sink : sink;
    used.text.clear();
    feed(ch, input.data(), input.size(), step);
    FuzzCheck(kvtp_tokenise::first_invalid(used.text.data(), 0,
                                           static_cast<int32_t>(used.text.size()), true) < 0);

    if (kvtp_tokenise::first_invalid(input.data(), 0, static_cast<int32_t>(len), true) < 0) {
        static const std::regex kMark("<mark name=\"kvtk_(\\d+)_(\\d+)_(\\d+)_(\\d+)\"/>");
        for (auto it = std::sregex_iterator(used.text.begin(), used.text.end(), kMark);
             it != std::sregex_iterator(); ++it) {
            size_t c = std::stoull((*it)[1]), b = std::stoull((*it)[2]);
            size_t n = std::stoull((*it)[3]), l = std::stoull((*it)[4]);
            FuzzCheck(b + l <= len);
            FuzzCheck(static_cast<size_t>(chars_in(input.data(), 0, b)) == c);
            FuzzCheck(static_cast<size_t>(chars_in(input.data(), b, b + l)) == n);
        }
    }

    // Strict mode: no encoding repair, so invalid bytes reach the scanners.
    channels.strict_sink.text.clear();
    channels.strict_sink.tags.clear();
    feed(channels.strict, input.data(), input.size(), step);

    // Server mode, straight through the tokeniser.
    auto* tk = static_cast<KVTP_tokenise*>(channels.server->processor);
    KVTP_tokenise_reset(tk, channels.server);
    KVTP_tokenise_process(tk, input.data(), static_cast<int32_t>(input.size()), 0);
    for (size_t pass = 0;; ++pass) {
        int32_t found = 0;
        KVTP_tokenise_process(tk, nullptr, 0, pass == 0 ? 1 : 2);
        KVTP_tokenise_application_tag(tk, nullptr, &found, nullptr);
        if (!found)
            break;
        FuzzCheck(pass <= 2 * len + 2);  // every pass after a tag makes progress
    }
    return 0;
}
