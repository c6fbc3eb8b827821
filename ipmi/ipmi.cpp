// IPMI access to the BMC over FreeIPMI: see ipmi.h.
#include "ipmi/ipmi.h"

#include "agent/text.h"

#include <freeipmi/freeipmi.h>

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace bmc {
namespace {

// A dead LAN BMC must fail a call within a few seconds: FreeIPMI resends
// every kRetransmitMs until kSessionTimeoutMs have passed.
constexpr unsigned kSessionTimeoutMs = 3000;
// FreeIPMI also ends a LAN session that has been idle for the session
// timeout: the next request then fails at once with "session timeout",
// although the BMC is fine.  A session idle for this long is closed and a
// new one opened before the request instead.
constexpr auto kIdleReopen = std::chrono::milliseconds(kSessionTimeoutMs - 1000);
constexpr unsigned kRetransmitMs = 500;
constexpr unsigned char kCipherSuite = 3; // HMAC-SHA1, HMAC-SHA1-96, AES-CBC-128
constexpr unsigned char kBmcSlaveAddress = 0x20;
constexpr int kMaxRequest = 255;  // data bytes after the command byte
constexpr int kMaxResponse = 512; // larger than any IPMI message

struct Settings {
    std::string host; // empty: in-band
    std::string user;
    std::string password;
    unsigned workaround_flags = 0;
};

std::mutex g_mutex;
Settings g_settings;
ipmi_ctx_t g_ctx = nullptr;
bool g_open = false;
// After a failed open or a session timeout: no new attempt before
// g_down_until, calls fail with g_down_rc meanwhile.
std::chrono::steady_clock::time_point g_down_until;
int g_down_rc = 0;
// The BMC failed us (a failed open or a session lost) and has not
// answered since.
bool g_suspect = false;
// An open attempt to a suspect BMC is in progress (read without the lock).
std::atomic<bool> g_reconnecting{false};
// When the open LAN session last heard from the BMC.
std::chrono::steady_clock::time_point g_last_exchange;

void exchanged()
{
    g_last_exchange = std::chrono::steady_clock::now();
}

// The BMC did not answer: calls fail with rc until the hold-off is over.
int hold_off(int rc)
{
    g_suspect = true;
    g_down_rc = rc;
    g_down_until = std::chrono::steady_clock::now() + std::chrono::seconds(kRetryHoldoffSeconds);
    return rc;
}
void (*g_log)(int, const char *) = nullptr;

void log(int level, const char *format, ...) __attribute__((format(printf, 2, 3)));
void log(int level, const char *format, ...)
{
    if (!g_log)
        return;
    char text[512];
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(text, sizeof text, format, ap);
    va_end(ap);
    g_log(level, text);
}

int mapped(int errnum)
{
    // 0 would read as success; FreeIPMI sets a number on every failure.
    return kErrFreeipmi - (errnum > 0 ? errnum : IPMI_ERR_INTERNAL_ERROR);
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
    if (g_ctx) {
        if (g_open)
            ipmi_ctx_close(g_ctx);
        ipmi_ctx_destroy(g_ctx);
    }
    g_ctx = nullptr;
    g_open = false;
}

// Opens the context unless it is open: one attempt.
int open_locked()
{
    if (g_open && !g_settings.host.empty() &&
        std::chrono::steady_clock::now() - g_last_exchange > kIdleReopen)
        close_locked();
    if (g_open)
        return 0;
    if (g_down_rc != 0 && std::chrono::steady_clock::now() < g_down_until)
        return g_down_rc;
    struct Attempt {
        Attempt() { g_reconnecting = g_suspect; }
        ~Attempt() { g_reconnecting = false; }
    } attempt;
    if (!g_ctx && !(g_ctx = ipmi_ctx_create())) {
        log(1, "ipmi_ctx_create: %s", std::strerror(errno));
        return mapped(IPMI_ERR_OUT_OF_MEMORY);
    }
    const Settings &s = g_settings;
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
        log(1, "%s: %s", call, ipmi_ctx_errormsg(g_ctx));
        // A fresh context for the next attempt.
        ipmi_ctx_destroy(g_ctx);
        g_ctx = nullptr;
        return hold_off(mapped(errnum));
    }
    g_open = true;
    g_down_rc = 0;
    g_suspect = false;
    exchanged();
    return 0;
}

void dump(const char *what, const unsigned char *bytes, int n)
{
    std::fprintf(stderr, "%s:", what);
    for (int i = 0; i < n; i++)
        std::fprintf(stderr, " %02x", bytes[i]);
    std::fprintf(stderr, "\n");
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

} // namespace

void set_connection(const char *host, const char *user, const char *password,
                    const char *workarounds)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    Settings s;
    s.host = host ? host : "";
    s.user = user ? user : "";
    s.password = password ? password : "";
    s.workaround_flags = parse_workarounds(workarounds);
    close_locked();
    g_settings = std::move(s);
    g_down_rc = 0;
    g_suspect = false;
}

