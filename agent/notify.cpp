// Notifications.  Placeholder bodies until the queue is built.
#include "agent/notify.h"

std::atomic<int> g_notifications{1};
notify_varbind notify_integer(std::initializer_list<oid> suffix, long value) { return {suffix, ASN_INTEGER, value, {}}; }
notify_varbind notify_text(std::initializer_list<oid> suffix, const char *text) { return {suffix, ASN_OCTET_STR, 0, text}; }
notify_varbind notify_previous(long value) { return {{7, 20, 0}, ASN_INTEGER, value, {}}; }
void notify_queue(notification_kind, std::vector<notify_varbind>) {}
void notify_sensor_status(int, long, const char *, long, long, const long *) {}
void notify_disk_status(long, const char *, long, long) {}
void notify_volume_status(long, const char *, long, long) {}
void notify_event_log_entry(long, const char *) {}
void notify_backup_failed(long, const char *, long, const char *) {}
void notify_source_state(long, const char *, long, long) {}
int init_notifications(bool) { return 0; }
void set_notification_path_up(bool) {}
void request_test_notification() {}
void send_queued_notifications() {}
void close_notifications() {}
notify_counts notification_counts() { return {0, 0, 0}; }
