// Disk group: runs the appliance's disk monitoring script, parses its report
// into disk and volume tables, and serves them.  Each pass is recorded in the
// disk report's health row, and a disk or volume whose status changed
// between two passes is notified.
#include "groups/diskGroup.h"

#include "agent/capture.h"
#include "agent/mib.h"
#include "agent/notify.h"
#include "agent/salog.h"
#include "agent/snapshot.h"
#include "agent/text.h"
#include "groups/statusGroup.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <new>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

std::atomic<int> g_disk_intf_found{0};
int g_disk_new_format;
int g_disk_first_pass = 1;
int g_disk_detail_level = 2;

namespace {

// The tables and counts a refresh publishes; handlers hold the set they
// answer from until the next request, so a refresh meanwhile cannot free
// the value net-snmp is still to copy.  Never destroyed: a refresh left
// running at shutdown may still publish while the process exits.
published<disk_tables> &g_disk_tables = *new published<disk_tables>;

// The tables of the last pass that read a report through: the statuses
// the next such pass is compared with.  Null until one has (a first pass
// only records).  Guarded by g_disk_previous_lock.
std::mutex g_disk_previous_lock;
std::shared_ptr<const disk_tables> g_disk_previous;

long g_disk_scalar_value;
long g_physdisk_value;
long g_volume_value;
char g_disk_status_text[256];

oid diskGroup_variables_oid[] = {1, 3, 6, 1, 4, 1, 47391, 1, 5};

// A report line: fgets reads at most 510 characters, a longer line comes
// back as several.
constexpr int LINE_MAX_READ = 511;

constexpr const char *BLANKS = " \t\n";

// A line about a failure of the pass: logged, and kept in the same words
// as the disk report's health error.
__attribute__((format(printf, 2, 3))) void pass_fault(int level, const char *format, ...)
{
    char text[512];
    va_list ap;
    va_start(ap, format);
    vsnprintf(text, sizeof text, format, ap);
    va_end(ap);
    sa_log(level, "%s", text);
    health_note_error(HEALTH_DISK_REPORT, "%s", text);
}

bool is_blank(char c)
{
    return c == ' ' || c == '\t' || c == '\n';
}

// Moves forward up to n characters, never past the end of the text.
const char *advance(const char *p, size_t n)
{
    return p + strnlen(p, n);
}

const char *skip_blanks(const char *p)
{
    return p + strspn(p, BLANKS);
}

int to_int(const char *text)
{
    long value = strtol(text, nullptr, 10);
    return static_cast<int>(std::clamp<long>(value, INT_MIN, INT_MAX));
}

// The next word as a decimal number into field; a line that ends first
// leaves the field as it was.
const char *read_int(const char *p, int max, int &field)
{
    char word[32] = "";
    p += cp_next_word(word, p, max);
    if (word[0])
        field = to_int(word);
    return p;
}

int count_words(const char *line)
{
    int words = 0;
    bool in_word = false;
    for (const char *p = line; *p; p++) {
        bool blank = strchr(" \t\n\r\v\f", *p) != nullptr;
        if (!blank && !in_word)
            words++;
        in_word = !blank;
    }
    return words;
}

enum class LineKind { version, header, divider, other_marker, content };

LineKind classify(const char *line)
{
    if (strncmp(line, "==== Script Version:", 20) == 0)
        return LineKind::version;
    if (strncmp(line, "====  ", 6) == 0)
        return LineKind::header;
    if (strncmp(line, "==========", 10) == 0)
        return LineKind::divider;
    if (strncmp(line, "====", 4) == 0)
        return LineKind::other_marker;
    return LineKind::content;
}

// A "====  " header opens a section only with a DEV or BAY word.
bool opens_section(const char *line)
{
    int len = 0;
    const char *word = get_next_word(line + 6, &len);
    return word && len >= 3 && (strncmp(word, "DEV", 3) == 0 || strncmp(word, "BAY", 3) == 0);
}

bool version_selects_new_format(const char *line)
{
    char version[9] = "";
    cp_next_word(version, line + 20, sizeof version);
    return strncmp(version, "20140710", 8) > 0;
}

struct report_counts {
    int result = -1;
    int disks = 0;
    int volumes = 0;
};

report_counts count_disks(FILE *report)
{
    report_counts counts;
    int section = 0;
    bool first_disk = true;
    char line[512];
    while (fgets(line, LINE_MAX_READ, report)) {
        switch (classify(line)) {
        case LineKind::version:
            if (version_selects_new_format(line))
                g_disk_new_format = 1;
            continue;
        case LineKind::header:
            if (opens_section(line))
                section++;
            sa_log(4, "count_disks: physdisk stage %d\n", section);
            continue;
        case LineKind::divider:
            section++;
            sa_log(4, "count_disks: volume stage %d\n", section);
            if (section > 2)
                return counts;
            continue;
        case LineKind::other_marker:
            continue;
        case LineKind::content:
            break;
        }
        counts.result = 0;
        if (section == 1) {
            counts.disks++;
            if (first_disk && count_words(line) > 20)
                g_disk_new_format = 1;
            first_disk = false;
        } else if (section == 2 && strncmp(line, "RAID", 4) == 0) {
            counts.volumes++;
        }
    }
    return counts;
}

// Rows beyond the bounds are dropped, with one line per table and pass.
void bound_counts(report_counts &counts)
{
    if (counts.disks > DISK_MAX_ROWS) {
        sa_log(1, "count_disks: %d physdisks in the report, rows beyond %d dropped\n", counts.disks,
               DISK_MAX_ROWS);
        counts.disks = DISK_MAX_ROWS;
    }
    if (counts.volumes > VOLUME_MAX_ROWS) {
        sa_log(1, "count_disks: %d volumes in the report, rows beyond %d dropped\n", counts.volumes,
               VOLUME_MAX_ROWS);
        counts.volumes = VOLUME_MAX_ROWS;
    }
}

void parse_disk_line(physdisk_info &disk, int position, const char *line)
{
    size_t len = strlen(line);
    char token[3] = "";
    if (len >= 8)
        memcpy(token, line + 6, 2);
    disk.status = disk_status_code(token);

    char word[32];
    const char *p = line + std::min<size_t>(len, 10);
    p += cp_next_word(word, p, 15);
    p += cp_next_word(disk.name, p, 20);

    const char *num1 = skip_blanks(p);
    p = read_int(p, 20, disk.num1);
    if (const char *paren = strchr(num1, ')'))
        p = paren + 1;
    else
        p = advance(p, 11);
    p = read_int(p, 20, disk.num2);
    p += cp_next_word(word, p, 20);
    p = read_int(p, 20, disk.num3);

    if (!g_disk_new_format) {
        if (const char *colon = strchr(p, ':'))
            p = colon + 1;
        const char *number = p;
        if (*skip_blanks(number))
            disk.ser = to_int(number);
        if (const char *paren = strchr(number, ')'))
            p = paren + 1;
        else
            p = advance(number, 9);
    } else {
        p = read_int(p, 20, disk.ser);
        p = advance(p, 1);
        for (int i = 0; i < 3; i++)
            p += cp_next_word(word, p, 20);
    }
    sa_log(g_disk_detail_level, "physdisk[%d] status = %d (%s), name = (%s) SER=%d new=%d\n",
           position, disk.status, token, disk.name, disk.ser, g_disk_new_format);

    char model[30] = "";
    int used = cp_next_word(model, p, 30);
    int second_len = 0;
    const char *second = nullptr;
    if (g_disk_new_format && p[used] == ' ' &&
        (strcmp(model, "WDC") == 0 || strcmp(model, "TOSHIBA") == 0))
        second = get_next_word(p + used, &second_len);
    if (second) {
        // These vendors print the model as two words.
        copy_text(disk.model, (std::string(model) + " " + std::string(second, second_len)).c_str());
        p = second + second_len;
    } else {
        if (model[0])
            copy_text(disk.model, model);
        p += used;
    }

    p += cp_next_word(disk.sernum, p, 20);
    p += cp_next_word(disk.fw, p, 20);
    cp_trimmed(disk.capacity, p, 21);
    sa_log(4, "physdisk[%d] model=/%s/ sernum=/%s/ fw=/%s/ capacity=/%s/\n", position, disk.model,
           disk.sernum, disk.fw, disk.capacity);
}

void parse_volume_line(volume_info &volume, int position, char *line)
{
    if (char *plus = strstr(line, "++++")) {
        // The status word lies beyond both cuts below.
        char status[10] = "";
        cp_next_word(status, advance(plus, 5), sizeof status);
        if (status[0])
            copy_text(volume.status_text, status);
        size_t at = static_cast<size_t>(plus - line);
        line[at > 0 ? at - 1 : 0] = '\0';
        size_t len = strlen(line);
        if (len > 4) {
            if (char *open = strchr(line + 4, '('))
                *open = '\0';
        }
        cp_trimmed(volume.name, line + std::min<size_t>(len, 4), 40);
    } else {
        sa_log(g_disk_detail_level, "volume[%d] Controller string:\n%s\n", position, line);
        const char *colon = strchr(line, ':');
        const char *from = colon ? colon + 1 : line + std::min<size_t>(strlen(line), 15);
        cp_next_word(volume.name, from, 40);
        copy_text(volume.status_text, "OK");
    }
    volume.status = volume_status_code(volume.status_text);
    sa_log(g_disk_detail_level, "volume[%d] status = %d (%s) name = (%s)\n", position,
           volume.status, volume.status_text, volume.name);
}

int fill_tables(FILE *report, physdisk_table &disks, volume_table &volumes)
{
    int result = -1;
    int section = 0;
    size_t position = 0;
    char line[512];
    while (fgets(line, LINE_MAX_READ, report)) {
        switch (classify(line)) {
        case LineKind::header:
            // A header without DEV or BAY is ignored but for its stage line.
            if (opens_section(line)) {
                section++;
                position = 0;
            }
            sa_log(4, "discover_disks: physdisk stage %d\n", section);
            continue;
        case LineKind::divider:
            if (++section > 2)
                return result;
            sa_log(4, "discover_disks: volume stage %d\n", section);
            position = 0;
            continue;
        case LineKind::version:
        case LineKind::other_marker:
            continue;
        case LineKind::content:
            break;
        }
        if (section == 1) {
            if (position < disks.size()) {
                physdisk_info &disk = disks[position];
                disk.index = static_cast<int>(position);
                sa_log(4, "physdisk[%d] buff: %s\n", disk.index, line);
                parse_disk_line(disk, disk.index, line);
                result = 0;
            } else {
                // Past the row bound the count already logged the drop;
                // short of it, the report changed since it was counted.
                result = position >= static_cast<size_t>(DISK_MAX_ROWS) ? 0 : -4;
            }
            position++;
        } else if (section == 2) {
            result = 0;
            if (position < volumes.size()) {
                volume_info &volume = volumes[position];
                volume.index = static_cast<int>(position);
                parse_volume_line(volume, volume.index, line);
            }
            position++;
        } else {
            result = 0;
        }
    }
    return result;
}

// The report may lie in a directory every local user can write, so only a
// file that only root could have written is trusted.  A group-writable
// file passes when its group is root's.
const char *report_refusal(const struct stat &st)
{
    if (!S_ISREG(st.st_mode))
        return "not a regular file";
    if (st.st_uid != 0)
        return "not owned by root";
    if (st.st_mode & S_IWOTH)
        return "writable by others";
    if ((st.st_mode & S_IWGRP) && st.st_gid != 0)
        return "writable by a group other than root";
    if (st.st_size > DISK_REPORT_MAX_BYTES)
        return "larger than 16 MiB";
    return nullptr;
}

int refuse_report(const char *path, const char *reason)
{
    pass_fault(1, "Refusing disk report %s: %s\n", path, reason);
    return CAPTURE_CANNOT_OPEN;
}

// Checks the report open at fd and runs both passes over one copy of it
// in memory: both see the same text, and a file that grows while it is
// read is refused at the limit instead of read on.
int read_report_fd(int fd, const char *path)
{
    struct stat st;
    if (fstat(fd, &st) != 0)
        return refuse_report(path, strerror(errno));
    if (const char *reason = report_refusal(st))
        return refuse_report(path, reason);

    std::string text;
    try {
        text.reserve(static_cast<size_t>(st.st_size));
        char chunk[16384];
        for (;;) {
            ssize_t n = read(fd, chunk, sizeof chunk);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                return refuse_report(path, strerror(errno));
            if (n == 0)
                break;
            if (text.size() + static_cast<size_t>(n) > static_cast<size_t>(DISK_REPORT_MAX_BYTES))
                return refuse_report(path, "grew beyond 16 MiB while read");
            text.append(chunk, static_cast<size_t>(n));
        }
    } catch (const std::bad_alloc &) {
        pass_fault(0, "count_disks: malloc error\n");
        return -2;
    }

    FILE *report = fmemopen(text.data(), text.size(), "r");
    if (!report) {
        pass_fault(0, "Cannot open file %s\n", path);
        return CAPTURE_CANNOT_OPEN;
    }
    int result = parse_disk_report(report);
    fclose(report);
    return result;
}

// A report of 64 bytes or less left at the fixed path is no report: the
// script runs instead.  Anything else there is read in place (and checked
// there, a link or a FIFO included).
bool report_in_place()
{
    struct stat st;
    if (lstat(DISK_MON_REPORT, &st) != 0)
        return false;
    return !S_ISREG(st.st_mode) || st.st_size > 64;
}

// Whether the appliance has a disk monitor: a report in place or either
// script.
bool disk_monitor_present()
{
    if (report_in_place())
        return true;
    for (const char *script : {DISK_SCRIPT, DISK_SCRIPT_LOGGER}) {
        std::string path = std::string(DISK_SCRIPT_DIR) + "/" + script;
        if (access(path.c_str(), F_OK) == 0)
            return true;
    }
    return false;
}

// Compares the statuses of the tables a pass has just published with the
// last such pass's, row by row, and notifies each change.  A row that one
// of the two lacks is no change.
void notify_status_changes()
{
    std::shared_ptr<const disk_tables> now = g_disk_tables.now();
    std::lock_guard<std::mutex> lock(g_disk_previous_lock);
    if (g_disk_previous && now) {
        const disk_tables &before = *g_disk_previous;
        size_t disks = std::min(before.physdisk_info.size(), now->physdisk_info.size());
        for (size_t i = 0; i < disks; i++) {
            const physdisk_info &disk = now->physdisk_info[i];
            int previous = before.physdisk_info[i].status;
            if (disk.status != previous)
                notify_disk_status(static_cast<long>(i) + 1, disk.name, previous, disk.status);
        }
        size_t volumes = std::min(before.volume_info.size(), now->volume_info.size());
        for (size_t i = 0; i < volumes; i++) {
            const volume_info &volume = now->volume_info[i];
            int previous = before.volume_info[i].status;
            if (volume.status != previous)
                notify_volume_status(static_cast<long>(i) + 1, volume.name, previous,
                                     volume.status);
        }
    }
    g_disk_previous = std::move(now);
}

// A pass's report: the one in place or the script's, read and parsed.
// The result code of discover_disks.
int read_or_run_report()
{
    int result;
    if (report_in_place()) {
        result = read_disk_report(DISK_MON_REPORT);
    } else {
        CommandCapture capture("/tmp/snmp_disk.out");
        if (!capture.created()) {
            pass_fault(0, "Cannot open file %s\n", "/tmp/snmp_disk.outXXXXXX");
            return CAPTURE_CANNOT_OPEN;
        }
        char script_path[80];
        snprintf(script_path, sizeof script_path, "%s/%s", DISK_SCRIPT_DIR, DISK_SCRIPT);
        const char *script = access(script_path, F_OK) == 0 ? DISK_SCRIPT : DISK_SCRIPT_LOGGER;
        // No operand: fixed names, and a redirection to a mkstemp path of
        // a fixed stem and letters and digits.
        std::string command = std::string(DISK_SCRIPT_DIR) + "/" + script + " >" +
                              capture.path() + " 2>/dev/null";
        int status = capture.run(command, std::chrono::seconds(120));
        // The capture file goes with the capture, whatever the outcome.
        if (status != 0) {
            pass_fault(1, "discover_disks command error %d\n", status);
            return status;
        }
        FILE *file = capture.open();
        if (!file) {
            pass_fault(0, "Cannot open file %s\n", capture.path());
            return CAPTURE_CANNOT_OPEN;
        }
        result = read_report_fd(fileno(file), capture.path());
    }
    // A report that was not read leaves the tables and the first-pass
    // state as they were.
    if (result == CAPTURE_CANNOT_OPEN)
        return result;

    sa_log(g_disk_detail_level, "discover_disks rv = %d instances phys=%d vol=%d\n", result,
           get_physdisk_instances(), get_volume_instances());
    g_disk_first_pass = 0;
    g_disk_detail_level = 4;
    return result;
}

// One pass, recorded in the disk report's health row; its status changes
// are notified.  A pass that fails leaves the statuses compared with as
// they were.
int discover_disks_pass()
{
    health_pass health(HEALTH_DISK_REPORT);
    // Marked before the pass and cleared after it, so that the row changes
    // state at most once in a pass.
    bool monitor = disk_monitor_present();
    if (!monitor)
        health_set_not_configured(HEALTH_DISK_REPORT, true);
    int result = read_or_run_report();
    if (result == 0) {
        notify_status_changes();
    } else {
        // Kept only when no line above named the cause.
        health_note_error(HEALTH_DISK_REPORT, "discover_disks error %d", result);
    }
    health.done(result == 0);
    if (monitor)
        health_set_not_configured(HEALTH_DISK_REPORT, false);
    return result;
}

} // namespace

