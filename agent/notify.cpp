// Notifications: a short queue any thread fills, drained by the main thread
// (the only one that may call into net-snmp) between requests.
#include "agent/notify.h"

#include "agent/mib.h"
#include "agent/salog.h"
#include "groups/statusGroup.h"

#include <cerrno>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <mutex>
#include <unistd.h>

std::atomic<int> g_notifications{1};

namespace {

// Enough for every sensor and disk of an appliance changing at once; past
// it a receiver learns more from the status scalars than from a backlog.
constexpr size_t NOTIFY_QUEUE_MAX = 512;

const oid SNMP_TRAP_OID[] = {1, 3, 6, 1, 6, 3, 1, 1, 4, 1, 0};

struct pending_notification {
    notification_kind kind;
    std::vector<notify_varbind> varbinds;
};

std::mutex g_queue_lock;
std::deque<pending_notification> g_queue;
notify_observer g_observer = nullptr;

std::atomic<long> g_queued{0};
std::atomic<long> g_sent{0};
std::atomic<long> g_dropped{0};

// Written by the queuing threads and the signal handler to wake the main
// loop; read end registered with net-snmp's fd loop.
int g_wake[2] = {-1, -1};
std::atomic<int> g_wake_write{-1};
std::atomic<int> g_test_requested{0};

bool g_subagent = true;
bool g_path_up = false;

void wake_main_loop()
{
    int fd = g_wake_write.load();
    // A full pipe already holds a wake-up; nothing is lost.
    if (fd >= 0)
        (void)!write(fd, "n", 1);
}

void drain_and_send(int fd, void *)
{
    char buf[64];
    while (read(fd, buf, sizeof buf) > 0) {
    }
    send_queued_notifications();
}

std::string kind_oid_text(notification_kind kind)
{
    char text[64];
    snprintf(text, sizeof text, ".1.3.6.1.4.1.47391.1.7.0.%d", static_cast<int>(kind));
    return text;
}

void drop(notification_kind kind, const char *why)
{
    ++g_dropped;
    sa_log(sa_log_fault_level("notifications", 1), "notification %s dropped: %s\n",
           kind_oid_text(kind).c_str(), why);
}

void send_one(const pending_notification &n)
{
    if (!g_notifications) {
        ++g_dropped;
        sa_log(4, "notification %s not sent: Notifications is 0\n", kind_oid_text(n.kind).c_str());
        return;
    }
    if (g_subagent && !g_path_up) {
        drop(n.kind, "no AgentX session to the master agent");
        return;
    }
    oid trap_oid[MIB_BASE_LEN + 2];
    std::copy(std::begin(MIB_ROOT), std::end(MIB_ROOT), trap_oid);
    trap_oid[MIB_BASE_LEN - 1] = 7;
    trap_oid[MIB_BASE_LEN] = 0;
    trap_oid[MIB_BASE_LEN + 1] = static_cast<oid>(n.kind);

    netsnmp_variable_list *vars = nullptr;
    snmp_varlist_add_variable(&vars, SNMP_TRAP_OID, OID_LENGTH(SNMP_TRAP_OID), ASN_OBJECT_ID,
                              trap_oid, sizeof trap_oid);
    for (const notify_varbind &v : n.varbinds) {
        std::vector<oid> name(std::begin(MIB_ROOT), std::end(MIB_ROOT));
        name.insert(name.end(), v.suffix.begin(), v.suffix.end());
        if (v.type == ASN_OCTET_STR)
            snmp_varlist_add_variable(&vars, name.data(), name.size(), ASN_OCTET_STR,
                                      v.text.data(), v.text.size());
        else
            snmp_varlist_add_variable(&vars, name.data(), name.size(), ASN_INTEGER, &v.integer,
                                      sizeof v.integer);
    }
    if (!vars) {
        drop(n.kind, "out of memory");
        return;
    }
    int rc = netsnmp_send_traps(-1, -1, nullptr, 0, vars, nullptr, 0);
    snmp_free_varbind(vars);
    if (rc != 0) {
        drop(n.kind, "the agent library could not send it");
        return;
    }
    ++g_sent;
    sa_log(3, "notification %s sent (%zu variables)\n", kind_oid_text(n.kind).c_str(),
           n.varbinds.size());
}

} // namespace

notify_varbind notify_integer(std::initializer_list<oid> suffix, long value)
{
    return {suffix, ASN_INTEGER, value, {}};
}

notify_varbind notify_text(std::initializer_list<oid> suffix, const char *text)
{
    return {suffix, ASN_OCTET_STR, 0, text ? text : ""};
}

notify_varbind notify_previous(long value)
{
    return {std::vector<oid>(std::begin(NOTIFY_PREVIOUS_CODE), std::end(NOTIFY_PREVIOUS_CODE)),
            ASN_INTEGER, value, {}};
}

