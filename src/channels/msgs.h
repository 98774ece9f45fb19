// The queue and the request/reply rendezvous that every inter-thread
// channel is built on. Queued records are plain heap records whose first
// field is `next`; the queue touches nothing else.
#pragma once

#include <pthread.h>
#include <cstdint>

struct msg_record {
    msg_record* next;
};

// Records are linked from the newest (`head`) to the oldest. Producers on
// any thread add; one consumer takes the oldest and removes it.
struct msg_queue {
    msg_record* head;
    pthread_mutex_t mutex;
};

// One requester waits in msggap_request until the serving thread has
// answered. `pending` is 0 (idle), 1 (request waiting) or 2 (request taken
// by the server, which may still be writing into the requester's data).
// `closed` is remembered until the gap is reopened or destroyed, so that a
// request made after a close never blocks.
struct msg_gap {
    uintptr_t request;
    int32_t pending;
    int32_t closed;
    pthread_mutex_t mutex;
    pthread_cond_t cond;
};

void msg_init(msg_queue* queue);
void msg_add(msg_queue* queue, msg_record* record);
msg_record* msg_get_first(msg_queue* queue);
void msg_remove(msg_queue* queue, msg_record* record);
void msg_destroy(msg_queue* queue);

void msggap_init(msg_gap* gap);
// Blocks until the server replies (result 0) or the gap is closed
// (result -1, returned at once when the gap is already closed). A request
// the server has already taken is always waited for, so the caller may
// free its data as soon as this returns.
int msggap_request(msg_gap* gap);
// Server side, never blocks: 1 when a request waits (it is then marked as
// taken and must be answered with msggap_reply), 0 otherwise.
int msggap_get_request(msg_gap* gap);
void msggap_reply(msg_gap* gap);
// Releases a waiting requester and keeps the gap closed.
void msggap_close(msg_gap* gap);
// Makes a closed gap usable again (rules reload).
void msggap_reopen(msg_gap* gap);
void msggap_destroy(msg_gap* gap);