struct variable4 diskGroup_variables[22] = {
    {1, ASN_INTEGER, NETSNMP_OLDAPI_RONLY, var_diskGroup, 2, {10, 1}},
    {2, ASN_INTEGER, NETSNMP_OLDAPI_RONLY, var_diskGroup, 2, {20, 1}},
    {3, ASN_INTEGER, NETSNMP_OLDAPI_RONLY, var_physdiskProbeTable, 4, {10, 2, 1, 1}},
    {4, ASN_INTEGER, NETSNMP_OLDAPI_RONLY, var_physdiskProbeTable, 4, {10, 2, 1, 2}},
    {5, ASN_OCTET_STR, NETSNMP_OLDAPI_RONLY, var_physdiskProbeTable, 4, {10, 2, 1, 3}},
    {6, ASN_OCTET_STR, NETSNMP_OLDAPI_RONLY, var_physdiskProbeTable, 4, {10, 2, 1, 4}},
    {7, ASN_INTEGER, NETSNMP_OLDAPI_RONLY, var_physdiskProbeTable, 4, {10, 2, 1, 5}},
    {8, ASN_OCTET_STR, NETSNMP_OLDAPI_RONLY, var_physdiskProbeTable, 4, {10, 2, 1, 6}},
    {9, ASN_OCTET_STR, NETSNMP_OLDAPI_RONLY, var_physdiskProbeTable, 4, {10, 2, 1, 7}},
    {10, ASN_OCTET_STR, NETSNMP_OLDAPI_RONLY, var_physdiskProbeTable, 4, {10, 2, 1, 8}},
    {11, ASN_OCTET_STR, NETSNMP_OLDAPI_RONLY, var_physdiskProbeTable, 4, {10, 2, 1, 9}},
    {12, ASN_INTEGER, NETSNMP_OLDAPI_RONLY, var_physdiskProbeTable, 4, {10, 2, 1, 10}},
    {13, ASN_INTEGER, NETSNMP_OLDAPI_RONLY, var_physdiskProbeTable, 4, {10, 2, 1, 11}},
    {14, ASN_INTEGER, NETSNMP_OLDAPI_RONLY, var_physdiskProbeTable, 4, {10, 2, 1, 12}},
    {15, ASN_INTEGER, NETSNMP_OLDAPI_RONLY, var_physdiskProbeTable, 4, {10, 2, 1, 13}},
    {20, ASN_INTEGER, NETSNMP_OLDAPI_RONLY, var_volumeProbeTable, 4, {20, 2, 1, 1}},
    {21, ASN_INTEGER, NETSNMP_OLDAPI_RONLY, var_volumeProbeTable, 4, {20, 2, 1, 2}},
    {22, ASN_OCTET_STR, NETSNMP_OLDAPI_RONLY, var_volumeProbeTable, 4, {20, 2, 1, 3}},
    {23, ASN_OCTET_STR, NETSNMP_OLDAPI_RONLY, var_volumeProbeTable, 4, {20, 2, 1, 4}},
    {24, ASN_INTEGER, NETSNMP_OLDAPI_RONLY, var_volumeProbeTable, 4, {20, 2, 1, 5}},
    // Registered so they are walked; the handler has no case for them.
    {25, ASN_OCTET_STR, NETSNMP_OLDAPI_RONLY, var_volumeProbeTable, 4, {20, 2, 1, 6}},
    {26, ASN_OCTET_STR, NETSNMP_OLDAPI_RONLY, var_volumeProbeTable, 4, {20, 2, 1, 7}},
};

