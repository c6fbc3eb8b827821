// Platform identification and the sensor thresholds file.
#ifndef CORVANTIS_AGENT_PLATFORM_H
#define CORVANTIS_AGENT_PLATFORM_H

extern char g_platform_id[80];
extern int g_thresh_found;

// The firmware's product name, first 15 characters; always 0.
int get_platform_id();
// Reads "%x %d %d" entries and offers each to set_threshold().
int get_thresh_data(const char *path);
// Applies one threshold entry: 0 when applied; this system applies none.
int set_threshold(unsigned id, int value1, int value2);

// The BIOS version of the SMBIOS BIOS information record (type 0), as the
// kernel exports it (/sys/class/dmi/id/bios_version).  buf must hold 64
// bytes: at most 63 characters and the terminator.  0 on success; non-zero
// when unavailable or empty.
int get_BiosVersion(char *buf);
// The same from another file: its first line, trailing blanks removed.
int bios_version_from(const char *path, char *buf);

#endif