void set_log(void (*fn)(int level, const char *text))
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_log = fn;
}

std::mutex &ipmi_mutex()
{
    return g_mutex;
}

namespace locked {

ipmi_ctx *context(int *rc)
{
    int r = open_locked();
    if (rc)
        *rc = r;
    return r == 0 ? g_ctx : nullptr;
}

int failed(const char *call)
{
    if (!g_ctx)
        return mapped(IPMI_ERR_DEVICE_NOT_OPEN);
    int errnum = ipmi_ctx_errnum(g_ctx);
    log(1, "%s: %s", call, ipmi_ctx_errormsg(g_ctx));
    if (!session_survives(errnum)) {
        close_locked();
        g_suspect = true;
        // A BMC that stopped answering an open session is most likely
        // gone: no new session for a while either.
        if (errnum == IPMI_ERR_SESSION_TIMEOUT)
            hold_off(mapped(errnum));
    }
    return mapped(errnum);
}

int cmdraw(unsigned char cmd, unsigned char netfn, unsigned char sa, unsigned char bus,
           unsigned char lun, const unsigned char *request, int request_len,
           unsigned char *response, int *response_len, unsigned char *completion_code,
           int debug)
{
    if (request_len < 0 || request_len > kMaxRequest || (request_len > 0 && !request) ||
        !response_len || *response_len < 0 || (*response_len > 0 && !response) ||
        netfn > 0x3f || lun > 3)
        return kErrArg;

    int rc = open_locked();
    if (rc != 0)
        return rc;

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
        n = ipmi_cmd_raw(g_ctx, lun, netfn, rq, 1 + request_len, rs, sizeof rs);
    } else {
        call = "ipmi_cmd_raw_ipmb";
        n = ipmi_cmd_raw_ipmb(g_ctx, bus, sa, lun, netfn, rq, 1 + request_len, rs, sizeof rs);
    }
    if (n < 0)
        return failed(call);
    exchanged();
    // rs = command byte, completion code, data.
    if (n < 2) {
        log(1, "%s: answer of %d bytes to netfn 0x%02x cmd 0x%02x", call, n, netfn, cmd);
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

void close()
{
    close_locked();
}

} // namespace locked

int ipmi_cmdraw(unsigned char cmd, unsigned char netfn, unsigned char sa, unsigned char bus,
                unsigned char lun, unsigned char *request, int request_len,
                unsigned char *response, int *response_len, unsigned char *completion_code,
                int debug)
{
    // Not queued behind another thread's attempt to reach a BMC that was
    // gone: that attempt may take a whole session timeout.
    if (g_reconnecting)
        return mapped(IPMI_ERR_DEVICE_NOT_OPEN);
    std::lock_guard<std::mutex> lock(g_mutex);
    return locked::cmdraw(cmd, netfn, sa, bus, lun, request, request_len, response,
                          response_len, completion_code, debug);
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
    std::lock_guard<std::mutex> lock(g_mutex);
    close_locked();
}

FruCommand fru_command()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    FruCommand command{"ipmiutil fru -b", {}};
    const Settings &s = g_settings;
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

int bios_version_from(const char *path, char *buf)
{
    if (!buf)
        return kErrArg;
    buf[0] = '\0';
    if (!path)
        return kErrArg;
    FILE *f = std::fopen(path, "r");
    if (!f)
        return -2;
    char text[256];
    size_t n = std::fread(text, 1, sizeof text - 1, f);
    std::fclose(f);
    text[n] = '\0';
    // The kernel ends the value with a newline; keep the first line only.
    text[std::strcspn(text, "\r\n")] = '\0';
    n = std::strlen(text);
    while (n > 0 && (text[n - 1] == ' ' || text[n - 1] == '\t'))
        text[--n] = '\0';
    if (n == 0)
        return -2;
    if (n > 63)
        n = 63;
    std::memcpy(buf, text, n);
    buf[n] = '\0';
    return 0;
}

int get_BiosVersion(char *buf)
{
    return bios_version_from("/sys/class/dmi/id/bios_version", buf);
}

const char *error_text(int rc)
{
    if (rc == 0)
        return "success";
    if (rc == kErrArg)
        return "bad argument";
    if (rc == kErrResponse)
        return "malformed response";
    if (rc < kErrFreeipmi && rc > kErrFreeipmi - IPMI_ERR_ERRNUMRANGE)
        return ipmi_ctx_strerror(kErrFreeipmi - rc);
    return "unknown error";
}

// --- Sensor data records ------------------------------------------------

struct SdrCache {
    std::vector<unsigned char> bytes; // the records back to back
    std::vector<size_t> offsets;      // where each record starts
    // FreeIPMI's view of the same records (null for a cache made from
    // bytes): the SEL decoder names sensors through it.  Its cursor moves
    // on every search, so it is used under `lock` only.
    ipmi_sdr_ctx_t sdr = nullptr;
    std::mutex lock;

