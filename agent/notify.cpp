// Notifications.  Placeholder bodies until the queue is built.
#include "agent/notify.h"

std::atomic<int> g_notifications{1};
notify_varbind notify_integer(std::initializer_list<oid> suffix, long value) { return {suffix, ASN_INTEGER, value, {}}; }
notify_varbind notify_text(std::initializer_list<oid> suffix, const char *text) { return {suffix, ASN_OCTET_STR, 0, text}; }
notify_varbind notify_previous(long value) { return {{7, 20, 0}, ASN_INTEGER, value, {}}; }
namespace {
notify_observer g_observer = nullptr;
}
void set_notify_observer(notify_observer observer) { g_observer = observer; }
void notify_queue(notification_kind kind, std::vector<notify_varbind> varbinds) { if (g_observer) g_observer(kind, varbinds); }
void notify_sensor_status(int table, long row, const char *name, long previous, long code, const long *reading)
{
    std::vector<notify_varbind> v{notify_text({4, oid(table), 2, 1, 3, oid(row)}, name), notify_previous(previous), notify_integer({4, oid(table), 2, 1, 5, oid(row)}, code)};
    if (reading)
        v.push_back(notify_integer({4, oid(table), 2, 1, 9, oid(row)}, *reading));
    notify_queue(NOTIFY_SENSOR_STATUS, std::move(v));
}
void notify_disk_status(long row, const char *name, long previous, long code) { notify_queue(NOTIFY_DISK_STATUS, {notify_text({5, 10, 2, 1, 3, oid(row)}, name), notify_previous(previous), notify_integer({5, 10, 2, 1, 5, oid(row)}, code)}); }
void notify_volume_status(long row, const char *name, long previous, long code) { notify_queue(NOTIFY_VOLUME_STATUS, {notify_text({5, 20, 2, 1, 3, oid(row)}, name), notify_previous(previous), notify_integer({5, 20, 2, 1, 5, oid(row)}, code)}); }
void notify_event_log_entry(long row, const char *text) { notify_queue(NOTIFY_EVENT_LOG_ENTRY, {notify_text({4, 40, 2, 1, 2, oid(row)}, text)}); }
void notify_backup_failed(long row, const char *client, long id, const char *jobtype) { notify_queue(NOTIFY_BACKUP_FAILED, {notify_text({3, 10, 2, 1, 3, oid(row)}, client), notify_integer({3, 10, 2, 1, 2, oid(row)}, id), notify_text({3, 10, 2, 1, 7, oid(row)}, jobtype)}); }
void notify_source_state(long row, const char *name, long previous, long state) { notify_queue(NOTIFY_SOURCE_STATE, {notify_text({7, 10, 2, 1, 2, oid(row)}, name), notify_previous(previous), notify_integer({7, 10, 2, 1, 3, oid(row)}, state)}); }
int init_notifications(bool) { return 0; }
void set_notification_path_up(bool) {}
void request_test_notification() {}
void send_queued_notifications() {}
void close_notifications() {}
notify_counts notification_counts() { return {0, 0, 0}; }
