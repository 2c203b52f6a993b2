// SPDX-License-Identifier: MIT
// The singly linked list operations shared by list and strlist; not part of
// the toolkit's interface. Node is a struct with `val` and `next`; values are
// KVTP_malloc blocks owned by the list.
#ifndef VRELAY_TEXTPROC_LIST_IMPL_H
#define VRELAY_TEXTPROC_LIST_IMPL_H

#include <cstdint>
#include <new>

#include "textproc/toolkit/oswrappers.h"

namespace kvtp_detail {

template <typename Node>
Node* list_node() {
    void* p = KVTP_malloc(sizeof(Node));
    return p == nullptr ? nullptr : new (p) Node();
}

template <typename Node>
bool list_is_empty_head(const Node* l) {
    return l->val == nullptr && l->next == nullptr;
}

template <typename Node>
void list_delete(Node* l) {
    while (l != nullptr) {
        Node* next = l->next;
        KVTP_free(l->val);
        KVTP_free(l);
        l = next;
    }
}

template <typename Node>
void list_clear(Node* l) {
    if (l == nullptr)
        return;
    list_delete(l->next);
    KVTP_free(l->val);
    l->val = nullptr;
    l->next = nullptr;
}

template <typename Node>
Node* list_last(Node* l) {
    while (l != nullptr && l->next != nullptr)
        l = l->next;
    return l;
}

template <typename Node, typename V>
int list_append(Node* l, V v) {
    if (l == nullptr)
        return 0;
    if (list_is_empty_head(l)) {
        l->val = v;
        return 1;
    }
    Node* n = list_node<Node>();
    if (n == nullptr)
        return 0;
    n->val = v;
    list_last(l)->next = n;
    return 1;
}

template <typename Node, typename V>
Node* list_push(Node* l, V v) {
    if (l != nullptr && list_is_empty_head(l)) {
        l->val = v;
        return l;
    }
    Node* n = list_node<Node>();
    if (n == nullptr)
        return nullptr;
    n->val = v;
    n->next = l;
    return n;
}

template <typename Node>
Node* list_pop(Node* l, Node** head) {
    if (head != nullptr)
        *head = nullptr;
    if (l == nullptr)
        return nullptr;
    Node* rest = l->next;
    if (rest == nullptr) {
        rest = list_node<Node>();
        if (rest == nullptr)
            return nullptr;
    }
    l->next = nullptr;
    if (head != nullptr) {
        *head = l;
    } else {
        list_delete(l);
    }
    return rest;
}

template <typename Node>
Node* list_at(Node* l, int32_t i) {
    if (i < 0)
        return nullptr;
    for (; l != nullptr && i > 0; --i)
        l = l->next;
    return l;
}

template <typename Node>
int32_t list_sz(const Node* l) {
    if (l == nullptr || list_is_empty_head(l))
        return 0;
    int32_t n = 0;
    for (; l != nullptr; l = l->next)
        ++n;
    return n;
}

}  // namespace kvtp_detail

#endif  // VRELAY_TEXTPROC_LIST_IMPL_H
