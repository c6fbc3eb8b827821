// Status group (.1.7).  Placeholder bodies until the group is built.
#include "groups/statusGroup.h"

#include <cstdarg>

rollup_status rollup_of(status_member, long) { return STATUS_UNKNOWN; }
rollup_status rollup_worse(rollup_status a, rollup_status) { return a; }
int health_stale_seconds(health_source) { return 90; }
void status_set_refresh_interval(int) {}
health_pass::health_pass(health_source source) : source_(source), start_(std::chrono::steady_clock::now()) {}
health_pass::~health_pass() {}
void health_pass::done(bool) { recorded_ = true; }
void health_note_error(health_source, const char *, ...) {}
void health_set_not_configured(health_source, bool) {}
health_row health_now(health_source, time_t) { return {}; }
rollup_status status_sensors() { return STATUS_UNKNOWN; }
rollup_status status_storage() { return STATUS_UNKNOWN; }
rollup_status status_sources() { return STATUS_UNKNOWN; }
rollup_status status_overall() { return STATUS_UNKNOWN; }
void health_check_sources() {}
int init_statusGroup() { return 0; }
void close_statusGroup() {}
struct variable4 statusGroup_variables[13];
u_char *var_statusGroup(struct variable *, oid *, size_t *, int, size_t *, WriteMethod **) { return nullptr; }
u_char *var_sourceHealthTable(struct variable *, oid *, size_t *, int, size_t *, WriteMethod **) { return nullptr; }
void reset_health() {}
