#include "agent/agent.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <string>

namespace {

class ConfigTest : public ::testing::Test {
protected:
    void SetUp() override { reset_settings(); }
    void TearDown() override { reset_settings(); }
    TempDir dir;
};

TEST_F(ConfigTest, MissingInstallFileKeepsBuiltInPaths)
{
    read_kx_ini(dir.file("none.ini").c_str());
    EXPECT_STREQ(kxdir, "/usr/kx");
    EXPECT_STREQ(kxbin, "/usr/kx/bin");
    EXPECT_STREQ(g_config_file, "/usr/kx/schema/snmp/corvantis-snmp.conf");
    EXPECT_STREQ(g_log_file, "/usr/kx/logs.dir/corvantis-snmp.log");
}

TEST_F(ConfigTest, InstallDirStopsAtFirstBlankAndDerivesPaths)
{
    auto ini = dir.write("kx.ini", "# settings\nOTHER=1\nKXDIR=/opt/kx trailing words\nKXDIR=/second\n");
    read_kx_ini(ini.c_str());
    EXPECT_STREQ(kxdir, "/opt/kx");
    EXPECT_STREQ(kxbin, "/opt/kx/bin");
    EXPECT_STREQ(g_config_file, "/opt/kx/schema/snmp/corvantis-snmp.conf");
    EXPECT_STREQ(g_log_file, "/opt/kx/logs.dir/corvantis-snmp.log");
}

TEST_F(ConfigTest, InstallFileHasNoCommentSyntax)
{
    auto ini = dir.write("kx.ini", "#KXDIR=/commented\r\nKXDIR=/later\n");
    read_kx_ini(ini.c_str());
    EXPECT_STREQ(kxdir, "/commented");
}

TEST_F(ConfigTest, InstallDirIsCutToFortyNineCharacters)
{
    std::string longdir = "/" + std::string(70, 'd');
    auto ini = dir.write("kx.ini", "KXDIR=" + longdir + "\n");
    read_kx_ini(ini.c_str());
    EXPECT_EQ(std::string(kxdir), longdir.substr(0, 49));
}

TEST_F(ConfigTest, MissingConfigFileChangesNothing)
{
    EXPECT_EQ(read_config_file(dir.file("absent.conf").c_str()), -1);
    EXPECT_EQ(g_refresh_interval, 300);
    EXPECT_EQ(g_agent_address, nullptr);
}

TEST_F(ConfigTest, KeysAreCaseInsensitivePrefixesWithBlanksAround)
{
    auto conf = dir.write("a.conf",
                          "   refreshinterval  =  60  \n"
                          "# RefreshInterval = 5\n"
                          "DebugEnabled=2\n"
                          "AgentAddress =  unix:/tmp/agentx.sock \t\n"
                          "logfilename = /var/log/kx.log\n"
                          "UnknownKey = 7\n");
    ASSERT_EQ(read_config_file(conf.c_str()), 0);
    EXPECT_EQ(g_refresh_interval, 60);
    EXPECT_EQ(g_verbose, 2);
    ASSERT_NE(g_agent_address, nullptr);
    EXPECT_STREQ(g_agent_address, "unix:/tmp/agentx.sock");
    EXPECT_STREQ(g_log_file, "/var/log/kx.log");
}

TEST_F(ConfigTest, ShortKeysAndLinesWithoutEqualsAreIgnored)
{
    auto conf = dir.write("b.conf", "Refresh=10\nRefreshInterval 20\nLog=/x\n\n   \n");
    ASSERT_EQ(read_config_file(conf.c_str()), 0);
    EXPECT_EQ(g_refresh_interval, 300);
    EXPECT_STREQ(g_log_file, "/usr/kx/logs.dir/corvantis-snmp.log");
}

TEST_F(ConfigTest, BlankValueIsEmptyAndNonNumberIsZero)
{
    auto conf = dir.write("c.conf", "LogFile =    \nRefreshInterval = soon\n");
    ASSERT_EQ(read_config_file(conf.c_str()), 0);
    EXPECT_STREQ(g_log_file, "");
    EXPECT_EQ(g_refresh_interval, 0);
}

TEST_F(ConfigTest, LongValuesAreCutAndLongLinesReadInPieces)
{
    // 127 bytes per read: the tail of a long line is read as a line of its own.
    std::string value(120, 'v');
    auto conf = dir.write("d.conf", "LogFile=" + value + "\n" + std::string(127, 'x') +
                                        "RefreshInterval=45\n");
    ASSERT_EQ(read_config_file(conf.c_str()), 0);
    EXPECT_EQ(std::string(g_log_file), value.substr(0, 79));
    EXPECT_EQ(g_refresh_interval, 45);
}

TEST_F(ConfigTest, ControlAndHighBytesCountAsBlanks)
{
    auto conf = dir.write("e.conf", std::string("\x01\xff\tDebugEnabled\x02=\x90 3\x7f\x85\n") +
                                        std::string("Ref\0reshInterval=9\n", 19));
    ASSERT_EQ(read_config_file(conf.c_str()), 0);
    EXPECT_EQ(g_verbose, 3);
    EXPECT_EQ(g_refresh_interval, 300);
}

TEST_F(ConfigTest, LaterLinesAndFilesOverrideEarlierOnes)
{
    auto first = dir.write("f.conf", "RefreshInterval=30\nRefreshInterval=40\nLogFile=/a\n");
    auto second = dir.write("g.conf", "RefreshInterval=50\n");
    ASSERT_EQ(read_config_file(first.c_str()), 0);
    EXPECT_EQ(g_refresh_interval, 40);
    ASSERT_EQ(read_config_file(second.c_str()), 0);
    EXPECT_EQ(g_refresh_interval, 50);
    EXPECT_STREQ(g_log_file, "/a");
}

} // namespace

namespace {

TEST(ConfigIpmiKeys, MatchedLikeTheOthersAndCutToFit)
{
    reset_settings();
    TempDir dir;
    std::string longpass(100, 'p');
    auto conf = dir.write("ipmi.conf", "ipmihost = 127.0.0.1:9623\nIPMIUSER=admin\n"
                                       "IpmiPassword = " + longpass + "\n"
                                       "IpmiWorkaroundFlags = opensesspriv,authcap \n");
    ASSERT_EQ(read_config_file(conf.c_str()), 0);
    EXPECT_STREQ(g_ipmi_host, "127.0.0.1:9623");
    EXPECT_STREQ(g_ipmi_user, "admin");
    EXPECT_EQ(std::string(g_ipmi_password), longpass.substr(0, 79));
    EXPECT_STREQ(g_ipmi_workaround, "opensesspriv,authcap");
    reset_settings();
}

} // namespace
