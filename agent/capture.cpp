#include "agent/capture.h"

#include "agent/salog.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

using std::chrono::steady_clock;

// How long a group killed with SIGKILL is given to go.  Only a process
// stuck in the kernel (a hung NFS mount) takes longer; it is reaped by a
// later command instead of holding this one.
constexpr std::chrono::milliseconds KILL_WAIT{50};
// Enough of a command line to tell which command it was.
constexpr int LOGGED_CHARS = 160;

// A leader is reaped only after it left this list, so while it is here
// its pid stays its group's id and kill(-pid) reaches nothing else.
struct running_command {
    pid_t pid;
    std::string line;
};

struct command_registry {
    std::mutex lock;
    std::vector<running_command> running;
    // Killed leaders that did not go within KILL_WAIT.
    std::vector<pid_t> abandoned;
    bool stopped = false;
};

// Never destroyed: a refresh pass abandoned at shutdown may still end its
// command while the process exits.
command_registry &registry()
{
    static command_registry *r = new command_registry;
    return *r;
}

void reap_abandoned(command_registry &r)
{
    std::erase_if(r.abandoned, [](pid_t pid) { return waitpid(pid, nullptr, WNOHANG) != 0; });
}

bool same_name(const char *entry, const std::string &other)
{
    size_t len = other.find('=');
    if (len == std::string::npos)
        len = other.size();
    return strncmp(entry, other.c_str(), len) == 0 && entry[len] == '=';
}

// The shell with an environment built for the one child.  setenv() in
// this multi-threaded process would race with every getenv() and hand the
// value to every later child; posix_spawn runs nothing of ours between
// fork and exec, so it is safe from any thread.  -1 when nothing started.
pid_t spawn_shell(const std::string &command_line, const std::vector<std::string> &env)
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
    // The shell starts with no signal blocked, and with SIGPIPE back to
    // its default (the agent ignores it), so a pipeline ends as usual.
    sigset_t none, pipe;
    sigemptyset(&none);
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &pipe);
    // Its own process group: the deadline kills whatever it started.
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF |
                                        POSIX_SPAWN_SETPGROUP);

    const char *argv[] = {"sh", "-c", command_line.c_str(), nullptr};
    pid_t pid;
    int err = posix_spawn(&pid, "/bin/sh", nullptr, &attr, const_cast<char *const *>(argv),
                          envp.data());
    posix_spawnattr_destroy(&attr);
    return err == 0 ? pid : -1;
}

// Whether the child has ended by `until`; it is left unreaped.  An error
// (another waiter reaped it) counts as ended.
bool ended_by(pid_t pid, int pidfd, steady_clock::time_point until)
{
    for (;;) {
        siginfo_t info = {};
        int rc = waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT);
        if ((rc == 0 && info.si_pid == pid) || (rc != 0 && errno != EINTR))
            return true;
        auto left = until - steady_clock::now();
        if (left <= steady_clock::duration::zero())
            return false;
        int ms = static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count());
        // Without a pidfd (an older kernel) short sleeps stand in.
        struct pollfd exit_event = {pidfd, POLLIN, 0};
        if (pidfd >= 0)
            poll(&exit_event, 1, ms);
        else
            poll(nullptr, 0, std::min(ms, 2));
    }
}

// A command that hangs hangs again on the next pass: its first word is the
// fault's source, named once a minute.
void report_deadline(const std::string &line, std::chrono::milliseconds deadline)
{
    std::string source = "command " + line.substr(0, line.find(' '));
    sa_log(sa_log_fault_level(source.c_str(), 1), "command killed at its %ld ms deadline: %.*s\n",
           static_cast<long>(deadline.count()), LOGGED_CHARS, line.c_str());
}

} // namespace

int run_command(const std::string &command_line, std::chrono::milliseconds deadline,
                const std::vector<std::string> &env)
{
    const auto until = steady_clock::now() + deadline;
    command_registry &r = registry();
    pid_t pid;
    {
        // Spawned under the lock: a shutdown either sees the group or
        // stops it from starting.
        std::lock_guard<std::mutex> lock(r.lock);
        reap_abandoned(r);
        if (r.stopped)
            return -1;
        pid = spawn_shell(command_line, env);
        if (pid < 0)
            return -1;
        r.running.push_back({pid, command_line});
    }
    // glibc 2.36 declares pidfd_open without C linkage: the call itself.
    int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));

    bool in_time = ended_by(pid, pidfd, until);
    if (!in_time)
        kill(-pid, SIGKILL);
    bool gone = in_time || ended_by(pid, pidfd, steady_clock::now() + KILL_WAIT);
    if (pidfd >= 0)
        close(pidfd);
    {
        std::lock_guard<std::mutex> lock(r.lock);
        std::erase_if(r.running, [pid](const running_command &c) { return c.pid == pid; });
        if (!gone)
            r.abandoned.push_back(pid);
    }

    // As the wait would give it for a command killed with SIGKILL.
    int status = SIGKILL;
    if (gone) {
        while (waitpid(pid, &status, 0) < 0) {
            if (errno != EINTR) {
                status = -1;
                break;
            }
        }
    }
    if (!in_time)
        report_deadline(command_line, deadline);
    return status;
}

void kill_running_commands()
{
    command_registry &r = registry();
    std::vector<running_command> killed;
    {
        std::lock_guard<std::mutex> lock(r.lock);
        r.stopped = true;
        for (const running_command &c : r.running)
            kill(-c.pid, SIGKILL);
        killed = r.running;
    }
    for (const running_command &c : killed)
        sa_log(1, "command killed at shutdown: %.*s\n", LOGGED_CHARS, c.line.c_str());
}

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

int CommandCapture::run(const std::string &command_line, std::chrono::milliseconds deadline,
                        const std::vector<std::string> &env)
{
    if (!created())
        return CAPTURE_CANNOT_OPEN;
    return run_command(command_line, deadline, env);
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
