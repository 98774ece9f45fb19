#include "channels/msgs.h"

namespace {

// RAII guard over a plain pthread mutex.
struct mutex_guard {
    explicit mutex_guard(pthread_mutex_t* m) : m_(m) { pthread_mutex_lock(m_); }
    ~mutex_guard() { pthread_mutex_unlock(m_); }
    mutex_guard(const mutex_guard&) = delete;
    mutex_guard& operator=(const mutex_guard&) = delete;
    pthread_mutex_t* m_;
};

} // namespace

void msg_init(msg_queue* queue)
{
    queue->head = nullptr;
    queue->tail = nullptr;
    queue->length.store(0);
    queue->waker = nullptr;
    pthread_mutex_init(&queue->mutex, nullptr);
}

void msg_add(msg_queue* queue, msg_record* record)
{
    mutex_guard guard(&queue->mutex);
    record->next = nullptr;
    if (queue->tail)
        queue->tail->next = record;
    else
        queue->head = record;
    queue->tail = record;
    queue->length.fetch_add(1, std::memory_order_relaxed);
    if (queue->waker)
        msg_waker_signal(queue->waker);
}

msg_record* msg_get_first(msg_queue* queue)
{
    mutex_guard guard(&queue->mutex);
    return queue->head;
}

void msg_remove(msg_queue* queue, msg_record* record)
{
    {
        mutex_guard guard(&queue->mutex);
        msg_record* prev = nullptr;
        msg_record* r = queue->head;
        while (r && r != record) {
            prev = r;
            r = r->next;
        }
        if (r) {
            (prev ? prev->next : queue->head) = record->next;
            if (queue->tail == record)
                queue->tail = prev;
            queue->length.fetch_sub(1, std::memory_order_relaxed);
        }
    }
    record->next = nullptr;
}

uint32_t msg_length(const msg_queue* queue)
{
    return queue->length.load(std::memory_order_relaxed);
}

void msg_set_waker(msg_queue* queue, msg_waker* waker)
{
    mutex_guard guard(&queue->mutex);
    queue->waker = waker;
}

void msg_destroy(msg_queue* queue)
{
    pthread_mutex_destroy(&queue->mutex);
}

void msggap_init(msg_gap* gap)
{
    gap->request = 0;
    gap->pending = 0;
    gap->closed = 0;
    gap->waker = nullptr;
    pthread_mutex_init(&gap->mutex, nullptr);
    pthread_cond_init(&gap->cond, nullptr);
}

int msggap_request(msg_gap* gap)
{
    mutex_guard guard(&gap->mutex);
    if (gap->closed)
        return -1;
    gap->pending = 1;
    if (gap->waker)
        msg_waker_signal(gap->waker);
    while (gap->pending == 2 || (gap->pending == 1 && !gap->closed))
        pthread_cond_wait(&gap->cond, &gap->mutex);
    if (gap->pending == 1) {
        // Released by a close before the server took the request.
        gap->pending = 0;
        return -1;
    }
    return 0;
}

bool msggap_get_request(msg_gap* gap)
{
    mutex_guard guard(&gap->mutex);
    if (gap->pending == 1 && !gap->closed) {
        gap->pending = 2;
        return true;
    }
    return false;
}

void msggap_reply(msg_gap* gap)
{
    mutex_guard guard(&gap->mutex);
    gap->pending = 0;
    pthread_cond_broadcast(&gap->cond);
}

void msggap_close(msg_gap* gap)
{
    mutex_guard guard(&gap->mutex);
    gap->closed = 1;
    pthread_cond_broadcast(&gap->cond);
}

void msggap_reopen(msg_gap* gap)
{
    mutex_guard guard(&gap->mutex);
    gap->closed = 0;
}

void msggap_set_waker(msg_gap* gap, msg_waker* waker)
{
    mutex_guard guard(&gap->mutex);
    gap->waker = waker;
}

void msggap_destroy(msg_gap* gap)
{
    pthread_cond_destroy(&gap->cond);
    pthread_mutex_destroy(&gap->mutex);
}
