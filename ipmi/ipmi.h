// IPMI access to the baseboard management controller (BMC), over FreeIPMI.
//
// One FreeIPMI context serves the whole process.  It is opened on first
// use, under ipmi_mutex(), either in-band (the kernel's IPMI driver,
// /dev/ipmi0) when no host is configured, or as an IPMI 2.0 LAN session to
// host[:port].  A missing or silent BMC is a normal state: every call then
// returns an error code promptly and nothing else happens.  After a
// transport failure the context is closed, and the next call tries to open
// it again (one open attempt per call at most).
//
// Results: 0 on success; kErrArg for a bad argument; kErrResponse for a
// malformed answer; otherwise kErrFreeipmi - <FreeIPMI error number>
// (IPMI_ERR_*), e.g. -113 for a connection timeout.  error_text() names
// any of them.  A non-zero completion code is not a failure of the
// exchange: it is returned through *completion_code with result 0.
//
// All functions may be called from any thread; each IPMI call takes
// ipmi_mutex() itself.
#pragma once

#include <mutex>
#include <string>

struct ipmi_ctx; // FreeIPMI's context (freeipmi/api/ipmi-api.h)

namespace bmc {

constexpr int kErrArg = -1;
constexpr int kErrResponse = -2;
constexpr int kErrFreeipmi = -100;

// Where the BMC is and how to log in.  Empty or null host: in-band.
// "host" or "host:port" ("[v6addr]:port" for IPv6): IPMI 2.0 LAN with
// ADMIN privilege and cipher suite 3.  workarounds: FreeIPMI's LAN 2.0
// workaround names, comma-separated ("authcap", "opensesspriv",
// "integritycheckvalue", "nochecksumcheck"); other names are ignored with
// a log line.  A change closes the open context; the next call uses the
// new settings.  Call set_log() first to see those log lines.
void set_connection(const char *host, const char *user, const char *password,
                    const char *workarounds);

// Where the layer reports failures, as "failing call: reason" (level 1)
// and ignored settings (level 2).  Default: no logging.  fn is called
// with ipmi_mutex() held and must not call back into this layer.
void set_log(void (*fn)(int level, const char *text));

// Get Device ID (netfn 0x06, cmd 0x01) to the BMC.  0 when it answered
// with completion code 0; buf then holds up to size bytes of the answer
// without the completion code (byte 2 firmware major, byte 3 firmware
// minor, BCD).  A non-zero completion code is returned as the result.
int ipmi_getdeviceid(unsigned char *buf, int size, int debug);

// One request to the BMC.  cmd = (netfn << 8) | command, e.g. 0x0C02.
// *response_len: in, the capacity of response; out, the data bytes stored
// (an answer longer than the capacity is cut).  response holds the answer
// without the completion code, which goes to *completion_code.  Result 0
// when the exchange happened, whatever the completion code.  debug != 0
// prints the bytes on stderr.
int ipmi_cmd(unsigned short cmd, unsigned char *request, int request_len,
             unsigned char *response, int *response_len,
             unsigned char *completion_code, int debug);

// The same to any controller: sa 0x20 on bus 0 is the BMC; another slave
// address or bus is bridged through the BMC (IPMB, bus = channel).
int ipmi_cmdraw(unsigned char cmd, unsigned char netfn, unsigned char sa,
                unsigned char bus, unsigned char lun, unsigned char *request,
                int request_len, unsigned char *response, int *response_len,
                unsigned char *completion_code, int debug);

// The BIOS version of the SMBIOS BIOS information record (type 0), as the
// kernel exports it.  buf must hold 64 bytes: at most 63 characters and
// the terminator.  0 on success; non-zero when unavailable or empty.
int get_BiosVersion(char *buf);

// Closes the context (ends a LAN session properly); the next call reopens.
void ipmi_close_();

// The one lock all IPMI traffic goes through.  Not recursive: a thread
// holding it uses the locked:: functions below, never the calls above.
std::mutex &ipmi_mutex();

// The command that prints the FRU's board area: "ipmiutil fru -b", plus
// " -N <host> -U <user> -P <password> -F lan2" when a host is set, every
// value quoted for the shell (the port, which ipmiutil cannot take, is
// left out).  The caller appends its own pipeline.
std::string fru_command();

// A FreeIPMI-mapped result as text ("session timeout", ...).
const char *error_text(int rc);

// For composite operations (SDR cache, SEL walk) that must not interleave
// with other threads' commands.  The caller holds ipmi_mutex().
namespace locked {

// The open context, opening it if needed (one attempt); null on failure
// with the result code in *rc (when rc is not null).
struct ipmi_ctx *context(int *rc);

// Reports that `call` failed on the context: logs "call: <reason>" at
// level 1, closes the context when the failure concerns the session or
// transport, and returns the mapped result code.
int failed(const char *call);

// ipmi_cmdraw without taking the lock.
int cmdraw(unsigned char cmd, unsigned char netfn, unsigned char sa,
           unsigned char bus, unsigned char lun, const unsigned char *request,
           int request_len, unsigned char *response, int *response_len,
           unsigned char *completion_code, int debug);

// ipmi_close_ without taking the lock.
void close();

} // namespace locked

// get_BiosVersion from another file (the sysfs file by default).
int bios_version_from(const char *path, char *buf);

// s as one shell word: in single quotes, each ' written as '\''.
std::string shell_quote(const std::string &s);

} // namespace bmc
