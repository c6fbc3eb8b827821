// IPMI access to the BMC over FreeIPMI: see ipmi.h.
#include "ipmi/ipmi.h"

#include <freeipmi/freeipmi.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

namespace bmc {
namespace {

// A dead LAN BMC must fail a call within a few seconds: FreeIPMI resends
// every kRetransmitMs until kSessionTimeoutMs have passed.
constexpr unsigned kSessionTimeoutMs = 3000;
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
    if (g_open)
        return 0;
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
        return mapped(errnum);
    }
    g_open = true;
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
    if (!session_survives(errnum))
        close_locked();
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

std::string fru_command()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    std::string command = "ipmiutil fru -b";
    const Settings &s = g_settings;
    std::string host;
    if (!s.host.empty() && plain_host_part(s.host, host)) {
        command += " -N " + shell_quote(host);
        command += " -U " + shell_quote(s.user);
        command += " -P " + shell_quote(s.password);
        command += " -F lan2";
    }
    return command;
}

std::string shell_quote(const std::string &s)
{
    std::string out = "'";
    for (char c : s) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    out += "'";
    return out;
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

} // namespace bmc
