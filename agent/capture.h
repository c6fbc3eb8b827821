// Command capture: run a shell command with its output redirected into a
// private temporary file, then read the file back.  Every command runs
// under a deadline.
#ifndef CORVANTIS_AGENT_CAPTURE_H
#define CORVANTIS_AGENT_CAPTURE_H

#include "agent/text.h"

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

// The capture file cannot be made or opened.
inline constexpr int CAPTURE_CANNOT_OPEN = -20;

// Runs the command line with /bin/sh -c in a process group of its own and
// waits for it at most `deadline`.  Past it the whole group, children the
// command started included, is killed with SIGKILL and the cause logged
// (once a minute per command).  With env ("NAME=value" entries) the shell
// gets the agent's environment with those entries added or replaced, for
// this command only: a secret passed so never shows on a command line.
// Returns a wait status as system() gives it (a command killed at its
// deadline: killed by SIGKILL), -1 when no shell started, which is also
// every answer once kill_running_commands() has run.
int run_command(const std::string &command_line, std::chrono::milliseconds deadline,
                const std::vector<std::string> &env = {});

// Shutdown: kills the process group of every command still running, from
// any thread, and starts no command afterwards.
void kill_running_commands();

// The file is created with mkstemp (stem + six random characters, mode
// 0600), so no other local user can pre-create or redirect it.  Its name is
// unique and never used again, so it is removed on every outcome, a failed
// command or open included, when the capture ends: callers log a failure
// before they return.
class CommandCapture {
public:
    explicit CommandCapture(const char *stem);
    ~CommandCapture();
    CommandCapture(const CommandCapture &) = delete;
    CommandCapture &operator=(const CommandCapture &) = delete;

    // The file's name, "" when it could not be created.
    const char *path() const { return path_; }
    bool created() const { return path_[0] != '\0'; }

    // run_command() on the command line; CAPTURE_CANNOT_OPEN without a
    // file.
    int run(const std::string &command_line, std::chrono::milliseconds deadline,
            const std::vector<std::string> &env = {});
    // The file opened for reading, or null.
    FILE *open();
    // Closes and removes the file (also on destruction).
    void finish();

private:
    char path_[96] = "";
    FILE *file_ = nullptr;
    bool removed_ = false;
};

#endif
