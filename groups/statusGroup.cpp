// Status group: the health of the three data sources as their gatherers
// record it, the rolled-up status of sensors, storage and sources, and the
// source-state notifications.
#include "groups/statusGroup.h"

#include "agent/mib.h"
#include "agent/notify.h"
#include "agent/salog.h"
#include "groups/diskGroup.h"
#include "groups/ipmiGroup.h"
#include "groups/kxlGroup.h"

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

time_t (*g_status_clock)() = [] { return time(nullptr); };

namespace {

// Magic numbers of statusGroup_variables.
enum status_magic {
    OVERALL_STATUS = 1,
    SENSOR_STATUS = 2,
    STORAGE_STATUS = 3,
    SOURCE_STATUS = 4,
    HEALTH_ROW_COUNT = 10,
    HEALTH_INDEX = 11,
    HEALTH_NAME = 12,
    HEALTH_STATE = 13,
    HEALTH_LAST_SUCCESS = 14,
    HEALTH_SECONDS_SINCE = 15,
    HEALTH_FAILURES = 16,
    HEALTH_LAST_ERROR = 17,
    HEALTH_PASS_MS = 18,
};

// How often the group's timer looks for a source turned stale and keeps
// the backup data fresh.
constexpr int STATUS_TICK_SECONDS = 5;
constexpr int STALE_MIN_SECONDS = 90;
constexpr size_t HEALTH_ERROR_MAX = 255;

struct rollup_row {
    status_member member;
    long code;
    rollup_status rollup;
};

// Every status code the agent serves and what it counts as; a code not
// listed is unknown.
constexpr rollup_row ROLLUP[] = {
    {MEMBER_SENSOR, 0, STATUS_OK},           // "OK"
    {MEMBER_SENSOR, 1, STATUS_NON_CRITICAL}, // "Warn-lo"
    {MEMBER_SENSOR, 2, STATUS_CRITICAL},     // "Crit-lo"
    {MEMBER_SENSOR, 3, STATUS_CRITICAL},     // "BelowCrit"
    {MEMBER_SENSOR, 4, STATUS_NON_CRITICAL}, // "Warn-hi"
    {MEMBER_SENSOR, 5, STATUS_CRITICAL},     // "Crit-hi"
    {MEMBER_SENSOR, 6, STATUS_CRITICAL},     // "AboveCrit"
    {MEMBER_SENSOR, 7, STATUS_UNKNOWN},      // "Init": no reading
    {MEMBER_DISK, 1, STATUS_OK},             // "OK"
    {MEMBER_DISK, 2, STATUS_NON_CRITICAL},   // "Pending Sectors"
    {MEMBER_DISK, 3, STATUS_NON_CRITICAL},   // "Seek Errors"
    {MEMBER_DISK, 4, STATUS_CRITICAL},       // "Dead"
    {MEMBER_DISK, 5, STATUS_CRITICAL},       // "Failed"
    {MEMBER_DISK, 6, STATUS_CRITICAL},       // "SMART Fail"
    {MEMBER_DISK, 7, STATUS_CRITICAL},       // "Device Error"
    {MEMBER_DISK, 8, STATUS_NON_CRITICAL},   // "ECC Error"
    {MEMBER_DISK, 9, STATUS_NON_CRITICAL},   // "Degraded"
    {MEMBER_DISK, 10, STATUS_OK},            // "Unconfigured Good"
    {MEMBER_DISK, 11, STATUS_CRITICAL},      // "Unconfigured Bad"
    {MEMBER_DISK, 12, STATUS_NON_CRITICAL},  // "Rebuilding"
    {MEMBER_DISK, 13, STATUS_UNKNOWN},       // "Unknown"
    {MEMBER_VOLUME, 1, STATUS_OK},           // "OK", "Optimal"
    {MEMBER_VOLUME, 2, STATUS_NON_CRITICAL}, // "resync"
    {MEMBER_VOLUME, 3, STATUS_NON_CRITICAL}, // "recovery"
    {MEMBER_VOLUME, 4, STATUS_NON_CRITICAL}, // "REBUILD"
    {MEMBER_VOLUME, 5, STATUS_NON_CRITICAL}, // "degrad..."
    {MEMBER_VOLUME, 6, STATUS_CRITICAL},     // any other word: failed, offline
    {MEMBER_VOLUME, 7, STATUS_NON_CRITICAL}, // "Partially" (degraded)
    {MEMBER_SOURCE, HEALTH_OK, STATUS_OK},
    {MEMBER_SOURCE, HEALTH_STALE, STATUS_NON_CRITICAL},
    {MEMBER_SOURCE, HEALTH_FAILED, STATUS_CRITICAL},
    // Never raises a status; status_sources() leaves it out altogether.
    {MEMBER_SOURCE, HEALTH_NOT_CONFIGURED, STATUS_OK},
};

int rank(rollup_status status)
{
    switch (status) {
    case STATUS_OK:
        return 0;
    case STATUS_NON_CRITICAL:
        return 2;
    case STATUS_CRITICAL:
        return 3;
    default:
        return 1; // unknown
    }
}

constexpr const char *SOURCE_NAMES[HEALTH_SOURCES] = {"bmc", "database", "diskReport"};

const char *state_name(health_state state)
{
    switch (state) {
    case HEALTH_OK:
        return "ok";
    case HEALTH_STALE:
        return "stale";
    case HEALTH_FAILED:
        return "failed";
    default:
        return "notConfigured";
    }
}

struct health_record {
    time_t last_success = 0;
    long failures = 0;
    std::string error;
    long last_pass_ms = 0;
    bool not_configured = false;
    bool attempted = false; // a pass has ended
    bool error_pending = false;
    char pending_error[HEALTH_ERROR_MAX + 1] = "";
    // The state health_check_sources last saw, once it saw one.
    bool seen = false;
    health_state seen_state = HEALTH_OK;
};

std::mutex g_health_lock;
health_record g_health[HEALTH_SOURCES];
// Where "seconds since the last success" counts from when there was none.
time_t g_health_started = time(nullptr);

std::atomic<int> g_status_refresh_interval{300};
int g_status_alarm;

long g_status_value;
u_long g_status_unsigned;
char g_status_text[HEALTH_ERROR_MAX + 1];

oid statusGroup_variables_oid[] = {1, 3, 6, 1, 4, 1, 47391, 1, 7};

bool valid(health_source source)
{
    return source >= 0 && source < HEALTH_SOURCES;
}

long seconds_since(const health_record &r, time_t now)
{
    return std::max<long>(0, now - (r.last_success ? r.last_success : g_health_started));
}

// Caller holds g_health_lock.
health_state state_of(health_source source, time_t now)
{
    const health_record &r = g_health[source];
    if (r.not_configured)
        return HEALTH_NOT_CONFIGURED;
    if (r.failures > 0)
        return HEALTH_FAILED;
    if (seconds_since(r, now) > health_stale_seconds(source))
        return HEALTH_STALE;
    return HEALTH_OK;
}

u_long as_unsigned32(long long value)
{
    return static_cast<u_long>(std::clamp<long long>(value, 0, UINT32_MAX));
}

void status_tick(unsigned int, void *)
{
    health_check_sources();
    kxl_start_pass_if_due();
}

} // namespace

