// IPMI layer: the SDR cache, sensor readings and the conversion of raw
// values to units.  See ipmi.h.
#include "ipmi/internal.h"

#include <freeipmi/freeipmi.h>

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace bmc {

SdrCache::~SdrCache()
{
    if (sdr) {
        ipmi_sdr_cache_close(sdr);
        ipmi_sdr_ctx_destroy(sdr);
    }
}

int SdrCache::length(int i) const
{
    size_t end = i + 1 < count() ? offsets[i + 1] : bytes.size();
    return static_cast<int>(end - offsets[i]);
}

unsigned short SdrCache::id(int i) const
{
    const unsigned char *r = bytes.data() + offsets[i];
    return static_cast<unsigned short>(r[0] | (r[1] << 8));
}

void SdrCache::copy(int i, unsigned char *buf) const
{
    std::memset(buf, 0, kSdrMax);
    int n = length(i) < kSdrMax ? length(i) : kSdrMax;
    std::memcpy(buf, bytes.data() + offsets[i], n);
}

namespace {

constexpr int kSdrHeader = 5;
constexpr int kSdrNotFound = 1;

// The process's cache.
std::mutex g_cache_lock;
std::shared_ptr<const SdrCache> g_cache;

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

// FreeIPMI calls this after each record it read: the lock goes to whoever
// waits for it (a reading first), so the walk holds it per record only.
void between_records(uint8_t, uint16_t, uint32_t, uint32_t, uint16_t, void *)
{
    release_layer();
    hold_layer();
}

// Reads the repository into a new cache; the caller holds the lock.
int create_cache_locked(std::shared_ptr<SdrCache> &out)
{
    int rc = 0;
    ipmi_ctx_t ctx = locked::context(&rc);
    if (!ctx)
        return rc;

    auto cache = std::make_shared<SdrCache>();
    cache->sdr = ipmi_sdr_ctx_create();
    if (!cache->sdr) {
        log_failure("ipmi_sdr_ctx_create: %s", std::strerror(errno));
        return mapped(IPMI_ERR_OUT_OF_MEMORY);
    }
    // FreeIPMI caches into a file; it is opened (mapped) and unlinked at
    // once, so nothing stays behind in /tmp.
    char path[] = "/tmp/corvantis-sdr.XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0) {
        log_failure("get_sdr_cache: mkstemp: %s", std::strerror(errno));
        return mapped(IPMI_ERR_SYSTEM_ERROR);
    }
    ::close(fd);
    int result = 0;
    locked::pin(ctx);
    if (ipmi_sdr_cache_create(cache->sdr, ctx, path, IPMI_SDR_CACHE_CREATE_FLAGS_OVERWRITE,
                              between_records, nullptr) < 0) {
        if (ipmi_sdr_ctx_errnum(cache->sdr) == IPMI_SDR_ERR_IPMI_ERROR) {
            result = locked::failed("ipmi_sdr_cache_create", ctx);
        } else {
            log_failure("ipmi_sdr_cache_create: %s", ipmi_sdr_ctx_errormsg(cache->sdr));
            result = kErrResponse;
        }
    } else {
        locked::exchanged();
        if (ipmi_sdr_cache_open(cache->sdr, nullptr, path) < 0) {
            log_failure("ipmi_sdr_cache_open: %s", ipmi_sdr_ctx_errormsg(cache->sdr));
            result = kErrResponse;
        }
    }
    locked::unpin(ctx);
    unlink(path);
    if (result != 0)
        return result;
    if (read_cache_records(cache->sdr, *cache) != 0) {
        log_failure("ipmi_sdr_cache_record_read: %s", ipmi_sdr_ctx_errormsg(cache->sdr));
        return kErrResponse;
    }
    out = std::move(cache);
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

// Where a record's sensor is asked: byte 5 owner, byte 6 channel and LUN;
// a system software owner is asked through the BMC.
struct Owner {
    unsigned char sa = kBmcSlaveAddress;
    unsigned char bus = 0;
    unsigned char lun;
};
Owner owner_of(const unsigned char *sdr)
{
    Owner o;
    o.lun = sdr[6] & 0x03;
    if ((sdr[5] & 1) == 0) { // an IPMB slave address
        o.sa = sdr[5];
        o.bus = sdr[6] >> 4;
    }
    return o;
}

int reading_from(int rc, unsigned char cc, const unsigned char *rs, int len,
                 unsigned char *reading)
{
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

} // namespace

int get_sdr_cache(std::shared_ptr<const SdrCache> *cache)
{
    if (!cache)
        return kErrArg;
    {
        std::lock_guard<std::mutex> lock(g_cache_lock);
        if (g_cache) {
            *cache = g_cache;
            return 0;
        }
    }
    std::shared_ptr<SdrCache> made;
    int rc;
    {
        LayerHeld held;
        rc = create_cache_locked(made);
    }
    if (rc != 0)
        return rc;
    std::lock_guard<std::mutex> lock(g_cache_lock);
    if (!g_cache) // else another thread was quicker: one cache per process
        g_cache = std::move(made);
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

void free_sdr_cache(const SdrCache *cache)
{
    if (!cache)
        return;
    sel_forget_cache(cache);
    std::shared_ptr<const SdrCache> last;
    std::lock_guard<std::mutex> lock(g_cache_lock);
    if (g_cache.get() == cache)
        last.swap(g_cache); // freed once the lock is released, if no one holds it
}

std::shared_ptr<const SdrCache> sdr_cache_from_bytes(const unsigned char *records, int length)
{
    if (!records || length < 0)
        return nullptr;
    auto cache = std::make_shared<SdrCache>();
    int pos = 0;
    while (pos < length) {
        if (length - pos < kSdrHeader || length - pos < kSdrHeader + records[pos + 4])
            return nullptr;
        cache->offsets.push_back(pos);
        pos += kSdrHeader + records[pos + 4];
    }
    cache->bytes.assign(records, records + length);
    std::shared_ptr<const SdrCache> old;
    {
        std::lock_guard<std::mutex> lock(g_cache_lock);
        old = g_cache;
    }
    free_sdr_cache(old.get());
    std::lock_guard<std::mutex> lock(g_cache_lock);
    g_cache = cache;
    return cache;
}

namespace {

// One Get Sensor Reading to the sensor's owner; `send` is the blocking or
// the deadline-bound raw command.
template <typename Send>
int read_sensor(unsigned char sensor_num, const unsigned char *sdr, unsigned char *reading,
                Send send)
{
    if (!sdr || !reading)
        return kErrArg;
    Owner o = owner_of(sdr);
    unsigned char rs[8] = {};
    int len = sizeof rs;
    unsigned char cc = 0;
    int rc = send(o, &sensor_num, rs, &len, &cc);
    return reading_from(rc, cc, rs, len, reading);
}

} // namespace

int GetSensorReading(unsigned char sensor_num, const unsigned char *sdr, unsigned char *reading)
{
    return read_sensor(sensor_num, sdr, reading,
                       [](const Owner &o, unsigned char *rq, unsigned char *rs, int *len,
                          unsigned char *cc) {
                           return ipmi_cmdraw(IPMI_CMD_GET_SENSOR_READING,
                                              IPMI_NET_FN_SENSOR_EVENT_RQ, o.sa, o.bus, o.lun, rq,
                                              1, rs, len, cc, 0);
                       });
}

int GetSensorReading(unsigned char sensor_num, const unsigned char *sdr, unsigned char *reading,
                     Deadline deadline)
{
    return read_sensor(sensor_num, sdr, reading,
                       [deadline](const Owner &o, unsigned char *rq, unsigned char *rs, int *len,
                                  unsigned char *cc) {
                           return ipmi_cmdraw_until(deadline, IPMI_CMD_GET_SENSOR_READING,
                                                    IPMI_NET_FN_SENSOR_EVENT_RQ, o.sa, o.bus,
                                                    o.lun, rq, 1, rs, len, cc);
                       });
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

} // namespace bmc
