// The refresh thread: renews the groups' data every refresh interval.
#ifndef CORVANTIS_AGENT_MONITOR_H
#define CORVANTIS_AGENT_MONITOR_H

inline constexpr int MONITOR_MIN_INTERVAL = 10;

// Starts the thread; 0, or pthread_create's error number (logged).
int start_monitor_thread(int interval);
// The thread's body; the argument is the interval in seconds cast to a
// pointer.  Returns null when g_running is found clear or a stop is asked.
void *monitor_thread(void *arg);
// Wakes the thread out of its sleep and waits until it has finished its
// current pass, so group data can be released after it.  Safe to call
// when no thread was started, and more than once.
void stop_monitor_thread();

#endif
