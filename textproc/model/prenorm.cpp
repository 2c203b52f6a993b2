// SPDX-License-Identifier: MIT
#include "textproc/model/prenorm.h"

#include "textproc/toolkit/string_ops.h"

namespace {

enum Feature : int32_t {
    kLowered = 2,
    kAlpha = 3,
    kOther = 4,
    kConverted = 5,
    kCapitalised = 6,
};

}  // namespace

int KVTP_toxtoken_prenorm(KVTP_toxtoken* token, const KVTP_prenorm_rules* rules) {
    if (token == nullptr || rules == nullptr)
        return 0;
    const char* text = KVTP_toxtoken_getnorm(token);
    const int32_t size = KVTP_dystr_sz(token->norm);
    KVTP_dystr* out = KVTP_dystr_new("", size);
    if (out == nullptr)
        return 0;
    bool lowered = false, alpha = false, other = false, converted = false, capitalised = true;
    bool ok = true;
    for (int32_t at = 0; ok && at < size;) {
        const int32_t start = at;
        KVTP_u8_inc(text, &at);
        const char* ch = text + start;
        const int32_t len = at - start;
        bool was_converted = false, was_lowered = false;
        if (rules->convertillegal != nullptr &&
            rules->convertillegal(rules->context, ch, len, out)) {
            was_converted = true;
        } else if (rules->downcase != nullptr && rules->downcase(rules->context, ch, len, out)) {
            was_lowered = true;
        } else {
            ok = KVTP_dystr_append(out, ch, len) == 1;
        }
        const bool was_alpha =
            rules->is_alpha != nullptr && rules->is_alpha(rules->context, ch, len) != 0;
        lowered |= was_lowered;
        alpha |= was_alpha;
        converted |= was_converted;
        other |= !was_lowered && !was_alpha && !was_converted;
        if (start == 0)
            capitalised = was_lowered;
        else
            capitalised = capitalised && !was_lowered && (was_alpha || was_converted);
    }
    if (ok)
        ok = KVTP_toxtoken_set_norm(token, KVTP_dystr_cstr(out), KVTP_dystr_sz(out)) == 1;
    KVTP_dystr_delete(out);
    if (!ok)
        return 0;
    KVTP_toxtoken_setfeat(token, kLowered, lowered);
    KVTP_toxtoken_setfeat(token, kAlpha, alpha);
    KVTP_toxtoken_setfeat(token, kOther, other);
    KVTP_toxtoken_setfeat(token, kConverted, converted);
    KVTP_toxtoken_setfeat(token, kCapitalised, capitalised);
    return 1;
}
