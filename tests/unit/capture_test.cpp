#include "agent/agent.h"
#include "agent/capture.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <regex>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>

namespace {

using namespace std::chrono_literals;
using std::chrono::steady_clock;

// Deadlines no test command comes near unless it hangs.
constexpr auto AMPLE = 20s;

bool killed(int status)
{
    return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
}

// Whether the process has ended (gone, or a zombie its parent has yet to
// reap), waiting at most the bound: a bound that only catches hangs.
bool ends_within(pid_t pid, std::chrono::seconds bound)
{
    auto until = steady_clock::now() + bound;
    do {
        std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
        size_t paren = stat.rfind(')');
        if (stat.empty() || (paren != std::string::npos && stat.compare(paren, 3, ") Z") == 0))
            return true;
        std::this_thread::sleep_for(10ms);
    } while (steady_clock::now() < until);
    return false;
}

pid_t pid_in(const std::string &path)
{
    return static_cast<pid_t>(atoi(read_file(path).c_str()));
}

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
        ASSERT_EQ(capture.run(std::string("printf 'a b\\nc\\n' >") + capture.path(), AMPLE), 0);
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
        int exit_status;     // -1: killed at its deadline
        Then then;           // what the caller does next
    };
    const Case cases[] = {
        {"failed command", "echo partial >%1$s; exit 3", 3, Then::nothing},
        {"past its deadline", "echo partial >%1$s; sleep 30", -1, Then::nothing},
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
            int status = capture.run(command, c.exit_status < 0 ? 100ms : AMPLE);
            if (c.exit_status < 0) {
                EXPECT_TRUE(killed(status)) << status;
            } else {
                ASSERT_TRUE(WIFEXITED(status));
                EXPECT_EQ(WEXITSTATUS(status), c.exit_status);
            }
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
    int status =
        capture.run(command, AMPLE, {"CAPTURE_TEST_SECRET=pa ss'$(id)", "CAPTURE_TEST_NEW=n"});
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
    EXPECT_EQ(capture.run("touch " + marker, AMPLE), CAPTURE_CANNOT_OPEN);
    EXPECT_EQ(capture.open(), nullptr);
    EXPECT_FALSE(file_exists(marker));
}

// A command past its deadline goes with everything it started, a child
// that ignores SIGTERM included; the call returns about at the deadline,
// and the cause is logged once a minute per command.
TEST(CommandDeadline, KillsTheWholeProcessGroup)
{
    TempDir dir;
    reset_settings();
    snprintf(g_log_file, sizeof g_log_file, "%s", dir.file("log").c_str());
    std::string child_pid = dir.file("child.pid");
    std::string command = "sh -c 'trap \"\" TERM; sleep 60' & echo $! >" + child_pid +
                          "; trap '' TERM; sleep 60";
    for (int round = 0; round < 2; round++) {
        auto start = steady_clock::now();
        int status = run_command(command, 300ms);
        EXPECT_LT(steady_clock::now() - start, 5s);
        EXPECT_TRUE(killed(status)) << status;
        pid_t child = pid_in(child_pid);
        ASSERT_GT(child, 0);
        EXPECT_TRUE(ends_within(child, 5s)) << "child " << child << " outlived the deadline";
    }
    std::string log = read_file(g_log_file);
    std::string line = "[1] command killed at its 300 ms deadline: sh -c 'trap";
    EXPECT_NE(log.find(line), std::string::npos) << log;
    EXPECT_EQ(log.find(line), log.rfind(line)) << log;
    reset_settings();
}

// Shutdown kills a running command long before its deadline, and no
// command starts after it.  Exits 0 when it went so.
[[noreturn]] void shutdown_with_a_running_command(const TempDir &dir)
{
    snprintf(g_log_file, sizeof g_log_file, "%s", dir.file("log").c_str());
    std::string started = dir.file("started");
    std::string later = dir.file("later");
    int status = 0;
    auto start = steady_clock::now();
    std::thread pass([&] { status = run_command("touch " + started + "; sleep 60", 60s); });
    while (!file_exists(started) && steady_clock::now() - start < 10s)
        std::this_thread::sleep_for(5ms);
    kill_running_commands();
    pass.join();
    int after = run_command("touch " + later, AMPLE);
    std::string log = read_file(g_log_file);
    bool ok = killed(status) && steady_clock::now() - start < 20s && after == -1 &&
              !file_exists(later) &&
              log.find("[1] command killed at shutdown: touch ") != std::string::npos;
    if (!ok)
        fprintf(stderr, "status %d, after %d, log:\n%s", status, after, log.c_str());
    exit(ok ? 0 : 1);
}

// In a child process: a shutdown cannot be undone.
TEST(CommandDeadline, ShutdownKillsRunningCommands)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    TempDir dir;
    EXPECT_EXIT(shutdown_with_a_running_command(dir), ::testing::ExitedWithCode(0), "");
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
