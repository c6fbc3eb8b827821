// Throughput of the reservation manager's writer cycle, in processes that
// share the store.  Run by bench/smgr_bench.sh inside smgr_ns.sh with a test
// device monitor listing devices 11..18 and the rig's database.
//
//   smgr_bench SECONDS
//
// For each configuration (processes × devices) every process registers a key
// on device 11 + (process % devices) and repeats, until the time is up,
// either reserve + avail + confirm or avail + confirm alone (reserve reads
// the database, the others only the store).  Prints cycles and operations
// per second summed over the processes.
#include "kxext/kxext.h"
#include "smgr/smgr.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

struct Result {
    int64_t cycles;
    int64_t failures;
};

Result run_writer(int device, bool with_reserve, double seconds)
{
    Result r{0, 0};
    int key = smgr_register(0, device);
    if (key <= 0 || smgr_reserve(key, 1ull << 40) != 0) {
        r.failures = 1;
        return r;
    }
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < end) {
        for (int i = 0; i < 16; ++i) {
            if (with_reserve && smgr_reserve(key, 1ull << 40) != 0)
                ++r.failures;
            if (smgr_avail(key, 65536, 0) != 65536)
                ++r.failures;
            if (smgr_confirm(key, 65536) != 0)
                ++r.failures;
            ++r.cycles;
        }
    }
    if (smgr_unregister(key) != 0)
        ++r.failures;
    return r;
}

bool run(int procs, int devices, bool with_reserve, double seconds)
{
    std::vector<pid_t> pids;
    std::vector<int> fds;
    for (int p = 0; p < procs; ++p) {
        int fd[2];
        if (pipe(fd) != 0)
            return false;
        pid_t pid = fork();
        if (pid == 0) {
            close(fd[0]);
            // The library logs every step; only the figures are wanted here.
            int null = open("/dev/null", O_WRONLY);
            dup2(null, 2);
            Result r = run_writer(11 + p % devices, with_reserve, seconds);
            ssize_t n = write(fd[1], &r, sizeof r);
            _exit(n == sizeof r ? 0 : 1);
        }
        close(fd[1]);
        pids.push_back(pid);
        fds.push_back(fd[0]);
    }
    Result total{0, 0};
    bool ok = true;
    for (int p = 0; p < procs; ++p) {
        Result r{};
        if (read(fds[p], &r, sizeof r) != sizeof r)
            ok = false;
        close(fds[p]);
        waitpid(pids[p], nullptr, 0);
        total.cycles += r.cycles;
        total.failures += r.failures;
    }
    const int ops = with_reserve ? 3 : 2;
    std::printf("%-26s %2d process%s %d device%s  %10.0f cycles/s  %10.0f ops/s%s\n",
                with_reserve ? "reserve+avail+confirm" : "avail+confirm", procs,
                procs == 1 ? "  " : "es", devices, devices == 1 ? " " : "s",
                total.cycles / seconds, total.cycles * ops / seconds,
                total.failures ? "  (FAILURES)" : "");
    return ok && total.failures == 0;
}

}  // namespace

int main(int argc, char **argv)
{
    double seconds = argc > 1 ? std::atof(argv[1]) : 5;
    if (seconds <= 0) {
        std::fprintf(stderr, "usage: smgr_bench SECONDS\n");
        return 2;
    }
    // Children connect on their own; the parent never does.
    pgClose();
    const int configs[][2] = {{1, 1}, {8, 1}, {8, 8}};
    bool ok = true;
    for (bool with_reserve : {true, false})
        for (const auto &c : configs)
            ok = run(c[0], c[1], with_reserve, seconds) && ok;
    return ok ? 0 : 1;
}
