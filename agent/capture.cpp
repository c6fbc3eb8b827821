#include "agent/capture.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

bool same_name(const char *entry, const std::string &other)
{
    size_t len = other.find('=');
    if (len == std::string::npos)
        len = other.size();
    return strncmp(entry, other.c_str(), len) == 0 && entry[len] == '=';
}

// system() with an environment built for the one child.  setenv() in this
// multi-threaded process would race with every getenv() and hand the
// value to every later child; posix_spawn runs nothing of ours between
// fork and exec, so it is safe from any thread.
int run_with_env(const std::string &command_line, const std::vector<std::string> &env)
{
    std::vector<char *> envp;
    for (char **entry = environ; entry && *entry; ++entry) {
        bool replaced = false;
        for (const std::string &own : env)
            replaced = replaced || same_name(*entry, own);
        if (!replaced)
            envp.push_back(*entry);
    }
    for (const std::string &own : env)
        envp.push_back(const_cast<char *>(own.c_str()));
    envp.push_back(nullptr);

    posix_spawnattr_t attr;
    if (posix_spawnattr_init(&attr) != 0)
        return -1;
    // As under system(): the shell starts with no signal blocked.
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);

    const char *argv[] = {"sh", "-c", command_line.c_str(), nullptr};
    pid_t pid;
    int err = posix_spawn(&pid, "/bin/sh", nullptr, &attr, const_cast<char *const *>(argv),
                          envp.data());
    posix_spawnattr_destroy(&attr);
    if (err != 0)
        return -1;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    return status;
}

} // namespace

CommandCapture::CommandCapture(const char *stem)
{
    char name[sizeof path_];
    if (snprintf(name, sizeof name, "%sXXXXXX", stem) >= static_cast<int>(sizeof name))
        return;
    int fd = mkstemp(name);
    if (fd < 0)
        return;
    close(fd);
    memcpy(path_, name, sizeof path_);
}

CommandCapture::~CommandCapture()
{
    finish();
}

int CommandCapture::run(const std::string &command_line, const std::vector<std::string> &env)
{
    if (!created())
        return CAPTURE_CANNOT_OPEN;
    if (!env.empty())
        return run_with_env(command_line, env);
    return system(command_line.c_str());
}

FILE *CommandCapture::open()
{
    if (!created() || removed_)
        return nullptr;
    if (!file_)
        file_ = fopen(path_, "r");
    return file_;
}

void CommandCapture::finish()
{
    if (file_) {
        fclose(file_);
        file_ = nullptr;
    }
    // Once only: the name may since belong to someone else's file.
    if (created() && !removed_) {
        unlink(path_);
        removed_ = true;
    }
}