    ~SdrCache()
    {
        if (sdr) {
            ipmi_sdr_cache_close(sdr);
            ipmi_sdr_ctx_destroy(sdr);
        }
    }
    int count() const { return static_cast<int>(offsets.size()); }
    int length(int i) const
    {
        size_t end = i + 1 < count() ? offsets[i + 1] : bytes.size();
        return static_cast<int>(end - offsets[i]);
    }
    unsigned short id(int i) const
    {
        const unsigned char *r = bytes.data() + offsets[i];
        return static_cast<unsigned short>(r[0] | (r[1] << 8));
    }
    void copy(int i, unsigned char *buf) const
    {
        std::memset(buf, 0, kSdrMax);
        int n = length(i) < kSdrMax ? length(i) : kSdrMax;
        std::memcpy(buf, bytes.data() + offsets[i], n);
    }
};

namespace {

constexpr int kSdrHeader = 5;
constexpr int kSdrNotFound = 1;

// The process's cache, and the SEL decoder's settings; both under
// g_cache_mutex (never held while ipmi_mutex() is taken the other way).
std::mutex g_cache_mutex;
SdrCache *g_cache = nullptr;

struct SelOptions {
    int desc = 1;
    int canon = 1;
    int debug = 0;
    int utc = 0;
    SdrCache *cache = nullptr;
    ipmi_sel_ctx_t sel = nullptr; // parses records; names sensors from cache->sdr
};
SelOptions g_sel;

void drop_sel_ctx()
{
    if (g_sel.sel)
        ipmi_sel_ctx_destroy(g_sel.sel);
    g_sel.sel = nullptr;
}

// Appends the records of an SDR file that FreeIPMI has open.
int read_cache_records(ipmi_sdr_ctx_t sdr, SdrCache &cache)
{
    uint16_t count = 0;
    if (ipmi_sdr_cache_record_count(sdr, &count) < 0)
        return -1;
    if (count == 0)
        return 0;
    if (ipmi_sdr_cache_first(sdr) < 0)
        return -1;
    for (unsigned i = 0; i < count; i++) {
        unsigned char record[IPMI_SDR_MAX_RECORD_LENGTH];
        int n = ipmi_sdr_cache_record_read(sdr, record, sizeof record);
        if (n < kSdrHeader)
            return -1;
        cache.offsets.push_back(cache.bytes.size());
        cache.bytes.insert(cache.bytes.end(), record, record + n);
        if (i + 1 < count && ipmi_sdr_cache_next(sdr) != 1)
            return -1;
    }
    return 0;
}

// Reads the repository into a new cache; the caller holds ipmi_mutex().
int create_cache_locked(SdrCache **out)
{
    int rc = 0;
    ipmi_ctx_t ctx = locked::context(&rc);
    if (!ctx)
        return rc;

    auto cache = std::make_unique<SdrCache>();
    cache->sdr = ipmi_sdr_ctx_create();
    if (!cache->sdr) {
        log(1, "ipmi_sdr_ctx_create: %s", std::strerror(errno));
        return mapped(IPMI_ERR_OUT_OF_MEMORY);
    }
    // FreeIPMI caches into a file; it is opened (mapped) and unlinked at
    // once, so nothing stays behind in /tmp.
    char path[] = "/tmp/corvantis-sdr.XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0) {
        log(1, "get_sdr_cache: mkstemp: %s", std::strerror(errno));
        return mapped(IPMI_ERR_SYSTEM_ERROR);
    }
    ::close(fd);
    int result = 0;
    if (ipmi_sdr_cache_create(cache->sdr, ctx, path, IPMI_SDR_CACHE_CREATE_FLAGS_OVERWRITE,
                              nullptr, nullptr) < 0) {
        if (ipmi_sdr_ctx_errnum(cache->sdr) == IPMI_SDR_ERR_IPMI_ERROR) {
            result = locked::failed("ipmi_sdr_cache_create");
        } else {
            log(1, "ipmi_sdr_cache_create: %s", ipmi_sdr_ctx_errormsg(cache->sdr));
            result = kErrResponse;
        }
    } else if (ipmi_sdr_cache_open(cache->sdr, nullptr, path) < 0) {
        log(1, "ipmi_sdr_cache_open: %s", ipmi_sdr_ctx_errormsg(cache->sdr));
        result = kErrResponse;
    }
    unlink(path);
    if (result != 0)
        return result;
    exchanged();
    if (read_cache_records(cache->sdr, *cache) != 0) {
        log(1, "ipmi_sdr_cache_record_read: %s", ipmi_sdr_ctx_errormsg(cache->sdr));
        return kErrResponse;
    }
    *out = cache.release();
    return 0;
}

// A parsing-only FreeIPMI SDR context (its calls need one for errors).
struct ParseCtx {
    ipmi_sdr_ctx_t ctx = ipmi_sdr_ctx_create();
    ~ParseCtx()
    {
        if (ctx)
            ipmi_sdr_ctx_destroy(ctx);
    }
};

int sdr_length(const unsigned char *sdr)
{
    int n = kSdrHeader + sdr[4];
    return n < kSdrMax ? n : kSdrMax;
}

const char *severity(const unsigned char *r)
{
    if (r[2] != 0x02 || (r[12] & 0x7f) != 0x01) // system event, threshold type
        return "INF";
    switch (r[13] & 0x0f) { // offset: the threshold and its direction
    case 0x0: case 0x1: case 0x6: case 0x7:
        return "MIN"; // non-critical
    case 0x2: case 0x3: case 0x8: case 0x9:
        return "MAJ"; // critical
    case 0x4: case 0x5: case 0xa: case 0xb:
        return "CRT"; // non-recoverable
    default:
        return "INF";
    }
}

// Generator ID byte 1: an IPMB slave address, or (bit 0 set) a system
// software ID.
std::string generator(const unsigned char *r)
{
    if (r[2] != 0x02)
        return "N/A";
    unsigned g = r[7];
    if (g == kBmcSlaveAddress)
        return "BMC";
    char text[16];
    if (g & 1) {
        unsigned id = g >> 1;
        const char *name = id <= 0x0f ? "BIOS" : id <= 0x1f ? "SMI" : id <= 0x2f ? "SMS"
                         : id <= 0x3f ? "OEM" : "Remote";
        return name;
    }
    std::snprintf(text, sizeof text, "IPMB %02Xh", g);
    return text;
}

std::string sel_field(ipmi_sel_ctx_t sel, const char *format, const unsigned char *record,
                      unsigned flags)
{
    char buf[256] = {};
    int n = ipmi_sel_parse_read_record_string(sel, format, record, 16, buf, sizeof buf, flags);
    if (n < 0)
        return "N/A";
    buf[sizeof buf - 1] = '\0';
    return buf;
}

} // namespace

