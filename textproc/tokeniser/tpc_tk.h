// SPDX-License-Identifier: MIT
// The tokenising channel type (`tk`, type 3): its processing object is the
// tokeniser, and its process hands the text before each application tag to
// the text callback and the tag itself to the application callback.
#ifndef VRELAY_TEXTPROC_TPC_TK_H
#define VRELAY_TEXTPROC_TPC_TK_H

#include <cstdint>

struct KVTP_tpc;

// Creates the tokeniser as the channel's processor. Returns 1, 0 on failure.
int KVTP_tpc_tk_init(KVTP_tpc* channel);
int KVTP_tpc_tk_reset(KVTP_tpc* channel);
int KVTP_tpc_tk_reset_tpdb(KVTP_tpc* channel);
void KVTP_tpc_tk_delete(KVTP_tpc* channel);
// One piece of text; final is 0 or 1.
void KVTP_tpc_tk_process(KVTP_tpc* channel, const char* text, int32_t len, int32_t final);

#endif  // VRELAY_TEXTPROC_TPC_TK_H
