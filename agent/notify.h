// Notifications to the stations (enterprise.1.7.0.n).  Any thread queues
// one in a few microseconds; the main thread sends the queue with
// net-snmp's notification API between requests: through AgentX to the
// master, which forwards them to its trap destinations, or, as master
// agent, to the destinations of net-snmp's own configuration file.
#ifndef CORVANTIS_AGENT_NOTIFY_H
#define CORVANTIS_AGENT_NOTIFY_H

#include "agent/netsnmp.h"

#include <atomic>
#include <initializer_list>
#include <string>
#include <vector>

// The last sub-identifier of each notification under .1.7.0.
enum notification_kind {
    NOTIFY_SENSOR_STATUS = 1,
    NOTIFY_DISK_STATUS = 2,
    NOTIFY_VOLUME_STATUS = 3,
    NOTIFY_EVENT_LOG_ENTRY = 4,
    NOTIFY_BACKUP_FAILED = 5,
    NOTIFY_SOURCE_STATE = 6,
    NOTIFY_TEST = 7,
};

// The accessible-for-notify object that carries a row's previous code or
// state: .1.7.20.0.
inline constexpr oid NOTIFY_PREVIOUS_CODE[] = {7, 20, 0};

// One variable of a notification: its OID under the agent's root
// (1.3.6.1.4.1.47391.1, so {4, 10, 2, 1, 3, 2} is a fan's name) and an
// INTEGER or OCTET STRING value.
struct notify_varbind {
    std::vector<oid> suffix;
    u_char type; // ASN_INTEGER or ASN_OCTET_STR
    long integer = 0;
    std::string text;
};
notify_varbind notify_integer(std::initializer_list<oid> suffix, long value);
notify_varbind notify_text(std::initializer_list<oid> suffix, const char *text);
// The previous-code object with a value.
notify_varbind notify_previous(long value);

// The Notifications setting: 1 (default) sends, 0 sends none at all, the
// test notification included.  Written by start-up and reloads.
extern std::atomic<int> g_notifications;

// Queues one notification; drops it with a log line when notifications
// are off or the queue is full.  Safe on any thread; never waits on the
// network.
void notify_queue(notification_kind kind, std::vector<notify_varbind> varbinds);

// The typed notifications, each with its variables in the order the MIB
// gives.  `table` is the sensor table's branch (10 fans, 20 temperatures,
// 30 voltages) and `row` the row's instance in it; `reading` the reading
// column's value in thousandths, null when it has none.
void notify_sensor_status(int table, long row, const char *name, long previous, long code,
                          const long *reading);
void notify_disk_status(long row, const char *name, long previous, long code);
void notify_volume_status(long row, const char *name, long previous, long code);
void notify_event_log_entry(long row, const char *text);
void notify_backup_failed(long row, const char *client_name, long backup_id, const char *jobtype);
void notify_source_state(long row, const char *name, long previous, long state);

// Main thread, after init_snmp: hooks the queue into the agent's event
// loop.  `subagent` selects the path; its state comes through
// set_notification_path_up.  0, or -1 (logged) when the queue cannot wake
// the loop.
int init_notifications(bool subagent);
// Whether the AgentX session to the master is up (subagent only); while it
// is down, due notifications are dropped with a log line.
void set_notification_path_up(bool up);
// Async-signal-safe: asks the main thread to send the test notification
// (.1.7.0.7, carrying the overall status).
void request_test_notification();
// Sends what is queued now (main thread); the event loop calls it.
void send_queued_notifications();
void close_notifications();

// Tests: a function that sees every notification notify_queue accepts
// (before the Notifications setting is checked), on the queuing thread;
// null removes it.
using notify_observer = void (*)(notification_kind kind, const std::vector<notify_varbind> &varbinds);
void set_notify_observer(notify_observer observer);

// Notifications queued, sent and dropped since start (tests, benchmarks).
struct notify_counts {
    long queued;
    long sent;
    long dropped;
};
notify_counts notification_counts();

#endif
