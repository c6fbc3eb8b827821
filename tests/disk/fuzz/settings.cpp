// The agent settings the parser's log reads, and the health and
// notification calls a pass makes, for the fuzz target alone (start-up,
// the status group and the notification queue are not linked here).
#include "agent/agent.h"
#include "agent/notify.h"
#include "groups/statusGroup.h"

char g_log_file[80];
std::atomic<int> g_verbose;
int g_syslog;
int g_memcheck;

// Nothing is recorded here.
health_pass::health_pass(health_source source) : source_(source) {}
health_pass::~health_pass() = default;
void health_pass::done(bool) { recorded_ = source_ >= 0; }
void health_note_error(health_source, const char *, ...) {}
void health_set_not_configured(health_source, bool) {}
void notify_disk_status(long, const char *, long, long) {}
void notify_volume_status(long, const char *, long, long) {}
