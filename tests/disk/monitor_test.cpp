#include "agent/agent.h"
#include "agent/monitor.h"
#include "groups/diskGroup.h"
#include "../unit/test_util.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>

namespace {

class MonitorThread : public ::testing::Test {
protected:
    void SetUp() override
    {
        reset_settings();
        snprintf(g_log_file, sizeof g_log_file, "%s/agent.log", dir_.c_str());
        g_verbose = 4;
        g_memcheck = 1;
        // The disk pass finds neither a report nor a monitoring script here
        // and fails; its capture file is removed.
        g_running = 1;
    }
    void TearDown() override
    {
        stop_monitor_thread();
        g_running = 0;
        reset_settings();
    }

    std::string log() const
    {
        std::ifstream in(g_log_file);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    // Waits for a pass to be logged; a hang fails after a minute.
    bool wait_for_pass() const
    {
        for (int i = 0; i < 6000; i++) {
            if (log().find("mallinfo after_disks  :") != std::string::npos)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    TempDir tmp_;
    std::string dir_ = tmp_.path();
};

TEST_F(MonitorThread, ShortIntervalsAreRaisedToTheMinimum)
{
    for (int interval : {0, -5, 9}) {
        unlink(g_log_file);
        ASSERT_EQ(start_monitor_thread(interval), 0);
        ASSERT_TRUE(wait_for_pass());
        // The stop wakes the 10-second sleep and joins the thread.
        stop_monitor_thread();
        std::string text = log();
        EXPECT_NE(text.find("[2] Interval " + std::to_string(interval) +
                            " below minimum 10, setting to minimum\n"),
                  std::string::npos)
            << text;
        EXPECT_NE(text.find("[4] mallinfo initial:"), std::string::npos);
    }
    unlink(g_log_file);
    ASSERT_EQ(start_monitor_thread(10), 0);
    ASSERT_TRUE(wait_for_pass());
    stop_monitor_thread();
    EXPECT_EQ(log().find("below minimum"), std::string::npos);
}

TEST_F(MonitorThread, StopWakesALongSleepAndCanBeRepeated)
{
    ASSERT_EQ(start_monitor_thread(300), 0);
    ASSERT_TRUE(wait_for_pass());
    stop_monitor_thread();
    stop_monitor_thread();
    // Exactly one pass ran: the sleep was cut short, not slept through.
    std::string text = log();
    size_t first = text.find("after_disks");
    EXPECT_EQ(text.find("after_disks", first + 1), std::string::npos);
}

TEST_F(MonitorThread, AClearRunningFlagEndsBeforeAnyPass)
{
    g_running = 0;
    ASSERT_EQ(start_monitor_thread(10), 0);
    stop_monitor_thread();
    std::string text = log();
    EXPECT_NE(text.find("mallinfo initial:"), std::string::npos);
    EXPECT_EQ(text.find("after_disks"), std::string::npos);
}

TEST(MonitorStop, WithoutAThreadIsHarmless)
{
    stop_monitor_thread();
}

} // namespace
