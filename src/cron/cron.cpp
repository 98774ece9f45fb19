// The cron thread: sleeps until each whole second of the wall clock and
// evaluates every minute once, at the first second of it that it sees.
#include "cron/cron.h"

#include <atomic>
#include <ctime>

#include "channels/msgs.h"
#include "channels/trigger_rules.h"
#include "cron/cron_trigger.h"
#include "thread_module.h"

namespace {

list<cron_trigger> cron_triggers{};
// 0 running, 1 stop requested, 2 stopped.
std::atomic<int> thread_state{2};
// Signalled by a stop request only, so that a stop ends the wait at once.
msg_waker waker{-1, {false}};

// Lands a little after the second has turned, so that the clock read on
// waking already shows the new second.
constexpr long WAKE_MARGIN_MS = 2;

timespec wall_clock()
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return now;
}

// Whole minutes since the epoch, rounded down for times before it too.
long long minute_of(time_t seconds)
{
    long long s = seconds;
    return (s >= 0 ? s : s - 59) / 60;
}

// Every trigger that selects the minute of `seconds`, in list order. One
// broken-down time serves all of them, so a slow pass cannot straddle two
// minutes.
void minute_evaluate(time_t seconds)
{
    std::tm local{};
    if (!localtime_r(&seconds, &local))
        return;
    for (cron_trigger* trigger = cron_triggers.head; trigger; trigger = trigger->next)
        if (cron_trigger_matches(trigger, &local))
            msg_cron_rules_add_packet(trigger);
}

void thread_cron_loop()
{
    // A minute already under way when the thread starts is not evaluated;
    // one that begins at this very second is.
    timespec now = wall_clock();
    long long evaluated = minute_of(now.tv_sec);
    if (now.tv_sec == evaluated * 60)
        --evaluated;
    while (thread_state.load() != 1) {
        now = wall_clock();
        long long minute = minute_of(now.tv_sec);
        // A wake that comes late still evaluates the minute, only once.
        if (minute != evaluated) {
            evaluated = minute;
            minute_evaluate(now.tv_sec);
        }
        long wait_ms = 1000 - now.tv_nsec / 1000000 + WAKE_MARGIN_MS;
        msg_waker_wait(&waker, static_cast<int>(wait_ms < 1000 ? wait_ms : 1000));
    }
    cron_trigger_remove_all(&cron_triggers);
    thread_state.store(2);
}

void* thread_cron_launcher(void*)
{
    thread_cron_loop();
    return nullptr;
}

} // namespace

int thread_cron_start()
{
    // A second cron thread would fire every trigger twice.
    int stopped = 2;
    if (!thread_state.compare_exchange_strong(stopped, 0))
        return -1;
    if (msg_waker_init(&waker) != 0) {
        thread_state.store(2);
        return -1;
    }
    int result = thread_begin(thread_cron_launcher, nullptr, nullptr);
    if (result != 0) {
        thread_state.store(2);
        msg_waker_destroy(&waker);
    }
    return result;
}

void thread_cron_stop()
{
    thread_stop_wait(&thread_state, &waker);
    msg_waker_destroy(&waker);
}

void thread_cron_trigger_add(const char* text, uint32_t next_id)
{
    cron_trigger_add_new(&cron_triggers, text, next_id);
}

void thread_cron_remove_all()
{
    cron_trigger_remove_all(&cron_triggers);
}