int get_sdr_cache(SdrCache **cache)
{
    if (!cache)
        return kErrArg;
    {
        std::lock_guard<std::mutex> lock(g_cache_mutex);
        if (g_cache) {
            *cache = g_cache;
            return 0;
        }
    }
    SdrCache *made = nullptr;
    int rc;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        rc = create_cache_locked(&made);
    }
    if (rc != 0)
        return rc;
    std::lock_guard<std::mutex> lock(g_cache_mutex);
    if (g_cache) { // another thread was quicker: one cache per process
        delete made;
    } else {
        g_cache = made;
    }
    *cache = g_cache;
    return 0;
}

int find_nsdrs(const SdrCache *cache)
{
    return cache ? cache->count() : 0;
}

int find_sdr_next(unsigned char *buf, const SdrCache *cache, unsigned short prev_id)
{
    if (!buf || !cache)
        return kErrArg;
    int next = 0;
    if (prev_id != 0) {
        next = -1;
        for (int i = 0; i < cache->count() && next < 0; i++)
            if (cache->id(i) == prev_id)
                next = i + 1;
    }
    if (next < 0 || next >= cache->count())
        return kSdrNotFound;
    cache->copy(next, buf);
    return 0;
}

int find_sdr_by_id(unsigned char *buf, const SdrCache *cache, unsigned short id)
{
    if (!buf || !cache)
        return kErrArg;
    for (int i = 0; i < cache->count(); i++) {
        if (cache->id(i) == id) {
            cache->copy(i, buf);
            return 0;
        }
    }
    return kSdrNotFound;
}

