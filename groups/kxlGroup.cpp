// Backup appliance group: backups of the last seven days, capacity per
// device, replications and archives, gathered through the appliance database
// library and refreshed at most every 30 seconds, on request or by the
// refresh thread.  A pass runs on its own thread and publishes a whole table
// set; handlers answer from the set they hold and wait for the pass they
// started at most 250 ms.  Each pass is recorded in the database's health
// row, and a backup newly seen failed is notified.
#include "groups/kxlGroup.h"

#include "agent/capture.h"
#include "agent/mib.h"
#include "agent/notify.h"
#include "agent/salog.h"
#include "agent/snapshot.h"
#include "agent/text.h"
#include "groups/statusGroup.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <sys/statfs.h>
#include <system_error>
#include <thread>

int g_kxl_intf_found;
time_t g_kxl_last_refresh;
int g_kxl_first_pass = 1;
int g_kxl_detail_level = 2;

time_t (*g_kxl_clock)() = [] { return time(nullptr); };
int g_kxl_request_wait_ms = KXL_REQUEST_WAIT_MS;

namespace {

oid kxlGroup_variables_oid[] = {1, 3, 6, 1, 4, 1, 47391, 1, 3};

// Results for the handlers: valid until the next request.
long g_kxl_long;
long g_backup_long;
long g_capacity_long;
long g_replication_long;
long g_archive_long;
u_long g_backup_unsigned;
u_long g_capacity_unsigned;
u_long g_replication_unsigned;
u_long g_archive_unsigned;
char g_backup_text[256];
char g_capacity_text[256];
char g_archive_text[256];

void format_time(char *buf, size_t size, int32_t seconds)
{
    snprintf(buf, size, "%s", "00/00/00 00:00:00");
    time_t t = static_cast<time_t>(seconds);
    struct tm local;
    if (localtime_r(&t, &local))
        strftime(buf, size, "%x %H:%M:%S", &local);
}

struct ResultFree {
    kx_result *result = nullptr;
    ResultFree() = default;
    explicit ResultFree(kx_result *r) : result(r) {}
    ~ResultFree()
    {
        if (result)
            pgFree(result);
    }
    ResultFree(const ResultFree &) = delete;
    ResultFree &operator=(const ResultFree &) = delete;
    void reset(kx_result *r)
    {
        if (result)
            pgFree(result);
        result = r;
    }
};

// The backup types asked for, in the order the catalogue expects them.
constexpr int kxl_backup_types[] = {1,  2,  41, 4,  3,  27, 28, 29, 18, 19, 20, 12, 13,
                                    14, 34, 35, 36, 42, 44, 43, 51, 52, 53, 54, 17, 16};

} // namespace

void nnfree(void *pointer)
{
    if (pointer)
        free(pointer);
}

void free_backup_status(backup_status *array, int count)
{
    if (!array)
        return;
    for (int i = 0; i < count; i++) {
        backup_status *bi = &array[i];
        sa_log(4, "kxfree i=%d bi=%p id=%d server_inst=%p db_name=%p\n", i, static_cast<void *>(bi),
               bi->node_no, static_cast<void *>(bi->server_inst), static_cast<void *>(bi->db_name));
        nnfree(bi->server_inst);
        nnfree(bi->db_name);
        nnfree(bi->error_text);
        nnfree(bi->client_desc);
        nnfree(bi->volume);
        nnfree(bi->location);
        nnfree(bi->description);
        nnfree(bi->start_text);
        nnfree(bi->end_text);
        nnfree(bi->media);
        sa_log(4, "free_backup_status complete, id=%d\n", bi->node_no);
    }
    free(array);
}

int get_client_name(int node, char *name)
{
    const int instance = 1;
    ResultFree type_result(pgVExec("SELECT type FROM application_instances JOIN application_lookup "
                                   "USING(app_id) WHERE instance_id = %d",
                                   instance));
    ResultFree name_result;
    int rv = 0;

    if (pgStatus(type_result.result) == -1 || pgTuples(type_result.result) <= 0) {
        sa_log(1, "Could not retrieve name of client (node %d instance %d) from database\n", node,
               instance);
        rv = -2;
    } else {
        std::string type = pgSVal(type_result.result, 0, "type");
        const char *column = nullptr;
        if (type == "file-level") {
            name_result.reset(pgVExec("SELECT node_name FROM nodes WHERE node_no = %d", node));
            column = "node_name";
        } else if (type == "VMware") {
            name_result.reset(pgVExec(
                "SELECT key2 FROM application_instances WHERE instance_id = %d AND node_no = %d",
                instance, node));
            column = "key2";
        } else if (type == "Hyper-V") {
            name_result.reset(pgVExec(
                "SELECT key1 FROM application_instances WHERE instance_id = %d AND node_no = %d",
                instance, node));
            column = "key1";
        } else {
            sa_log(1, "Unsupported application type (%s) for client (node %d instance %d)\n",
                   type.c_str(), node, instance);
            rv = -1;
        }
        if (column) {
            if (pgStatus(name_result.result) == -1 || pgTuples(name_result.result) <= 0)
                rv = -2;
            else
                copy_text(name, 64, pgSVal(name_result.result, 0, column));
        }
    }
    if (rv != 0)
        snprintf(name, 64, "id %d inst %d", node, instance);
    sa_log(4, "get_client_name returning: %s\n", name);
    return rv;
}

int is_bk_last(int index, int count, const backup_status *array)
{
    int best = 0;
    uint32_t best_time = 0;
    for (int i = 0; i < count; i++) {
        if (array[i].node_no == array[index].node_no && array[i].type == array[index].type &&
            static_cast<uint32_t>(array[i].start_time) > best_time) {
            best = i;
            best_time = static_cast<uint32_t>(array[i].start_time);
        }
    }
    return best == index ? 1 : 0;
}

