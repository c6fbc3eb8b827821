// The agent log: one appended entry per call, optionally mirrored to syslog.
#ifndef CORVANTIS_AGENT_SALOG_H
#define CORVANTIS_AGENT_SALOG_H

#include <cstddef>
#include <sys/time.h>

// Levels 0-3 are always written, 4 and above only in verbose mode.
void sa_log(int level, const char *format, ...) __attribute__((format(printf, 2, 3)));

// Switches the log to another file (a reload); safe while other threads
// log: an entry goes wholly to the old file or wholly to the new one.
void sa_log_set_file(const char *path);

// The level for one more line about a fault of `source` that may repeat
// while the fault lasts: the first line of a minute keeps its level, later
// ones become traces (4), so a source down for hours names its cause once a
// minute instead of on every attempt.  Levels 3 and up pass unchanged.
int sa_log_fault_level(const char *source, int level);

// Logs glibc's heap counters under a tag when memory checking is on.
void check_mem(const char *tag);

// The entry stamp for a given time: "%F %T.mmm %z".
void sa_log_stamp(const struct timeval &tv, char *buf, size_t size);

// The syslog priority and label of a level: errors for 0 and 1.
int sa_log_syslog_priority(int level, const char **label);

#endif
