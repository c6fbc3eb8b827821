// IPMI sensor group: sensors discovered from the BMC's SDRs, read by every
// refresh pass and per request, and the BMC's system event log mirrored as
// a table.  A pass tells the stations what changed since the one before.
#include "groups/ipmiGroup.h"

#include "agent/mib.h"
#include "agent/notify.h"
#include "agent/salog.h"
#include "agent/text.h"
#include "groups/statusGroup.h"

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <unordered_set>

const char *sensor_status_names[9] = {"OK",      "Warn-lo",   "Crit-lo", "BelowCrit", "Warn-hi",
                                      "Crit-hi", "AboveCrit", "Init",    "OK*"};

published<sensor_tables> g_sensors;
published<sel_tables> g_event_log;
std::atomic<int> g_ipmi_intf_found{0};
int g_sel_eof_level = 2;
int g_logged_selrecs;

namespace {

constexpr int SDR_NAME_OFFSET = 48;
constexpr int SDR_NAME_MAX = 16;
constexpr int SEL_RECORD_LEN = 16;
constexpr int IPMI_RESPONSE_LEN = 80;
constexpr unsigned short CMD_GET_SEL_INFO = 0x0A40;
constexpr unsigned short CMD_GET_SEL_ENTRY = 0x0A43;
constexpr unsigned short SEL_LAST_ID = 0xFFFF;
constexpr unsigned char CC_NOT_PRESENT = 0xCB;
constexpr int SEL_END = -10;
constexpr int SEL_ID_MISMATCH = -5;
// Entries read past the counted ones before a walk gives up (a BMC whose
// next IDs run in a circle would otherwise keep it going for ever).
constexpr int SEL_EXTRA_READS = 256;

sel_command_fn g_sel_command = bmc::ipmi_cmd;

long g_sensor_result;
long g_fan_result;
long g_temperature_result;
long g_voltage_result;
long g_event_log_result;
char g_fan_text[256];
char g_temperature_text[256];
char g_voltage_text[256];
char g_event_log_text[256];

oid sensorGroup_variables_oid[] = {1, 3, 6, 1, 4, 1, 47391, 1, 4};

// What the last pass saw, so that the next one tells only what changed.
// Written by discover_sensors() alone (at start, then on the refresh
// thread).  A walk starts over: its pass only records.
struct pass_memory {
    bool have_statuses = false;    // false: no previous pass yet
    std::vector<uint8_t> statuses; // by row array index
    bool have_log = false;
    std::unordered_set<std::string> log_texts;
};
pass_memory g_previous;

// How a pass's readings went: the BMC counts as answering unless every
// one of them failed.
struct pass_readings {
    int taken = 0;
    int failed = 0;
    int first_error = 0;
    void count(int rc)
    {
        taken++;
        if (rc != 0 && failed++ == 0)
            first_error = rc;
    }
    bool all_failed() const { return taken > 0 && failed == taken; }
};

// A failed exchange's cause as the log and the health row name it.
std::string failure_text(int rc)
{
    if (rc > 0) {
        char cc[32];
        std::snprintf(cc, sizeof cc, "completion code 0x%02x", rc);
        return cc;
    }
    return bmc::error_text(rc);
}

// A reading's value and status from GetSensorReading's result.  A reading
// the BMC flags unavailable has no value: 0.0 is stored.
void convert_reading(int rc, const unsigned char *reading, const unsigned char *sdr,
                     double &value, uint8_t &status)
{
    if (rc != 0) {
        value = 0.0;
        status = SENSOR_STATUS_INIT;
        return;
    }
    value = (reading[1] & 0x20) ? 0.0 : bmc::RawToFloat(reading[0], sdr);
    status = static_cast<uint8_t>(status_from_thresh_bits(reading[2] & 0x3f));
}

int current_selrecs()
{
    std::shared_ptr<const sel_tables> sel = g_event_log.now();
    return sel ? sel->n_selrecs : 0;
}

// One full sensor record into its row; returns GetSensorReading's result.
int read_full_record(int row_number, const unsigned char *sdr, sensor_info &row, uint32_t index)
{
    char name[21];
    sensor_name_from_sdr(sdr, name);
    row.sensor_num = sdr[7];
    row.sensor_type = sdr[12];

    unsigned char reading[4] = {};
    int rv = bmc::GetSensorReading(row.sensor_num, sdr, reading);
    convert_reading(rv, reading, sdr, row.reading, row.status);
    const char *unit;
    if (rv != 0) {
        sa_log(2, "sensor[%d]: %04x get sensor %x reading rv = %d\n", row_number, row.record_id,
               row.sensor_num, rv);
        unit = "na";
    } else {
        unit = bmc::get_unit_type(sdr[20], sdr[21], sdr[22], 0);
    }
    sa_log(3, "sensor[%d]: %04x sensor %x %s  \t= %.2f %s\n", row_number, row.record_id,
           row.sensor_num, name, row.reading, unit);
    row.index = index;
    for (int i = 0; i < 6; i++)
        row.thresholds[i] = bmc::RawToFloat(sdr[36 + i], sdr);
    copy_text(row.unit, sizeof row.unit, unit);
    copy_text(row.name, sizeof row.name, name);
    return rv;
}

// The SDR walk: every cached record, by position (a record ID of 0000h
// cannot be stepped past by ID), into the rows of a table built aside.
int walk_sdrs(sensor_tables &walk, pass_readings &readings)
{
    int result = 0;
    uint32_t sequence = 0;
    for (int pos = 0; pos < static_cast<int>(walk.rows.size()); pos++) {
        unsigned char sdr[bmc::kSdrMax] = {};
        if (bmc::find_sdr_at(sdr, walk.sdrlist.get(), pos) != 0)
            break;
        sensor_info &row = walk.rows[pos];
        row.record_id = static_cast<uint16_t>(sdr[0] | (sdr[1] << 8));
        if (sdr[3] != 0x01) { // not a full sensor record
            row.index = 0;
            continue;
        }
        result = read_full_record(pos, sdr, row, ++sequence);
        readings.count(result);
        switch (row.sensor_type) {
        case SENSOR_TYPE_VOLTAGE:
            walk.voltage_instances++;
            break;
        case SENSOR_TYPE_FAN:
            walk.fan_instances++;
            break;
        case SENSOR_TYPE_TEMPERATURE:
            walk.temperature_instances++;
            break;
        default:
            break;
        }
    }
    return result;
}

// Position in the rows of the n-th row (from 1) of a sensor type, or -1.
int find_typed_row(const sensor_tables &t, uint8_t type, long n)
{
    long seen = 0;
    for (size_t i = 0; i < t.rows.size(); i++) {
        if (t.rows[i].index != 0 && t.rows[i].sensor_type == type && ++seen == n)
            return static_cast<int>(i);
    }
    return -1;
}

int count_of(const sensor_tables *t, uint8_t type)
{
    if (!t)
        return 0;
    switch (type) {
    case SENSOR_TYPE_FAN:
        return t->fan_instances;
    case SENSOR_TYPE_TEMPERATURE:
        return t->temperature_instances;
    default:
        return t->voltage_instances;
    }
}

// A fresh reading for a row of t, by the request's deadline.
int update_reading(const sensor_tables *t, int row)
{
    if (!g_ipmi_intf_found)
        return 0;
    if (!t || !t->sdrlist)
        return -3;
    if (row < 0 || row >= static_cast<int>(t->rows.size()))
        return -4;
    const sensor_info &r = t->rows[row];
    unsigned char sdr[bmc::kSdrMax] = {};
    int rc = bmc::find_sdr_by_id(sdr, t->sdrlist.get(), r.record_id);
    if (rc != 0) {
        sa_log(2, "sensor[%d]: find_sdr_by_id(%x) error %d\n", row, r.record_id, rc);
        return rc;
    }
    unsigned char reading[4] = {};
    rc = bmc::GetSensorReading(r.sensor_num, sdr, reading,
                               std::chrono::steady_clock::now() + bmc::kRequestBudget);
    double value;
    uint8_t status;
    convert_reading(rc, reading, sdr, value, status);
    r.reading = value;
    r.status = status;
    sa_log(4, "update_sensor_reading(%d) rv=%d val=%02x rdg=%.2f\n", row, rc, reading[0], value);
    return rc;
}

struct ProbeTable {
    uint8_t type;
    int first_magic; // columns 1..8
    int value_magic; // columns 9..12, the numbers of 6..8 and their unit
    const char *log_format;
    long &result;
    char *text;
};

int column_of(const ProbeTable &table, int magic)
{
    if (magic >= table.value_magic && magic < table.value_magic + 4)
        return magic - table.value_magic + 9;
    return magic - table.first_magic + 1;
}

// A quantity in thousandths of its unit as an Integer32 carries it; false
// when it has none (not a finite number, or past 32 bits), rather than a
// wrong one.
bool thousandths(double value, long *out)
{
    double scaled = std::round(value * 1000.0);
    if (!std::isfinite(scaled) || scaled < INT32_MIN || scaled > INT32_MAX)
        return false;
    *out = static_cast<long>(scaled);
    return true;
}

// A refresh pass's readings: every full record read once through the
// refresh work's path (requests go in between its commands), into a new
// table.  The published rows' reading and status are not copied: the
// reading column's handler may be writing them meanwhile.
std::shared_ptr<sensor_tables> read_pass(const sensor_tables &t, pass_readings &readings)
{
    auto next = std::make_shared<sensor_tables>();
    next->sdrlist = t.sdrlist;
    next->fan_instances = t.fan_instances;
    next->temperature_instances = t.temperature_instances;
    next->voltage_instances = t.voltage_instances;
    next->rows.resize(t.rows.size());
    for (size_t pos = 0; pos < t.rows.size(); pos++) {
        const sensor_info &old = t.rows[pos];
        sensor_info &row = next->rows[pos];
        row.index = old.index;
        row.record_id = old.record_id;
        row.sensor_num = old.sensor_num;
        row.sensor_type = old.sensor_type;
        std::memcpy(row.thresholds, old.thresholds, sizeof row.thresholds);
        std::memcpy(row.unit, old.unit, sizeof row.unit);
        std::memcpy(row.name, old.name, sizeof row.name);
        if (row.index == 0)
            continue;
        row.status = SENSOR_STATUS_INIT;
        unsigned char sdr[bmc::kSdrMax] = {};
        if (bmc::find_sdr_at(sdr, t.sdrlist.get(), static_cast<int>(pos)) != 0)
            continue;
        unsigned char reading[4] = {};
        int rc = bmc::GetSensorReading(row.sensor_num, sdr, reading);
        convert_reading(rc, reading, sdr, row.reading, row.status);
        readings.count(rc);
        sa_log(4, "discover_sensors: sensor[%d] rv=%d val=%02x rdg=%.2f\n", static_cast<int>(pos),
               rc, reading[0], row.reading);
    }
    return next;
}

// The branch of the table that shows a sensor type, 0 for none.
int table_branch(uint8_t type)
{
    switch (type) {
    case SENSOR_TYPE_FAN:
        return 10;
    case SENSOR_TYPE_TEMPERATURE:
        return 20;
    case SENSOR_TYPE_VOLTAGE:
        return 30;
    default:
        return 0;
    }
}

// One notification per probe row whose status differs from the previous
// pass's, then t's statuses become the previous ones.  Called before t is
// published, while no handler can change its rows.
void notify_status_changes(const sensor_tables &t)
{
    std::vector<uint8_t> statuses(t.rows.size());
    long instances[3] = {}; // rows seen so far per table, as the handlers number them
    for (size_t pos = 0; pos < t.rows.size(); pos++) {
        const sensor_info &row = t.rows[pos];
        statuses[pos] = row.status;
        int branch = table_branch(row.sensor_type);
        if (row.index == 0 || branch == 0)
            continue;
        long n = ++instances[branch / 10 - 1];
        if (!g_previous.have_statuses || pos >= g_previous.statuses.size() ||
            g_previous.statuses[pos] == row.status)
            continue;
        long value = 0;
        bool has_value = thousandths(row.reading, &value);
        notify_sensor_status(branch, n, row.name, g_previous.statuses[pos], row.status,
                             has_value ? &value : nullptr);
    }
    g_previous.statuses.swap(statuses);
    g_previous.have_statuses = true;
}

// The severity field of a decoded event log line: its third, the fields set
// off by " | ".
std::string_view severity_of(std::string_view line)
{
    constexpr std::string_view sep = " | ";
    size_t start = 0;
    for (int field = 0; field < 2; field++) {
        start = line.find(sep, start);
        if (start == std::string_view::npos)
            return {};
        start += sep.size();
    }
    return line.substr(start, line.find(sep, start) - start);
}

// One notification per critical or non-recoverable entry that the previous
// pass's log did not hold, then this log's texts become the previous ones.
void notify_new_log_entries()
{
    std::shared_ptr<const sel_tables> log = g_event_log.now();
    std::unordered_set<std::string> texts;
    if (log) {
        for (const sel_rec &rec : log->sel_recs) {
            if (rec.index == 0)
                continue;
            bool is_new = texts.insert(rec.text).second && g_previous.have_log &&
                          g_previous.log_texts.count(rec.text) == 0;
            std::string_view severity = severity_of(rec.text);
            if (is_new && (severity == "CRT" || severity == "MAJ"))
                notify_event_log_entry(rec.index, rec.text);
        }
    }
    g_previous.log_texts.swap(texts);
    g_previous.have_log = true;
}

u_char *probe_table(const ProbeTable &table, struct variable *vp, oid *name, size_t *length,
                    int exact, size_t *var_len, WriteMethod **write_method)
{
    std::shared_ptr<const sensor_tables> t = g_sensors.hold();
    int count = count_of(t.get(), table.type);
    if (count == 0)
        return nullptr;
    long n = mib_table_row(vp, name, length, exact, var_len, write_method, count);
    if (n == 0)
        return nullptr;
    int pos = find_typed_row(*t, table.type, n);
    if (pos < 0)
        return nullptr;
    sa_log(4, table.log_format, pos, vp->magic, static_cast<int>(n));

    int column = column_of(table, vp->magic);
    if (column >= 9 && column <= 11) {
        // The numbers of columns 6..8, the reading fresh as column 6's.
        long value = 0;
        n = mib_row_with_value(vp, name, length, exact, var_len, write_method, count, n,
                               [&](long row_n) {
                                   int at = find_typed_row(*t, table.type, row_n);
                                   if (at < 0)
                                       return false;
                                   if (column == 9)
                                       update_reading(t.get(), at);
                                   const sensor_info &r = t->rows[at];
                                   return thousandths(column == 9    ? r.reading
                                                      : column == 10 ? r.thresholds[1]
                                                                     : r.thresholds[4],
                                                      &value);
                               });
        return n ? mib_integer(table.result, value) : nullptr;
    }
    if (column == 6) // a fresh reading first
        update_reading(t.get(), pos);

    const sensor_info &row = t->rows[pos];
    switch (column) {
    case 1:
        return mib_integer(table.result, row.index);
    case 2:
        return mib_integer(table.result, row.sensor_num);
    case 3:
        copy_text(table.text, 256, row.name);
        return mib_text(table.text, var_len);
    case 4:
        copy_text(table.text, 256, sensor_status_names[row.status > 8 ? 8 : row.status]);
        return mib_text(table.text, var_len);
    case 5:
        return mib_integer(table.result, row.status);
    case 6:
        std::snprintf(table.text, 256, "%.2f %s", row.reading, row.unit);
        return mib_text(table.text, var_len);
    case 7:
        std::snprintf(table.text, 256, "%.2f %s", row.thresholds[1], row.unit);
        return mib_text(table.text, var_len);
    case 8:
        std::snprintf(table.text, 256, "%.2f %s", row.thresholds[4], row.unit);
        return mib_text(table.text, var_len);
    case 12:
        copy_text(table.text, 256, row.unit);
        return mib_text(table.text, var_len);
    default:
        return mib_unknown("Unknown Request");
    }
}

} // namespace