int cp_next_word(char *dst, const char *src, int max)
{
    if (!dst || !src || max < 1)
        return 0;
    int skipped = static_cast<int>(strspn(src, BLANKS));
    const char *word = src + skipped;
    int len = static_cast<int>(strcspn(word, BLANKS));
    if (len == 0)
        return skipped;
    if (len >= max)
        len = max - 1;
    memcpy(dst, word, len);
    dst[len] = '\0';
    return skipped + len;
}

const char *get_next_word(const char *src, int *len)
{
    if (!src)
        return nullptr;
    const char *word = skip_blanks(src);
    int n = static_cast<int>(strcspn(word, BLANKS));
    if (len)
        *len = n;
    return n ? word : nullptr;
}

int cp_trimmed(char *dst, const char *src, int n)
{
    if (!dst)
        return 0;
    dst[0] = '\0';
    if (!src || n < 0)
        return 0;
    char scratch[80];
    // The source's own end comes first when it is shorter than n.
    size_t take = strnlen(src, std::min<size_t>(n, sizeof scratch - 1));
    memcpy(scratch, src, take);
    scratch[take] = '\0';
    char *start = scratch + strspn(scratch, BLANKS);
    size_t len = strlen(start);
    while (len > 0 && is_blank(start[len - 1]))
        len--;
    start[len] = '\0';
    snprintf(dst, static_cast<size_t>(n) + 1, "%s", start);
    return n;
}