struct variable4 statusGroup_variables[13] = {
    {OVERALL_STATUS, ASN_INTEGER, NETSNMP_OLDAPI_RONLY, var_statusGroup, 1, {1}},
    {SENSOR_STATUS, ASN_INTEGER, NETSNMP_OLDAPI_RONLY, var_statusGroup, 1, {2}},
    {STORAGE_STATUS, ASN_INTEGER, NETSNMP_OLDAPI_RONLY, var_statusGroup, 1, {3}},
    {SOURCE_STATUS, ASN_INTEGER, NETSNMP_OLDAPI_RONLY, var_statusGroup, 1, {4}},
    {HEALTH_ROW_COUNT, ASN_INTEGER, NETSNMP_OLDAPI_RONLY, var_statusGroup, 2, {10, 1}},
    {HEALTH_INDEX, ASN_INTEGER, NETSNMP_OLDAPI_RONLY, var_sourceHealthTable, 4, {10, 2, 1, 1}},
    {HEALTH_NAME, ASN_OCTET_STR, NETSNMP_OLDAPI_RONLY, var_sourceHealthTable, 4, {10, 2, 1, 2}},
    {HEALTH_STATE, ASN_INTEGER, NETSNMP_OLDAPI_RONLY, var_sourceHealthTable, 4, {10, 2, 1, 3}},
    {HEALTH_LAST_SUCCESS, ASN_UNSIGNED, NETSNMP_OLDAPI_RONLY, var_sourceHealthTable, 4,
     {10, 2, 1, 4}},
    {HEALTH_SECONDS_SINCE, ASN_UNSIGNED, NETSNMP_OLDAPI_RONLY, var_sourceHealthTable, 4,
     {10, 2, 1, 5}},
    {HEALTH_FAILURES, ASN_UNSIGNED, NETSNMP_OLDAPI_RONLY, var_sourceHealthTable, 4,
     {10, 2, 1, 6}},
    {HEALTH_LAST_ERROR, ASN_OCTET_STR, NETSNMP_OLDAPI_RONLY, var_sourceHealthTable, 4,
     {10, 2, 1, 7}},
    {HEALTH_PASS_MS, ASN_UNSIGNED, NETSNMP_OLDAPI_RONLY, var_sourceHealthTable, 4,
     {10, 2, 1, 8}},
    // .20.0, the previous code, only travels in notifications.
};