#define SENSOR_SCALAR(magic, area)                                                                 \
    {magic, ASN_INTEGER, NETSNMP_OLDAPI_RONLY, var_sensorGroup, 2, {area, 1}}
#define SENSOR_COLUMN(magic, type, handler, area, column)                                          \
    {magic, type, NETSNMP_OLDAPI_RONLY, handler, 4, {area, 2, 1, column}}
#define PROBE_TABLE(first, values, handler, area)                                                  \
    SENSOR_COLUMN(first, ASN_INTEGER, handler, area, 1),                                           \
        SENSOR_COLUMN(first + 1, ASN_INTEGER, handler, area, 2),                                   \
        SENSOR_COLUMN(first + 2, ASN_OCTET_STR, handler, area, 3),                                 \
        SENSOR_COLUMN(first + 3, ASN_OCTET_STR, handler, area, 4),                                 \
        SENSOR_COLUMN(first + 4, ASN_INTEGER, handler, area, 5),                                   \
        SENSOR_COLUMN(first + 5, ASN_OCTET_STR, handler, area, 6),                                 \
        SENSOR_COLUMN(first + 6, ASN_OCTET_STR, handler, area, 7),                                 \
        SENSOR_COLUMN(first + 7, ASN_OCTET_STR, handler, area, 8),                                 \
        SENSOR_COLUMN(values, ASN_INTEGER, handler, area, 9),                                      \
        SENSOR_COLUMN(values + 1, ASN_INTEGER, handler, area, 10),                                 \
        SENSOR_COLUMN(values + 2, ASN_INTEGER, handler, area, 11),                                 \
        SENSOR_COLUMN(values + 3, ASN_OCTET_STR, handler, area, 12)

