// IPMI layer: SEL records decoded into one line of text.  See ipmi.h.
#include "ipmi/internal.h"

#include <freeipmi/freeipmi.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace bmc {
namespace {

// The decoder's settings, under g_sel_lock.
struct SelOptions {
    int desc = 1;
    int canon = 1;
    int debug = 0;
    int utc = 0;
    std::shared_ptr<const SdrCache> cache;
    ipmi_sel_ctx_t sel = nullptr; // parses records; names sensors from cache->sdr
};
std::mutex g_sel_lock;
SelOptions g_sel;

void drop_sel_ctx()
{
    if (g_sel.sel)
        ipmi_sel_ctx_destroy(g_sel.sel);
    g_sel.sel = nullptr;
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

void sel_forget_cache(const SdrCache *cache)
{
    std::shared_ptr<const SdrCache> last;
    std::lock_guard<std::mutex> lock(g_sel_lock);
    if (g_sel.cache.get() == cache) {
        drop_sel_ctx();
        last.swap(g_sel.cache);
    }
}

void set_sel_opts(int desc, int canon, std::shared_ptr<const SdrCache> cache, int debug, int utc)
{
    std::lock_guard<std::mutex> lock(g_sel_lock);
    drop_sel_ctx();
    g_sel.desc = desc;
    g_sel.canon = canon;
    g_sel.debug = debug;
    g_sel.utc = utc;
    // The old one goes after the lock, when this call returns.
    g_sel.cache.swap(cache);
}

int decode_sel_entry(const unsigned char *record, char *text, int size)
{
    if (!record || !text || size < 1)
        return kErrArg;
    std::lock_guard<std::mutex> lock(g_sel_lock);
    if (g_sel.debug) {
        std::fprintf(stderr, "sel record:");
        for (int i = 0; i < 16; i++)
            std::fprintf(stderr, " %02x", record[i]);
        std::fprintf(stderr, "\n");
    }
    const SdrCache *cache = g_sel.desc ? g_sel.cache.get() : nullptr;
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