rollup_status rollup_of(status_member member, long code)
{
    for (const rollup_row &row : ROLLUP)
        if (row.member == member && row.code == code)
            return row.rollup;
    return STATUS_UNKNOWN;
}

rollup_status rollup_worse(rollup_status a, rollup_status b)
{
    return rank(b) > rank(a) ? b : a;
}

int health_stale_seconds(health_source source)
{
    if (source == HEALTH_DATABASE)
        return STALE_MIN_SECONDS;
    return std::max(3 * g_status_refresh_interval.load(), STALE_MIN_SECONDS);
}

void status_set_refresh_interval(int seconds)
{
    g_status_refresh_interval = seconds;
}

health_pass::health_pass(health_source source)
    : source_(source), start_(std::chrono::steady_clock::now())
{
}

health_pass::~health_pass()
{
    if (recorded_)
        return;
    try {
        done(false);
    } catch (...) {
        // Out of memory while recording: the pass goes unrecorded.
    }
}

void health_pass::done(bool ok)
{
    if (recorded_ || !valid(source_))
        return;
    recorded_ = true;
    auto elapsed = std::chrono::steady_clock::now() - start_;
    long ms = static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count());
    {
        std::lock_guard<std::mutex> lock(g_health_lock);
        health_record &r = g_health[source_];
        r.attempted = true;
        r.last_pass_ms = ms;
        if (ok) {
            r.last_success = g_status_clock();
            r.failures = 0;
            r.error.clear();
            r.not_configured = false;
        } else {
            r.failures++;
            r.error = r.error_pending ? r.pending_error : "pass failed";
        }
        r.error_pending = false;
        r.pending_error[0] = '\0';
    }
    health_check_sources();
}

void health_note_error(health_source source, const char *format, ...)
{
    if (!valid(source))
        return;
    std::lock_guard<std::mutex> lock(g_health_lock);
    health_record &r = g_health[source];
    if (r.error_pending)
        return;
    va_list args;
    va_start(args, format);
    vsnprintf(r.pending_error, sizeof r.pending_error, format, args);
    va_end(args);
    // One line for a station's display: the database library's messages
    // come over several lines with tabs.
    size_t len = 0;
    for (const char *from = r.pending_error; *from; from++) {
        bool blank = static_cast<unsigned char>(*from) < 0x20 || *from == ' ';
        if (blank && (len == 0 || r.pending_error[len - 1] == ' '))
            continue;
        r.pending_error[len++] = blank ? ' ' : *from;
    }
    while (len > 0 && r.pending_error[len - 1] == ' ')
        len--;
    r.pending_error[len] = '\0';
    r.error_pending = true;
}

