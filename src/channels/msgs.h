// The queue and the request/reply rendezvous that every inter-thread
// channel is built on, with the consumer's wake-up signal (msg_waker.h).
// Queued records are plain heap records whose first field is `next`; the
// queue touches nothing else.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>

#include "msg_waker.h"

struct msg_record {
    msg_record* next;
};

// Records are linked from the oldest (`head`) to the newest (`tail`), so a
// producer appends and the consumer takes the oldest in constant time.
// Producers on any thread add; one consumer takes and removes.
struct msg_queue {
    msg_record* head;
    msg_record* tail;
    std::atomic<uint32_t> length;
    msg_waker* waker; // signalled on every add; may be null
    pthread_mutex_t mutex;
};

void msg_init(msg_queue* queue);
void msg_add(msg_queue* queue, msg_record* record);
// The oldest record, left in the queue, or null. Never waits.
[[nodiscard]] msg_record* msg_get_first(msg_queue* queue);
// Unlinks the record (constant time for the oldest one); a record that is
// not queued leaves the queue unchanged. Sets the record's `next` to null.
void msg_remove(msg_queue* queue, msg_record* record);
// Records queued now; a hint for back-pressure and batch sizes.
[[nodiscard]] uint32_t msg_length(const msg_queue* queue);
// The consumer's waker, or null for none. Taken under the queue's lock, so
// once this returns no producer still signals the waker it replaced.
void msg_set_waker(msg_queue* queue, msg_waker* waker);
void msg_destroy(msg_queue* queue);

// One requester waits in msggap_request until the serving thread has
// answered. `pending` is 0 (idle), 1 (request waiting) or 2 (request taken
// by the server, which may still be writing into the requester's data).
// `closed` is remembered until the gap is reopened or destroyed, so that a
// request made after a close never blocks.
struct msg_gap {
    uintptr_t request;
    int32_t pending;
    int32_t closed;
    msg_waker* waker; // the server's, signalled on every request; may be null
    pthread_mutex_t mutex;
    pthread_cond_t cond;
};

void msggap_init(msg_gap* gap);
// Blocks until the server replies (result 0) or the gap is closed
// (result -1, returned at once when the gap is already closed). A request
// the server has already taken is always waited for, so the caller may
// free its data as soon as this returns.
[[nodiscard]] int msggap_request(msg_gap* gap);
// Server side, never blocks: whether a request waits (it is then marked as
// taken and must be answered with msggap_reply).
[[nodiscard]] bool msggap_get_request(msg_gap* gap);
void msggap_reply(msg_gap* gap);
// Releases a waiting requester and keeps the gap closed.
void msggap_close(msg_gap* gap);
// Makes a closed gap usable again.
void msggap_reopen(msg_gap* gap);
void msggap_set_waker(msg_gap* gap, msg_waker* waker);
void msggap_destroy(msg_gap* gap);
