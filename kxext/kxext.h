/*
 * kxext: the appliance database library, a thin C-ABI layer over libpq.
 *
 * The agent and the storage reservation manager reach the appliance
 * database (kxdb) only through these calls.  Statements connect on demand;
 * a result handle stays valid after pgClose() until pgFree().
 *
 * Connection: the libpq connection string in KXDB_CONNINFO when set,
 * otherwise libpq's defaults with dbname=kxdb, with TCP keepalives on.
 *
 * Deadlines: no call waits on the database for long.  Connecting gives up
 * after connect_timeout (KXDB_CONNINFO or PGCONNECT_TIMEOUT; 5 s when
 * neither sets it).  A statement call, its wait for the shared connection
 * and any connecting included, gives up after KXDB_STATEMENT_TIMEOUT_MS
 * milliseconds (10 s when unset).  A call that runs out of time logs
 * "... timed out after N ms ...", drops the connection (the next call
 * connects again) and fails.
 */
#ifndef KXEXT_KXEXT_H
#define KXEXT_KXEXT_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Opaque result of one statement. */
typedef struct kx_result kx_result;

/* 0 when the database is reachable, else a nonzero code. */
int pgOpen(int flag);
/* Closes the connection (safe when none is open).  Never waits: while a
 * call runs, the connection closes when that call ends. */
void pgClose(void);

/* Run a printf-style statement; null only when no result could be made. */
kx_result *pgQuery(const char *format, ...) __attribute__((format(printf, 1, 2)));
kx_result *pgVExec(const char *format, ...) __attribute__((format(printf, 1, 2)));

/* 1 when the calling thread's last call that reached for the database
 * (pgOpen, a statement, kxGetBackupStatus) got no answer from it: no
 * connection could be made, the connection broke, or the call ran out of
 * time.  0 when the server answered, an error answer included, so a caller
 * can tell a database gone from a statement it refused. */
int pgConnectionFailed(void);

/* -1 when the statement failed or the handle is null; else >= 0. */
int pgStatus(const kx_result *result);
/* Row count of a successful result, 0 for none. */
int pgTuples(const kx_result *result);

/* Values by row (from 0) and column name; "" / 0 for a missing cell. */
const char *pgSVal(const kx_result *result, int row, const char *column);
int32_t pgLVal(const kx_result *result, int row, const char *column);
int64_t pgLLVal(const kx_result *result, int row, const char *column);
unsigned char pgBVal(const kx_result *result, int row, const char *column);

void pgFree(kx_result *result);

/* Request for kxGetBackupStatus: which backup types, in which time window. */
typedef struct backup_status_request {
    const int *types;       /* backup type codes asked for */
    int32_t types_mode;     /* 2: filter on the type list */
    int32_t ntypes;         /* number of codes in types */
    int32_t window_start;   /* seconds since the epoch, inclusive */
    int32_t start_mode;     /* 2: filter on window_start */
    int32_t window_end;     /* seconds since the epoch, inclusive */
    int32_t end_mode;       /* 2: filter on window_end */
    int32_t order_mode;     /* 2: ordered by backup number */
} backup_status_request;

/* One backup as kxGetBackupStatus returns it.  Every pointer field is
 * malloc'ed (or null) and is the caller's to free. */
typedef struct backup_status {
    int32_t backup_id;
    int32_t node_no;
    int32_t type;
    int32_t start_time;     /* seconds since the epoch */
    int32_t status;         /* 0 success, 2 failure, other: unknown */
    int32_t size_mb;
    int32_t size_high;      /* logged after the size; 0 here */
    int32_t files;
    int32_t files_high;     /* logged after the file count; 0 here */
    char *client_desc;
    char *server_inst;
    char *db_name;
    char *volume;
    char *location;
    char *description;
    char *start_text;
    char *end_text;
    char *error_text;
    char *media;
} backup_status;

/* 0 with a malloc'ed array (ordered by backup number) and its length;
 * else nonzero.  The caller frees a non-null array whatever the result. */
int kxGetBackupStatus(const backup_status_request *request,
                      backup_status **array, int *count);

/* One log line per call on stderr (or to the sink below), with the
 * innermost pushed name as context.  Levels: 0 errors, 3 traces, 4 debug.
 * Lines above the level in the environment variable KXEXT_LOG_LEVEL are
 * dropped; unset, only errors are written. */
void logger(int level, const char *format, ...) __attribute__((format(printf, 2, 3)));
void push_name(const char *name);
void pop_name(void);

/* Sends logger() lines to fn instead of stderr (null: back to stderr).  fn
 * gets every level, KXEXT_LOG_LEVEL notwithstanding, and the text without
 * the "kxext[level] " prefix or a final newline: "name: message", or the
 * message alone when no name is pushed.  fn is called from whichever thread
 * logs, possibly while a call holds the connection, and must not call back
 * into this library. */
typedef void (*kxext_log_fn)(int level, const char *text);
void kxext_set_log(kxext_log_fn fn);

#ifdef __cplusplus
}
#endif

#endif
