#include "agent/agent.h"
#include "agent/text.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

class ConfigTest : public ::testing::Test {
protected:
    void SetUp() override { reset_settings(); }
    void TearDown() override
    {
        (void)warnings_logged();
        reset_settings();
    }
    // The start-up warnings the readers held back, as logged.
    std::string warnings_logged()
    {
        std::string log = dir.file("agent.log");
        unlink(log.c_str());
        copy_text(g_log_file, log.c_str());
        log_config_warnings();
        return read_file(log);
    }
    TempDir dir;
};

int count_of(const std::string &text, const std::string &part)
{
    int n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        n++;
    return n;
}

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

// A line keeps its first 127 characters; the rest of it is dropped, never
// read as a line of its own, with one level-1 line naming the file and the
// physical line.
TEST_F(ConfigTest, RestOfAnOverLongLineIsIgnored)
{
    // 154 bytes with the newline; the setting starts past character 127.
    const std::string comment = "# " + std::string(125, '-') + " LogFile = /tmp/hijack.log\n";
    ASSERT_EQ(comment.size(), 154u);
    const std::string cut_value = "AgentAddress=" + std::string(120, 'a') + "RefreshInterval=45\n";
    struct Case {
        const char *name;
        bool kx_ini;
        std::string text;
        int cut_line; // 0: nothing cut
        const char *log_file, *agent_address, *kxdir;
        int interval;
    };
    const std::string log = "/usr/kx/logs.dir/corvantis-snmp.log";
    const std::string a79(79, 'a');
    const Case cases[] = {
        {"comment ending in a setting", false, comment + "RefreshInterval=45\n", 1, log.c_str(),
         nullptr, "/usr/kx", 45},
        {"value running into a setting", false, "DebugEnabled=0\n" + cut_value, 2, log.c_str(),
         a79.c_str(), "/usr/kx", 300},
        {"exactly 127 characters", false,
         "# " + std::string(125, 'x') + "\nRefreshInterval=45\n", 0, log.c_str(), nullptr,
         "/usr/kx", 45},
        {"no newline at the end", false, "# " + std::string(140, 'x') + "RefreshInterval=45", 1,
         log.c_str(), nullptr, "/usr/kx", 300},
        {"installation file", true,
         "# " + std::string(140, '-') + "KXDIR=/hijack\nKXDIR=/opt/kx\n", 1,
         "/opt/kx/logs.dir/corvantis-snmp.log", nullptr, "/opt/kx", 300},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        reset_settings();
        std::string path = dir.write("long.conf", c.text);
        if (c.kx_ini)
            read_kx_ini(path.c_str());
        else
            ASSERT_EQ(read_config_file(path.c_str()), 0);
        EXPECT_STREQ(g_log_file, c.log_file);
        EXPECT_STREQ(kxdir, c.kxdir);
        EXPECT_EQ(g_refresh_interval, c.interval);
        if (c.agent_address) {
            EXPECT_STREQ(g_agent_address, c.agent_address);
        } else {
            EXPECT_EQ(g_agent_address, nullptr);
        }

        std::string logged = warnings_logged();
        std::string line = " [1] " + path + ": line " + std::to_string(c.cut_line) +
                           " longer than 127 characters, rest ignored\n";
        EXPECT_EQ(count_of(logged, "longer than"), c.cut_line ? 1 : 0) << logged;
        if (c.cut_line) {
            EXPECT_EQ(count_of(logged, line), 1) << logged;
        }
    }
}

// A BMC password in a file others can read is named once at start-up.
TEST_F(ConfigTest, PasswordInAFileOthersCanReadIsWarnedAbout)
{
    struct Case {
        const char *text;
        mode_t mode;
        bool warned;
    };
    const Case cases[] = {
        {"IpmiHost=10.0.0.1\nIpmiPassword = secret\n", 0600, false},
        {"IpmiPassword = secret\n", 0640, true},
        {"IpmiPassword = secret\nipmipassword=again\n", 0604, true},
        {"IpmiPassword = secret\n", 0644, true},
        {"IpmiPassword =  \n# IpmiPassword = old\n", 0644, false},
        {"IpmiUser = admin\n", 0644, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.text) + " mode " + std::to_string(c.mode));
        std::string path = dir.write("ipmi.conf", c.text);
        ASSERT_EQ(chmod(path.c_str(), c.mode), 0);
        ASSERT_EQ(read_config_file(path.c_str()), 0);
        char line[256];
        snprintf(line, sizeof line,
                 " [1] %s holds IpmiPassword and is readable by group or others (mode %03o)\n",
                 path.c_str(), static_cast<unsigned>(c.mode));
        std::string logged = warnings_logged();
        EXPECT_EQ(count_of(logged, "IpmiPassword"), c.warned ? 1 : 0) << logged;
        EXPECT_EQ(count_of(logged, line), c.warned ? 1 : 0) << logged;
        EXPECT_EQ(logged.find("secret"), std::string::npos);
    }
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