void store_backup_records(kxl_tables &tables, const backup_status *array, int count)
{
    sa_log(g_kxl_detail_level, "kxGetBackupStatus returned count=%d \n", count);
    if (count <= 0 || !array) {
        sa_log(0, "kxGetBackupStatus returned zero records\n");
        // The catalogue answered with none: no backups in the window is the
        // state to show, not a reason to go on serving the last ones seen.
        if (count <= 0)
            tables.backup_instances = 0;
        return;
    }
    if (count > KXL_TABLE_SIZE) {
        sa_log(g_kxl_detail_level, "Truncating Backup status (cnt=%d > %d)\n", count,
               KXL_TABLE_SIZE);
        count = KXL_TABLE_SIZE;
    }
    int k = 0;
    for (int i = 0; i < count; i++) {
        const backup_status &record = array[i];
        if (record.type == 48)
            continue;
        backup_info &entry = tables.backup_info[k];
        entry.position = i;
        entry.status = record.status;
        entry.type = record.type;
        entry.node = record.node_no;
        entry.backup_id = record.backup_id;
        entry.size = record.size_mb;
        entry.files = record.files;
        entry.time = record.start_time;
        get_client_name(record.node_no, entry.client_name);
        entry.last = is_bk_last(i, count, array);

        char when[30];
        format_time(when, sizeof when, record.start_time);
        sa_log(g_kxl_detail_level,
               "Backup[%d/%d]: client=%s (%d) id=%d status=%x\n\t time=%s type=%d "
               "size=%ld/%d files=%ld/%d last=%d\n",
               i, k, entry.client_name, entry.node, entry.backup_id, entry.status, when,
               entry.type, static_cast<long>(record.size_mb), record.size_high,
               static_cast<long>(record.files), record.files_high, entry.last);
        k++;
    }
    tables.backup_instances = k;
}

int get_backup_info(kxl_tables &tables)
{
    int types[std::size(kxl_backup_types)];
    memcpy(types, kxl_backup_types, sizeof types);
    time_t now = g_kxl_clock();

    backup_status_request request = {};
    request.types = types;
    request.types_mode = 2;
    request.ntypes = static_cast<int32_t>(std::size(kxl_backup_types));
    request.window_start = static_cast<int32_t>(now - KXL_WINDOW_SECONDS);
    request.start_mode = 2;
    request.window_end = static_cast<int32_t>(now);
    request.end_mode = 2;
    request.order_mode = 2;

    backup_status *array = nullptr;
    int count = 0;
    int rv = kxGetBackupStatus(&request, &array, &count);

    if (rv != 0)
        sa_log(0, "kxGetBackupStatus error %d\n", rv);
    else
        store_backup_records(tables, array, count);

    // Every record as returned is released, also those past the table.
    free_backup_status(array, count);
    pgClose();
    return rv;
}

int get_du(const char *path, unsigned long *used)
{
    if (!used)
        return -1;
    *used = 0;
    CommandCapture capture("/tmp/dus.out");
    // The path comes from the database: it reaches du as one quoted word,
    // after "--" so that a path beginning with "-" is not taken as an option.
    std::string command = "du -s -- " + shell_quote(path ? path : "") +
                          " 2>/dev/null |tail -n1 >" + capture.path();
    int rv = capture.run(command, std::chrono::minutes(10));
    if (rv == 0) {
        if (FILE *file = capture.open()) {
            char size_word[256] = "", path_word[256] = "";
            if (fscanf(file, "%255s %255s", size_word, path_word) >= 1)
                *used = strtoul(size_word, nullptr, 10);
            capture.finish();
        }
    }
    sa_log(4, "get_du(%s) rv = %d, used = %ld\n", path, rv, static_cast<long>(*used));
    return rv;
}

namespace {

void read_filesystem(capacity_info &entry)
{
    struct statfs fs;
    if (statfs(entry.path, &fs) != 0)
        return;
    uint64_t psize = static_cast<uint64_t>(fs.f_blocks) * static_cast<uint64_t>(fs.f_bsize) / 1024;
    uint64_t pfree = static_cast<uint64_t>(fs.f_bfree) * static_cast<uint64_t>(fs.f_bsize) / 1024;
    uint64_t pused = psize > pfree ? psize - pfree : 0;
    sa_log(g_kxl_detail_level, "statfs(%s) = %d, psize=%lu pused=%lu pfree=%lu\n", entry.path, 0,
           static_cast<unsigned long>(psize), static_cast<unsigned long>(pused),
           static_cast<unsigned long>(pfree));
    entry.psize = psize;
    entry.pfree = pfree;
    entry.pused = pused;
}

// Whether a configuration entry of this pass, between first and end, already
// holds the item: each item gives one row, however often it is listed.
bool holds_item(const kxl_tables &tables, int first, int end, const char *item)
{
    for (int i = first; i < end; i++) {
        const capacity_info &entry = tables.capacity_info[i];
        if (strncmp(entry.name, item, sizeof entry.name - 1) == 0)
            return true;
    }
    return false;
}

} // namespace

int get_capacity_info(kxl_tables &tables)
{
    int result = 0;
    char last_d2d_path[64] = "";

    ResultFree devices(pgQuery(
        "SELECT device_no, dev_name, dev_rw_name, capacity, status, dedup, is_deleted FROM devices"));
    ResultFree nvp;

    if (pgStatus(devices.result) == -1 || pgTuples(devices.result) <= 0) {
        sa_log(0, "Could not obtain device list from kxdb\n");
        result = -2;
        // The previous pass's devices stay, and the configuration entries
        // are rebuilt after them rather than stacked on that pass's own.
        for (int i = 0; i < tables.capacity_devices; i++)
            if (strncmp(tables.capacity_info[i].name, "D2D", 3) == 0)
                copy_text(last_d2d_path, sizeof last_d2d_path, tables.capacity_info[i].path);
    } else {
        int n = pgTuples(devices.result);
        sa_log(g_kxl_detail_level, "get_capacity_info count = %d + %d (add)\n", n, 5);
        if (n > KXL_TABLE_SIZE) {
            sa_log(g_kxl_detail_level, "Truncating devices (cnt=%d > %d)\n", n, KXL_TABLE_SIZE);
            n = KXL_TABLE_SIZE;
        }
        for (int i = 0; i < n; i++) {
            capacity_info &entry = tables.capacity_info[i];
            entry = {};
            entry.position = i;
            copy_text(entry.name, sizeof entry.name, pgSVal(devices.result, i, "dev_name"));
            copy_text(entry.path, sizeof entry.path, pgSVal(devices.result, i, "dev_rw_name"));
            entry.device_id = pgLVal(devices.result, i, "device_no");
            uint64_t capacity = static_cast<uint64_t>(pgLLVal(devices.result, i, "capacity"));

            if (strncmp(entry.name, "D2D", 3) == 0) {
                unsigned long du_used = 0;
                result = get_du(entry.path, &du_used);
                if (capacity > du_used) {
                    entry.used = du_used;
                    entry.free = capacity - du_used;
                } else {
                    entry.used = 0;
                    entry.free = capacity;
                }
                copy_text(last_d2d_path, sizeof last_d2d_path, entry.path);
            } else {
                entry.used = 0;
                entry.free = capacity;
            }
            entry.size = capacity;
            read_filesystem(entry);
            sa_log(g_kxl_detail_level,
                   "Capacity[%d]: num=%d id=%d name=%s size=%ld (%d GB) used=%ld free=%ld psize=%ld "
                   "pfree=%ld\n",
                   i, entry.position, entry.device_id, entry.name, static_cast<long>(entry.size),
                   static_cast<int>(entry.size >> 20), static_cast<long>(entry.used >> 20),
                   static_cast<long>(entry.free >> 20), static_cast<long>(entry.psize >> 20),
                   static_cast<long>(entry.pfree >> 20));
        }
        tables.capacity_instances = n;
        tables.capacity_devices = n;
    }
    int limit = std::min(tables.capacity_devices + 5, KXL_TABLE_SIZE);

    nvp.reset(pgQuery("SELECT nvp_type, nvp_name, item_name, item_value FROM nvp WHERE nvp_type = "
                      "'system' AND nvp_name = 'configuration' "));
    if (pgStatus(nvp.result) == -1 || pgTuples(nvp.result) <= 0) {
        sa_log(0, "Could not obtain nvp list from kxdb\n");
        return -2;
    }

    int k = tables.capacity_devices;
    int rows = pgTuples(nvp.result);
    for (int row = 0; row < rows && k < limit; row++) {
        const char *item = pgSVal(nvp.result, row, "item_name");
        long gigabytes = strtol(pgSVal(nvp.result, row, "item_value"), nullptr, 10);
        if (strncmp(item, "D2D", 3) == 0 || holds_item(tables, tables.capacity_devices, k, item))
            continue;
        capacity_info &entry = tables.capacity_info[k];
        entry = {};
        entry.position = k;
        copy_text(entry.name, sizeof entry.name, item);
        entry.device_id = k + 1;
        entry.size = static_cast<uint64_t>(gigabytes) << 20;
        entry.used = 0;
        if (strncmp(item, "VirtualFailover", 15) == 0) {
            copy_text(entry.path, sizeof entry.path, "/backups/_VirtualMachines");
            unsigned long du_used = 0;
            result = get_du(entry.path, &du_used);
            entry.used = du_used;
        } else {
            copy_text(entry.path, sizeof entry.path, last_d2d_path);
        }
        entry.free = entry.size > entry.used ? entry.size - entry.used : entry.size;
        sa_log(g_kxl_detail_level,
               "Capacity[%d] id=%d name=%s dev=%s size=%ld GB used=%lu free=%lu\n", k, k + 1,
               entry.name, entry.path, gigabytes, static_cast<unsigned long>(entry.used >> 20),
               static_cast<unsigned long>(entry.free >> 20));
        k++;
    }
    tables.capacity_instances = k;
    return result;
}