void health_set_not_configured(health_source source, bool not_configured)
{
    if (!valid(source))
        return;
    {
        std::lock_guard<std::mutex> lock(g_health_lock);
        g_health[source].not_configured = not_configured;
    }
    health_check_sources();
}

health_row health_now(health_source source, time_t now)
{
    if (!valid(source))
        return {"", HEALTH_NOT_CONFIGURED, 0, 0, 0, {}, 0};
    std::lock_guard<std::mutex> lock(g_health_lock);
    const health_record &r = g_health[source];
    return {SOURCE_NAMES[source], state_of(source, now), r.last_success, seconds_since(r, now),
            r.failures,           r.error,               r.last_pass_ms};
}

// A member set with no member gives unknown: nothing published yet, or
// nothing found, is no evidence that all is well.
rollup_status status_sensors()
{
    std::shared_ptr<const sensor_tables> tables = g_sensors.now();
    if (!tables)
        return STATUS_UNKNOWN;
    bool any = false;
    rollup_status worst = STATUS_OK;
    for (const sensor_info &row : tables->rows) {
        bool probe = row.sensor_type == SENSOR_TYPE_FAN ||
                     row.sensor_type == SENSOR_TYPE_TEMPERATURE ||
                     row.sensor_type == SENSOR_TYPE_VOLTAGE;
        if (!probe || row.index == 0)
            continue;
        any = true;
        worst = rollup_worse(worst, rollup_of(MEMBER_SENSOR, row.status));
    }
    return any ? worst : STATUS_UNKNOWN;
}

rollup_status status_storage()
{
    std::shared_ptr<const disk_tables> tables = disk_tables_now();
    if (!tables || (tables->physdisk_info.empty() && tables->volume_info.empty()))
        return STATUS_UNKNOWN;
    rollup_status worst = STATUS_OK;
    for (const physdisk_info &disk : tables->physdisk_info)
        worst = rollup_worse(worst, rollup_of(MEMBER_DISK, disk.status));
    for (const volume_info &volume : tables->volume_info)
        worst = rollup_worse(worst, rollup_of(MEMBER_VOLUME, volume.status));
    return worst;
}

// A source that is not configured is left out; with none configured the
// sources tell nothing, so unknown.
rollup_status status_sources()
{
    time_t now = g_status_clock();
    bool any = false;
    rollup_status worst = STATUS_OK;
    std::lock_guard<std::mutex> lock(g_health_lock);
    for (int s = 0; s < HEALTH_SOURCES; s++) {
        health_state state = state_of(static_cast<health_source>(s), now);
        if (state == HEALTH_NOT_CONFIGURED)
            continue;
        any = true;
        worst = rollup_worse(worst, rollup_of(MEMBER_SOURCE, state));
    }
    return any ? worst : STATUS_UNKNOWN;
}

rollup_status status_overall()
{
    return rollup_worse(rollup_worse(status_sensors(), status_storage()), status_sources());
}

