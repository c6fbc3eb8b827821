#include "agent/salog.h"

#include "agent/agent.h"
#include "agent/text.h"

#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <malloc.h>
#include <mcheck.h>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <syslog.h>

namespace {

// Starts malloc tracing on the first check only.
std::atomic<int> g_mtrace_pending{1};

// Guards g_log_file against a switch while another thread opens it.
std::mutex g_log_file_lock;

struct FileCloser {
    void operator()(FILE *f) const { fclose(f); }
};

} // namespace

void sa_log_stamp(const struct timeval &tv, char *buf, size_t size)
{
    struct tm local;
    time_t seconds = tv.tv_sec;
    localtime_r(&seconds, &local);
    // strftime leaves a "%03u" placeholder that the milliseconds fill.
    char pattern[79];
    strftime(pattern, sizeof pattern, "%F %T.%%03u %z", &local);
    snprintf(buf, size, pattern, static_cast<unsigned>(tv.tv_usec / 1000));
}

int sa_log_syslog_priority(int level, const char **label)
{
    bool error = level == 0 || level == 1;
    *label = error ? "ERROR" : "INFO";
    return error ? LOG_ERR : LOG_INFO;
}

void sa_log_set_file(const char *path)
{
    std::lock_guard<std::mutex> lock(g_log_file_lock);
    copy_text(g_log_file, path);
}

void sa_log(int level, const char *format, ...)
{
    if (level > 3 && g_verbose == 0)
        return;

    // A handle per entry: both threads log and no stream is shared.
    std::unique_ptr<FILE, FileCloser> file;
    {
        std::lock_guard<std::mutex> lock(g_log_file_lock);
        file.reset(fopen(g_log_file, "a+"));
    }
    if (!file)
        return;

    struct timeval now;
    gettimeofday(&now, nullptr);
    char stamp[79];
    sa_log_stamp(now, stamp, sizeof stamp);

    char message[512];
    va_list args;
    va_start(args, format);
    vsnprintf(message, sizeof message, format, args);
    va_end(args);

    fprintf(file.get(), "%s [%d] %s", stamp, level, message);
    file.reset();

    if (g_syslog) {
        const char *label;
        int priority = sa_log_syslog_priority(level, &label);
        openlog(PROGRAM_NAME, LOG_CONS, LOG_DAEMON);
        syslog(priority, "%s: %s", label, message);
        closelog();
    }
}

void check_mem(const char *tag)
{
    if (!g_memcheck)
        return;
    if (g_mtrace_pending.exchange(0) == 1)
        mtrace();
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    struct mallinfo info = mallinfo();
#pragma GCC diagnostic pop
    sa_log(4, "mallinfo %s: %d %d %d %d %d %d %d %d %d %d \n", tag, info.arena, info.ordblks,
           info.smblks, info.hblks, info.hblkhd, info.usmblks, info.fsmblks, info.uordblks,
           info.fordblks, info.keepcost);
}

int sa_log_fault_level(const char *source, int level)
{
    if (level >= 3)
        return level;
    static std::mutex lock;
    static std::map<std::string, long> last_logged;
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    std::lock_guard<std::mutex> guard(lock);
    auto [entry, first] = last_logged.try_emplace(source, now.tv_sec);
    if (first || now.tv_sec - entry->second >= 60) {
        entry->second = now.tv_sec;
        return level;
    }
    return 4;
}
