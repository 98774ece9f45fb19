// The one implementation behind every named channel. A channel is a
// msg_queue of one record type; MSG_CHANNEL(name, record) declares its
// queue and its operations, named after the channel:
//
//   msg_<name>_init()            msg_init on the channel's queue
//   msg_<name>_new()             a zero-filled record, not queued
//   msg_<name>_add(record)       append; wakes the consumer
//   msg_<name>_get_first()       the oldest record, left queued, or null
//   msg_<name>_remove(record)    unlink, then free the record and what it owns
//   msg_<name>_destroy()         msg_destroy; records still queued stay
//   msg_<name>_length()          records queued now
//   msg_<name>_set_waker(waker)  the consumer's waker (null: none)
//   msg_<name>_drain(max, fn)    consumer: hands the records queued now,
//                                at most `max`, oldest first, to fn, then
//                                removes each; returns how many remain
//
// The producer owns a record until it adds it; from then on only the
// consumer touches it, and the consumer's remove frees it.
#pragma once

#include <netinet/in.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "channels/msgs.h"

// What a record owns besides itself: its packet buffer, when it has one.
// Record types that own something else overload this.
template <typename R>
void msg_record_release(R* record)
{
    if constexpr (requires { record->packet; })
        delete[] record->packet;
}

template <typename R>
void msg_channel_remove(msg_queue* queue, R* record)
{
    msg_remove(queue, record);
    msg_record_release(record);
    delete record;
}

template <typename R>
uint32_t msg_channel_drain(msg_queue* queue, uint32_t max, void (*handle)(R*))
{
    // Only what is queued now: records added meanwhile wait for the next
    // pass, so one busy producer cannot keep the consumer here.
    uint32_t count = std::min(msg_length(queue), max);
    for (uint32_t i = 0; i < count; ++i) {
        auto* record = static_cast<R*>(msg_get_first(queue));
        if (!record)
            break;
        handle(record);
        msg_channel_remove(queue, record);
    }
    return msg_length(queue);
}

// Producer helpers of the packet channels. Inbound channels copy the bytes
// (the transports reuse one receive area); outbound channels take over the
// encoder's new[] buffer.
template <typename R>
[[nodiscard]] R* msg_packet_record_copy(const sockaddr_in* addr, const uint8_t* bytes, uint32_t length)
{
    auto* record = new R{};
    record->addr = *addr;
    record->packet = new uint8_t[length ? length : 1];
    if (length)
        std::memcpy(record->packet, bytes, length);
    record->packet_len = length;
    return record;
}

template <typename R>
[[nodiscard]] R* msg_packet_record_take(const sockaddr_in* addr, uint8_t* buffer, uint32_t length)
{
    auto* record = new R{};
    record->addr = *addr;
    record->packet = buffer;
    record->packet_len = length;
    return record;
}

// A close record of the TCP channels: no packet, `close` set.
template <typename R>
[[nodiscard]] R* msg_close_record(const sockaddr_in* addr)
{
    auto* record = new R{};
    record->addr = *addr;
    record->close = 1;
    return record;
}

#define MSG_CHANNEL(name, record)                                                                                     \
    inline msg_queue msg_##name##_queue;                                                                               \
    inline void msg_##name##_init() { msg_init(&msg_##name##_queue); }                                                 \
    inline record* msg_##name##_new() { return new record{}; }                                                         \
    inline void msg_##name##_add(record* r) { msg_add(&msg_##name##_queue, r); }                                       \
    inline record* msg_##name##_get_first() { return static_cast<record*>(msg_get_first(&msg_##name##_queue)); }       \
    inline void msg_##name##_remove(record* r) { msg_channel_remove(&msg_##name##_queue, r); }                         \
    inline void msg_##name##_destroy() { msg_destroy(&msg_##name##_queue); }                                           \
    inline uint32_t msg_##name##_length() { return msg_length(&msg_##name##_queue); }                                  \
    inline void msg_##name##_set_waker(msg_waker* waker) { msg_set_waker(&msg_##name##_queue, waker); }                \
    inline uint32_t msg_##name##_drain(uint32_t max, void (*handle)(record*))                                          \
    {                                                                                                                  \
        return msg_channel_drain(&msg_##name##_queue, max, handle);                                                    \
    }