void set_notify_observer(notify_observer observer)
{
    std::lock_guard<std::mutex> lock(g_queue_lock);
    g_observer = observer;
}

void notify_queue(notification_kind kind, std::vector<notify_varbind> varbinds)
{
    {
        std::lock_guard<std::mutex> lock(g_queue_lock);
        if (g_observer)
            g_observer(kind, varbinds);
        if (!g_notifications) {
            ++g_dropped;
            sa_log(4, "notification %s not queued: Notifications is 0\n", kind_oid_text(kind).c_str());
            return;
        }
        if (g_queue.size() >= NOTIFY_QUEUE_MAX) {
            ++g_dropped;
        } else {
            g_queue.push_back({kind, std::move(varbinds)});
            ++g_queued;
            wake_main_loop();
            return;
        }
    }
    sa_log(sa_log_fault_level("notifications", 1), "notification %s dropped: queue full (%zu)\n",
           kind_oid_text(kind).c_str(), NOTIFY_QUEUE_MAX);
}

namespace {

// A row's status change: the row's name, the previous code, the code
// (columns name_column and code_column of the table at group.table).
std::vector<notify_varbind> status_change(oid group, oid table, oid name_column, oid code_column,
                                          long row, const char *name, long previous, long code)
{
    const oid r = static_cast<oid>(row);
    return {notify_text({group, table, 2, 1, name_column, r}, name), notify_previous(previous),
            notify_integer({group, table, 2, 1, code_column, r}, code)};
}

} // namespace

void notify_sensor_status(int table, long row, const char *name, long previous, long code,
                          const long *reading)
{
    const oid t = static_cast<oid>(table);
    std::vector<notify_varbind> v = status_change(4, t, 3, 5, row, name, previous, code);
    if (reading)
        v.push_back(notify_integer({4, t, 2, 1, 9, static_cast<oid>(row)}, *reading));
    notify_queue(NOTIFY_SENSOR_STATUS, std::move(v));
}

void notify_disk_status(long row, const char *name, long previous, long code)
{
    notify_queue(NOTIFY_DISK_STATUS, status_change(5, 10, 3, 5, row, name, previous, code));
}

void notify_volume_status(long row, const char *name, long previous, long code)
{
    notify_queue(NOTIFY_VOLUME_STATUS, status_change(5, 20, 3, 5, row, name, previous, code));
}

void notify_event_log_entry(long row, const char *text)
{
    notify_queue(NOTIFY_EVENT_LOG_ENTRY, {notify_text({4, 40, 2, 1, 2, static_cast<oid>(row)}, text)});
}

void notify_backup_failed(long row, const char *client_name, long backup_id, const char *jobtype)
{
    const oid r = static_cast<oid>(row);
    notify_queue(NOTIFY_BACKUP_FAILED, {notify_text({3, 10, 2, 1, 3, r}, client_name),
                                        notify_integer({3, 10, 2, 1, 2, r}, backup_id),
                                        notify_text({3, 10, 2, 1, 7, r}, jobtype)});
}

void notify_source_state(long row, const char *name, long previous, long state)
{
    notify_queue(NOTIFY_SOURCE_STATE, status_change(7, 10, 2, 3, row, name, previous, state));
}

int init_notifications(bool subagent)
{
    g_subagent = subagent;
    if (pipe2(g_wake, O_NONBLOCK | O_CLOEXEC) != 0 ||
        register_readfd(g_wake[0], drain_and_send, nullptr) != 0) {
        sa_log(0, "notifications: cannot hook into the event loop: %s\n", strerror(errno));
        return -1;
    }
    g_wake_write = g_wake[1];
    // What was queued before the loop could be woken (start-up passes).
    wake_main_loop();
    return 0;
}

void set_notification_path_up(bool up)
{
    g_path_up = up;
}

void request_test_notification()
{
    g_test_requested = 1;
    wake_main_loop();
}

void send_queued_notifications()
{
    if (g_test_requested.exchange(0))
        notify_queue(NOTIFY_TEST, {notify_integer({7, 1, 0}, status_overall())});
    std::deque<pending_notification> due;
    {
        std::lock_guard<std::mutex> lock(g_queue_lock);
        due.swap(g_queue);
    }
    for (const pending_notification &n : due)
        send_one(n);
}

void close_notifications()
{
    int fd = g_wake_write.exchange(-1);
    if (g_wake[0] >= 0) {
        unregister_readfd(g_wake[0]);
        close(g_wake[0]);
    }
    if (fd >= 0)
        close(fd);
    g_wake[0] = g_wake[1] = -1;
}

notify_counts notification_counts()
{
    return {g_queued.load(), g_sent.load(), g_dropped.load()};
}
