#include "agent/capture.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>

namespace {

TEST(CommandCapture, FileIsPrivateAndNamedFromTheStem)
{
    TempDir dir;
    std::string stem = dir.file("cpu.out");
    CommandCapture first(stem.c_str());
    CommandCapture second(stem.c_str());
    ASSERT_TRUE(first.created());
    EXPECT_TRUE(std::regex_match(first.path(), std::regex(stem + "[A-Za-z0-9]{6}")));
    EXPECT_STRNE(first.path(), second.path());

    struct stat st;
    ASSERT_EQ(stat(first.path(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(CommandCapture, OutputIsReadBackAndTheFileRemoved)
{
    TempDir dir;
    std::string path;
    {
        CommandCapture capture(dir.file("mem.out").c_str());
        path = capture.path();
        ASSERT_EQ(capture.run(std::string("printf 'a b\\nc\\n' >") + capture.path()), 0);
        FILE *file = capture.open();
        ASSERT_NE(file, nullptr);
        char line[16];
        ASSERT_NE(fgets(line, sizeof line, file), nullptr);
        EXPECT_STREQ(line, "a b\n");
    }
    EXPECT_FALSE(file_exists(path));
}

// Every mkstemp name is new, so a file left behind is never reused or
// removed: each outcome must remove it.
TEST(CommandCapture, NoOutcomeLeavesAFile)
{
    TempDir dir;
    enum class Then { nothing, open, open_fails };
    struct Case {
        const char *name;
        const char *command; // %1$s: the capture file
        int exit_status;
        Then then; // what the caller does next
    };
    const Case cases[] = {
        {"failed command", "echo partial >%1$s; exit 3", 3, Then::nothing},
        {"open fails", "rm -f %1$s; ln -s /nonexistent/x %1$s", 0, Then::open_fails},
        {"opened, not finished", "echo x >%1$s", 0, Then::open},
        {"never opened", "echo x >%1$s", 0, Then::nothing},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::string path;
        {
            CommandCapture capture(dir.file("snmp-nm.tmp").c_str());
            ASSERT_TRUE(capture.created());
            path = capture.path();
            char command[256];
            snprintf(command, sizeof command, c.command, capture.path());
            int status = capture.run(command);
            ASSERT_TRUE(WIFEXITED(status));
            EXPECT_EQ(WEXITSTATUS(status), c.exit_status);
            if (c.then != Then::nothing) {
                EXPECT_EQ(capture.open() != nullptr, c.then == Then::open);
            }
        }
        struct stat st;
        EXPECT_NE(lstat(path.c_str(), &st), 0) << path << " left behind";
    }
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

// The entries reach the one command, added to or replacing the agent's
// own; the agent's environment is left as it was.
TEST(CommandCapture, EnvironmentEntriesReachOnlyTheCommand)
{
    TempDir dir;
    ASSERT_EQ(setenv("CAPTURE_TEST_KEPT", "kept", 1), 0);
    ASSERT_EQ(setenv("CAPTURE_TEST_SECRET", "old", 1), 0);
    CommandCapture capture(dir.file("ipmifrudate.tmp").c_str());
    std::string command = std::string("printf '%s|%s|%s\\n' \"$CAPTURE_TEST_KEPT\" "
                                      "\"$CAPTURE_TEST_SECRET\" \"$CAPTURE_TEST_NEW\" >") +
                          capture.path() + "; exit 4";
    int status = capture.run(command, {"CAPTURE_TEST_SECRET=pa ss'$(id)", "CAPTURE_TEST_NEW=n"});
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 4);
    EXPECT_EQ(read_file(capture.path()), "kept|pa ss'$(id)|n\n");
    EXPECT_STREQ(getenv("CAPTURE_TEST_SECRET"), "old");
    EXPECT_EQ(getenv("CAPTURE_TEST_NEW"), nullptr);
    unsetenv("CAPTURE_TEST_KEPT");
    unsetenv("CAPTURE_TEST_SECRET");
}

TEST(CommandCapture, UncreatableFileGivesCannotOpenAndRunsNothing)
{
    TempDir dir;
    CommandCapture capture(dir.file("missing/dir/x.out").c_str());
    EXPECT_FALSE(capture.created());
    std::string marker = dir.file("ran");
    EXPECT_EQ(capture.run("touch " + marker), CAPTURE_CANNOT_OPEN);
    EXPECT_EQ(capture.open(), nullptr);
    EXPECT_FALSE(file_exists(marker));
}

TEST(ShellQuote, AnyTextIsOneWordAndNothingRuns)
{
    TempDir dir;
    std::string marker = dir.file("owned");
    std::string hostile = "/backups/x; touch " + marker + " $(touch " + marker + ") 'q' \"d\"";
    std::string out = dir.file("out");
    ASSERT_EQ(std::system(("printf '%s' " + shell_quote(hostile) + " >" + out).c_str()), 0);
    EXPECT_EQ(read_file(out), hostile);
    EXPECT_FALSE(file_exists(marker));
    EXPECT_EQ(shell_quote(""), "''");
}

} // namespace
