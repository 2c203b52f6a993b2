// SPDX-License-Identifier: MIT
#include "textproc/tokeniser/tpc_tk.h"

#include "textproc/tokeniser/tokenise.h"
#include "textproc/tokeniser/tpc.h"

namespace {

KVTP_tokenise* tokeniser(KVTP_tpc* channel) {
    return static_cast<KVTP_tokenise*>(channel->processor);
}

}  // namespace

int KVTP_tpc_tk_init(KVTP_tpc* channel) {
    if (channel == nullptr)
        return 0;
    channel->processor = KVTP_tokenise_new(channel);
    return channel->processor != nullptr ? 1 : 0;
}

int KVTP_tpc_tk_reset(KVTP_tpc* channel) {
    if (channel == nullptr || channel->processor == nullptr)
        return 0;
    KVTP_tokenise_reset(tokeniser(channel), channel);
    return 1;
}

int KVTP_tpc_tk_reset_tpdb(KVTP_tpc* channel) {
    if (channel == nullptr || channel->processor == nullptr)
        return 0;
    KVTP_tokenise_reset_tpdb(tokeniser(channel), channel);
    return 1;
}

void KVTP_tpc_tk_delete(KVTP_tpc* channel) {
    if (channel == nullptr)
        return;
    KVTP_tokenise_delete(tokeniser(channel));
    channel->processor = nullptr;
}

void KVTP_tpc_tk_process(KVTP_tpc* channel, const char* text, int32_t len, int32_t final) {
    if (channel == nullptr || channel->processor == nullptr)
        return;
    KVTP_tokenise* tk = tokeniser(channel);
    int32_t mode = final;
    for (;;) {
        KVTP_dystr* out = KVTP_tokenise_process(tk, text, len, mode);
        int32_t tag_len = 0, found = 0, pending = 0;
        const char* tag = KVTP_tokenise_application_tag(tk, &tag_len, &found, &pending);
        // The callbacks are read afresh at every step: a callback may clear
        // them, and that takes effect at once.
        if (channel->application_callback == nullptr) {
            out = KVTP_tpc_builtin_cb_app_filter(channel, found, tag, out);
        }
        if (out != nullptr && (found == 0 || pending != 0)) {
            if (channel->final_text_callback != nullptr) {
                // No tag stopped a final call: this text carries the final mark.
                channel->final_text_callback(channel->userdata, KVTP_dystr_cstr(out),
                                             KVTP_dystr_sz(out), mode != 0 && found == 0);
            } else if (channel->text_callback != nullptr) {
                channel->text_callback(channel->userdata, KVTP_dystr_cstr(out), KVTP_dystr_sz(out));
            } else {
                KVTP_tpc_builtin_cb_app(channel, found, tag, out);
            }
        }
        if (found == 0)
            return;
        if (channel->application_callback != nullptr) {
            channel->application_callback(channel->userdata, tag, tag_len);
        }
        if (final == 0)
            return;  // the text after the tag waits for the next call
        // Resume after the tag; the tokeniser treats mode 2 as final.
        text = "";
        len = 0;
        mode = 2;
    }
}