int get_archive_info(kxl_tables &tables)
{
    int since = static_cast<int>(g_kxl_clock() - KXL_WINDOW_SECONDS);
    ResultFree archives(pgQuery(
        "SELECT a.archive_id, a.archive_set_id, a.archive_success, s.creation_timestamp, "
        "ai.node_no, i.instance_id, i.client_name, i.client_os, i.app_id, al.name AS app_name, "
        "al.type AS app_type, i.key1, i.key2, i.key3, i.key4, a.elapsed_secs, "
        "a.orig_description, a.orig_backup_no, a.orig_time, a.backtype, a.file_mib_size, "
        "a.file_count, a.compressed, a.encrypted, p.dedup,p.fastseed, a.error_string, "
        "p.install_id, state.install_id AS vqnid FROM archives a JOIN archive_sets s USING "
        "(archive_set_id) JOIN archive_profiles p USING (profile_id) LEFT JOIN archive_instances "
        "i USING (archive_instance_id) LEFT JOIN application_lookup al USING (app_id) LEFT JOIN "
        "application_instances ai USING (instance_id) CROSS JOIN state WHERE CASE WHEN 0=2 THEN "
        "a.archive_set_id = 0 ELSE 1=1 END AND CASE WHEN 0=2 THEN ai.node_no = 0 ELSE 1=1 END "
        "AND CASE WHEN 0=2 THEN a.backtype IN (0) ELSE 1=1 END AND CASE WHEN 0=2 THEN "
        "s.creation_timestamp >= 0 ELSE 1=1 END AND CASE WHEN 0=2 THEN s.creation_timestamp <= 0 "
        "ELSE 1=1 END AND CASE WHEN 2=2 THEN a.orig_time >= %d ELSE 1=1 END AND CASE WHEN 0=2 "
        "THEN a.orig_time <= 0 ELSE 1=1 END AND CASE WHEN 0=2 THEN a.archive_id IN (0) ELSE 1=1 "
        "END AND CASE WHEN 0=2 THEN p.target = '(null)' ELSE 1=1 END ORDER BY archive_id",
        since));

    if (pgStatus(archives.result) == -1) {
        sa_log(0, "pgQuery error for archive_status\n");
        return -2;
    }
    int n = pgTuples(archives.result);
    if (n <= 0) {
        // A query that answered with no rows empties the table; only a
        // failed one keeps the last pass's rows.
        sa_log(g_kxl_detail_level, "Archive query returned %d records\n", n);
        tables.archive_instances = 0;
        return 0;
    }
    sa_log(4, "Archive query returned %d records\n", n);
    if (n > KXL_TABLE_SIZE) {
        sa_log(g_kxl_detail_level, "Truncating Archive query (cnt=%d > %d)\n", n, KXL_TABLE_SIZE);
        n = KXL_TABLE_SIZE;
    }
    for (int k = 0; k < n; k++) {
        kx_result *r = archives.result;
        archive_info &entry = tables.archive_info[k];
        entry.position = k;
        entry.success = pgBVal(r, k, "archive_success");
        entry.backtype = pgLVal(r, k, "backtype");
        entry.compressed = pgBVal(r, k, "compressed");
        entry.encrypted = pgBVal(r, k, "encrypted");
        entry.client_os = pgLVal(r, k, "client_os");
        entry.orig_time = pgLVal(r, k, "orig_time");
        entry.elapsed = pgLVal(r, k, "elapsed_secs");
        entry.archive_id = pgLVal(r, k, "archive_id");
        entry.archive_set = pgLVal(r, k, "archive_set_id");
        entry.orig_backup_no = pgLVal(r, k, "orig_backup_no");
        entry.files = pgLVal(r, k, "file_count");
        entry.size = pgLVal(r, k, "file_mib_size");
        copy_text(entry.client_name, sizeof entry.client_name, pgSVal(r, k, "client_name"));
        copy_text(entry.error_text, sizeof entry.error_text, pgSVal(r, k, "error_string"));

        char when[30];
        format_time(when, sizeof when, entry.orig_time);
        sa_log(g_kxl_detail_level,
               "Archive[%d]: id=%d set=%d success=%d backup_no=%d\n\t nfiles=%ld size=%ld MB "
               "client_os=%d backtype=%d\n\t elapsed=%d compressed=%d encrypted=%d\n\t client=%s "
               "errmsg=%s time=%s\n",
               k, entry.archive_id, entry.archive_set, entry.success, entry.orig_backup_no,
               static_cast<long>(entry.files), static_cast<long>(entry.size), entry.client_os,
               entry.backtype, entry.elapsed, entry.compressed, entry.encrypted, entry.client_name,
               entry.error_text, when);
    }
    tables.archive_instances = n;
    return 0;
}

