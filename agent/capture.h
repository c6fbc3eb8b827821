// Command capture: run a shell command with its output redirected into a
// private temporary file, then read the file back.
#ifndef CORVANTIS_AGENT_CAPTURE_H
#define CORVANTIS_AGENT_CAPTURE_H

#include "agent/text.h"

#include <cstdio>
#include <string>
#include <vector>

// The capture file cannot be made or opened.
inline constexpr int CAPTURE_CANNOT_OPEN = -20;

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

    // system() on the command line; CAPTURE_CANNOT_OPEN without a file.
    // With env ("NAME=value" entries), the shell gets the agent's
    // environment with those entries added or replaced, for this command
    // only: a secret passed so never shows on a command line.  The result
    // is a wait status as system() gives it, -1 when no shell started.
    int run(const std::string &command_line, const std::vector<std::string> &env = {});
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
