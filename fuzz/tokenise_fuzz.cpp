// SPDX-License-Identifier: MIT
// Fuzzes the tokenising channel on arbitrary bytes, split into pieces of a
// size taken from the input, in the client's lax mode, in the strict mode
// that skips the encoding repair (with a small context), and in server mode.
// Nothing may crash, hang or read out of bounds; in lax mode the output must
// be valid UTF-8 without NUL bytes; and on valid UTF-8 input every mark must
// name a run of characters of the input.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "tests/textproc/tokenise_support.h"
#include "textproc/tokeniser/tokenise.h"
#include "textproc/tokeniser/tokenise_utf8.h"
#include "textproc/tokeniser/tpc.h"

namespace {

using tokenise_test::RecordingChannel;

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

// Channels are built once (building compiles every pattern) and reused:
// each run ends with a final call, which starts a new document.
struct Channels {
    RecordingChannel client_xml{1}, client_text{0}, client_no_app{1};
    RecordingChannel strict{1, strict_config()};
    KVTP_tpc* server = KVTP_tpc_newtype(nullptr, nullptr, 1, "SERVER", 3);
    Channels() {
        // The callbacks share one user data pointer: it stays the channel.
        KVTP_tpc_set_application_callback(client_no_app.get(), nullptr, &client_no_app);
        KVTP_tokenise_set_server_mode(static_cast<KVTP_tokenise*>(server->processor));
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > (1 << 17))
        return 0;
    static Channels channels;
    const uint8_t control = data[0];
    const size_t len = size - 1;
    static const size_t kSteps[] = {0, 1, 2, 3, 7, 64, 4096, 5000};
    const size_t step = kSteps[control & 7];

    // Exactly sized copy, so reads past the end are caught.
    std::vector<char> input(data + 1, data + size);

    // Client mode: lax, encoding repaired, so the output is valid UTF-8.
    RecordingChannel& client = (control & 16)  ? channels.client_no_app
                               : (control & 8) ? channels.client_text
                                               : channels.client_xml;
    client.clear();
    client.process_split(input.data(), len, step);
    const std::string& out = client.text();
    FuzzCheck(kvtp_tokenise::first_invalid(out.data(), 0, static_cast<int32_t>(out.size()), true) <
              0);

    if (kvtp_tokenise::first_invalid(input.data(), 0, static_cast<int32_t>(len), true) < 0) {
        for (const tokenise_test::Mark& m : tokenise_test::marks_of(out)) {
            const size_t b = static_cast<size_t>(m.bytes_at), e = b + static_cast<size_t>(m.bytes);
            FuzzCheck(m.bytes_at >= 0 && e <= len);
            FuzzCheck(tokenise_test::chars_in(input.data(), 0, b) == m.chars_at);
            FuzzCheck(tokenise_test::chars_in(input.data(), b, e) == m.chars);
        }
    }

    // Strict mode: no encoding repair, so invalid bytes reach the scanners.
    channels.strict.clear();
    channels.strict.process_split(input.data(), len, step);

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