namespace {

// n decimal digits at p, which moves past them.
bool read_digits(const char *&p, int n, int &value)
{
    value = 0;
    for (int i = 0; i < n; i++, p++) {
        if (*p < '0' || *p > '9')
            return false;
        value = value * 10 + (*p - '0');
    }
    return true;
}

bool read_char(const char *&p, char c)
{
    if (*p != c)
        return false;
    p++;
    return true;
}

// Days from 1970-01-01 to a date of the proleptic Gregorian calendar.
int64_t days_from_civil(int year, int month, int day)
{
    year -= month <= 2;
    const int64_t era = (year >= 0 ? year : year - 399) / 400;
    const int64_t year_of_era = year - era * 400;
    const int64_t day_of_year = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const int64_t day_of_era =
        year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
    return era * 146097 + day_of_era - 719468;
}

int days_in_month(int year, int month)
{
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : days[month - 1];
}

} // namespace

bool stat_time_seconds(const char *text, uint32_t *seconds)
{
    if (!text || !seconds)
        return false;
    const char *p = text;
    int year, month, day, hour, minute, second;
    if (!read_digits(p, 4, year) || !read_char(p, '-') || !read_digits(p, 2, month) ||
        !read_char(p, '-') || !read_digits(p, 2, day))
        return false;
    if (!read_char(p, ' ') && !read_char(p, 'T'))
        return false;
    if (!read_digits(p, 2, hour) || !read_char(p, ':') || !read_digits(p, 2, minute) ||
        !read_char(p, ':') || !read_digits(p, 2, second))
        return false;
    if (month < 1 || month > 12 || day < 1 || day > days_in_month(year, month) || hour > 23 ||
        minute > 59 || second > 59)
        return false;
    // Whole seconds, as the text's own clock shows them.
    if (read_char(p, '.')) {
        if (*p < '0' || *p > '9')
            return false;
        while (*p >= '0' && *p <= '9')
            p++;
    }
    // The zone is what makes the text one instant: without it, no value.
    int sign = *p == '+' ? 1 : *p == '-' ? -1 : 0;
    if (sign == 0)
        return false;
    p++;
    int zone_hours, zone_minutes = 0, zone_seconds = 0;
    if (!read_digits(p, 2, zone_hours))
        return false;
    if (read_char(p, ':')) {
        if (!read_digits(p, 2, zone_minutes))
            return false;
        if (read_char(p, ':') && !read_digits(p, 2, zone_seconds))
            return false;
    }
    if (*p != '\0' || zone_minutes > 59 || zone_seconds > 59)
        return false;
    int64_t local = days_from_civil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
    int64_t utc = local - sign * (zone_hours * 3600 + zone_minutes * 60 + zone_seconds);
    if (utc < 0 || utc > static_cast<int64_t>(UINT32_MAX))
        return false;
    *seconds = static_cast<uint32_t>(utc);
    return true;
}

int get_replication_info(kxl_tables &tables)
{
    ResultFree queue(pgQuery("SELECT * FROM replication_queue order by backup_no desc"));
    if (pgStatus(queue.result) == -1) {
        sa_log(0, "Could not obtain replication_queue from kxdb\n");
        return -2;
    }
    int q = pgTuples(queue.result);

    char statement[64];
    snprintf(statement, sizeof statement, "SELECT * FROM sds_stats order by backup_no desc limit %d",
             KXL_TABLE_SIZE);
    ResultFree stats(pgQuery("%s", statement));
    if (pgStatus(stats.result) == -1) {
        sa_log(0, "Could not obtain sds_stats from kxdb\n");
        return -2;
    }
    int n = pgTuples(stats.result);
    if (n <= 0) {
        // Entries come from the statistics rows alone, so none of them
        // means none to serve, whatever the queue holds.
        sa_log(g_kxl_detail_level, "get_replication_info cnt = %d\n", n);
        tables.replication_instances = 0;
        return 0;
    }
    sa_log(g_kxl_detail_level, "get_replication_info count = %d(q) + %d(stats)\n", q, n);
    int limit = q + n;
    if (limit > KXL_TABLE_SIZE) {
        sa_log(g_kxl_detail_level, "Truncating replications (cnt=%d > %d)\n", limit, KXL_TABLE_SIZE);
        limit = KXL_TABLE_SIZE;
    }

    int k = 0;
    int previous = 0;
    for (int row = 0; row < n && k < limit; row++) {
        kx_result *r = stats.result;
        int backup_no = pgLVal(r, row, "backup_no");
        // One entry per backup number, from its first row; 0 is no backup.
        if (backup_no != previous && backup_no != 0) {
            replication_info &entry = tables.replication_info[k];
            entry.position = k;
            entry.backup_no = backup_no;
            entry.synchronized = static_cast<uint32_t>(pgLLVal(r, row, "bytes_syncd") >> 10);
            copy_text(entry.client_name, sizeof entry.client_name, pgSVal(r, row, "client_name"));
            copy_text(entry.destination, sizeof entry.destination, pgSVal(r, row, "destination"));
            copy_text(entry.stat_time, sizeof entry.stat_time, pgSVal(r, row, "stat_time"));
            entry.has_stat_seconds = stat_time_seconds(entry.stat_time, &entry.stat_seconds);
            copy_text(entry.message, sizeof entry.message, pgSVal(r, row, "message"));
            sa_log(g_kxl_detail_level,
                   "Replication[%d]: num=%d backup_no=%d\n\t client=%s dest=%s \n\t time=%s "
                   "syncd=%d KB\n\t message=%s\n",
                   k, entry.position, entry.backup_no, entry.client_name, entry.destination,
                   entry.stat_time, static_cast<int>(entry.synchronized), entry.message);
            k++;
        }
        previous = backup_no;
    }
    tables.replication_instances = k;
    return 0;
}

