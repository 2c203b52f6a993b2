// SPDX-License-Identifier: MIT
#include "textproc/toolkit/list.h"

#include "textproc/toolkit/list_impl.h"

using namespace kvtp_detail;

KVTP_list* KVTP_list_new() {
    return list_node<KVTP_list>();
}
void KVTP_list_delete(KVTP_list* l) {
    list_delete(l);
}
void KVTP_list_clear(KVTP_list* l) {
    list_clear(l);
}
int KVTP_list_append(KVTP_list* l, void* v) {
    return list_append(l, v);
}
KVTP_list* KVTP_list_push(KVTP_list* l, void* v) {
    return list_push(l, v);
}
KVTP_list* KVTP_list_pop(KVTP_list* l, KVTP_list** head) {
    return list_pop(l, head);
}
KVTP_list* KVTP_list_last(KVTP_list* l) {
    return list_last(l);
}
void* KVTP_list_val(const KVTP_list* l) {
    return l == nullptr ? nullptr : l->val;
}
void* KVTP_list_idx(const KVTP_list* l, int32_t i) {
    const KVTP_list* n = list_at(l, i);
    return n == nullptr ? nullptr : n->val;
}
int32_t KVTP_list_sz(const KVTP_list* l) {
    return list_sz(l);
}
