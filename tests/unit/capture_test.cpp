#include "agent/capture.h"
#include "test_util.h"

#include <gtest/gtest.h>

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

TEST(CommandCapture, FailedCommandReturnsItsStatusAndLeavesTheFile)
{
    TempDir dir;
    std::string path;
    {
        CommandCapture capture(dir.file("dus.out").c_str());
        path = capture.path();
        int status = capture.run(std::string("exit 3 >") + capture.path());
        EXPECT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 3);
    }
    EXPECT_TRUE(file_exists(path));
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