namespace {

// The group's pass state.  Never destroyed: a pass abandoned at shutdown
// may still end while the process exits.
struct kxl_state {
    published<kxl_tables> tables;
    // Held by whoever runs a pass, so one at a time uses the database.
    std::mutex pass_lock;
    // Guards the fields below and g_kxl_last_refresh.
    std::mutex lock;
    std::condition_variable pass_ended;
    bool pass_running = false;
    unsigned long passes_ended = 0;
    int pass_result = 0;
    // Under pass_lock: the backup ids that were failed in the rows of the
    // last backup query that succeeded, and whether one has.
    std::set<int32_t> failed_backups;
    bool backups_seen = false;
};

kxl_state &state()
{
    static kxl_state *s = new kxl_state;
    return *s;
}

// "pgOpen error" repeats on every pass while the database is down: its
// level is the database fault's, level 0 once a minute.
void log_pgopen_error(int rv)
{
    sa_log(sa_log_fault_level("database", 0), "pgOpen error %d\n", rv);
    health_note_error(HEALTH_DATABASE, "pgOpen error %d", rv);
}

// After a backup query that succeeded: a notification for each row whose
// backup was not failed in the last such query's rows (a new row, or one
// that turned failed).  The first query only records.  Under pass_lock.
void notify_failed_backups(const kxl_tables &tables)
{
    kxl_state &s = state();
    std::set<int32_t> failed;
    for (int i = 0; i < tables.backup_instances; i++) {
        const backup_info &entry = tables.backup_info[i];
        if (entry.status != 2)
            continue;
        failed.insert(entry.backup_id);
        if (s.backups_seen && s.failed_backups.count(entry.backup_id) == 0)
            notify_backup_failed(i + 1, entry.client_name, entry.backup_id,
                                 jobtype_string(entry.type));
    }
    s.failed_backups = std::move(failed);
    s.backups_seen = true;
}

// The collectors of a pass, in order, each filling its table of the set.
struct kxl_collector {
    const char *name;
    int (*collect)(kxl_tables &);
};
constexpr kxl_collector kxl_collectors[] = {
    {"backup", get_backup_info},
    {"capacity", get_capacity_info},
    {"archive", get_archive_info},
    {"replication", get_replication_info},
};

// One pass over the database, recorded in the health table: a success
// when the database answered it, whatever a statement's own result.
int gather_and_publish(health_pass &health)
{
    int rv = pgOpen(1);
    if (rv != 0) {
        log_pgopen_error(rv);
        pgClose();
        health.done(false);
        return rv;
    }
    // Built on a copy of the last tables: a collector that fails, or that a
    // lost connection leaves out, keeps its table as the last pass left it.
    std::shared_ptr<const kxl_tables> last = state().tables.now();
    auto next = last ? std::make_shared<kxl_tables>(*last) : std::make_shared<kxl_tables>();
    int results[std::size(kxl_collectors)] = {};
    bool connected = true;
    bool backups_read = false;
    for (size_t i = 0; i < std::size(kxl_collectors) && connected; i++) {
        results[i] = kxl_collectors[i].collect(*next);
        // Each later collector would only wait out its own deadline on a
        // database that no longer answers.
        connected = !pgConnectionFailed();
        if (!connected) {
            const char *name = kxl_collectors[i].name;
            sa_log(1, "kxl pass stopped: the database connection failed in the %s query\n", name);
            health_note_error(HEALTH_DATABASE,
                              "kxl pass stopped: the database connection failed in the %s query",
                              name);
        } else if (i == 0 && results[0] == 0) {
            backups_read = true;
        }
    }
    if (connected) {
        sa_log(3, "discover_kxl: backup  rv=%d/num=%d capacity    rv=%d/num=%d\n", results[0],
               next->backup_instances, results[1], next->capacity_instances);
        sa_log(3, "discover_kxl: archive rv=%d/num=%d replication rv=%d/num=%d\n", results[2],
               next->archive_instances, results[3], next->replication_instances);
    }
    pgClose();
    std::shared_ptr<const kxl_tables> gathered = std::move(next);
    state().tables.publish(gathered);
    // Once published, so that a station reading the row on the
    // notification finds it.
    if (backups_read)
        notify_failed_backups(*gathered);
    health.done(connected);
    return connected ? results[0] : -2;
}

// A pass with its duration logged; the caller's health record spans it.
int timed_pass(health_pass &health)
{
    auto start = std::chrono::steady_clock::now();
    int rv = gather_and_publish(health);
    long ms = static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                    std::chrono::steady_clock::now() - start)
                                    .count());
    sa_log(3, "kxl pass took %ld ms\n", ms);
    return rv;
}

void set_last_refresh()
{
    std::lock_guard<std::mutex> lock(state().lock);
    g_kxl_last_refresh = g_kxl_clock();
}

// The body of a pass started by a request.
void pass_thread()
{
    kxl_state &s = state();
    int rv;
    {
        std::lock_guard<std::mutex> pass(s.pass_lock);
        rv = get_kxlGroup();
    }
    std::lock_guard<std::mutex> lock(s.lock);
    g_kxl_last_refresh = g_kxl_clock();
    s.pass_result = rv;
    s.pass_running = false;
    s.passes_ended++;
    s.pass_ended.notify_all();
}

// The tables a handler answers from.  They stay held until the next
// request's hold: net-snmp copies the answer after the handler returns.
const kxl_tables &held_tables()
{
    static const kxl_tables none = {};
    std::shared_ptr<const kxl_tables> tables = state().tables.hold();
    return tables ? *tables : none;
}

} // namespace

std::shared_ptr<const kxl_tables> kxl_tables_now()
{
    return state().tables.now();
}

int get_kxlGroup()
{
    health_pass health(HEALTH_DATABASE);
    return timed_pass(health);
}

namespace {

// Under s.lock: starts a pass on its own thread when the data is older than
// the cache allows and none runs.  1 started, 0 not due, -1 no thread.
int start_pass_if_due(kxl_state &s)
{
    if (g_kxl_clock() <= g_kxl_last_refresh + KXL_CACHE_SECONDS || s.pass_running)
        return 0;
    // The pass runs on its own thread so that a slow database or du holds
    // no request or gatherer longer than its own wait.
    s.pass_running = true;
    try {
        std::thread(pass_thread).detach();
    } catch (const std::system_error &e) {
        sa_log(0, "kxl pass thread: %s\n", e.what());
        s.pass_running = false;
        g_kxl_last_refresh = g_kxl_clock();
        return -1;
    }
    return 1;
}

} // namespace

int kxl_start_pass_if_due()
{
    kxl_state &s = state();
    std::lock_guard<std::mutex> lock(s.lock);
    return start_pass_if_due(s);
}

bool kxl_pass_running()
{
    kxl_state &s = state();
    std::lock_guard<std::mutex> lock(s.lock);
    return s.pass_running;
}