int disk_status_code(const char *token)
{
    static const char *const tokens[] = {" o", " *", " s", "DD", " F", "FS",
                                         "DE", "EE", "DG", "UG", "UB", " R"};
    for (size_t i = 0; i < std::size(tokens); i++) {
        if (strcmp(token, tokens[i]) == 0)
            return static_cast<int>(i) + 1;
    }
    return 13;
}

int volume_status_code(const char *status_text)
{
    static const struct {
        const char *prefix;
        int code;
    } prefixes[] = {{"OK", 1},      {"resync", 2}, {"recovery", 3},  {"REBUILD", 4},
                    {"degrad", 5},  {"Optimal", 1}, {"Partially", 7}};
    for (const auto &entry : prefixes) {
        if (strncmp(status_text, entry.prefix, strlen(entry.prefix)) == 0)
            return entry.code;
    }
    return 6;
}

char *disk_status_string(int code, char *buf)
{
    static const char *const texts[] = {"OK",           "Pending Sectors",   "Seek Errors",
                                        "Dead",         "Failed",            "SMART Fail",
                                        "Device Error", "ECC Error",         "Degraded",
                                        "Unconfigured Good", "Unconfigured Bad", "Rebuilding"};
    const char *text = code >= 1 && code <= 12 ? texts[code - 1] : "Unknown";
    strcpy(buf, text);
    return buf;
}

