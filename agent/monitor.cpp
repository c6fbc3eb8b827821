#include "agent/monitor.h"

#include "agent/agent.h"
#include "agent/salog.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <pthread.h>
#include <utility>

namespace {

struct monitor_args {
    int interval;
    std::vector<monitor_pass> passes;
    // Which start made the thread: a thread left behind by a stop never
    // takes a later start's clear stop flag for its own.
    unsigned long generation;
};

// Never destroyed: a thread abandoned at shutdown may still end its pass
// while the process exits.
struct monitor_state {
    std::mutex lock;
    std::condition_variable wake;
    std::condition_variable finished;
    bool stop = false;
    bool started = false;
    unsigned long generation = 0;
    // Seconds between passes; a reload may change it while the thread runs.
    int interval = MONITOR_MIN_INTERVAL;
    bool ended = false;
    // The pass the thread is in, or null.
    const char *current = nullptr;
    pthread_t thread;
};

monitor_state &state()
{
    static monitor_state *s = new monitor_state;
    return *s;
}

bool stop_requested(unsigned long generation)
{
    std::lock_guard<std::mutex> lock(state().lock);
    return state().stop || state().generation != generation;
}

void run_pass(const monitor_pass &pass)
{
    {
        std::lock_guard<std::mutex> lock(state().lock);
        state().current = pass.name;
    }
    auto start = std::chrono::steady_clock::now();
    pass.run();
    if (pass.timed) {
        long ms = static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                        std::chrono::steady_clock::now() - start)
                                        .count());
        sa_log(3, "%s pass took %ld ms\n", pass.name, ms);
    }
    {
        std::lock_guard<std::mutex> lock(state().lock);
        state().current = nullptr;
    }
    char tag[32];
    snprintf(tag, sizeof tag, "after_%-7s", pass.name);
    check_mem(tag);
}

} // namespace

int start_monitor_thread(int interval, std::vector<monitor_pass> passes)
{
    monitor_state &s = state();
    unsigned long generation;
    {
        std::lock_guard<std::mutex> lock(s.lock);
        s.stop = false;
        s.ended = false;
        s.interval = std::max(interval, MONITOR_MIN_INTERVAL);
        generation = ++s.generation;
    }
    auto args =
        std::make_unique<monitor_args>(monitor_args{interval, std::move(passes), generation});
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_t thread;
    int rc = pthread_create(&thread, &attr, monitor_thread, args.get());
    if (rc != 0) {
        sa_log(0, "%s: pthread_create error %d\n", PROGRAM_NAME, rc);
    } else {
        args.release(); // the thread's now
        std::lock_guard<std::mutex> lock(s.lock);
        s.thread = thread;
        s.started = true;
    }
    pthread_attr_destroy(&attr);
    return rc;
}

void *monitor_thread(void *arg)
{
    std::unique_ptr<monitor_args> args(static_cast<monitor_args *>(arg));
    check_mem("initial");
    if (args->interval < MONITOR_MIN_INTERVAL)
        sa_log(2, "Interval %d below minimum %d, setting to minimum\n", args->interval,
               MONITOR_MIN_INTERVAL);

    monitor_state &s = state();
    const unsigned long generation = args->generation;
    while (g_running && !stop_requested(generation)) {
        for (const monitor_pass &pass : args->passes) {
            // After a stop, no further pass starts.
            if (stop_requested(generation))
                break;
            run_pass(pass);
        }

        // Sleeps the interval, or less when shutdown wakes it; a new
        // interval counts from the start of this sleep.
        std::unique_lock<std::mutex> lock(s.lock);
        const auto slept_from = std::chrono::steady_clock::now();
        for (int seen = s.interval;; seen = s.interval) {
            auto woken = [&s, generation, seen] {
                return s.stop || s.generation != generation || s.interval != seen;
            };
            if (!s.wake.wait_until(lock, slept_from + std::chrono::seconds(seen), woken) ||
                s.stop || s.generation != generation)
                break;
        }
    }
    std::lock_guard<std::mutex> lock(s.lock);
    if (s.generation == generation) {
        s.ended = true;
        s.finished.notify_all();
    }
    return nullptr;
}

void set_monitor_interval(int interval)
{
    if (interval < MONITOR_MIN_INTERVAL) {
        sa_log(2, "Interval %d below minimum %d, setting to minimum\n", interval,
               MONITOR_MIN_INTERVAL);
        interval = MONITOR_MIN_INTERVAL;
    }
    monitor_state &s = state();
    std::lock_guard<std::mutex> lock(s.lock);
    s.interval = interval;
    s.wake.notify_all();
}

void stop_monitor_thread()
{
    monitor_state &s = state();
    std::unique_lock<std::mutex> lock(s.lock);
    s.stop = true;
    s.wake.notify_all();
    if (!s.started)
        return;
    s.started = false;
    if (s.finished.wait_for(lock, std::chrono::milliseconds(MONITOR_STOP_WAIT_MS),
                            [&s] { return s.ended; })) {
        pthread_t thread = s.thread;
        lock.unlock();
        pthread_join(thread, nullptr);
        return;
    }
    // A source that hangs must not hold shutdown: the pass goes on alone
    // and the thread ends after it.
    const char *pass = s.current;
    pthread_detach(s.thread);
    lock.unlock();
    sa_log(2, "refresh thread still in its %s pass at shutdown, not waited for\n",
           pass ? pass : "current");
}
