// The refresh thread: renews the groups' data every refresh interval.
#ifndef CORVANTIS_AGENT_MONITOR_H
#define CORVANTIS_AGENT_MONITOR_H

#include <functional>
#include <vector>

inline constexpr int MONITOR_MIN_INTERVAL = 10;
// How long shutdown waits for the pass the thread is in; a pass stuck
// longer is abandoned.
inline constexpr int MONITOR_STOP_WAIT_MS = 3000;

// One renewal the thread makes every interval, in list order.
struct monitor_pass {
    // Static text: in the memory trace tag "after_<name>" and in the
    // duration line "<name> pass took N ms".
    const char *name;
    std::function<int()> run;
    // Whether the thread logs the pass's duration; false for a group that
    // times its own passes.
    bool timed;
};

// Starts the thread; 0, or pthread_create's error number (logged).
int start_monitor_thread(int interval, std::vector<monitor_pass> passes);
// The thread's body; the argument is the interval and passes, owned by
// the thread.  Returns null when g_running is found clear or a stop is
// asked.
void *monitor_thread(void *arg);
// Changes the seconds between passes (raised to MONITOR_MIN_INTERVAL with
// the same level-2 line as at start); a thread asleep wakes at the new
// time counted from the start of its sleep, at once if that has passed.
void set_monitor_interval(int interval);
// Wakes the thread out of its sleep and waits until it has finished its
// current pass, at most MONITOR_STOP_WAIT_MS; a pass still running then is
// left to end on its own.  Safe to call when no thread was started, and
// more than once.
void stop_monitor_thread();

#endif
