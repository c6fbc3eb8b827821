// Status group (.1.7): the health of the agent's data sources, the
// rolled-up status a station alarms on, and the notifications' objects.
//
// Threads: gatherers (the refresh thread, the backup group's pass thread,
// the main thread at start) record their passes through health_pass; the
// handlers and a timer on the main thread read the health under one small
// lock, never waiting on a source.
#ifndef CORVANTIS_GROUPS_STATUSGROUP_H
#define CORVANTIS_GROUPS_STATUSGROUP_H

#include "agent/netsnmp.h"

#include <chrono>
#include <ctime>
#include <string>

// Rows of the health table, in this order (row n = source + 1).
enum health_source { HEALTH_BMC = 0, HEALTH_DATABASE = 1, HEALTH_DISK_REPORT = 2 };
inline constexpr int HEALTH_SOURCES = 3;

enum health_state {
    HEALTH_OK = 1,
    HEALTH_STALE = 2,
    HEALTH_FAILED = 3,
    HEALTH_NOT_CONFIGURED = 4,
};

// The rolled-up values, ordered for "worst of" by rollup_worse.
enum rollup_status {
    STATUS_OK = 1,
    STATUS_NON_CRITICAL = 2,
    STATUS_CRITICAL = 3,
    STATUS_UNKNOWN = 4,
};

// What a status code belongs to.
enum status_member { MEMBER_SENSOR, MEMBER_DISK, MEMBER_VOLUME, MEMBER_SOURCE };

// What a member's code counts as (one table in statusGroup.cpp).  A code
// the table does not know is STATUS_UNKNOWN; a source that is not
// configured counts as STATUS_OK, so that it never raises a status
// (a rolled-up value leaves it out).
rollup_status rollup_of(status_member member, long code);
// The worse of two, in the order ok < unknown < nonCritical < critical.
rollup_status rollup_worse(rollup_status a, rollup_status b);

// The clock of the health records and the stale rule; tests replace it
// to step over the thresholds.
extern time_t (*g_status_clock)();

// A source with no success for this long is stale: three refresh
// intervals, at least 90 s; the database 90 s (its passes run every 30 s).
int health_stale_seconds(health_source source);
// The refresh interval the stale rule uses; start-up and reloads set it.
void status_set_refresh_interval(int seconds);

// One attempt of a gatherer at its source, from construction to done():
// done(true) is a success; done(false), or no done() at all (an early
// return), a failure.  The first error noted during the attempt is the
// row's error text.  Safe on any thread; a pass of one source at a time.
class health_pass {
public:
    explicit health_pass(health_source source);
    ~health_pass();
    health_pass(const health_pass &) = delete;
    health_pass &operator=(const health_pass &) = delete;
    void done(bool ok);

private:
    health_source source_;
    std::chrono::steady_clock::time_point start_;
    bool recorded_ = false;
};

// Records the cause of a failure of the source's current (or next) pass,
// as the log carries it; only the first of a pass is kept, cut to 255
// characters, trailing newline dropped.  Safe on any thread and from the
// log sinks of the libraries.
void health_note_error(health_source source, const char *format, ...)
    __attribute__((format(printf, 2, 3)));

// Marks a source as having no interface at all (no BMC answered at start,
// no disk monitor installed): its state is notConfigured until a pass
// records a success.
void health_set_not_configured(health_source source, bool not_configured);

// A source's row as of `now` (seconds since the epoch).
struct health_row {
    const char *name; // "bmc", "database", "diskReport"
    health_state state;
    time_t last_success;   // 0 = never
    long seconds_since;    // since the last success; since start when never
    long failures;         // consecutive
    std::string error;     // empty when none
    long last_pass_ms;
};
health_row health_now(health_source source, time_t now);

// The rolled-up scalars as of now, from what the groups have published.
rollup_status status_sensors();
rollup_status status_storage();
rollup_status status_sources();
rollup_status status_overall();

// Compares every source's state with the one last seen and queues a
// source notification for each change (never for the first state seen).
// Called at the end of every pass and by the group's timer, which also
// catches a source turning stale; safe on any thread.
void health_check_sources();

int init_statusGroup();
void close_statusGroup();

extern struct variable4 statusGroup_variables[13];

u_char *var_statusGroup(struct variable *vp, oid *name, size_t *length, int exact,
                        size_t *var_len, WriteMethod **write_method);
u_char *var_sourceHealthTable(struct variable *vp, oid *name, size_t *length, int exact,
                              size_t *var_len, WriteMethod **write_method);

// Forgets every recorded pass and state (tests).
void reset_health();

#endif
