#include "http/http_conn.h"

http_conn* list_http_conn_add_new(list<http_conn>* list, const sockaddr_in* addr)
{
    auto* item = new http_conn{};
    item->addr = *addr;
    item->sock = -1;
    return list_add_item(list, item);
}

http_conn* list_http_conn_remove(list<http_conn>* list, http_conn* item)
{
    http_conn* successor = list_remove(list, item);
    delete item;
    return successor;
}
