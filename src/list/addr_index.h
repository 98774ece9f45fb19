// Hash index from a peer address to the record that holds it, kept beside
// a connection list so that lookups do not walk the list. The owner of the
// list adds and removes records in both. All 16 bytes of the address take
// part, as in the lists' own bytewise comparison.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <cstring>
#include <unordered_map>

struct addr_key {
    uint64_t words[2];
    bool operator==(const addr_key&) const = default;
};

static_assert(sizeof(addr_key) == sizeof(sockaddr_in));

struct addr_key_hash {
    size_t operator()(const addr_key& key) const
    {
        uint64_t h = key.words[0] * 0x9E3779B97F4A7C15ull ^ key.words[1];
        return static_cast<size_t>(h ^ (h >> 29));
    }
};

[[nodiscard]] inline addr_key addr_key_of(const sockaddr_in* addr)
{
    addr_key key;
    std::memcpy(&key, addr, sizeof key);
    return key;
}

template <typename T>
struct addr_index {
    std::unordered_map<addr_key, T*, addr_key_hash> map;
};

template <typename T>
[[nodiscard]] T* addr_index_find(const addr_index<T>* index, const sockaddr_in* addr)
{
    auto it = index->map.find(addr_key_of(addr));
    return it == index->map.end() ? nullptr : it->second;
}

template <typename T>
void addr_index_add(addr_index<T>* index, T* item)
{
    index->map[addr_key_of(&item->addr)] = item;
}

template <typename T>
void addr_index_remove(addr_index<T>* index, const sockaddr_in* addr)
{
    index->map.erase(addr_key_of(addr));
}

template <typename T>
void addr_index_clear(addr_index<T>* index)
{
    index->map.clear();
}