// Columns 9..12 came after the event log's magics 28 and 29, so each
// table's take the next four free ones.  Column 13 of the tables only names
// the instance and is not registered.
struct variable4 sensorGroup_variables[42] = {
    SENSOR_SCALAR(1, 10),
    PROBE_TABLE(4, 30, var_coolingDeviceTable, 10),
    SENSOR_SCALAR(2, 20),
    PROBE_TABLE(12, 34, var_temperatureProbeTable, 20),
    SENSOR_SCALAR(3, 30),
    PROBE_TABLE(20, 38, var_voltageProbeTable, 30),
    SENSOR_SCALAR(4, 40),
    SENSOR_COLUMN(28, ASN_INTEGER, var_eventLogTable, 40, 1),
    SENSOR_COLUMN(29, ASN_OCTET_STR, var_eventLogTable, 40, 2),
};

void set_sel_command(sel_command_fn fn)
{
    g_sel_command = fn ? fn : bmc::ipmi_cmd;
}

void sensor_name_from_sdr(const unsigned char *sdr, char *name)
{
    int total = sdr[4] + 5;
    int len = total >= SDR_NAME_OFFSET + SDR_NAME_MAX ? SDR_NAME_MAX : total - SDR_NAME_OFFSET;
    if (len < 0) // no room for a name
        len = 0;
    std::memcpy(name, sdr + SDR_NAME_OFFSET, len);
    name[len] = '\0';
}