int find_sdr_at(unsigned char *buf, const SdrCache *cache, int position)
{
    if (!buf || !cache)
        return kErrArg;
    if (position < 0 || position >= cache->count())
        return kSdrNotFound;
    cache->copy(position, buf);
    return 0;
}

void free_sdr_cache(SdrCache *cache)
{
    if (!cache)
        return;
    std::lock_guard<std::mutex> lock(g_cache_mutex);
    if (g_sel.cache == cache) {
        drop_sel_ctx();
        g_sel.cache = nullptr;
    }
    if (g_cache == cache)
        g_cache = nullptr;
    delete cache;
}

SdrCache *sdr_cache_from_bytes(const unsigned char *records, int length)
{
    if (!records || length < 0)
        return nullptr;
    auto cache = std::make_unique<SdrCache>();
    int pos = 0;
    while (pos < length) {
        if (length - pos < kSdrHeader || length - pos < kSdrHeader + records[pos + 4])
            return nullptr;
        cache->offsets.push_back(pos);
        pos += kSdrHeader + records[pos + 4];
    }
    cache->bytes.assign(records, records + length);
    SdrCache *old;
    {
        std::lock_guard<std::mutex> lock(g_cache_mutex);
        old = g_cache;
        g_cache = cache.release();
    }
    free_sdr_cache(old);
    std::lock_guard<std::mutex> lock(g_cache_mutex);
    return g_cache;
}

int GetSensorReading(unsigned char sensor_num, const unsigned char *sdr, unsigned char *reading)
{
    if (!sdr || !reading)
        return kErrArg;
    unsigned char owner = sdr[5];
    unsigned char lun = sdr[6] & 0x03;
    unsigned char channel = sdr[6] >> 4;
    unsigned char sa = kBmcSlaveAddress;
    unsigned char bus = 0;
    if ((owner & 1) == 0) { // an IPMB slave address; system software asks the BMC
        sa = owner;
        bus = channel;
    }
    unsigned char rs[8] = {};
    int len = sizeof rs;
    unsigned char cc = 0;
    int rc = ipmi_cmdraw(IPMI_CMD_GET_SENSOR_READING, IPMI_NET_FN_SENSOR_EVENT_RQ, sa, bus, lun,
                         &sensor_num, 1, rs, &len, &cc, 0);
    if (rc != 0)
        return rc;
    if (cc != 0)
        return cc;
    if (len < 2)
        return kErrResponse;
    std::memset(reading, 0, 4);
    std::memcpy(reading, rs, len < 4 ? len : 4);
    return 0;
}