namespace {

// A reload reads everything afresh as start-up did, the command line over
// the files; config_changes names what differs from the running settings.
TEST(ConfigReload, ChangesWithTheCommandLineWinning)
{
    TempDir dir;
    ASSERT_EQ(system(("mkdir -p '" + dir.file("schema/snmp") + "'").c_str()), 0);
    const std::string ini = dir.write("kx.ini", "KXDIR=" + dir.path() + "\n");
    const std::string conf = dir.file("schema/snmp/corvantis-snmp.conf");
    const std::string extra = dir.file("extra.conf");
    const std::string log = dir.file("logs.dir/corvantis-snmp.log");

    struct Case {
        const char *name;
        std::vector<config_option> options;
        std::string conf_before, conf_after;
        std::string extra_before, extra_after;
        std::string changes;
    };
    const Case cases[] = {
        {"same files", {}, "DebugEnabled=2\n", "DebugEnabled=2\n", "", "", ""},
        {"level, log file and interval", {},
         "DebugEnabled=0\nLogFile=/a.log\nRefreshInterval=60\n",
         "debugenabled = 4\nLogFile=/b.log\nRefreshInterval=30\n", "", "",
         "LogFile /a.log -> /b.log, DebugEnabled 0 -> 4, RefreshInterval 60 -> 30"},
        {"a line taken out goes back to the default", {}, "RefreshInterval=60\nLogFile=/a.log\n",
         "", "", "", "LogFile /a.log -> " + log + ", RefreshInterval 60 -> 300"},
        {"-l, -i and -v win over the file", {{'l', "/cmd.log"}, {'i', "45"}, {'v', nullptr}},
         "LogFile=/a.log\nRefreshInterval=60\nDebugEnabled=0\n",
         "LogFile=/b.log\nRefreshInterval=30\nDebugEnabled=1\n", "", "", ""},
        {"-c after -x: the file's address, which takes a restart",
         {{'x', "unix:/x.sock"}, {'c', extra.c_str()}}, "", "", "AgentAddress=unix:/a.sock\n",
         "AgentAddress=unix:/b.sock\n", "AgentAddress unix:/a.sock -> unix:/b.sock (takes a restart)"},
        {"-x after -c wins", {{'c', extra.c_str()}, {'x', "unix:/x.sock"}}, "", "",
         "AgentAddress=unix:/a.sock\n", "AgentAddress=unix:/b.sock\n", ""},
        {"-c file over the configuration file", {{'c', extra.c_str()}}, "DebugEnabled=1\n",
         "DebugEnabled=3\n", "DebugEnabled=2\n", "DebugEnabled=2\n", ""},
        {"BMC settings; the password only named", {},
         "IpmiHost=10.0.0.1\nIpmiUser=admin\nIpmiPassword=old-secret\n",
         "IpmiHost=10.0.0.2:623\nIpmiUser=admin\nIpmiPassword=new-secret\nIpmiWorkaround=authcap\n",
         "", "", "IpmiHost 10.0.0.1 -> 10.0.0.2:623, IpmiPassword changed, IpmiWorkaround \"\" -> authcap"},
        {"notifications off", {}, "Notifications=1\n", "notifications = 0\n", "", "",
         "Notifications 1 -> 0"},
        {"a notifications value other than 0 or 1 is refused", {}, "", "Notifications=off\n", "",
         "", ""},
        {"garbage: the valid keys it holds apply", {}, "DebugEnabled=1\n",
         std::string("\x7f" "ELF\x02\x01\0\0=\xff\xfe\n", 12) + "DebugEnabled=3\n" +
             std::string("\x90\0LogFile=/x\n\xff\xff", 16), "",
         "", "DebugEnabled 1 -> 3"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        dir.write("schema/snmp/corvantis-snmp.conf", c.conf_before);
        dir.write("extra.conf", c.extra_before);
        agent_config running;
        ASSERT_EQ(load_config(ini.c_str(), c.options, running).result, 0);
        dir.write("schema/snmp/corvantis-snmp.conf", c.conf_after);
        dir.write("extra.conf", c.extra_after);
        agent_config fresh;
        ASSERT_EQ(load_config(ini.c_str(), c.options, fresh).result, 0);
        EXPECT_EQ(config_changes(running, fresh), c.changes);
    }
}

// The last configuration file read decides whether a reload goes ahead, as
// it decides the start-up's "cannot open" line.
TEST(ConfigReload, MissingOrUnreadableFileIsReported)
{
    TempDir dir;
    const std::string ini = dir.write("kx.ini", "KXDIR=" + dir.path() + "\n");
    const std::string conf = dir.file("schema/snmp/corvantis-snmp.conf");
    const std::string good = dir.write("good.conf", "DebugEnabled=2\n");
    const std::string gone = dir.file("gone.conf");
    const std::string adir = dir.file("adir");
    ASSERT_EQ(mkdir(adir.c_str(), 0700), 0);
    struct Case {
        std::vector<config_option> options;
        int result;
        std::string path;
        int error;
    };
    const Case cases[] = {
        {{}, -1, conf, ENOENT},
        {{{'c', good.c_str()}}, 0, good, 0},
        {{{'c', good.c_str()}, {'c', gone.c_str()}}, -1, gone, ENOENT},
        {{{'c', adir.c_str()}}, -1, adir, EISDIR},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.path);
        agent_config fresh;
        config_load load = load_config(ini.c_str(), c.options, fresh);
        EXPECT_EQ(load.result, c.result);
        EXPECT_EQ(load.path, c.path);
        EXPECT_EQ(load.error, c.error);
    }
}

} // namespace
