// IPMI access to the baseboard management controller (BMC), over FreeIPMI.
//
// One FreeIPMI context serves the whole process.  It is opened on first
// use, either in-band (the kernel's IPMI driver, /dev/ipmi0) when no host
// is configured, or as an IPMI 2.0 LAN session to host[:port].  A missing
// or silent BMC is a normal state: every call then returns an error code
// and nothing else happens.  After a transport failure the context is
// closed, and the next call tries to open it again (one open attempt per
// call at most).  An open attempt that fails, or a session that timed out,
// holds further attempts off for kRetryHoldoffSeconds: calls in that time
// fail at once with the same result; and while the BMC has failed and not
// answered since, calls from other threads do not wait for an attempt in
// progress (they fail with "device not open").  So a BMC gone away costs
// one timeout now and then instead of one per request.  New settings end
// the hold-off.
//
// LAN timing.  FreeIPMI ends a command when no answer came within its
// session timeout of the last packet the BMC sent, so that timeout is
// also how long a session may stay idle: it is FreeIPMI's default, 20 s,
// below the BMC's own inactivity timeout (the simulated BMC keeps a
// session about 30 s, the IPMI default is 60 s).  A session idle for
// nearly that long is opened anew before the next command; otherwise a
// session is reopened only after it failed.  Before a session is opened
// the BMC is asked, without a session, whether it is there at all, with a
// 3 s timeout: a BMC that is down costs that much, not a session timeout.
//
// The request path.  FreeIPMI cannot bound one command to less than the
// session timeout (LAN) or its driver's timeout (in-band, 60 s), so the
// calls taking a Deadline hand their one command to the layer's own
// thread and wait for it until the deadline at most, lock wait included;
// a command still running then is left to finish there and its answer is
// dropped.  While it runs, further deadline calls fail at once.
//
// Results: 0 on success; kErrArg for a bad argument; kErrResponse for a
// malformed answer; kErrDeadline when a request-time call's deadline
// passed; otherwise kErrFreeipmi - <FreeIPMI error number> (IPMI_ERR_*),
// e.g. -114 for a session timeout.  error_text() names any of them.  A
// non-zero completion code is not a failure of the exchange: it is
// returned through *completion_code with result 0.
//
// All functions may be called from any thread; each command takes the
// layer's lock itself.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace bmc {

constexpr int kErrArg = -1;
constexpr int kErrResponse = -2;
constexpr int kErrDeadline = -3;
constexpr int kErrFreeipmi = -100;
constexpr int kRetryHoldoffSeconds = 5;

using Deadline = std::chrono::steady_clock::time_point;
// The most a request handler waits for the layer in all: the lock and its
// one command.
constexpr std::chrono::milliseconds kRequestBudget{250};

// Where the BMC is and how to log in.  Empty or null host: in-band.
// "host" or "host:port" ("[v6addr]:port" for IPv6): IPMI 2.0 LAN with
// ADMIN privilege and cipher suite 3.  workarounds: FreeIPMI's LAN 2.0
// workaround names, comma-separated ("authcap", "opensesspriv",
// "integritycheckvalue", "nochecksumcheck"); other names are ignored with
// a log line.  The next command closes the open context and uses the new
// settings; this call never waits for a command in progress (a reload of
// the configuration must not hang on a frozen BMC).  Call set_log() first
// to see those log lines.
void set_connection(const char *host, const char *user, const char *password,
                    const char *workarounds);

// Where the layer reports failures, as "failing call: reason" (level 1,
// every one: a BMC that stays away fails each attempt, so the sink limits
// the repeats) and ignored settings (level 2).  Default: no logging.  fn
// may be called with the layer's lock held and must not call back into
// this layer.
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

// ipmi_cmdraw for a request handler: returns by the deadline, with
// kErrDeadline when the lock or the BMC's answer did not come in time.
int ipmi_cmdraw_until(Deadline deadline, unsigned char cmd, unsigned char netfn,
                      unsigned char sa, unsigned char bus, unsigned char lun,
                      const unsigned char *request, int request_len, unsigned char *response,
                      int *response_len, unsigned char *completion_code);

// Closes the context (ends a LAN session properly); the next call reopens.
// It waits for a command in progress up to a second, and not at all for
// one that is already late: that session is left to the BMC's timeout.
void ipmi_close_();

// The command that prints the FRU's board area, and what it needs in its
// environment.  line: "ipmiutil fru -b", plus " -N <host> -U <user> -E
// -F lan2" when a host is set, every value quoted for the shell (the port,
// which ipmiutil cannot take, is left out); the caller appends its own
// pipeline.  env: "IPMI_PASSWORD=<password>" when a host is set, which -E
// makes ipmiutil read: a password on a command line is readable by every
// local user through /proc, a process's environment by its owner only.
struct FruCommand {
    std::string line;
    std::vector<std::string> env;
};
FruCommand fru_command();

