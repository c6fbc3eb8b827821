// What the IPMI layer's own files share, and the hooks its tests use.
// Not for the agent: it includes "ipmi/ipmi.h" only.
#pragma once

#include "ipmi/ipmi.h"

#include <cstdarg>
#include <cstddef>
#include <mutex>
#include <vector>

struct ipmi_ctx;     // FreeIPMI's context (freeipmi/api/ipmi-api.h)
struct ipmi_sdr_ctx; // FreeIPMI's SDR cache reader (freeipmi/sdr/ipmi-sdr.h)

namespace bmc {

constexpr unsigned char kBmcSlaveAddress = 0x20;

// "call: reason" lines and ignored settings, through set_log()'s sink.
void log(int level, const char *format, ...) __attribute__((format(printf, 2, 3)));
// A failure of the BMC or of the exchange with it, at level 1, each time:
// the sink decides how often a repeat is worth a line.
void log_failure(const char *format, ...) __attribute__((format(printf, 1, 2)));

// A FreeIPMI error number as the layer's result code.
int mapped(int errnum);

// --- The layer's lock ------------------------------------------------------
//
// One exchange with the BMC at a time.  Refresh work takes it per command
// (hold_layer); a request-time command waits for it at most until its
// deadline (hold_layer_until) and goes before refresh work that waits at
// the same time, so a walk of many commands lets readings in between.
// Not bound to a thread, not recursive.

void hold_layer();
// False when the deadline passed first, or at once when the command that
// holds the lock has held it longer than kRequestBudget (a BMC that does
// not answer: no point waiting for it).
bool hold_layer_until(Deadline deadline);
void release_layer();

struct LayerHeld {
    LayerHeld() { hold_layer(); }
    ~LayerHeld() { release_layer(); }
    LayerHeld(const LayerHeld &) = delete;
    LayerHeld &operator=(const LayerHeld &) = delete;
};

// For composite operations (the SDR cache read); the caller holds the lock.
namespace locked {

// The open context, opening it if needed (one attempt); null on failure
// with the result code in *rc (when rc is not null).
struct ipmi_ctx *context(int *rc);

// Reports that `call` failed on ctx: logs "call: <reason>", closes the
// context when the failure concerns the session or transport, and returns
// the mapped result code.
int failed(const char *call, struct ipmi_ctx *ctx);

// The BMC answered on the open context just now.
void exchanged();

// ipmi_cmdraw without taking the lock.
int cmdraw(unsigned char cmd, unsigned char netfn, unsigned char sa,
           unsigned char bus, unsigned char lun, const unsigned char *request,
           int request_len, unsigned char *response, int *response_len,
           unsigned char *completion_code, int debug);

// While a composite operation lets other commands in between its own, a
// failure of theirs must not free the context it is working on: pinned,
// the context is only set aside by a close, and unpin() ends it then.
void pin(struct ipmi_ctx *ctx);
void unpin(struct ipmi_ctx *ctx);

} // namespace locked

// --- The SDR cache (sdr.cpp) and the SEL decoder (sel.cpp)

struct SdrCache {
    std::vector<unsigned char> bytes; // the records back to back
    std::vector<size_t> offsets;      // where each record starts
    // FreeIPMI's view of the same records (null for a cache made from
    // bytes): the SEL decoder names sensors through it.  Its cursor moves
    // on every search, so it is used under `lock` only.
    struct ipmi_sdr_ctx *sdr = nullptr;
    mutable std::mutex lock;

    SdrCache() = default;
    SdrCache(const SdrCache &) = delete;
    SdrCache &operator=(const SdrCache &) = delete;
    ~SdrCache();
    int count() const { return static_cast<int>(offsets.size()); }
    int length(int i) const;
    unsigned short id(int i) const;
    void copy(int i, unsigned char *buf) const;
};

// The SEL options let go of this cache (free_sdr_cache).
void sel_forget_cache(const SdrCache *cache);

// --- Test hooks ------------------------------------------------------------

// How many sessions (or in-band contexts) the layer has opened so far.
unsigned sessions_opened();

// A cache made from given records instead of a BMC: the records are
// concatenated raw records, each as long as its header says.  It becomes
// the process's cache.  Null when a record is cut short.  Sensor names in
// decoded SEL entries need a cache read from a BMC.
std::shared_ptr<const SdrCache> sdr_cache_from_bytes(const unsigned char *records, int length);

} // namespace bmc