int status_from_thresh_bits(unsigned char bits)
{
    for (int bit = 5; bit >= 0; bit--)
        if (bits & (1u << bit))
            return bit + 1;
    return 0;
}

int ipmi_support()
{
    unsigned char buf[20];
    return bmc::ipmi_getdeviceid(buf, sizeof buf, 0);
}

int init_sensorGroup()
{
    mib_trace(__func__, "ipmiGroup", __LINE__, "sensorGroup", "Initializing\n");
    if (ipmi_support() == 0) {
        g_ipmi_intf_found = 1;
        int rc = discover_sensors();
        if (rc != 0)
            sa_log(0, "discover_sensors error %d\n", rc);
    } else if (!g_ipmi_intf_found) {
        sa_log(0, "No IPMI interface found\n");
        health_set_not_configured(HEALTH_BMC, true);
    }
    mib_register("sensorGroup", sensorGroup_variables, sensorGroup_variables_oid, __func__,
                 "ipmiGroup", __LINE__);
    return 0;
}

int discover_sensors()
{
    if (!g_ipmi_intf_found)
        return 0;

    // No done() before an early return: the pass counts as failed.
    health_pass pass(HEALTH_BMC);
    int result = -1;
    pass_readings readings;
    std::shared_ptr<const sensor_tables> sensors = g_sensors.now();
    if (!sensors) {
        std::shared_ptr<const bmc::SdrCache> cache;
        int rc = bmc::get_sdr_cache(&cache);
        if (rc != 0) {
            sa_log(0, "discover_sensors: get_sdr_cache error %d\n", rc);
            health_note_error(HEALTH_BMC, "discover_sensors: get_sdr_cache error %d: %s", rc,
                              failure_text(rc).c_str());
            return rc;
        }
        std::shared_ptr<sensor_tables> walk;
        try {
            walk = std::make_shared<sensor_tables>();
            walk->rows.resize(bmc::find_nsdrs(cache.get()));
        } catch (const std::bad_alloc &) {
            sa_log(0, "discover_sensors: malloc error\n");
            health_note_error(HEALTH_BMC, "discover_sensors: malloc error");
            return -2;
        }
        walk->sdrlist = std::move(cache);
        result = walk_sdrs(*walk, readings);
        // A new walk: nothing before it to compare with.
        g_previous = pass_memory{};
        if (!readings.all_failed())
            notify_status_changes(*walk);
        g_sensors.publish(walk);
        sensors = std::move(walk);
    } else {
        std::shared_ptr<sensor_tables> next;
        try {
            next = read_pass(*sensors, readings);
        } catch (const std::bad_alloc &) {
            sa_log(0, "discover_sensors: malloc error\n");
            health_note_error(HEALTH_BMC, "discover_sensors: malloc error");
            return -2;
        }
        // A pass the BMC did not answer at all is no news about the
        // sensors (the health row tells it): compared with the one before.
        if (!readings.all_failed())
            notify_status_changes(*next);
        g_sensors.publish(next);
        sensors = std::move(next);
    }
    bool answered = true;
    if (readings.all_failed()) {
        std::string cause = failure_text(readings.first_error);
        sa_log(2, "all %d sensor readings failed: %s\n", readings.taken, cause.c_str());
        health_note_error(HEALTH_BMC, "all %d sensor readings failed: %s", readings.taken,
                          cause.c_str());
        answered = false;
    }

    int count = 0;
    int rc = get_sel_info(&count);
    if (rc == 0 && count >= 1 && count != current_selrecs())
        get_sel_all(count);
    g_sel_eof_level = 4;
    if (rc != 0) {
        // The layer has logged a transport failure already.
        std::string cause = failure_text(rc);
        sa_log(rc < 0 ? 4 : 2, "get_sel_info: %s\n", cause.c_str());
        health_note_error(HEALTH_BMC, "get_sel_info: %s", cause.c_str());
        answered = false;
    }
    notify_new_log_entries();

    int selrecs = current_selrecs();
    if (selrecs != g_logged_selrecs) {
        sa_log(3, "discover_ipmi: %d SDRs, %d fans, %d temp, %d volt, %d SEL\n",
               static_cast<int>(sensors->rows.size()), sensors->fan_instances,
               sensors->temperature_instances, sensors->voltage_instances, selrecs);
        g_logged_selrecs = selrecs;
    }
    pass.done(answered);
    return result;
}

