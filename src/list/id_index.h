// Hash index from a TCP connection's id to the record that holds it, kept
// beside a connection list so that lookups do not walk the list. The owner
// of the list adds and removes records in both. Ids, not peer addresses,
// tell TCP connections apart: two sockets of one source address and port
// may reach different listeners at the same time.
#pragma once

#include <cstdint>
#include <unordered_map>

template <typename T>
struct id_index {
    std::unordered_map<uint64_t, T*> map;
};

template <typename T>
[[nodiscard]] T* id_index_find(const id_index<T>* index, uint64_t conn_id)
{
    auto it = index->map.find(conn_id);
    return it == index->map.end() ? nullptr : it->second;
}

template <typename T>
void id_index_add(id_index<T>* index, T* item)
{
    index->map[item->conn_id] = item;
}

template <typename T>
void id_index_remove(id_index<T>* index, uint64_t conn_id)
{
    index->map.erase(conn_id);
}

template <typename T>
void id_index_clear(id_index<T>* index)
{
    index->map.clear();
}
