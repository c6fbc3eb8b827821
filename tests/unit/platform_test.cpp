#include "agent/agent.h"
#include "agent/platform.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <string>
#include <sys/stat.h>

namespace {

// The real dmidecode reports this machine's firmware, which cannot be made
// to show odd product names: a stand-in on PATH prints chosen tables.
class PlatformIdTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        reset_settings();
        snprintf(g_platform_id, sizeof g_platform_id, "%s", "QPX");
        old_path_ = getenv("PATH");
        setenv("PATH", (dir.path() + ":" + old_path_).c_str(), 1);
    }
    void TearDown() override
    {
        setenv("PATH", old_path_.c_str(), 1);
        snprintf(g_platform_id, sizeof g_platform_id, "%s", "QPX");
    }
    void fake_dmidecode(const std::string &output)
    {
        std::string data = dir.write("tables.txt", output);
        std::string script = dir.write("dmidecode", "#!/bin/sh\ncat '" + data + "'\n");
        chmod(script.c_str(), 0755);
    }
    static int capture_files_left()
    {
        int count = 0;
        DIR *tmp = opendir("/tmp");
        while (struct dirent *entry = readdir(tmp))
            count += std::string(entry->d_name).rfind("snmp-nm.tmp", 0) == 0;
        closedir(tmp);
        return count;
    }
    TempDir dir;
    std::string old_path_;
};

TEST_F(PlatformIdTest, LastProductNameWithoutTheLeadingBlank)
{
    fake_dmidecode("\tProduct Name: Board\nSystem\n\tProduct Name: X10DRi-T4+\n");
    int before = capture_files_left();
    EXPECT_EQ(get_platform_id(), 0);
    EXPECT_STREQ(g_platform_id, "X10DRi-T4+");
    EXPECT_EQ(capture_files_left(), before);
}

TEST_F(PlatformIdTest, AtMostFifteenCharactersAreRead)
{
    fake_dmidecode("Product Name:ABCDEFGHIJKLMNOPQRST\n");
    get_platform_id();
    EXPECT_STREQ(g_platform_id, "ABCDEFGHIJKLMNO");
}

TEST_F(PlatformIdTest, NoProductNameKeepsTheDefault)
{
    fake_dmidecode("# dmidecode 3.4\nNo SMBIOS nor DMI entry point found.\n");
    EXPECT_EQ(get_platform_id(), 0);
    EXPECT_STREQ(g_platform_id, "QPX");
}

class ThresholdTest : public ::testing::Test {
protected:
    void SetUp() override { reset_settings(); }
    void TearDown() override { reset_settings(); }
    TempDir dir;
};

TEST_F(ThresholdTest, EntriesAreOfferedAndNoneApplied)
{
    g_verbose = 4;
    auto path = dir.write("thresh", "0x1a 10 -20\n2b 30 40\n");
    testing::internal::CaptureStdout();
    EXPECT_EQ(get_thresh_data(path.c_str()), -1);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("set_threshold(1a,10,-20) found=0\nset_threshold(2b,30,40) found=0\n"
                       "fscanf() rv=-1\n"),
              std::string::npos)
        << out;
    EXPECT_EQ(out.rfind("get_thresh_data(" + path + ") fd=0x", 0), 0u) << out;
    EXPECT_EQ(g_thresh_found, 0);
}

TEST_F(ThresholdTest, ResultsForEmptyMissingBadAndNullInput)
{
    EXPECT_EQ(get_thresh_data(dir.write("empty", "").c_str()), -1);
    EXPECT_EQ(get_thresh_data(dir.file("absent").c_str()), 1);
    EXPECT_EQ(get_thresh_data(dir.write("bad", "zz 1 2\n").c_str()), 0);
    EXPECT_EQ(get_thresh_data(dir.write("partial", "10 1 x\n").c_str()), 0);
    EXPECT_EQ(get_thresh_data(nullptr), -3);
}

TEST_F(ThresholdTest, QuietUnlessVerbose)
{
    testing::internal::CaptureStdout();
    get_thresh_data(dir.write("one", "1 2 3\n").c_str());
    get_thresh_data(dir.file("absent").c_str());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST(BiosVersion, FirstLineWithoutTrailingBlanksCutTo63Characters)
{
    TempDir dir;
    struct Case {
        std::string file;
        int rc;
        std::string version;
    };
    const Case cases[] = {
        {"2.17.1246 \t\nsecond line\n", 0, "2.17.1246"},
        {std::string(100, 'V') + "\n", 0, std::string(63, 'V')},
        {"\n", -2, ""},
        {"", -2, ""},
    };
    char buf[64];
    for (const Case &c : cases) {
        std::memset(buf, 'x', sizeof buf);
        EXPECT_EQ(bios_version_from(dir.write("bios_version", c.file).c_str(), buf), c.rc) << c.file;
        EXPECT_EQ(std::string(buf), c.version) << c.file;
    }
    EXPECT_NE(bios_version_from(dir.file("absent").c_str(), buf), 0);
    EXPECT_NE(get_BiosVersion(nullptr), 0);

    // The machine's own value, when it has one.
    std::string line = read_file("/sys/class/dmi/id/bios_version");
    line = line.substr(0, line.find('\n'));
    if (get_BiosVersion(buf) == 0)
        EXPECT_EQ(line.rfind(buf, 0), 0u);
    else
        EXPECT_EQ(line.find_first_not_of(" \t"), std::string::npos);
}

} // namespace
