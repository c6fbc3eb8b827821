// IPMI layer: the connection to the BMC, the layer's lock, commands and the
// request-time commands' thread.  See ipmi.h.
#include "ipmi/internal.h"

#include "agent/text.h"

#include <freeipmi/freeipmi.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

namespace bmc {
namespace {

using Clock = std::chrono::steady_clock;

// FreeIPMI's default.  It bounds a LAN command (counted from the BMC's last
// packet) and so also how long a session may stay idle; the BMC keeps an
// idle session longer than this (30 s the simulated one, 60 s by default).
constexpr unsigned kSessionTimeoutMs = 20000;
// A session idle this long would fail its next command at once with
// "session timeout" although the BMC is fine: a new one is opened first.
constexpr auto kIdleReopen = std::chrono::milliseconds(kSessionTimeoutMs - 1000);
// Whether a BMC answers at all is asked without a session, this briefly.
constexpr unsigned kProbeTimeoutMs = 3000;
constexpr unsigned kRetransmitMs = 500;
constexpr unsigned char kCipherSuite = 3; // HMAC-SHA1, HMAC-SHA1-96, AES-CBC-128
constexpr int kMaxRequest = 255;  // data bytes after the command byte
constexpr int kMaxResponse = 512; // larger than any IPMI message
constexpr auto kCloseWait = std::chrono::seconds(1);

// --- Logging

std::atomic<void (*)(int, const char *)> g_log{nullptr};

void emit(int level, const char *format, va_list ap)
{
    void (*fn)(int, const char *) = g_log.load();
    if (!fn)
        return;
    char text[512];
    std::vsnprintf(text, sizeof text, format, ap);
    fn(level, text);
}

// --- Settings

struct Settings {
    std::string host; // empty: in-band
    std::string user;
    std::string password;
    unsigned workaround_flags = 0;
};

// What set_connection() stored, and its count of changes; the lock's
// holder takes them over when the count moved (g_applied).
std::mutex g_settings_lock;
Settings &stored_settings()
{
    static Settings *s = new Settings;
    return *s;
}
std::atomic<unsigned> g_settings_changes{0};

// --- The layer's lock

struct Turn {
    std::mutex lock;
    std::condition_variable changed;
    bool busy = false;
    int requests_waiting = 0;
    Clock::time_point since;
};
// Never freed: the request thread is not joined and may still wait at exit.
Turn &turn()
{
    static Turn *t = new Turn;
    return *t;
}

// --- The context; everything below is under the layer's lock

Settings g_current;
unsigned g_applied = 0;
ipmi_ctx_t g_ctx = nullptr;
bool g_open = false;
ipmi_ctx_t g_pinned = nullptr;
// After a failed open or a session timeout: no new attempt before
// g_down_until, calls fail with g_down_rc meanwhile.
Clock::time_point g_down_until;
int g_down_rc = 0;
// The BMC failed us (a failed open or a session lost) and has not
// answered since.
bool g_suspect = false;
// An open attempt to a suspect BMC is in progress (read without the lock).
std::atomic<bool> g_reconnecting{false};
// When the open session last heard from the BMC.
Clock::time_point g_last_exchange;
std::atomic<unsigned> g_opened{0};

// The BMC did not answer: calls fail with rc until the hold-off is over.
int hold_off(int rc)
{
    g_suspect = true;
    g_down_rc = rc;
    g_down_until = Clock::now() + std::chrono::seconds(kRetryHoldoffSeconds);
    return rc;
}

// Failures that concern one request, not the session: the context stays.
bool session_survives(int errnum)
{
    switch (errnum) {
    case IPMI_ERR_PARAMETERS:
    case IPMI_ERR_BAD_COMPLETION_CODE:
    case IPMI_ERR_COMMAND_INVALID_OR_UNSUPPORTED:
    case IPMI_ERR_COMMAND_INVALID_FOR_SELECTED_INTERFACE:
    case IPMI_ERR_NOT_FOUND:
    case IPMI_ERR_BMC_BUSY:
    case IPMI_ERR_DRIVER_BUSY:
    case IPMI_ERR_OUT_OF_MEMORY:
        return true;
    default:
        return false;
    }
}

// FreeIPMI's LAN 2.0 workaround names (as its tools take them with -W).
struct Workaround {
    const char *name;
    unsigned flag;
};
constexpr Workaround kWorkarounds[] = {
    {"authcap", IPMI_WORKAROUND_FLAGS_OUTOFBAND_2_0_AUTHENTICATION_CAPABILITIES},
    {"opensesspriv", IPMI_WORKAROUND_FLAGS_OUTOFBAND_2_0_OPEN_SESSION_PRIVILEGE},
    {"integritycheckvalue", IPMI_WORKAROUND_FLAGS_OUTOFBAND_2_0_NON_EMPTY_INTEGRITY_CHECK_VALUE},
    {"nochecksumcheck", IPMI_WORKAROUND_FLAGS_OUTOFBAND_2_0_NO_CHECKSUM_CHECK},
};

unsigned parse_workarounds(const char *text)
{
    unsigned flags = 0;
    std::string list = text ? text : "";
    size_t pos = 0;
    while (pos <= list.size()) {
        size_t end = list.find(',', pos);
        if (end == std::string::npos)
            end = list.size();
        std::string name = list.substr(pos, end - pos);
        const char *blanks = " \t";
        size_t first = name.find_first_not_of(blanks);
        name = first == std::string::npos
                   ? std::string()
                   : name.substr(first, name.find_last_not_of(blanks) - first + 1);
        if (!name.empty()) {
            bool known = false;
            for (const Workaround &w : kWorkarounds) {
                if (name == w.name) {
                    flags |= w.flag;
                    known = true;
                }
            }
            if (!known)
                log(2, "set_connection: unknown IPMI workaround '%s' ignored", name.c_str());
        }
        pos = end + 1;
    }
    return flags;
}

void close_locked()
{
    // A pinned context is only set aside: its composite operation ends it.
    if (g_ctx && g_ctx != g_pinned) {
        if (g_open)
            ipmi_ctx_close(g_ctx);
        ipmi_ctx_destroy(g_ctx);
    }
    g_ctx = nullptr;
    g_open = false;
}

// Whether anything answers at host, without a session (Get Channel
// Authentication Capabilities): a BMC that is down costs kProbeTimeoutMs,
// not a whole session timeout.  0, or the failure's result.
int probe(const std::string &host)
{
    ipmi_ctx_t ctx = ipmi_ctx_create();
    if (!ctx) {
        log_failure("ipmi_ctx_create: %s", std::strerror(errno));
        return mapped(IPMI_ERR_OUT_OF_MEMORY);
    }
    int rc = 0;
    if (ipmi_ctx_open_outofband(ctx, host.c_str(), nullptr, nullptr, IPMI_AUTHENTICATION_TYPE_NONE,
                                IPMI_PRIVILEGE_LEVEL_USER, kProbeTimeoutMs, kRetransmitMs,
                                IPMI_WORKAROUND_FLAGS_DEFAULT, IPMI_FLAGS_NOSESSION) < 0) {
        log_failure("ipmi_ctx_open_outofband_2_0: %s", ipmi_ctx_errormsg(ctx));
        rc = mapped(ipmi_ctx_errnum(ctx));
    } else {
        // Channel: the one asked on (0Eh), IPMI 2.0 data (bit 7); ADMIN.
        unsigned char rq[3] = {IPMI_CMD_GET_CHANNEL_AUTHENTICATION_CAPABILITIES, 0x8e,
                               IPMI_PRIVILEGE_LEVEL_ADMIN};
        unsigned char rs[32];
        if (ipmi_cmd_raw(ctx, 0, IPMI_NET_FN_APP_RQ, rq, sizeof rq, rs, sizeof rs) < 0) {
            log_failure("ipmi_ctx_open_outofband_2_0: no answer from the BMC: %s",
                        ipmi_ctx_errormsg(ctx));
            rc = mapped(ipmi_ctx_errnum(ctx));
        }
        ipmi_ctx_close(ctx);
    }
    ipmi_ctx_destroy(ctx);
    return rc;
}

// Opens the context unless it is open: one attempt.
int open_locked()
{
    unsigned changes = g_settings_changes.load();
    if (changes != g_applied) {
        close_locked();
        {
            std::lock_guard<std::mutex> lock(g_settings_lock);
            g_current = stored_settings();
        }
        g_applied = changes;
        g_down_rc = 0;
        g_suspect = false;
    }
    if (g_open && !g_current.host.empty() && Clock::now() - g_last_exchange > kIdleReopen)
        close_locked();
    if (g_open)
        return 0;
    if (g_down_rc != 0 && Clock::now() < g_down_until)
        return g_down_rc;
    struct Attempt {
        Attempt() { g_reconnecting = g_suspect; }
        ~Attempt() { g_reconnecting = false; }
    } attempt;
    const Settings &s = g_current;
    if (!s.host.empty()) {
        int rc = probe(s.host);
        if (rc != 0)
            return hold_off(rc);
    }
    if (!g_ctx && !(g_ctx = ipmi_ctx_create())) {
        log_failure("ipmi_ctx_create: %s", std::strerror(errno));
        return mapped(IPMI_ERR_OUT_OF_MEMORY);
    }
    const char *call;
    int rv;
    if (s.host.empty()) {
        // The kernel driver only: probing KCS/SSIF ports from user space
        // would race with it, and without /dev/ipmi0 there is no BMC to
        // talk to in-band.
        call = "ipmi_ctx_open_inband";
        rv = ipmi_ctx_open_inband(g_ctx, IPMI_DEVICE_OPENIPMI, 0, 0, 0, nullptr,
                                  IPMI_WORKAROUND_FLAGS_DEFAULT, IPMI_FLAGS_DEFAULT);
    } else {
        call = "ipmi_ctx_open_outofband_2_0";
        rv = ipmi_ctx_open_outofband_2_0(
            g_ctx, s.host.c_str(), s.user.empty() ? nullptr : s.user.c_str(),
            s.password.empty() ? nullptr : s.password.c_str(), nullptr, 0,
            IPMI_PRIVILEGE_LEVEL_ADMIN, kCipherSuite, kSessionTimeoutMs, kRetransmitMs,
            s.workaround_flags, IPMI_FLAGS_DEFAULT);
    }
    if (rv < 0) {
        int errnum = ipmi_ctx_errnum(g_ctx);
        log_failure("%s: %s", call, ipmi_ctx_errormsg(g_ctx));
        // A fresh context for the next attempt.
        ipmi_ctx_destroy(g_ctx);
        g_ctx = nullptr;
        return hold_off(mapped(errnum));
    }
    g_open = true;
    g_opened++;
    g_down_rc = 0;
    g_suspect = false;
    locked::exchanged();
    return 0;
}

void dump(const char *what, const unsigned char *bytes, int n)
{
    std::fprintf(stderr, "%s:", what);
    for (int i = 0; i < n; i++)
        std::fprintf(stderr, " %02x", bytes[i]);
    std::fprintf(stderr, "\n");
}

bool bad_command(unsigned char netfn, unsigned char lun, const unsigned char *request,
                 int request_len, const unsigned char *response, const int *response_len)
{
    return request_len < 0 || request_len > kMaxRequest || (request_len > 0 && !request) ||
           !response_len || *response_len < 0 || (*response_len > 0 && !response) ||
           netfn > 0x3f || lun > 3;
}

bool plain_host_part(const std::string &host, std::string &out)
{
    // "[v6]:port" or "[v6]"; "name:port" (one colon); else the whole text
    // (a bare IPv6 address has several colons and no port).
    if (!host.empty() && host[0] == '[') {
        size_t close = host.find(']');
        if (close == std::string::npos)
            return false;
        out = host.substr(1, close - 1);
        return true;
    }
    size_t colon = host.find(':');
    if (colon != std::string::npos && host.find(':', colon + 1) == std::string::npos)
        out = host.substr(0, colon);
    else
        out = host;
    return true;
}

// --- Request-time commands: run by one thread of the layer's own, so a
// handler can stop waiting at its deadline while the command goes on.

struct Job {
    Deadline deadline;
    unsigned char cmd, netfn, sa, bus, lun;
    unsigned char request[kMaxRequest];
    int request_len;
    unsigned char response[kMaxResponse];
    int response_len; // capacity, then the bytes stored
    unsigned char cc = 0;
    int rc = 0;
    bool done = false; // under Requests::lock
};

struct Requests {
    std::mutex lock;
    std::condition_variable changed;
    std::shared_ptr<Job> queued;  // for the thread to take
    std::shared_ptr<Job> running; // with the thread; its caller may have gone
    bool started = false;
};
Requests &requests()
{
    static Requests *r = new Requests;
    return *r;
}

void run(Job &job)
{
    // Not queued behind another thread's attempt to reach a BMC that was
    // gone, nor behind a command the BMC leaves unanswered.
    if (g_reconnecting) {
        job.rc = mapped(IPMI_ERR_DEVICE_NOT_OPEN);
        return;
    }
    if (!hold_layer_until(job.deadline)) {
        job.rc = kErrDeadline;
        return;
    }
    job.rc = locked::cmdraw(job.cmd, job.netfn, job.sa, job.bus, job.lun, job.request,
                            job.request_len, job.response, &job.response_len, &job.cc, 0);
    release_layer();
}

void serve_requests()
{
    Requests &q = requests();
    std::unique_lock<std::mutex> lock(q.lock);
    for (;;) {
        q.changed.wait(lock, [&] { return q.queued != nullptr; });
        std::shared_ptr<Job> job = std::move(q.queued);
        q.queued.reset();
        q.running = job;
        q.changed.notify_all(); // room for the next caller's job
        lock.unlock();
        run(*job);
        lock.lock();
        job->done = true;
        q.running.reset();
        q.changed.notify_all();
    }
}

} // namespace

void log(int level, const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    emit(level, format, ap);
    va_end(ap);
}

void log_failure(const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    emit(1, format, ap);
    va_end(ap);
}

int mapped(int errnum)
{
    // 0 would read as success; FreeIPMI sets a number on every failure.
    return kErrFreeipmi - (errnum > 0 ? errnum : IPMI_ERR_INTERNAL_ERROR);
}

void hold_layer()
{
    Turn &t = turn();
    std::unique_lock<std::mutex> lock(t.lock);
    t.changed.wait(lock, [&] { return !t.busy && t.requests_waiting == 0; });
    t.busy = true;
    t.since = Clock::now();
}

bool hold_layer_until(Deadline deadline)
{
    Turn &t = turn();
    std::unique_lock<std::mutex> lock(t.lock);
    if (t.busy && Clock::now() - t.since > kRequestBudget)
        return false;
    t.requests_waiting++;
    bool got = t.changed.wait_until(lock, deadline, [&] { return !t.busy; });
    t.requests_waiting--;
    if (got) {
        t.busy = true;
        t.since = Clock::now();
    } else {
        t.changed.notify_all(); // refresh work may have waited for us
    }
    return got;
}

void release_layer()
{
    Turn &t = turn();
    {
        std::lock_guard<std::mutex> lock(t.lock);
        t.busy = false;
    }
    t.changed.notify_all();
}

void set_connection(const char *host, const char *user, const char *password,
                    const char *workarounds)
{
    Settings s;
    s.host = host ? host : "";
    s.user = user ? user : "";
    s.password = password ? password : "";
    s.workaround_flags = parse_workarounds(workarounds);
    {
        std::lock_guard<std::mutex> lock(g_settings_lock);
        stored_settings() = std::move(s);
    }
    g_settings_changes++;
}

void set_log(void (*fn)(int level, const char *text))
{
    g_log = fn;
}

namespace locked {

ipmi_ctx *context(int *rc)
{
    int r = open_locked();
    if (rc)
        *rc = r;
    return r == 0 ? g_ctx : nullptr;
}

int failed(const char *call, ipmi_ctx *ctx)
{
    if (!ctx)
        return mapped(IPMI_ERR_DEVICE_NOT_OPEN);
    int errnum = ipmi_ctx_errnum(ctx);
    log_failure("%s: %s", call, ipmi_ctx_errormsg(ctx));
    if (!session_survives(errnum) && ctx == g_ctx) {
        close_locked();
        g_suspect = true;
        // A BMC that stopped answering an open session is most likely
        // gone: no new session for a while either.
        if (errnum == IPMI_ERR_SESSION_TIMEOUT)
            hold_off(mapped(errnum));
    }
    return mapped(errnum);
}

void exchanged()
{
    g_last_exchange = Clock::now();
}

int cmdraw(unsigned char cmd, unsigned char netfn, unsigned char sa, unsigned char bus,
           unsigned char lun, const unsigned char *request, int request_len,
           unsigned char *response, int *response_len, unsigned char *completion_code,
           int debug)
{
    if (bad_command(netfn, lun, request, request_len, response, response_len))
        return kErrArg;

    int rc = open_locked();
    if (rc != 0)
        return rc;
    ipmi_ctx_t ctx = g_ctx;

    unsigned char rq[1 + kMaxRequest];
    unsigned char rs[kMaxResponse];
    rq[0] = cmd;
    if (request_len > 0)
        std::memcpy(rq + 1, request, request_len);
    if (debug) {
        char what[80];
        std::snprintf(what, sizeof what, "ipmi netfn 0x%02x cmd 0x%02x sa 0x%02x bus %u lun %u request",
                      netfn, cmd, sa, bus, lun);
        dump(what, rq + 1, request_len);
    }

    int n;
    const char *call;
    if (sa == kBmcSlaveAddress && bus == 0) {
        call = "ipmi_cmd_raw";
        n = ipmi_cmd_raw(ctx, lun, netfn, rq, 1 + request_len, rs, sizeof rs);
    } else {
        call = "ipmi_cmd_raw_ipmb";
        n = ipmi_cmd_raw_ipmb(ctx, bus, sa, lun, netfn, rq, 1 + request_len, rs, sizeof rs);
    }
    if (n < 0)
        return failed(call, ctx);
    exchanged();
    // rs = command byte, completion code, data.
    if (n < 2) {
        log_failure("%s: answer of %d bytes to netfn 0x%02x cmd 0x%02x", call, n, netfn, cmd);
        return kErrResponse;
    }
    int data = n - 2;
    int stored = data < *response_len ? data : *response_len;
    if (stored > 0)
        std::memcpy(response, rs + 2, stored);
    *response_len = stored;
    if (completion_code)
        *completion_code = rs[1];
    if (debug) {
        char what[40];
        std::snprintf(what, sizeof what, "ipmi response cc 0x%02x", rs[1]);
        dump(what, rs + 2, data);
    }
    return 0;
}

void pin(ipmi_ctx *ctx)
{
    g_pinned = ctx;
}

void unpin(ipmi_ctx *ctx)
{
    g_pinned = nullptr;
    if (ctx && ctx != g_ctx) { // closed meanwhile: set aside for us to end
        ipmi_ctx_close(ctx);
        ipmi_ctx_destroy(ctx);
    }
}

} // namespace locked

int ipmi_cmdraw(unsigned char cmd, unsigned char netfn, unsigned char sa, unsigned char bus,
                unsigned char lun, unsigned char *request, int request_len,
                unsigned char *response, int *response_len, unsigned char *completion_code,
                int debug)
{
    // Not queued behind another thread's attempt to reach a BMC that was
    // gone: that attempt may take a whole probe timeout.
    if (g_reconnecting)
        return mapped(IPMI_ERR_DEVICE_NOT_OPEN);
    LayerHeld held;
    return locked::cmdraw(cmd, netfn, sa, bus, lun, request, request_len, response,
                          response_len, completion_code, debug);
}

int ipmi_cmdraw_until(Deadline deadline, unsigned char cmd, unsigned char netfn,
                      unsigned char sa, unsigned char bus, unsigned char lun,
                      const unsigned char *request, int request_len, unsigned char *response,
                      int *response_len, unsigned char *completion_code)
{
    if (bad_command(netfn, lun, request, request_len, response, response_len))
        return kErrArg;
    Requests &q = requests();
    std::unique_lock<std::mutex> lock(q.lock);
    if (!q.started) {
        try {
            std::thread(serve_requests).detach();
        } catch (const std::system_error &e) {
            log_failure("ipmi_cmdraw_until: no thread for request-time commands: %s", e.what());
            return mapped(IPMI_ERR_SYSTEM_ERROR);
        }
        q.started = true;
    }
    // An earlier request's command that ran out of time is still with the
    // BMC: this one would only wait behind it.
    if (q.running && Clock::now() > q.running->deadline)
        return kErrDeadline;
    if (!q.changed.wait_until(lock, deadline, [&] { return q.queued == nullptr; }))
        return kErrDeadline;

    auto job = std::make_shared<Job>();
    job->deadline = deadline;
    job->cmd = cmd;
    job->netfn = netfn;
    job->sa = sa;
    job->bus = bus;
    job->lun = lun;
    job->request_len = request_len;
    if (request_len > 0)
        std::memcpy(job->request, request, request_len);
    job->response_len = *response_len < kMaxResponse ? *response_len : kMaxResponse;
    q.queued = job;
    q.changed.notify_all();
    if (!q.changed.wait_until(lock, deadline, [&] { return job->done; })) {
        if (q.queued == job)
            q.queued.reset();
        return kErrDeadline;
    }
    if (job->rc == 0) {
        if (job->response_len > 0)
            std::memcpy(response, job->response, job->response_len);
        *response_len = job->response_len;
        if (completion_code)
            *completion_code = job->cc;
    }
    return job->rc;
}

int ipmi_cmd(unsigned short cmd, unsigned char *request, int request_len,
             unsigned char *response, int *response_len, unsigned char *completion_code,
             int debug)
{
    return ipmi_cmdraw(cmd & 0xff, cmd >> 8, kBmcSlaveAddress, 0, 0, request, request_len,
                       response, response_len, completion_code, debug);
}

int ipmi_getdeviceid(unsigned char *buf, int size, int debug)
{
    if (!buf || size < 0)
        return kErrArg;
    unsigned char cc = 0;
    int len = size;
    int rc = ipmi_cmdraw(IPMI_CMD_GET_DEVICE_ID, IPMI_NET_FN_APP_RQ, kBmcSlaveAddress, 0, 0,
                         nullptr, 0, buf, &len, &cc, debug);
    if (rc != 0)
        return rc;
    return cc;
}

void ipmi_close_()
{
    if (!hold_layer_until(Clock::now() + kCloseWait)) {
        log(2, "ipmi_close_: a command is still waiting for the BMC; the session is left to "
               "its timeout");
        return;
    }
    close_locked();
    release_layer();
}

FruCommand fru_command()
{
    Settings s;
    {
        std::lock_guard<std::mutex> lock(g_settings_lock);
        s = stored_settings();
    }
    FruCommand command{"ipmiutil fru -b", {}};
    std::string host;
    if (!s.host.empty() && plain_host_part(s.host, host)) {
        // Host and user are option arguments, never operands: getopt takes
        // them whole even when they begin with "-".
        command.line += " -N " + shell_quote(host);
        command.line += " -U " + shell_quote(s.user);
        command.line += " -E -F lan2";
        command.env.push_back("IPMI_PASSWORD=" + s.password);
    }
    return command;
}

unsigned sessions_opened()
{
    return g_opened.load();
}

const char *error_text(int rc)
{
    if (rc == 0)
        return "success";
    if (rc == kErrArg)
        return "bad argument";
    if (rc == kErrResponse)
        return "malformed response";
    if (rc == kErrDeadline)
        return "no answer within the request's deadline";
    if (rc < kErrFreeipmi && rc > kErrFreeipmi - IPMI_ERR_ERRNUMRANGE)
        return ipmi_ctx_strerror(kErrFreeipmi - rc);
    return "unknown error";
}

} // namespace bmc
