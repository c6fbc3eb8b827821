// Command capture: run a shell command with its output redirected into a
// private temporary file, then read the file back.
#ifndef CORVANTIS_AGENT_CAPTURE_H
#define CORVANTIS_AGENT_CAPTURE_H

#include "agent/text.h"

#include <cstdio>
#include <string>

// The capture file cannot be made or opened.
inline constexpr int CAPTURE_CANNOT_OPEN = -20;

// The file is created with mkstemp (stem + six random characters, mode
// 0600), so no other local user can pre-create or redirect it.  It is
// removed only once it was opened for reading: after a failed command or
// open it stays, for the operator to look at.
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
    int run(const std::string &command_line);
    // The file opened for reading, or null; closed and unlinked on
    // destruction (or finish()).
    FILE *open();
    void finish();

private:
    char path_[96] = "";
    FILE *file_ = nullptr;
};

#endif
