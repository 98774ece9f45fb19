// The cron thread: sleeps until each whole second of the wall clock and
// evaluates every minute once, at the first second of it that it sees.
#include "cron/cron.h"

#include <atomic>
#include <ctime>

#include "channels/msgs.h"
#include "channels/mqtt_cron.h"
#include "channels/trigger_rules.h"
#include "cron/cron_trigger.h"
#include "thread_module.h"

namespace {

list<cron_trigger> cron_triggers{};
bool thread_cron_setup();
void thread_cron_loop();
void thread_cron_release();
// Its waker is signalled by the mqtt_cron channel and by a stop request,
// so that new entries and a stop end the wait at once. A second start is
// refused: a second cron thread would fire every trigger twice.
thread_module module{thread_cron_setup, thread_cron_loop, thread_cron_release};

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
            msg_cron_rules_add_packet(trigger->next_id);
}

// A rules file's entries replace the running ones between two minutes'
// evaluations.
void msg_mqtt_cron_handle(mqtt_cron_msg* record)
{
    cron_trigger_remove_all(&cron_triggers);
    cron_triggers = record->entries;
    record->entries = {};
}

void thread_cron_loop()
{
    // A minute already under way when the thread starts is not evaluated;
    // one that begins at this very second is.
    timespec now = wall_clock();
    long long evaluated = minute_of(now.tv_sec);
    if (now.tv_sec == evaluated * 60)
        --evaluated;
    while (!thread_module_stopping(&module)) {
        msg_mqtt_cron_drain(UINT32_MAX, msg_mqtt_cron_handle);
        now = wall_clock();
        long long minute = minute_of(now.tv_sec);
        // A wake that comes late still evaluates the minute, only once.
        if (minute != evaluated) {
            evaluated = minute;
            minute_evaluate(now.tv_sec);
        }
        long wait_ms = 1000 - now.tv_nsec / 1000000 + WAKE_MARGIN_MS;
        msg_waker_wait(&module.waker, static_cast<int>(wait_ms < 1000 ? wait_ms : 1000));
    }
    cron_trigger_remove_all(&cron_triggers);
}

bool thread_cron_setup()
{
    msg_mqtt_cron_set_waker(&module.waker);
    return true;
}

void thread_cron_release()
{
    msg_mqtt_cron_set_waker(nullptr);
}

} // namespace

int thread_cron_start()
{
    return thread_module_start(&module);
}

void thread_cron_stop()
{
    thread_module_stop(&module);
}

void thread_cron_triggers_swap(list<cron_trigger> entries)
{
    msg_mqtt_cron_add_packet(entries);
}
