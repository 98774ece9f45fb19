#include "tcp/tcp_conn.h"

#include <cstring>

tcp_conn* list_tcp_conn_add_new(list<tcp_conn>* list, const sockaddr_in* addr)
{
    auto* item = new tcp_conn{};
    item->addr = *addr;
    item->sock = -1;
    return list_add_item(list, item);
}

tcp_conn* list_tcp_conn_find_addr(list<tcp_conn>* list, const sockaddr_in* addr)
{
    for (tcp_conn* item = list->head; item; item = item->next)
        if (std::memcmp(&item->addr, addr, sizeof item->addr) == 0)
            return item;
    return nullptr;
}

tcp_conn* list_tcp_conn_remove(list<tcp_conn>* list, tcp_conn* item)
{
    tcp_conn* successor = list_remove(list, item);
    delete item;
    return successor;
}
