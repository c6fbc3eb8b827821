// Helpers shared by the reservation manager's tests.
#ifndef TESTS_SMGR_SMGR_TEST_UTIL_H
#define TESTS_SMGR_SMGR_TEST_UTIL_H

#include "kxext/kxext.h"
#include "smgr/smgr.h"
#include "testmon.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace smgr_test {

// The devices of tests/smgr/devices.sql as the test device monitor lists
// them.  Device 4 is in the database with a semaphore but not in the list;
// device 5 is listed without a semaphore set.
constexpr uint64_t kSmallCapacity = 100 * 1024;  // device 1, bytes
constexpr uint64_t kGiB = 1024ull * 1024 * 1024;
constexpr uint64_t kTiB = 1024 * kGiB;

inline std::vector<testmon::Device> default_devices()
{
    std::vector<testmon::Device> d(5);
    d[0].id = 1, d[0].name = "d2d-small", d[0].free_space = kGiB;
    d[1].id = 2, d[1].name = "d2d-large", d[1].free_space = 8 * kTiB;
    d[2].id = 3, d[2].name = "sctape", d[2].free_space = 0;
    d[3].id = 4, d[3].name = "d2d-unmonitored", d[3].listed = false;
    d[4].id = 5, d[4].name = "d2d-nosem", d[4].free_space = kGiB, d[4].semaphore = false;
    return d;
}

inline std::string temp_dir()
{
    const char *t = std::getenv("TMPDIR");
    return t && *t ? t : "/tmp";
}

// An unlinked mkstemp file.
inline int temp_fd()
{
    std::string path = temp_dir() + "/smgr-test.XXXXXX";
    int fd = mkstemp(path.data());
    if (fd >= 0)
        unlink(path.c_str());
    return fd;
}

inline std::string read_all(int fd)
{
    std::string out;
    char buf[65536];
    off_t off = 0;
    ssize_t n;
    while ((n = pread(fd, buf, sizeof buf, off)) > 0) {
        out.append(buf, static_cast<size_t>(n));
        off += n;
    }
    return out;
}

// Sends fd 2 (where kxext's logger writes) to a temporary file for the
// object's life, so that the traces tests ask for stay out of ctest's
// output and can be read back.
class StderrCapture {
public:
    StderrCapture()
    {
        std::fflush(stderr);
        fd_ = temp_fd();
        saved_ = dup(2);
        if (fd_ >= 0 && saved_ >= 0)
            dup2(fd_, 2);
    }
    ~StderrCapture()
    {
        std::fflush(stderr);
        if (saved_ >= 0) {
            dup2(saved_, 2);
            close(saved_);
        }
        if (fd_ >= 0)
            close(fd_);
    }
    StderrCapture(const StderrCapture &) = delete;
    StderrCapture &operator=(const StderrCapture &) = delete;

    bool ok() const { return fd_ >= 0 && saved_ >= 0; }
    std::string text() const { return read_all(fd_); }
    // What was logged from now on, for the next since() call.
    void mark() { mark_ = text().size(); }
    std::string since() const { return text().substr(mark_); }
    // The original stderr, for messages meant for the person running tests.
    int original() const { return saved_; }
    // The last lines, to show with a failure.
    std::string tail(size_t lines) const
    {
        std::string t = text();
        size_t pos = t.size();
        if (pos > 0 && t[pos - 1] == '\n')
            --pos;
        size_t n = 0;
        while (pos > 0 && !(t[pos - 1] == '\n' && ++n == lines))
            --pos;
        return t.substr(pos);
    }

private:
    int fd_ = -1;
    int saved_ = -1;
    size_t mark_ = 0;
};

inline bool contains(const std::string &text, const std::string &what)
{
    return text.find(what) != std::string::npos;
}

// A forked process that runs fn and reports its int64 result through a
// pipe; stderr goes to log_fd (or /dev/null when -1).  The child never
// returns into the test framework.
class Child {
public:
    Child(const std::function<int64_t()> &fn, int log_fd = -1)
    {
        int p[2];
        if (pipe2(p, O_CLOEXEC) != 0)
            return;
        pid_ = fork();
        if (pid_ == 0) {
            close(p[0]);
            int err = log_fd >= 0 ? log_fd : open("/dev/null", O_WRONLY);
            dup2(err, 2);
            int64_t rc = fn();
            ssize_t n = write(p[1], &rc, sizeof rc);
            _exit(n == sizeof rc ? 0 : 1);
        }
        close(p[1]);
        fd_ = p[0];
    }
    ~Child()
    {
        if (pid_ > 0 && !reaped_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (fd_ >= 0)
            close(fd_);
    }
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;

    bool started() const { return pid_ > 0; }
    // Kills the child at once, wherever it is, and reaps it.
    void kill_now()
    {
        if (pid_ > 0 && !reaped_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
            reaped_ = true;
        }
    }
    // The result, or false when the child did not finish within timeout_s
    // (it is then killed) or died without one.
    bool result(int timeout_s, int64_t *rc)
    {
        if (pid_ <= 0)
            return false;
        pollfd pfd{fd_, POLLIN, 0};
        bool got = false;
        if (poll(&pfd, 1, timeout_s * 1000) == 1)
            got = read(fd_, rc, sizeof *rc) == static_cast<ssize_t>(sizeof *rc);
        if (!got)
            kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        reaped_ = true;
        return got;
    }

private:
    pid_t pid_ = -1;
    int fd_ = -1;
    bool reaped_ = false;
};

// Polls cond until it holds or timeout_s passes.
inline bool eventually(const std::function<bool()> &cond, int timeout_s)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_s);
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// Base of the tests that run against a test device monitor: checks the
// namespaces, captures the log, and shows its tail when a test fails.
class StoreTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string problem = testmon::isolation_problem();
        ASSERT_TRUE(problem.empty()) << problem;
        ASSERT_NE(std::getenv("KXDB_CONNINFO"), nullptr)
            << "KXDB_CONNINFO is not set: run through ctest (smgr_ns.sh with SMGR_PG_DIR)";
        // Children must open their own connections.
        pgClose();
        // The tests read the traces; children inherit the setting.
        ASSERT_EQ(setenv("KXEXT_LOG_LEVEL", "3", 1), 0);
        ASSERT_TRUE(log_.ok());
        if (with_monitor())
            monitor_ = std::make_unique<testmon::Monitor>(devices());
    }
    void TearDown() override
    {
        if (HasFailure())
            dprintf(log_.original(), "---- last lines logged ----\n%s", log_.tail(40).c_str());
    }
    virtual bool with_monitor() const { return true; }
    virtual std::vector<testmon::Device> devices() const { return default_devices(); }

    testmon::Monitor &mon() { return *monitor_; }
    smgr_device &dev(int32_t id) { return *monitor_->device(id); }
    // Copies: the device entry is packed, its fields cannot be bound to
    // references.
    uint64_t reserve_space(int32_t id) { return dev(id).reserve_space; }
    uint64_t avail_space(int32_t id) { return dev(id).avail_space; }
    // The entry holding key, or null.
    smgr_reservation *entry_of(int32_t key)
    {
        for (int i = 0; i < SMGR_MAX_RESERVATIONS; ++i)
            if (monitor_->entry(i).used == 1 && monitor_->entry(i).reservation_key == key)
                return &monitor_->entry(i);
        return nullptr;
    }

    StderrCapture log_;
    std::unique_ptr<testmon::Monitor> monitor_;
};

}  // namespace smgr_test

#endif
