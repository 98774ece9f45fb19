// Intrusive singly linked lists. A list is one pointer word, its first
// item; every item begins with `next`. These operations link, unlink and
// walk; they never allocate or free (the typed list modules do).
//
// The list type carries its item type, so a list of subscriptions can only
// be linked with subscriptions. Item kinds that share a head record (the
// named items of lists.h) keep `next` typed as that head; the walk casts
// it back to the list's own item type, which is what every item of that
// list is.
#pragma once

#include <cstddef>
#include <cstdint>

#include "halyx_assert.h"

template <typename T>
struct list {
    T* head;
};

static_assert(sizeof(list<int>) == sizeof(void*), "a list is one pointer word");

template <typename T>
[[nodiscard]] T* list_next(T* item)
{
    return item ? static_cast<T*>(item->next) : nullptr;
}

template <typename T>
list<T>* list_init(list<T>* list)
{
    HALYX_ASSERT("list/list", list != NULL);
    list->head = nullptr;
    return list;
}

template <typename T>
[[nodiscard]] T* list_head(list<T>* list)
{
    HALYX_ASSERT("list/list", list != NULL);
    return list->head;
}

// Appends at the end; the first item is the oldest.
template <typename T>
T* list_add_item(list<T>* list, T* item)
{
    HALYX_ASSERT("list/list", list != NULL);
    HALYX_ASSERT("list/list", item != NULL);
    item->next = nullptr;
    if (!list->head) {
        list->head = item;
        return item;
    }
    T* last = list->head;
    while (last->next)
        last = static_cast<T*>(last->next);
    last->next = item;
    return item;
}

// Unlinks `item` and returns the item that followed it, so a caller can
// remove the current item while walking and go on with its successor.
// An item that is not in the list changes nothing and gives null.
template <typename T>
T* list_remove(list<T>* list, T* item)
{
    HALYX_ASSERT("list/list", list != NULL);
    HALYX_ASSERT("list/list", item != NULL);
    T* successor = static_cast<T*>(item->next);
    if (list->head == item) {
        list->head = successor;
        item->next = nullptr;
        return successor;
    }
    for (T* prev = list->head; prev; prev = static_cast<T*>(prev->next)) {
        if (prev->next == item) {
            prev->next = successor;
            item->next = nullptr;
            return successor;
        }
    }
    return nullptr;
}

// Hands every item to `release` (which frees it and what it owns) and
// leaves the list empty: the one free-all behind every typed list.
template <typename T, typename F>
void list_free_all(list<T>* list, F release)
{
    T* item = list->head;
    list->head = nullptr;
    while (item) {
        T* next = static_cast<T*>(item->next);
        release(item);
        item = next;
    }
}

template <typename T>
[[nodiscard]] uint32_t list_get_length(list<T>* list)
{
    HALYX_ASSERT("list/list", list != NULL);
    uint32_t count = 0;
    for (T* item = list->head; item; item = static_cast<T*>(item->next))
        ++count;
    return count;
}
