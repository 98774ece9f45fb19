// Connections of the HTTP thread, keyed by the peer's 16-byte address.
// Used by the HTTP thread only.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <type_traits>

#include "list/list.h"

struct http_conn {
    http_conn* next;
    int32_t sock;
    sockaddr_in addr;
    uint32_t state;
    uint8_t* recv_buf;
    uint32_t recv_len;
};

static_assert(std::is_standard_layout_v<http_conn>);
static_assert(offsetof(http_conn, next) == 0);

http_conn* list_http_conn_add_new(list<http_conn>* list, const sockaddr_in* addr);
// Unlinks and frees the record; returns the record that followed it.
http_conn* list_http_conn_remove(list<http_conn>* list, http_conn* item);