double RawToFloat(unsigned char raw, const unsigned char *sdr)
{
    if (!sdr || sdr[3] != IPMI_SDR_FORMAT_FULL_SENSOR_RECORD)
        return 0.0;
    ParseCtx parse;
    if (!parse.ctx)
        return 0.0;
    int8_t r_exponent, b_exponent;
    int16_t m, b;
    uint8_t linearization, analog_data_format;
    if (ipmi_sdr_parse_sensor_decoding_data(parse.ctx, sdr, sdr_length(sdr), &r_exponent,
                                            &b_exponent, &m, &b, &linearization,
                                            &analog_data_format) < 0)
        return 0.0;
    double value = 0.0;
    if (ipmi_sensor_decode_value(r_exponent, b_exponent, m, b, linearization, analog_data_format,
                                 raw, &value) < 0)
        return 0.0;
    return value;
}

const char *get_unit_type(int units1, int base, int modifier, int flags)
{
    thread_local char text[80];
    if ((units1 & 0xff) == 0xc0) {
        std::snprintf(text, sizeof text, "%s", "na");
        return text;
    }
    char buf[64] = {};
    // Units 1: bit 0 percentage, bits 2:1 modifier unit use, bits 5:3 rate.
    if (ipmi_sensor_units_string(units1 & 0x01, (units1 >> 1) & 0x03, (units1 >> 3) & 0x07,
                                 base & 0xff, modifier & 0xff, buf, sizeof buf, 0) < 0) {
        std::snprintf(text, sizeof text, "%s", "unknown");
        return text;
    }
    if (flags == 0 && buf[0] == '%')
        std::snprintf(text, sizeof text, "percent%s", buf + 1);
    else
        std::snprintf(text, sizeof text, "%s", buf);
    return text;
}

void set_sel_opts(int desc, int canon, SdrCache *cache, int debug, int utc)
{
    std::lock_guard<std::mutex> lock(g_cache_mutex);
    drop_sel_ctx();
    g_sel.desc = desc;
    g_sel.canon = canon;
    g_sel.debug = debug;
    g_sel.utc = utc;
    g_sel.cache = cache;
}

int decode_sel_entry(const unsigned char *record, char *text, int size)
{
    if (!record || !text || size < 1)
        return kErrArg;
    std::lock_guard<std::mutex> lock(g_cache_mutex);
    if (g_sel.debug)
        dump("sel record", record, 16);
    SdrCache *cache = g_sel.desc ? g_sel.cache : nullptr;
    if (!g_sel.sel) {
        g_sel.sel = ipmi_sel_ctx_create(nullptr, cache ? cache->sdr : nullptr);
        if (!g_sel.sel) {
            text[0] = '\0';
            return mapped(IPMI_ERR_OUT_OF_MEMORY);
        }
        // Within the description, details are set off by " ; " so that
        // they do not read as further fields.
        ipmi_sel_ctx_set_separator(g_sel.sel, " ; ");
    }
    unsigned flags = IPMI_SEL_STRING_FLAGS_IGNORE_UNAVAILABLE_FIELD |
                     IPMI_SEL_STRING_FLAGS_OUTPUT_NOT_AVAILABLE |
                     IPMI_SEL_STRING_FLAGS_DATE_MONTH_STRING;
    if (!g_sel.utc)
        flags |= IPMI_SEL_STRING_FLAGS_UTC_TO_LOCALTIME;

    std::unique_lock<std::mutex> names;
    if (cache && cache->sdr)
        names = std::unique_lock<std::mutex>(cache->lock);
    bool event = record[2] == 0x02;
    std::string description = sel_field(g_sel.sel, event ? "%E" : "%o", record, flags);
    if (event && (record[12] & 0x80))
        description = "Deasserted ; " + description;
    const std::string sep = g_sel.canon ? " | " : " ";
    char id[8];
    std::snprintf(id, sizeof id, "%04x", record[0] | (record[1] << 8));
    std::string line = id + sep + sel_field(g_sel.sel, "%d %t", record, flags) + sep +
                       severity(record) + sep + generator(record) + sep +
                       (event ? sel_field(g_sel.sel, "%T", record, flags) : std::string("OEM record")) + sep +
                       (event ? sel_field(g_sel.sel, "%s", record, flags) : "N/A") + sep +
                       description + "\n";
    std::snprintf(text, size, "%s", line.c_str());
    return 0;
}

} // namespace bmc
