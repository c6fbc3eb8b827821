#include "agent/monitor.h"

#include "agent/agent.h"
#include "agent/salog.h"
#include "groups/diskGroup.h"
#include "groups/ipmiGroup.h"
#include "groups/kxlGroup.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <pthread.h>

namespace {

std::mutex g_monitor_lock;
std::condition_variable g_monitor_wake;
bool g_monitor_stop;
bool g_monitor_started;
pthread_t g_monitor_thread;

bool stop_requested()
{
    std::lock_guard<std::mutex> lock(g_monitor_lock);
    return g_monitor_stop;
}

} // namespace

int start_monitor_thread(int interval)
{
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    {
        std::lock_guard<std::mutex> lock(g_monitor_lock);
        g_monitor_stop = false;
    }
    pthread_t thread;
    int rc = pthread_create(&thread, &attr, monitor_thread,
                            reinterpret_cast<void *>(static_cast<intptr_t>(interval)));
    if (rc != 0) {
        sa_log(0, "%s: pthread_create error %d\n", PROGRAM_NAME, rc);
    } else {
        std::lock_guard<std::mutex> lock(g_monitor_lock);
        g_monitor_thread = thread;
        g_monitor_started = true;
    }
    pthread_attr_destroy(&attr);
    return rc;
}

void *monitor_thread(void *arg)
{
    int interval = static_cast<int>(reinterpret_cast<intptr_t>(arg));
    check_mem("initial");
    if (interval < MONITOR_MIN_INTERVAL) {
        sa_log(2, "Interval %d below minimum %d, setting to minimum\n", interval,
               MONITOR_MIN_INTERVAL);
        interval = MONITOR_MIN_INTERVAL;
    }

    // Each pass renews the groups in this order: sensors, disks, backup
    // appliance.
    while (g_running && !stop_requested()) {
        discover_sensors();
        check_mem("after_sensors");
        discover_disks();
        check_mem("after_disks  ");
        discover_kxl();
        check_mem("after_kxl    ");

        // Sleeps the interval, or less when shutdown wakes it.
        std::unique_lock<std::mutex> lock(g_monitor_lock);
        g_monitor_wake.wait_for(lock, std::chrono::seconds(interval),
                                [] { return g_monitor_stop; });
    }
    return nullptr;
}

void stop_monitor_thread()
{
    pthread_t thread;
    {
        std::lock_guard<std::mutex> lock(g_monitor_lock);
        g_monitor_stop = true;
        if (!g_monitor_started) {
            g_monitor_wake.notify_all();
            return;
        }
        g_monitor_started = false;
        thread = g_monitor_thread;
    }
    g_monitor_wake.notify_all();
    pthread_join(thread, nullptr);
}
