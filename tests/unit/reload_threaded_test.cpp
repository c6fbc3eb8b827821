// A reload changes the log file, the verbosity and the refresh interval
// while the refresh thread logs and sleeps: run under ThreadSanitizer
// (label "threaded").  Every entry must land whole in one of the files.
#include "agent/agent.h"
#include "agent/monitor.h"
#include "agent/salog.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <atomic>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

TEST(Reload, SettingsChangeWhileOtherThreadsLog)
{
    TempDir dir;
    const std::string logs[] = {dir.file("a.log"), dir.file("b.log")};
    reset_settings();
    sa_log_set_file(logs[0].c_str());
    g_verbose = 4;
    g_running = 1;
    std::atomic<int> passes{0};
    ASSERT_EQ(start_monitor_thread(MONITOR_MIN_INTERVAL,
                                   {{"test", [&passes] { return sa_log(4, "pass %d\n", ++passes), 0; },
                                     false}}),
              0);

    constexpr int kLoggers = 2, kEntries = 300;
    std::atomic<int> written{0};
    std::vector<std::thread> loggers;
    for (int t = 0; t < kLoggers; t++)
        loggers.emplace_back([t, &written] {
            for (int i = 0; i < kEntries; i++) {
                sa_log(2, "logger %d entry %d\n", t, i);
                written++;
            }
        });
    // What a reload does, over and over, as the loggers write.
    for (int round = 0; written < kLoggers * kEntries; round++) {
        sa_log_set_file(logs[round % 2].c_str());
        g_verbose = round % 5;
        set_monitor_interval(MONITOR_MIN_INTERVAL + round % 3);
    }
    for (std::thread &t : loggers)
        t.join();
    stop_monitor_thread();
    g_running = 0;

    const std::regex entry(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} [+-]\d{4} \[2\] logger \d entry \d+$)");
    int found = 0;
    for (const std::string &log : logs) {
        std::istringstream text(read_file(log));
        for (std::string line; std::getline(text, line);) {
            if (line.find("] logger ") == std::string::npos)
                continue;
            EXPECT_TRUE(std::regex_match(line, entry)) << line;
            found++;
        }
    }
    EXPECT_EQ(found, kLoggers * kEntries);
    EXPECT_GE(passes.load(), 1);
    reset_settings();
}

} // namespace