std::shared_ptr<const disk_tables> disk_tables_now()
{
    return g_disk_tables.now();
}

int get_physdisk_instances()
{
    std::shared_ptr<const disk_tables> tables = g_disk_tables.now();
    return tables ? tables->physdisk_instances : 0;
}

int get_volume_instances()
{
    std::shared_ptr<const disk_tables> tables = g_disk_tables.now();
    return tables ? tables->volume_instances : 0;
}

int parse_disk_report(FILE *report)
{
    report_counts counts = count_disks(report);
    bound_counts(counts);
    int result = counts.result;

    // New tables are built aside and published whole; the old ones keep
    // answering until then.  With unchanged counts they start as copies of
    // the current ones, so a field a line does not supply keeps its
    // previous value; new records (and rows close_diskGroup dropped) start
    // empty.
    std::shared_ptr<const disk_tables> current = g_disk_tables.now();
    std::shared_ptr<disk_tables> next;
    bool same_size = counts.disks == (current ? current->physdisk_instances : 0) &&
                     counts.volumes == (current ? current->volume_instances : 0);
    try {
        next = same_size && current ? std::make_shared<disk_tables>(*current)
                                    : std::make_shared<disk_tables>();
        next->physdisk_info.resize(static_cast<size_t>(counts.disks));
        next->volume_info.resize(static_cast<size_t>(counts.volumes));
        if (!same_size)
            sa_log(2, "count_disks: found %d physdisks, %d volumes\n", counts.disks, counts.volumes);
    } catch (const std::bad_alloc &) {
        pass_fault(0, "count_disks: malloc error\n");
        g_disk_tables.publish(nullptr);
        next.reset();
        result = -2;
    }

    if (!next || (next->physdisk_info.empty() && next->volume_info.empty())) {
        pass_fault(1, "discover_disks count_disks found no disks\n");
    } else {
        rewind(report);
        result = fill_tables(report, next->physdisk_info, next->volume_info);
    }
    if (result != -2 && next) {
        next->physdisk_instances = static_cast<int>(next->physdisk_info.size());
        next->volume_instances = static_cast<int>(next->volume_info.size());
        g_disk_tables.publish(std::move(next));
    }
    return result;
}