// A FreeIPMI-mapped result as text ("session timeout", ...).
const char *error_text(int rc);

// --- Sensor data records (SDRs) ------------------------------------------
//
// The SDR cache: every record of the BMC's SDR repository, read once, each
// kept as its raw bytes (5-byte header first), so the IPMI record layouts'
// byte offsets apply to what the find_* calls copy out.  One cache per
// process: get_sdr_cache() reads it on first use and hands back the same
// one afterwards, until free_sdr_cache().  A cache is read-only once made,
// may be searched from any thread, and lives while anyone holds it.

// The size of a record buffer for the find_* calls; longer records (OEM)
// are cut to it.
constexpr int kSdrMax = 80;

struct SdrCache;

// Reads the whole SDR repository unless a cache is held already; *cache is
// set to it.  The layer's lock is taken per record, so other commands go
// in between.  0, kErrArg for a null cache, else the failing exchange's
// result (kErrResponse when the repository's contents cannot be cached).
int get_sdr_cache(std::shared_ptr<const SdrCache> *cache);

// The number of records in the cache; 0 for null.
int find_nsdrs(const SdrCache *cache);

// Copies the record after the one whose ID is prev_id (the first record
// for prev_id 0) into buf (kSdrMax bytes, zero-filled past the record).
// 0, or non-zero when there is no such record.  A record whose own ID is
// 0000h cannot be stepped past by its ID: walk with find_sdr_at().
int find_sdr_next(unsigned char *buf, const SdrCache *cache, unsigned short prev_id);

// Copies the first record with this ID into buf; 0, or non-zero if none.
int find_sdr_by_id(unsigned char *buf, const SdrCache *cache, unsigned short id);

// Copies the record at this position (from 0, in repository order) into
// buf; 0, or non-zero past the end.
int find_sdr_at(unsigned char *buf, const SdrCache *cache, int position);

// Lets the process's cache go (if it is this one), also from the SEL
// options; the next get_sdr_cache() reads the repository again.  The
// memory goes with the last holder.
void free_sdr_cache(const SdrCache *cache);

// Get Sensor Reading (netfn 0x04, cmd 0x2D) for sensor_num, sent to the
// sensor's owner as the record names it (byte 5 owner, byte 6 channel and
// LUN; a system software owner is asked through the BMC).  0 on success:
// reading[0] raw reading, [1] flags (bit 5 set: reading unavailable),
// [2] threshold comparison bits 0-5, [3] as answered (0 when missing);
// else the exchange's result or the non-zero completion code.
int GetSensorReading(unsigned char sensor_num, const unsigned char *sdr,
                     unsigned char *reading);
// The same for a request handler: by the deadline (see ipmi_cmdraw_until).
int GetSensorReading(unsigned char sensor_num, const unsigned char *sdr,
                     unsigned char *reading, Deadline deadline);

// A raw value of a full sensor record converted to its unit, by FreeIPMI's
// formula (M, B, exponents, unsigned/1's/2's complement formats,
// linearization).  0.0 for a record that has no analog reading or is not
// a full sensor record.
double RawToFloat(unsigned char raw, const unsigned char *sdr);

// The unit text of a record's units bytes 1, 2 and 3 (SDR bytes 20-22):
// "degrees C", "Volts", "RPM", "percent" (percentage bit), ...; "na" when
// units 1 is C0h (no analog reading).  flags: 0 the long form, 1 short
// ("%" for percent).  Valid until the calling thread's next call.
const char *get_unit_type(int units1, int base, int modifier, int flags);

// --- System event log (SEL) entries -----------------------------------------

// How decode_sel_entry() writes: desc 1 names the sensor of each event from
// cache (kept until the options change or free_sdr_cache() lets it go);
// canon 1 separates the fields with " | " (else with one blank); debug 1
// prints each record's bytes on stderr; utc 0 converts the BMC's time
// stamps (seconds since 1970, UTC) to local time, 1 shows them as UTC.
void set_sel_opts(int desc, int canon, std::shared_ptr<const SdrCache> cache, int debug,
                  int utc);

// One 16-byte SEL record as one line, in this order: record ID (four hex
// digits), date and time, severity ("INF", "MIN", "MAJ", "CRT": threshold
// events non-critical, critical, non-recoverable; anything else INF),
// generator, sensor type, sensor name, event description with details.
// The line ends in a newline; text holds at most size - 1 characters and
// the terminator, so a longer line is cut (and loses its newline).
// 0, or kErrArg for a null record or text or a size below 1.
int decode_sel_entry(const unsigned char *record, char *text, int size);

} // namespace bmc
