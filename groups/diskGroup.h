// Disk group (diskGroup, .1.5): physical disks and RAID volumes from the
// disk monitoring report.
#ifndef CORVANTIS_GROUPS_DISKGROUP_H
#define CORVANTIS_GROUPS_DISKGROUP_H

#include "agent/netsnmp.h"

#include <atomic>
#include <cstdio>
#include <memory>
#include <sys/types.h>
#include <vector>

struct physdisk_info {
    int index;
    int status;
    char name[40];
    char model[30];
    char sernum[30];
    char fw[30];
    char capacity[32];
    int num1;
    int num2;
    int num3;
    int ser;
};

struct volume_info {
    int index;
    int status;
    char name[41];
    char status_text[10];
};

using physdisk_table = std::vector<physdisk_info>;
using volume_table = std::vector<volume_info>;

// The group's tables and counts as one pass left them.  A refresh builds
// the next set aside and publishes it whole, so a view never mixes two
// passes, and the set it holds stays alive while it is kept.  The counts
// equal the table sizes, except after close_diskGroup, which drops the
// rows and leaves the counts.
struct disk_tables {
    physdisk_table physdisk_info;
    int physdisk_instances;
    volume_table volume_info;
    int volume_instances;
};
// The last published set; null before the first pass.
std::shared_ptr<const disk_tables> disk_tables_now();

// The fixed places of the appliance's disk monitor.
inline constexpr const char *DISK_SCRIPT_DIR = "/usr/kx/bin";
inline constexpr const char *DISK_SCRIPT = "disk_monitoring.py";
inline constexpr const char *DISK_SCRIPT_LOGGER = "disk_monitoring_logger.py";
inline constexpr const char *DISK_MON_REPORT = "/var/tmp/disk_mon.out";

// A report larger than this is refused whole (a real one is a few KiB), and
// the tables keep at most these many rows: a hostile report cannot make a
// pass read for hours or take gigabytes.
inline constexpr off_t DISK_REPORT_MAX_BYTES = 16 << 20;
inline constexpr int DISK_MAX_ROWS = 1024;
inline constexpr int VOLUME_MAX_ROWS = 256;

// Set by the first pass that reads a report through, at start or later;
// written by the refresh thread, read by the handlers.
extern std::atomic<int> g_disk_intf_found;
extern int g_disk_new_format;
extern int g_disk_first_pass;
extern int g_disk_detail_level;

extern struct variable4 diskGroup_variables[22];

int init_diskGroup();
// Also forgets the statuses the next pass would be compared with.
void close_diskGroup();
// One pass (start-up makes the first): reads the report, records the pass
// in the disk report's health row and notifies each disk and volume whose
// status differs from the last pass that read a report.  0 on success.
int discover_disks();
// Both passes over an open report and the swap of the new tables; the
// result code of discover_disks.
int parse_disk_report(FILE *report);
// The report at path, read only when it is a regular file (no symbolic
// link) owned by root, writable by no one else and at most
// DISK_REPORT_MAX_BYTES; parsed as parse_disk_report does.  A report that
// cannot be opened or is refused gives CAPTURE_CANNOT_OPEN and leaves the
// tables as they were.
int read_disk_report(const char *path);

u_char *var_diskGroup(struct variable *vp, oid *name, size_t *length, int exact,
                      size_t *var_len, WriteMethod **write_method);
u_char *var_physdiskProbeTable(struct variable *vp, oid *name, size_t *length, int exact,
                               size_t *var_len, WriteMethod **write_method);
u_char *var_volumeProbeTable(struct variable *vp, oid *name, size_t *length, int exact,
                             size_t *var_len, WriteMethod **write_method);

char *disk_status_string(int code, char *buf);
int get_physdisk_instances();
int get_volume_instances();

int cp_next_word(char *dst, const char *src, int max);
const char *get_next_word(const char *src, int *len);
int cp_trimmed(char *dst, const char *src, int n);

// Status codes of a disk's two-character token and of a volume's status word.
int disk_status_code(const char *token);
int volume_status_code(const char *status_text);

#endif