int do_getkxl()
{
    kxl_state &s = state();
    std::unique_lock<std::mutex> lock(s.lock);
    unsigned long ended = s.passes_ended;
    int started = start_pass_if_due(s);
    if (started <= 0)
        return started;
    if (!s.pass_ended.wait_for(lock, std::chrono::milliseconds(g_kxl_request_wait_ms),
                               [&s, ended] { return s.passes_ended != ended; }))
        return 0;
    return s.pass_result;
}

int check_kxdb_interface()
{
    if (pgOpen(1) == 0) {
        pgClose();
        return 1;
    }
    return 0;
}

int discover_kxl()
{
    if (g_kxl_first_pass == 0) {
        // The refresh keeps the tables, the database's health and the
        // backup notifications current when no station asks; the pass runs
        // on its own thread, not waited for.
        kxl_start_pass_if_due();
        return 0;
    }
    std::lock_guard<std::mutex> pass(state().pass_lock);
    // One record of the database's health for the whole first pass.
    health_pass health(HEALTH_DATABASE);

    int rv = pgOpen(1);
    sa_log(2, "discover_kxl: pgOpen rv = %d\n", rv);
    if (rv != 0) {
        log_pgopen_error(rv);
        return rv;
    }

    const unsigned system_id = 1;
    ResultFree system(
        pgQuery("SELECT host, is_local_system, is_active FROM systems WHERE system_id = %u;",
                system_id));
    if (pgStatus(system.result) == -1) {
        rv = -2;
        sa_log(0, "Error executing query to retrieve system hostname\n");
        health_note_error(HEALTH_DATABASE, "Error executing query to retrieve system hostname");
        health.done(!pgConnectionFailed());
    } else if (pgTuples(system.result) <= 0) {
        rv = -2;
        sa_log(0, "Could not retrieve information for system id %u from database\n", system_id);
        health.done(true);
    } else {
        std::string host = pgBVal(system.result, 0, "is_local_system") == 1
                               ? "localhost"
                               : pgSVal(system.result, 0, "host");
        sa_log(2, "Connected to database at hostname '%s'\n", host.c_str());
        g_kxl_intf_found = 1;
        pgClose();
        rv = timed_pass(health);
        set_last_refresh();
    }
    system.reset(nullptr);
    g_kxl_first_pass = 0;
    g_kxl_detail_level = 4;
    return rv;
}

int init_kxlGroup()
{
    mib_trace(__func__, "kxlGroup", __LINE__, "kxlGroup", "Initializing\n");
    state().tables.publish(std::make_shared<const kxl_tables>());

    int rv = discover_kxl();
    if (rv != 0)
        sa_log(0, "discover_kxl error %d\n", rv);
    if (!g_kxl_intf_found) {
        sa_log(0, "discover_kxl interface not found\n");
        return rv;
    }
    mib_register("kxlGroup", kxlGroup_variables, kxlGroup_variables_oid, __func__, "kxlGroup",
                 __LINE__);
    return 0;
}

void close_kxlGroup()
{
    kxl_state &s = state();
    bool running;
    {
        std::lock_guard<std::mutex> lock(s.lock);
        running = s.pass_running;
    }
    std::unique_lock<std::mutex> pass(s.pass_lock, std::try_to_lock);
    if (running || !pass.owns_lock()) {
        // Its statement or du has a deadline, but shutdown does not wait
        // for it: the connection stays the pass's until the process ends.
        sa_log(2, "kxl pass still running at shutdown, not waited for\n");
    } else {
        pgClose();
        // A group started again records its first backup query afresh.
        s.failed_backups.clear();
        s.backups_seen = false;
    }
    s.tables.clear();
}

const char *jobtype_string(int code)
{
    static const char *const names[] = {
        nullptr,
        "master",
        "differential",
        "selective",
        "baremetal",
        "tidelink master",
        "tidelink differential",
        "tidelink baremetal",
        "tidelink localdir",
        "tidelink SQL",
        "tidelink vqnstate",
        "tidelink exchange",
        "legacy mssql full",
        "legacy mssql diff",
        "legacy mssql trans",
        "legacy mssql unknown",
        "verify",
        "restore",
        "exchange full",
        "exchange differential",
        "exchange incremental",
        "tidelink msexch full",
        "tidelink msexch incr",
        "tidelink msexch diff",
        "tidelink mssql full",
        "tidelink mssql diff",
        "tidelink mssql trans",
        "mssql full",
        "mssql differential",
        "mssql transaction",
        "archive",
        "archive restore",
        "CEP",
        "localdir",
        "vmware full",
        "vmware differential",
        "vmware incremental",
        "vmware configuration",
        "tidelink vmware full",
        "tidelink vmware diff",
        "tidelink vmware incr",
        "incremental",
        "hyperv full",
        "hyperv differential",
        "hyperv incremental",
        "virtual restore",
        "tidelink hyperv full",
        "tidelink hyperv diff",
        "system metadata",
        "tidelink system metadata",
        "tidelink hyperv incr",
        "oracle full",
        "oracle incr",
        "sharepoint full",
        "sharepoint diff",
        "tidelink oracle full",
        "tidelink oracle incr",
        "tidelink sharepoint full",
        "tidelink sharepoint diff",
        "tidelink incremental",
    };
    static char unknown[32];
    if (code >= 1 && code < static_cast<int>(std::size(names)))
        return names[code];
    snprintf(unknown, sizeof unknown, "jobtype_%d", code);
    return unknown;
}

const char *client_os_str(int code)
{
    static const char *const names[] = {
        nullptr,        "DOS",          "Windows16",  "WindowsNT",    "Windows95",
        "OS2",          "Novell3",      "UNIX3",      "ODT",          "OS5",
        "UNIX4",        "SOLARIS",      "SUNOS",      "Novell4",      "OSF1",
        "NT_SERVER",    "AIX",          "SGI",        "DGUX",         "HPUX",
        "Linux",        "BSDI",         "USL",        "UNIXWARE",     "FreeBSD",
        "MACOS",        "Novell5",      "Novell6",    "Novell65",     "Windows2000",
        "WindowsXP",    "Windows2K3",   "WindowsVista", "ISERIES",    "OES",
        "Windows2008",  "Windows2008_R2", "Windows7", "Windows8",     "Windows2012",
    };
    if (code >= 1 && code < static_cast<int>(std::size(names)))
        return names[code];
    switch (code) {
    case 1040:
        return "VM_WARE";
    case 1041:
        return "HYPER_V";
    case 1042:
        return "SHARE_POINT";
    default:
        return "Other OS";
    }
}