int read_disk_report(const char *path)
{
    // O_NOFOLLOW: a link planted at the path is refused, not followed;
    // O_NONBLOCK: a FIFO there cannot hold the pass up at open.
    int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ELOOP)
            return refuse_report(path, "a symbolic link");
        pass_fault(0, "Cannot open file %s\n", path);
        return CAPTURE_CANNOT_OPEN;
    }
    int result = read_report_fd(fd, path);
    close(fd);
    return result;
}

int discover_disks()
{
    int result = discover_disks_pass();
    // A failed start is retried by every refresh; the first pass that gets
    // a report through serves the tables from then on.
    if (result == 0 && g_disk_intf_found.exchange(1) == 0)
        sa_log(1, "discover_disks: disk tables served from now on\n");
    return result;
}

int init_diskGroup()
{
    mib_trace(__func__, "diskGroup", __LINE__, "diskGroup", "Initializing\n");
    int rv = discover_disks_pass();
    if (rv != 0)
        sa_log(0, "discover_disks error %d\n", rv);
    else
        g_disk_intf_found = 1;
    mib_register("diskGroup", diskGroup_variables, diskGroup_variables_oid, __func__, "diskGroup",
                 __LINE__);
    return 0;
}

void close_diskGroup()
{
    {
        // A group started again records its first pass afresh.
        std::lock_guard<std::mutex> lock(g_disk_previous_lock);
        g_disk_previous.reset();
    }
    std::shared_ptr<const disk_tables> last = g_disk_tables.now();
    g_disk_tables.clear();
    if (!last)
        return;
    // The rows go; the counts stay as they were.
    try {
        auto counts = std::make_shared<disk_tables>();
        counts->physdisk_instances = last->physdisk_instances;
        counts->volume_instances = last->volume_instances;
        g_disk_tables.publish(std::move(counts));
    } catch (const std::bad_alloc &) {
        // Out of memory at shutdown: the counts go with the rows.
    }
}

