#include "agent/agent.h"
#include "agent/salog.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>
#include <string>
#include <syslog.h>
#include <ctime>

namespace {

class SaLogTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        reset_settings();
        snprintf(g_log_file, sizeof g_log_file, "%s", dir.file("agent.log").c_str());
    }
    void TearDown() override { reset_settings(); }
    TempDir dir;
};

TEST_F(SaLogTest, TraceLevelsNeedVerboseAndTouchNoFileOtherwise)
{
    sa_log(4, "hidden %d\n", 1);
    EXPECT_FALSE(file_exists(g_log_file));

    sa_log(3, "summary %d\n", 3);
    g_verbose = 2;
    sa_log(4, "trace %s\n", "on");
    std::string text = read_file(g_log_file);
    EXPECT_NE(text.find(" [3] summary 3\n"), std::string::npos);
    EXPECT_NE(text.find(" [4] trace on\n"), std::string::npos);
}

TEST_F(SaLogTest, EntryIsStampLevelMessageWithoutAddedNewline)
{
    sa_log(0, "first ");
    sa_log(-1, "second\n");
    std::string text = read_file(g_log_file);
    std::regex entry(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} [+-]\d{4} \[0\] first )"
                     R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} [+-]\d{4} \[-1\] second\n$)");
    EXPECT_TRUE(std::regex_match(text, entry)) << text;
}

TEST_F(SaLogTest, MessageIsCutAt511Characters)
{
    std::string longtext(600, 'm');
    sa_log(1, "%s", longtext.c_str());
    std::string text = read_file(g_log_file);
    size_t start = text.find("[1] ") + 4;
    EXPECT_EQ(text.size() - start, 511u);
}

TEST_F(SaLogTest, MissingDirectoryDropsTheEntrySilently)
{
    snprintf(g_log_file, sizeof g_log_file, "%s", dir.file("nodir/agent.log").c_str());
    sa_log(0, "lost\n");
    EXPECT_FALSE(file_exists(g_log_file));
}

TEST(SaLogStamp, MillisecondsAreTruncatedAndZoneIsNumeric)
{
    const char *old = getenv("TZ");
    std::string saved = old ? old : "";
    setenv("TZ", "CET-1", 1);
    tzset();
    struct timeval tv = {43200 - 3600, 45600}; // 12:00:00.0456 local, 1970-01-01
    char stamp[79];
    sa_log_stamp(tv, stamp, sizeof stamp);
    EXPECT_STREQ(stamp, "1970-01-01 12:00:00.045 +0100");
    if (old)
        setenv("TZ", saved.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}

TEST(SaLogSyslog, ErrorsForLevelsZeroAndOneInfoForTheRest)
{
    const char *label = nullptr;
    EXPECT_EQ(sa_log_syslog_priority(0, &label), LOG_ERR);
    EXPECT_STREQ(label, "ERROR");
    EXPECT_EQ(sa_log_syslog_priority(1, &label), LOG_ERR);
    EXPECT_STREQ(label, "ERROR");
    for (int level : {2, 3, 4, -1}) {
        EXPECT_EQ(sa_log_syslog_priority(level, &label), LOG_INFO) << level;
        EXPECT_STREQ(label, "INFO");
    }
}

TEST_F(SaLogTest, CheckMemLogsTaggedCountersOnlyWhenEnabled)
{
    g_verbose = 4;
    check_mem("initial");
    EXPECT_FALSE(file_exists(g_log_file));
    g_memcheck = 1;
    unsetenv("MALLOC_TRACE"); // tracing without a target file writes nothing
    check_mem("after_disks  ");
    std::string text = read_file(g_log_file);
    std::regex line(R"( \[4\] mallinfo after_disks  :( -?\d+){10} \n$)");
    EXPECT_TRUE(std::regex_search(text, line)) << text;
}

} // namespace

namespace {

// A source stuck in a fault names it once a minute: repeats within the
// minute are traces, another source is not held back, and traces pass.
TEST(SaLogFaultLevel, OneLineASourceAMinuteRestAreTraces)
{
    EXPECT_EQ(sa_log_fault_level("test-source-a", 0), 0);
    EXPECT_EQ(sa_log_fault_level("test-source-a", 0), 4);
    EXPECT_EQ(sa_log_fault_level("test-source-a", 2), 4);
    EXPECT_EQ(sa_log_fault_level("test-source-b", 1), 1);
    EXPECT_EQ(sa_log_fault_level("test-source-a", 3), 3);
}

} // namespace