u_char *var_kxlGroup(struct variable *vp, oid *name, size_t *length, int exact, size_t *var_len,
                     WriteMethod **write_method)
{
    if (!mib_scalar(vp, name, length, exact, var_len, write_method))
        return nullptr;
    do_getkxl();
    const kxl_tables &tables = held_tables();
    switch (vp->magic) {
    case 1:
        return mib_integer(g_kxl_long, tables.backup_instances);
    case 2:
        return mib_integer(g_kxl_long, tables.capacity_instances);
    case 3:
        return mib_integer(g_kxl_long, tables.replication_instances);
    case 4:
        return mib_integer(g_kxl_long, tables.archive_instances);
    default:
        return mib_unknown("Unknown Request");
    }
}

u_char *var_backupProbeTable(struct variable *vp, oid *name, size_t *length, int exact,
                             size_t *var_len, WriteMethod **write_method)
{
    long index = mib_table_row(vp, name, length, exact, var_len, write_method,
                               held_tables().backup_instances);
    if (!index)
        return nullptr;
    do_getkxl();
    sa_log(4, "backup get OID item=%d index=%d\n", vp->magic, static_cast<int>(index));
    // The bound was the count before the pass; the entry is the fresh one.
    const kxl_tables &tables = held_tables();
    // The numbers of a time or size the text shows as negative have no
    // unsigned value.
    index = mib_row_with_value(vp, name, length, exact, var_len, write_method,
                               tables.backup_instances, index, [&tables, vp](long row) {
                                   const backup_info &e = tables.backup_info[row - 1];
                                   return vp->magic == 15   ? e.time >= 0
                                          : vp->magic == 16 ? e.size >= 0
                                                            : true;
                               });
    if (!index)
        return nullptr;
    const backup_info &entry = tables.backup_info[index - 1];
    switch (vp->magic) {
    case 5:
        return mib_integer(g_backup_long, index);
    case 6:
        return mib_integer(g_backup_long, entry.backup_id);
    case 7:
        return mib_text(entry.client_name, var_len);
    case 8:
        return mib_text(entry.status == 0 ? "Success" : entry.status == 2 ? "FAILURE" : "Unknown",
                        var_len);
    case 9:
        return mib_integer(g_backup_long, entry.status);
    case 10:
        format_time(g_backup_text, sizeof g_backup_text, entry.time);
        return mib_text(g_backup_text, var_len);
    case 11:
        return mib_text(jobtype_string(entry.type), var_len);
    case 12:
        snprintf(g_backup_text, sizeof g_backup_text, "%ld MB", static_cast<long>(entry.size));
        return mib_text(g_backup_text, var_len);
    case 13:
        return mib_integer(g_backup_long, entry.files);
    case 14:
        return mib_integer(g_backup_long, entry.last);
    case 15:
        return mib_unsigned(g_backup_unsigned, static_cast<u_long>(entry.time));
    case 16:
        return mib_unsigned(g_backup_unsigned, static_cast<u_long>(entry.size));
    default:
        return mib_unknown("Unknown Request");
    }
}

u_char *var_capacityProbeTable(struct variable *vp, oid *name, size_t *length, int exact,
                               size_t *var_len, WriteMethod **write_method)
{
    long index = mib_table_row(vp, name, length, exact, var_len, write_method,
                               held_tables().capacity_instances);
    if (!index)
        return nullptr;
    do_getkxl();
    sa_log(4, "capacity get OID item=%d index=%d\n", vp->magic, static_cast<int>(index));
    const capacity_info &entry = held_tables().capacity_info[index - 1];
    auto gigabytes = [var_len](uint64_t kilobytes) {
        snprintf(g_capacity_text, sizeof g_capacity_text, "%ld GB",
                 static_cast<long>(kilobytes >> 20));
        return mib_text(g_capacity_text, var_len);
    };
    // From the same kilobytes, so the precision the text's whole gigabytes
    // drop stays; a Gauge32 past its top shows the top.
    auto megabytes = [](uint64_t kilobytes) {
        return mib_unsigned(g_capacity_unsigned,
                            static_cast<u_long>(std::min<uint64_t>(kilobytes / 1024, UINT32_MAX)));
    };
    switch (vp->magic) {
    case 20:
        return mib_integer(g_capacity_long, index);
    case 21:
        return mib_integer(g_capacity_long, entry.device_id);
    case 22:
        return mib_text(entry.name, var_len);
    case 23:
        return mib_text(entry.path, var_len);
    case 24:
        return gigabytes(entry.size);
    case 25:
        return gigabytes(entry.used);
    case 26:
        return gigabytes(entry.free);
    case 27:
        return megabytes(entry.size);
    case 28:
        return megabytes(entry.used);
    case 29:
        return megabytes(entry.free);
    default:
        return mib_unknown("Unknown Request");
    }
}

u_char *var_replicationProbeTable(struct variable *vp, oid *name, size_t *length, int exact,
                                  size_t *var_len, WriteMethod **write_method)
{
    long index = mib_table_row(vp, name, length, exact, var_len, write_method,
                               held_tables().replication_instances);
    if (!index)
        return nullptr;
    do_getkxl();
    sa_log(4, "replication get OID item=%d index=%d\n", vp->magic, static_cast<int>(index));
    const kxl_tables &tables = held_tables();
    index = mib_row_with_value(vp, name, length, exact, var_len, write_method,
                               tables.replication_instances, index, [&tables, vp](long row) {
                                   return vp->magic != 38 ||
                                          tables.replication_info[row - 1].has_stat_seconds;
                               });
    if (!index)
        return nullptr;
    const replication_info &entry = tables.replication_info[index - 1];
    switch (vp->magic) {
    case 30:
        return mib_integer(g_replication_long, index);
    case 31:
        return mib_integer(g_replication_long, entry.backup_no);
    case 32:
        return mib_text(entry.client_name, var_len);
    case 33:
        return mib_text(entry.destination, var_len);
    case 34:
        return mib_text(entry.stat_time, var_len);
    case 35:
        return mib_integer(g_replication_long, entry.synchronized);
    case 36:
        return mib_text(entry.message, var_len);
    case 38:
        return mib_unsigned(g_replication_unsigned, entry.stat_seconds);
    default:
        return mib_unknown("Unknown Request");
    }
}