int sdr_walk_needed()
{
    return g_sensors.now() ? 0 : 1;
}

int update_sensor_reading(int row)
{
    return update_reading(g_sensors.now().get(), row);
}

void close_sensors()
{
    sa_log(0, "close_sensors called, intf=%d\n", g_ipmi_intf_found.load());
    if (!g_ipmi_intf_found)
        return;
    // A discovery still running keeps what it holds alive; what it
    // publishes after this is freed with the process.
    std::shared_ptr<const sensor_tables> sensors = g_sensors.now();
    g_sensors.clear();
    g_event_log.clear();
    if (sensors)
        bmc::free_sdr_cache(sensors->sdrlist.get());
    bmc::ipmi_close_();
}

int get_sel_info(int *count_out)
{
    if (!count_out)
        return -3;
    unsigned char rs[IPMI_RESPONSE_LEN];
    int len = sizeof rs;
    unsigned char cc = 0;
    int rc = g_sel_command(CMD_GET_SEL_INFO, nullptr, 0, rs, &len, &cc, 0);
    if (rc != 0)
        return rc;
    if (cc != 0)
        return cc;
    if (len < 3)
        return bmc::kErrResponse;
    *count_out = rs[1] | (rs[2] << 8);
    return 0;
}

int get_sel_entry(unsigned short record_id, unsigned short *next_out, unsigned char *record_out)
{
    if (!record_out || !next_out)
        return -3;
    unsigned char rq[6] = {0x00, 0x00, static_cast<unsigned char>(record_id & 0xff),
                           static_cast<unsigned char>(record_id >> 8), 0x00, 0xFF};
    unsigned char rs[IPMI_RESPONSE_LEN];
    int len = sizeof rs;
    unsigned char cc = 0;
    int rc = g_sel_command(CMD_GET_SEL_ENTRY, rq, sizeof rq, rs, &len, &cc, 0);
    if (rc == 0 && cc == 0 && len < 2 + SEL_RECORD_LEN)
        rc = bmc::kErrResponse; // an answer without a whole record
    if (rc == 0 && cc == 0) {
        *next_out = static_cast<unsigned short>(rs[0] | (rs[1] << 8));
        std::memcpy(record_out, rs + 2, SEL_RECORD_LEN);
        unsigned short own = static_cast<unsigned short>(record_out[0] | (record_out[1] << 8));
        if (record_id == 0 || own == record_id)
            return 0;
        if (record_id == SEL_LAST_ID || own == SEL_LAST_ID)
            return SEL_END;
        *next_out = record_id;
        sa_log(1, "get_sel_entry(%d/%d) error %d\n", record_id, own, SEL_ID_MISMATCH);
        return SEL_ID_MISMATCH;
    }
    if (rc == SEL_END)
        return SEL_END;
    if (rc == 0 && cc == CC_NOT_PRESENT && record_id == SEL_LAST_ID) {
        sa_log(g_sel_eof_level, "get_sel_entry(%d/%d) cc=0x%02x at EOF\n", record_id, 0, cc);
        return cc;
    }
    int error = rc != 0 ? rc : cc;
    sa_log(1, "get_sel_entry(%d/%d) error %d\n", record_id, 0, error);
    return error;
}

