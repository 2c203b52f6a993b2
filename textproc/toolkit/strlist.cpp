// SPDX-License-Identifier: MIT
#include "textproc/toolkit/strlist.h"

#include "textproc/toolkit/string_ops.h"
#include "textproc/toolkit/list_impl.h"

using namespace kvtp_detail;

namespace {

char* copy_of(const char* text, int32_t len) {
    return KVTP_strndup(text == nullptr ? "" : text, len);
}

}  // namespace

KVTP_strlist* KVTP_strlist_new() {
    return list_node<KVTP_strlist>();
}
void KVTP_strlist_delete(KVTP_strlist* l) {
    list_delete(l);
}
void KVTP_strlist_clear(KVTP_strlist* l) {
    list_clear(l);
}

int KVTP_strlist_append(KVTP_strlist* l, const char* text, int32_t len) {
    if (l == nullptr)
        return 0;
    char* s = copy_of(text, len);
    if (s == nullptr)
        return 0;
    if (!list_append(l, s)) {
        KVTP_free(s);
        return 0;
    }
    return 1;
}

KVTP_strlist* KVTP_strlist_push(KVTP_strlist* l, const char* text, int32_t len) {
    char* s = copy_of(text, len);
    if (s == nullptr)
        return nullptr;
    KVTP_strlist* head = list_push(l, s);
    if (head == nullptr)
        KVTP_free(s);
    return head;
}

KVTP_strlist* KVTP_strlist_pop(KVTP_strlist* l, KVTP_strlist** head) {
    return list_pop(l, head);
}
KVTP_strlist* KVTP_strlist_last(KVTP_strlist* l) {
    return list_last(l);
}
char* KVTP_strlist_val(const KVTP_strlist* l) {
    return l == nullptr ? nullptr : l->val;
}
char* KVTP_strlist_idx(const KVTP_strlist* l, int32_t i) {
    const KVTP_strlist* n = list_at(l, i);
    return n == nullptr ? nullptr : n->val;
}
int32_t KVTP_strlist_sz(const KVTP_strlist* l) {
    return list_sz(l);
}
