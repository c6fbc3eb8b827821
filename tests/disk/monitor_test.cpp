// The refresh thread over stand-in passes: no group, database or BMC.
#include "agent/agent.h"
#include "agent/monitor.h"
#include "../unit/test_util.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <unistd.h>

namespace {

// File-level, since a pass left behind by a stop may outlive its test.
std::mutex g_calls_lock;
std::string g_calls;
std::atomic<bool> g_hold{false};

int record(char which)
{
    std::lock_guard<std::mutex> lock(g_calls_lock);
    g_calls += which;
    return 0;
}

std::string calls()
{
    std::lock_guard<std::mutex> lock(g_calls_lock);
    return g_calls;
}

// A pass that hangs while g_hold is set, as one on a source that does.
int hanging_pass()
{
    record('d');
    for (int i = 0; i < 6000 && g_hold; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return 0;
}

std::vector<monitor_pass> passes(int (*disks)() = [] { return record('d'); })
{
    return {{"sensors", [] { return record('s'); }, true},
            {"disks", disks, true},
            {"kxl", [] { return record('k'); }, false}};
}

class MonitorThread : public ::testing::Test {
protected:
    void SetUp() override
    {
        reset_settings();
        snprintf(g_log_file, sizeof g_log_file, "%s/agent.log", dir_.c_str());
        g_verbose = 4;
        g_memcheck = 1;
        g_running = 1;
        std::lock_guard<std::mutex> lock(g_calls_lock);
        g_calls.clear();
    }
    void TearDown() override
    {
        g_hold = false;
        stop_monitor_thread();
        g_running = 0;
        reset_settings();
    }

    std::string log() const { return read_file(g_log_file); }
    // Waits for a line in the log; a hang fails after a minute.
    bool wait_for(const std::string &text) const
    {
        for (int i = 0; i < 6000; i++) {
            if (log().find(text) != std::string::npos)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    TempDir tmp_;
    std::string dir_ = tmp_.path();
};

TEST_F(MonitorThread, RunsThePassesInOrderAndRaisesShortIntervals)
{
    for (int interval : {0, -5, 9, 10}) {
        unlink(g_log_file);
        {
            std::lock_guard<std::mutex> lock(g_calls_lock);
            g_calls.clear();
        }
        ASSERT_EQ(start_monitor_thread(interval, passes()), 0);
        ASSERT_TRUE(wait_for("mallinfo after_kxl    :"));
        // The stop wakes the 10-second sleep and joins the thread.
        stop_monitor_thread();
        EXPECT_EQ(calls(), "sdk");
        std::string text = log();
        bool raised = interval < MONITOR_MIN_INTERVAL;
        EXPECT_EQ(text.find("[2] Interval " + std::to_string(interval) +
                            " below minimum 10, setting to minimum\n") != std::string::npos,
                  raised)
            << text;
        // Each pass has its memory line; timed ones their duration first.
        size_t at = 0;
        for (const char *line : {"[4] mallinfo initial:", "[3] sensors pass took ",
                                 "[4] mallinfo after_sensors:", "[3] disks pass took ",
                                 "[4] mallinfo after_disks  :", "[4] mallinfo after_kxl    :"}) {
            at = text.find(line, at);
            ASSERT_NE(at, std::string::npos) << line << " in order in\n" << text;
        }
        EXPECT_EQ(text.find("kxl pass took"), std::string::npos);
    }
}

TEST_F(MonitorThread, StopWakesALongSleepAndCanBeRepeated)
{
    ASSERT_EQ(start_monitor_thread(300, passes()), 0);
    ASSERT_TRUE(wait_for("mallinfo after_kxl    :"));
    stop_monitor_thread();
    stop_monitor_thread();
    // Exactly one round ran: the sleep was cut short, not slept through.
    EXPECT_EQ(calls(), "sdk");
}

TEST_F(MonitorThread, StopLeavesAHangingPassBehind)
{
    g_hold = true;
    ASSERT_EQ(start_monitor_thread(10, passes(hanging_pass)), 0);
    ASSERT_TRUE(wait_for("mallinfo after_sensors:"));
    auto start = std::chrono::steady_clock::now();
    stop_monitor_thread();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_NE(log().find("[2] refresh thread still in its disks pass at shutdown, not waited for\n"),
              std::string::npos);
    // Once the pass returns, the thread starts no other.
    g_hold = false;
    ASSERT_TRUE(wait_for("mallinfo after_disks  :"));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(calls(), "sd");
}

TEST_F(MonitorThread, AClearRunningFlagEndsBeforeAnyPass)
{
    g_running = 0;
    ASSERT_EQ(start_monitor_thread(10, passes()), 0);
    stop_monitor_thread();
    EXPECT_NE(log().find("mallinfo initial:"), std::string::npos);
    EXPECT_EQ(calls(), "");
}

TEST(MonitorStop, WithoutAThreadIsHarmless)
{
    stop_monitor_thread();
}

} // namespace