int get_sel_all(int count)
{
    if (count < 1)
        return -4;
    std::shared_ptr<sel_tables> table;
    try {
        table = std::make_shared<sel_tables>();
        table->n_selrecs = count;
        table->sel_recs.resize(count);
    } catch (const std::bad_alloc &) {
        sa_log(0, "get_sel_all: malloc error\n");
        auto none = std::make_shared<sel_tables>();
        none->n_selrecs = count;
        g_event_log.publish(none);
        return -2;
    }
    std::shared_ptr<const bmc::SdrCache> cache;
    if (std::shared_ptr<const sensor_tables> sensors = g_sensors.now())
        cache = sensors->sdrlist;
    sa_log(4, "get_sel_all: sdrlist = %p\n", static_cast<const void *>(cache.get()));
    bmc::set_sel_opts(1, 1, cache, 0, 0);

    // Entries added since the count was taken are read to the end of the
    // log but not stored: the next refresh sees the new count.
    unsigned short id = 0;
    unsigned char record[SEL_RECORD_LEN];
    int stored = 0;
    int rc = 0;
    for (int reads = 0; reads < count + SEL_EXTRA_READS; reads++) {
        rc = get_sel_entry(id, &id, record);
        if (rc != 0)
            break;
        if (stored < count) {
            sel_rec &row = table->sel_recs[stored];
            bmc::decode_sel_entry(record, row.text, sizeof row.text);
            if (char *nl = std::strrchr(row.text, '\n'))
                *nl = '\0';
            row.index = static_cast<uint32_t>(++stored);
        }
    }
    if (stored != count)
        sa_log(1, "get_sel_all: n_selrecs(%d) != i(%d)\n", count, stored);
    g_event_log.publish(table);
    return rc == SEL_END ? 0 : rc;
}

