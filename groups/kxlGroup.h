// Backup appliance group (kxlGroup, .1.3): recent backups, capacity,
// replications and archives from the appliance database.
#ifndef CORVANTIS_GROUPS_KXLGROUP_H
#define CORVANTIS_GROUPS_KXLGROUP_H

#include "agent/netsnmp.h"
#include "kxext/kxext.h"

#include <cstdint>
#include <ctime>
#include <memory>

inline constexpr int KXL_TABLE_SIZE = 50;
inline constexpr int KXL_WINDOW_SECONDS = 604800;
inline constexpr int KXL_CACHE_SECONDS = 30;
// How long a request that starts a pass waits for it before answering from
// the tables it has.
inline constexpr int KXL_REQUEST_WAIT_MS = 250;

struct backup_info {
    int32_t position;
    int32_t status;
    int32_t type;
    int32_t last;
    int32_t node;
    int32_t backup_id;
    int32_t size;
    int32_t files;
    int32_t time;
    char client_name[64];
};

// Sizes in KB.  Held in 64 bits so devices past 4 TB are not wrapped.
struct capacity_info {
    int32_t position;
    int32_t device_id;
    uint64_t size;
    uint64_t used;
    uint64_t free;
    uint64_t psize;
    uint64_t pfree;
    uint64_t pused;
    char name[64];
    char path[64];
};

struct archive_info {
    int32_t position;
    int32_t success;
    int32_t backtype;
    int32_t compressed;
    int32_t encrypted;
    int32_t client_os;
    int32_t orig_time;
    int32_t elapsed;
    int32_t archive_id;
    int32_t archive_set;
    int32_t orig_backup_no;
    int32_t files;
    int32_t size;
    char client_name[64];
    char error_text[128];
};

struct replication_info {
    int32_t position;
    int32_t backup_no;
    uint32_t synchronized;
    char client_name[64];
    char destination[64];
    char stat_time[64];
    char message[128];
    // stat_time as seconds since the epoch, when it reads as a time.
    bool has_stat_seconds;
    uint32_t stat_seconds;
};

// The group's four tables and their counts, as one pass left them.  A pass
// builds the next set aside, starting from a copy of the last (so a failed
// collector leaves its table as it was), and publishes it whole; handlers
// answer from the set they hold.
struct kxl_tables {
    struct backup_info backup_info[KXL_TABLE_SIZE];
    int backup_instances;
    struct capacity_info capacity_info[KXL_TABLE_SIZE];
    int capacity_instances;
    // Device entries at the head of the capacity table; the configuration
    // entries follow them.
    int capacity_devices;
    struct replication_info replication_info[KXL_TABLE_SIZE];
    int replication_instances;
    struct archive_info archive_info[KXL_TABLE_SIZE];
    int archive_instances;
};
// The last published set; null before init_kxlGroup.
std::shared_ptr<const kxl_tables> kxl_tables_now();

extern int g_kxl_intf_found;
// End of the last pass; read and written under the group's pass state lock
// once passes run on their own thread.
extern time_t g_kxl_last_refresh;
extern int g_kxl_first_pass;
extern int g_kxl_detail_level;

extern struct variable4 kxlGroup_variables[49];

// The group's clock; tests replace it to step over the 30-second cache.
extern time_t (*g_kxl_clock)();
// The request's wait for the pass it started, in ms: KXL_REQUEST_WAIT_MS,
// longer in tests that need the pass done before they look.
extern int g_kxl_request_wait_ms;

// Start-up's database check: 1 when the appliance database opens, else 0.
int check_kxdb_interface();
int init_kxlGroup();
// The first call (at start, retried by the refresh until the database
// answers) makes the first pass; later ones start a pass when one is due,
// without waiting for it, and answer 0.
int discover_kxl();
// One pass: builds the next tables aside and publishes them.  It stops at
// the first collector that loses the database connection (the tables of
// the rest stay as they were) and answers -2 then.
int get_kxlGroup();
// For the handlers: when the last pass ended more than 30 s ago, starts one
// on its own thread (unless one runs already) and waits for it at most
// g_kxl_request_wait_ms.  The pass's result when it ended in time, else 0;
// a pass that ends later publishes its tables then.
int do_getkxl();
// As do_getkxl, without waiting: for the gatherers that keep the data
// fresh when no station asks.  1 a pass was started, 0 none was due (or
// one runs), -1 no thread could be started.
int kxl_start_pass_if_due();
// Whether a pass started on its own thread has not ended yet (tests).
bool kxl_pass_running();
// Does not wait for a pass still running: that one is abandoned.
void close_kxlGroup();

int get_backup_info(kxl_tables &tables);
// Fills the backup table from the library's records (truncated to the table).
void store_backup_records(kxl_tables &tables, const backup_status *array, int count);
int get_client_name(int node, char *name);
int is_bk_last(int index, int count, const backup_status *array);
void free_backup_status(backup_status *array, int count);
void nnfree(void *pointer);
int get_capacity_info(kxl_tables &tables);
int get_du(const char *path, unsigned long *used);
int get_archive_info(kxl_tables &tables);
int get_replication_info(kxl_tables &tables);

// Seconds since the epoch of a time as the database writes a timestamptz in
// its ISO style, "YYYY-MM-DD hh:mm:ss[.fraction]" and a zone "+hh[:mm[:ss]]".
// False for any other text (no zone, "infinity", BC) and for a time
// before 1970 or past what 32 unsigned bits hold.
bool stat_time_seconds(const char *text, uint32_t *seconds);

const char *jobtype_string(int code);
const char *client_os_str(int code);

u_char *var_kxlGroup(struct variable *vp, oid *name, size_t *length, int exact, size_t *var_len,
                     WriteMethod **write_method);
u_char *var_backupProbeTable(struct variable *vp, oid *name, size_t *length, int exact,
                             size_t *var_len, WriteMethod **write_method);
u_char *var_capacityProbeTable(struct variable *vp, oid *name, size_t *length, int exact,
                               size_t *var_len, WriteMethod **write_method);
u_char *var_replicationProbeTable(struct variable *vp, oid *name, size_t *length, int exact,
                                  size_t *var_len, WriteMethod **write_method);
u_char *var_archiveProbeTable(struct variable *vp, oid *name, size_t *length, int exact,
                              size_t *var_len, WriteMethod **write_method);

#endif