u_char *var_archiveProbeTable(struct variable *vp, oid *name, size_t *length, int exact,
                              size_t *var_len, WriteMethod **write_method)
{
    long index = mib_table_row(vp, name, length, exact, var_len, write_method,
                               held_tables().archive_instances);
    if (!index)
        return nullptr;
    do_getkxl();
    sa_log(4, "archive get OID item=%d index=%d\n", vp->magic, static_cast<int>(index));
    const kxl_tables &tables = held_tables();
    index = mib_row_with_value(vp, name, length, exact, var_len, write_method,
                               tables.archive_instances, index, [&tables, vp](long row) {
                                   return vp->magic != 53 ||
                                          tables.archive_info[row - 1].orig_time >= 0;
                               });
    if (!index)
        return nullptr;
    const archive_info &entry = tables.archive_info[index - 1];
    switch (vp->magic) {
    case 40:
        return mib_integer(g_archive_long, index);
    case 41:
        return mib_integer(g_archive_long, entry.archive_id);
    case 42:
        return mib_text(entry.client_name, var_len);
    case 43:
        return mib_integer(g_archive_long, entry.success);
    case 44:
        return mib_integer(g_archive_long, entry.size);
    case 45:
        format_time(g_archive_text, sizeof g_archive_text, entry.orig_time);
        return mib_text(g_archive_text, var_len);
    case 46:
        return mib_integer(g_archive_long, entry.backtype);
    case 47:
        return mib_integer(g_archive_long, entry.orig_backup_no);
    case 48:
        return mib_text(client_os_str(entry.client_os), var_len);
    case 49:
        return mib_text(entry.error_text, var_len);
    case 50:
        return mib_integer(g_archive_long, entry.elapsed);
    case 51:
        return mib_integer(g_archive_long, entry.compressed);
    case 52:
        return mib_integer(g_archive_long, entry.encrypted);
    case 53:
        return mib_unsigned(g_archive_unsigned, static_cast<u_long>(entry.orig_time));
    default:
        return mib_unknown("Unknown Request");
    }
}

#define KXL_SCALAR(magic, area) \
    {magic, ASN_INTEGER, NETSNMP_OLDAPI_RONLY, var_kxlGroup, 2, {area, 1}}
#define KXL_COLUMN(magic, type, handler, area, column) \
    {magic, type, NETSNMP_OLDAPI_RONLY, handler, 4, {area, 2, 1, column}}

struct variable4 kxlGroup_variables[49] = {
    KXL_SCALAR(1, 10),
    KXL_COLUMN(5, ASN_INTEGER, var_backupProbeTable, 10, 1),
    KXL_COLUMN(6, ASN_INTEGER, var_backupProbeTable, 10, 2),
    KXL_COLUMN(7, ASN_OCTET_STR, var_backupProbeTable, 10, 3),
    KXL_COLUMN(8, ASN_OCTET_STR, var_backupProbeTable, 10, 4),
    KXL_COLUMN(9, ASN_INTEGER, var_backupProbeTable, 10, 5),
    KXL_COLUMN(10, ASN_OCTET_STR, var_backupProbeTable, 10, 6),
    KXL_COLUMN(11, ASN_OCTET_STR, var_backupProbeTable, 10, 7),
    KXL_COLUMN(12, ASN_OCTET_STR, var_backupProbeTable, 10, 8),
    KXL_COLUMN(13, ASN_INTEGER, var_backupProbeTable, 10, 9),
    KXL_COLUMN(14, ASN_INTEGER, var_backupProbeTable, 10, 10),
    KXL_COLUMN(15, ASN_UNSIGNED, var_backupProbeTable, 10, 11),
    KXL_COLUMN(16, ASN_UNSIGNED, var_backupProbeTable, 10, 12),
    KXL_SCALAR(2, 20),
    KXL_COLUMN(20, ASN_INTEGER, var_capacityProbeTable, 20, 1),
    KXL_COLUMN(21, ASN_INTEGER, var_capacityProbeTable, 20, 2),
    KXL_COLUMN(22, ASN_OCTET_STR, var_capacityProbeTable, 20, 3),
    KXL_COLUMN(23, ASN_OCTET_STR, var_capacityProbeTable, 20, 4),
    KXL_COLUMN(24, ASN_OCTET_STR, var_capacityProbeTable, 20, 5),
    KXL_COLUMN(25, ASN_OCTET_STR, var_capacityProbeTable, 20, 6),
    KXL_COLUMN(26, ASN_OCTET_STR, var_capacityProbeTable, 20, 7),
    KXL_COLUMN(27, ASN_UNSIGNED, var_capacityProbeTable, 20, 8),
    KXL_COLUMN(28, ASN_UNSIGNED, var_capacityProbeTable, 20, 9),
    KXL_COLUMN(29, ASN_UNSIGNED, var_capacityProbeTable, 20, 10),
    KXL_SCALAR(3, 30),
    KXL_COLUMN(30, ASN_INTEGER, var_replicationProbeTable, 30, 1),
    KXL_COLUMN(31, ASN_INTEGER, var_replicationProbeTable, 30, 2),
    KXL_COLUMN(32, ASN_OCTET_STR, var_replicationProbeTable, 30, 3),
    KXL_COLUMN(33, ASN_OCTET_STR, var_replicationProbeTable, 30, 4),
    KXL_COLUMN(34, ASN_OCTET_STR, var_replicationProbeTable, 30, 5),
    KXL_COLUMN(35, ASN_INTEGER, var_replicationProbeTable, 30, 6),
    KXL_COLUMN(36, ASN_OCTET_STR, var_replicationProbeTable, 30, 7),
    KXL_COLUMN(37, ASN_INTEGER, var_replicationProbeTable, 30, 8),
    KXL_COLUMN(38, ASN_UNSIGNED, var_replicationProbeTable, 30, 9),
    KXL_SCALAR(4, 40),
    KXL_COLUMN(40, ASN_INTEGER, var_archiveProbeTable, 40, 1),
    KXL_COLUMN(41, ASN_INTEGER, var_archiveProbeTable, 40, 2),
    KXL_COLUMN(42, ASN_OCTET_STR, var_archiveProbeTable, 40, 3),
    KXL_COLUMN(43, ASN_INTEGER, var_archiveProbeTable, 40, 4),
    KXL_COLUMN(44, ASN_INTEGER, var_archiveProbeTable, 40, 5),
    KXL_COLUMN(45, ASN_OCTET_STR, var_archiveProbeTable, 40, 6),
    KXL_COLUMN(46, ASN_INTEGER, var_archiveProbeTable, 40, 7),
    KXL_COLUMN(47, ASN_INTEGER, var_archiveProbeTable, 40, 8),
    KXL_COLUMN(48, ASN_OCTET_STR, var_archiveProbeTable, 40, 9),
    KXL_COLUMN(49, ASN_OCTET_STR, var_archiveProbeTable, 40, 10),
    KXL_COLUMN(50, ASN_INTEGER, var_archiveProbeTable, 40, 11),
    KXL_COLUMN(51, ASN_INTEGER, var_archiveProbeTable, 40, 12),
    KXL_COLUMN(52, ASN_INTEGER, var_archiveProbeTable, 40, 13),
    KXL_COLUMN(53, ASN_UNSIGNED, var_archiveProbeTable, 40, 14),
};

#undef KXL_SCALAR
#undef KXL_COLUMN