u_char *var_sensorGroup(struct variable *vp, oid *name, size_t *length, int exact,
                        size_t *var_len, WriteMethod **write_method)
{
    if (!mib_scalar(vp, name, length, exact, var_len, write_method))
        return nullptr;
    long value;
    switch (vp->magic) {
    case 1:
        value = get_fan_instances();
        break;
    case 2:
        value = get_temperature_instances();
        break;
    case 3:
        value = get_voltage_instances();
        break;
    case 4:
        value = current_selrecs();
        break;
    default:
        return mib_unknown("Unknown Request");
    }
    return mib_integer(g_sensor_result, value);
}

u_char *var_coolingDeviceTable(struct variable *vp, oid *name, size_t *length, int exact,
                               size_t *var_len, WriteMethod **write_method)
{
    static const ProbeTable table{SENSOR_TYPE_FAN, 4, 30, "fan get sensor %d item=%d index=%d\n",
                                  g_fan_result, g_fan_text};
    return probe_table(table, vp, name, length, exact, var_len, write_method);
}

u_char *var_temperatureProbeTable(struct variable *vp, oid *name, size_t *length, int exact,
                                  size_t *var_len, WriteMethod **write_method)
{
    static const ProbeTable table{SENSOR_TYPE_TEMPERATURE, 12, 34,
                                  "temp get sensor %d item=%d index=%d\n", g_temperature_result,
                                  g_temperature_text};
    return probe_table(table, vp, name, length, exact, var_len, write_method);
}