void health_check_sources()
{
    struct change {
        int source;
        health_state previous;
        health_state state;
    };
    change changes[HEALTH_SOURCES];
    int n = 0;
    time_t now = g_status_clock();
    {
        std::lock_guard<std::mutex> lock(g_health_lock);
        for (int s = 0; s < HEALTH_SOURCES; s++) {
            health_record &r = g_health[s];
            health_state state = state_of(static_cast<health_source>(s), now);
            // A source not tried yet has no state to report: its first
            // pass, or its turning stale, is the first state seen.
            if (!r.seen && !r.attempted && state == HEALTH_OK)
                continue;
            if (r.seen && r.seen_state != state)
                changes[n++] = {s, r.seen_state, state};
            r.seen = true;
            r.seen_state = state;
        }
    }
    // Queued outside the lock: the log and the queue take their own.
    for (int i = 0; i < n; i++) {
        const change &c = changes[i];
        sa_log(1, "source %s: %s -> %s\n", SOURCE_NAMES[c.source], state_name(c.previous),
               state_name(c.state));
        notify_source_state(c.source + 1, SOURCE_NAMES[c.source], c.previous, c.state);
    }
}

int init_statusGroup()
{
    mib_trace(__func__, "statusGroup", __LINE__, "statusGroup", "Initializing\n");
    mib_register("statusGroup", statusGroup_variables, statusGroup_variables_oid, __func__,
                 "statusGroup", __LINE__);
    // After init_agent, which has net-snmp run alarms from its event loop
    // on this thread rather than from SIGALRM.
    g_status_alarm = static_cast<int>(
        snmp_alarm_register(STATUS_TICK_SECONDS, SA_REPEAT, status_tick, nullptr));
    if (g_status_alarm == 0)
        sa_log(0, "statusGroup: cannot start the health timer\n");
    return 0;
}

void close_statusGroup()
{
    if (g_status_alarm)
        snmp_alarm_unregister(static_cast<unsigned int>(g_status_alarm));
    g_status_alarm = 0;
}

u_char *var_statusGroup(struct variable *vp, oid *name, size_t *length, int exact,
                        size_t *var_len, WriteMethod **write_method)
{
    if (!mib_scalar(vp, name, length, exact, var_len, write_method))
        return nullptr;
    switch (vp->magic) {
    case OVERALL_STATUS:
        return mib_integer(g_status_value, status_overall());
    case SENSOR_STATUS:
        return mib_integer(g_status_value, status_sensors());
    case STORAGE_STATUS:
        return mib_integer(g_status_value, status_storage());
    case SOURCE_STATUS:
        return mib_integer(g_status_value, status_sources());
    case HEALTH_ROW_COUNT:
        return mib_integer(g_status_value, HEALTH_SOURCES);
    default:
        return mib_unknown("Unknown Request");
    }
}

u_char *var_sourceHealthTable(struct variable *vp, oid *name, size_t *length, int exact,
                              size_t *var_len, WriteMethod **write_method)
{
    long row = mib_table_row(vp, name, length, exact, var_len, write_method, HEALTH_SOURCES);
    if (row == 0)
        return nullptr;
    sa_log(4, "health get OID item=%d index=%d\n", vp->magic, static_cast<int>(row));

    health_row health = health_now(static_cast<health_source>(row - 1), g_status_clock());
    switch (vp->magic) {
    case HEALTH_INDEX:
        return mib_integer(g_status_value, row);
    case HEALTH_NAME:
        return mib_text(health.name, var_len);
    case HEALTH_STATE:
        return mib_integer(g_status_value, health.state);
    case HEALTH_LAST_SUCCESS:
        return mib_unsigned(g_status_unsigned, as_unsigned32(health.last_success));
    case HEALTH_SECONDS_SINCE:
        return mib_unsigned(g_status_unsigned, as_unsigned32(health.seconds_since));
    case HEALTH_FAILURES:
        return mib_unsigned(g_status_unsigned, as_unsigned32(health.failures));
    case HEALTH_PASS_MS:
        return mib_unsigned(g_status_unsigned, as_unsigned32(health.last_pass_ms));
    case HEALTH_LAST_ERROR:
        snprintf(g_status_text, sizeof g_status_text, "%s", health.error.c_str());
        return mib_text(g_status_text, var_len);
    default:
        return mib_unknown("Unknown Request");
    }
}

void reset_health()
{
    std::lock_guard<std::mutex> lock(g_health_lock);
    for (health_record &r : g_health)
        r = health_record{};
    g_health_started = g_status_clock();
}