u_char *var_diskGroup(struct variable *vp, oid *name, size_t *length, int exact, size_t *var_len,
                      WriteMethod **write_method)
{
    if (!mib_scalar(vp, name, length, exact, var_len, write_method))
        return nullptr;
    switch (vp->magic) {
    case 1:
        return mib_integer(g_disk_scalar_value, get_physdisk_instances());
    case 2:
        return mib_integer(g_disk_scalar_value, get_volume_instances());
    default:
        return mib_unknown("Unknown Request");
    }
}

u_char *var_physdiskProbeTable(struct variable *vp, oid *name, size_t *length, int exact,
                               size_t *var_len, WriteMethod **write_method)
{
    if (!g_disk_intf_found)
        return nullptr;
    std::shared_ptr<const disk_tables> tables = g_disk_tables.hold();
    const physdisk_table *table = tables ? &tables->physdisk_info : nullptr;
    int rows = table ? static_cast<int>(table->size()) : 0;
    long row = mib_table_row(vp, name, length, exact, var_len, write_method, rows);
    if (row == 0)
        return nullptr;
    sa_log(4, "physdisk get OID item=%d index=%d\n", vp->magic, static_cast<int>(row));

    const physdisk_info &disk = (*table)[row - 1];
    switch (vp->magic) {
    case 3:
        return mib_integer(g_physdisk_value, row);
    case 5:
        return mib_text(disk.name, var_len);
    case 6:
        return mib_text(disk_status_string(disk.status, g_disk_status_text), var_len);
    case 7:
        return mib_integer(g_physdisk_value, disk.status);
    case 8:
        return mib_text(disk.model, var_len);
    case 9:
        return mib_text(disk.sernum, var_len);
    case 10:
        return mib_text(disk.fw, var_len);
    case 11:
        return mib_text(disk.capacity, var_len);
    case 12:
        return mib_integer(g_physdisk_value, disk.num1);
    case 13:
        return mib_integer(g_physdisk_value, disk.num2);
    case 14:
        return mib_integer(g_physdisk_value, disk.num3);
    case 15:
        return mib_integer(g_physdisk_value, disk.ser);
    default:
        return mib_unknown("Unknown Request");
    }
}

u_char *var_volumeProbeTable(struct variable *vp, oid *name, size_t *length, int exact,
                             size_t *var_len, WriteMethod **write_method)
{
    if (!g_disk_intf_found)
        return nullptr;
    std::shared_ptr<const disk_tables> tables = g_disk_tables.hold();
    const volume_table *table = tables ? &tables->volume_info : nullptr;
    int rows = table ? static_cast<int>(table->size()) : 0;
    long row = mib_table_row(vp, name, length, exact, var_len, write_method, rows);
    if (row == 0)
        return nullptr;
    sa_log(4, "volume get OID item=%d index=%d\n", vp->magic, static_cast<int>(row));

    const volume_info &volume = (*table)[row - 1];
    switch (vp->magic) {
    case 20:
        return mib_integer(g_volume_value, row);
    case 22:
        return mib_text(volume.name, var_len);
    case 23:
        return mib_text(volume.status_text, var_len);
    case 24:
        return mib_integer(g_volume_value, volume.status);
    default:
        return mib_unknown("Unknown Request");
    }
}