u_char *var_voltageProbeTable(struct variable *vp, oid *name, size_t *length, int exact,
                              size_t *var_len, WriteMethod **write_method)
{
    static const ProbeTable table{SENSOR_TYPE_VOLTAGE, 20, 38,
                                  "volt get sensor %d item=%d index=%d\n", g_voltage_result,
                                  g_voltage_text};
    return probe_table(table, vp, name, length, exact, var_len, write_method);
}

u_char *var_eventLogTable(struct variable *vp, oid *name, size_t *length, int exact,
                          size_t *var_len, WriteMethod **write_method)
{
    std::shared_ptr<const sel_tables> t = g_event_log.hold();
    // Rows missing while the count stands (a failed allocation): nothing.
    if (!t || t->n_selrecs == 0 || t->sel_recs.empty())
        return nullptr;
    long n = mib_table_row(vp, name, length, exact, var_len, write_method, t->n_selrecs);
    if (n == 0)
        return nullptr;
    int pos = 0;
    for (int i = 0; i < t->n_selrecs; i++) {
        if (t->sel_recs[i].index == static_cast<uint32_t>(n)) {
            pos = i;
            break;
        }
    }
    sa_log(4, "get SEL entry %d item=%d index=%d\n", pos, vp->magic, static_cast<int>(n));
    switch (vp->magic) {
    case 28: // the instance: the index of its row whenever the row was filled
        return mib_integer(g_event_log_result, n);
    case 29:
        copy_text(g_event_log_text, sizeof g_event_log_text, t->sel_recs[pos].text);
        return mib_text(g_event_log_text, var_len);
    default:
        return mib_unknown("Unknown Request");
    }
}

int get_fan_instances()
{
    return count_of(g_sensors.now().get(), SENSOR_TYPE_FAN);
}

int get_temperature_instances()
{
    return count_of(g_sensors.now().get(), SENSOR_TYPE_TEMPERATURE);
}

int get_voltage_instances()
{
    return count_of(g_sensors.now().get(), SENSOR_TYPE_VOLTAGE);
}
