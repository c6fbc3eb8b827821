// Installation directory and agent configuration file.
#include "agent/agent.h"
#include "agent/salog.h"
#include "agent/text.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <strings.h>
#include <sys/stat.h>
#include <vector>

namespace {

struct FileCloser {
    void operator()(FILE *f) const { fclose(f); }
};
using File = std::unique_ptr<FILE, FileCloser>;

// Any byte with a signed value of 32 or less counts as blank, so control
// characters and bytes 0x80..0xFF are skipped like spaces.
bool is_blank(char c)
{
    return static_cast<signed char>(c) <= 32;
}

// Lines are kept to 127 characters.
constexpr size_t LINE_MAX_CHARS = 127;

// Start-up warnings, held until the log file is settled (a later LogFile
// line or -l would otherwise send them where nobody looks).
std::vector<std::string> g_config_warnings;

void hold_warning(const char *format, ...) __attribute__((format(printf, 1, 2)));
void hold_warning(const char *format, ...)
{
    char text[512];
    va_list ap;
    va_start(ap, format);
    vsnprintf(text, sizeof text, format, ap);
    va_end(ap);
    g_config_warnings.emplace_back(text);
}

// One physical line, its first LINE_MAX_CHARS bytes kept (newline
// included when it fits) and the rest dropped, so the tail of an
// over-long line is never taken for a line of its own.  Bytes are counted,
// not strlen'd: a NUL inside a line must not shift the line boundaries.
// False at end of file; *cut tells whether anything but the newline was
// dropped.
bool read_line(FILE *file, char (&line)[LINE_MAX_CHARS + 1], bool *cut)
{
    size_t n = 0;
    int c = EOF;
    *cut = false;
    while (n < LINE_MAX_CHARS && (c = getc(file)) != EOF) {
        line[n++] = static_cast<char>(c);
        if (c == '\n')
            break;
    }
    line[n] = '\0';
    if (n == 0)
        return false;
    if (n == LINE_MAX_CHARS && c != '\n') {
        while ((c = getc(file)) != EOF && c != '\n')
            *cut = true;
    }
    return true;
}

void warn_cut(const char *path, int line_number)
{
    hold_warning("%s: line %d longer than %d characters, rest ignored\n", path, line_number,
         static_cast<int>(LINE_MAX_CHARS));
}

} // namespace

void log_config_warnings()
{
    for (const std::string &text : g_config_warnings)
        sa_log(1, "%s", text.c_str());
    g_config_warnings.clear();
}

void read_kx_ini(const char *path)
{
    File file(fopen(path, "r"));
    if (!file)
        return;

    char line[LINE_MAX_CHARS + 1];
    bool cut;
    for (int number = 1; read_line(file.get(), line, &cut); number++) {
        if (cut)
            warn_cut(path, number);
        char *found = strstr(line, "KXDIR=");
        if (!found)
            continue;
        char *value = found + strlen("KXDIR=");
        size_t end = strcspn(value, " \t\n\r");
        if (end > 0)
            value[end] = '\0';
        copy_text(kxdir, sizeof kxdir, value);
        snprintf(kxbin, sizeof kxbin, "%s/bin", kxdir);
        snprintf(g_config_file, sizeof g_config_file, "%s/schema/snmp/corvantis-snmp.conf", kxdir);
        snprintf(g_log_file, sizeof g_log_file, "%s/logs.dir/corvantis-snmp.log", kxdir);
        return;
    }
}

int read_config_file(const char *path)
{
    File file(fopen(path, "r"));
    if (!file)
        return -1;

    bool has_password = false;
    char line[LINE_MAX_CHARS + 1];
    bool cut;
    for (int number = 1; read_line(file.get(), line, &cut); number++) {
        if (cut)
            warn_cut(path, number);
        char *key = line;
        while (*key && is_blank(*key))
            key++;
        if (*key == '#')
            continue;
        char *equals = strchr(key, '=');
        if (!equals)
            continue;
        *equals = '\0';

        char *value = equals + 1;
        while (*value && is_blank(*value))
            value++;
        size_t len = strlen(value);
        while (len > 0 && is_blank(value[len - 1]))
            value[--len] = '\0';

        if (strncasecmp(key, "AgentAddress", 12) == 0) {
            copy_text(g_agent_address_buf, sizeof g_agent_address_buf, value);
            g_agent_address = g_agent_address_buf;
        } else if (strncasecmp(key, "LogFile", 7) == 0) {
            copy_text(g_log_file, sizeof g_log_file, value);
        } else if (strncasecmp(key, "DebugEnabled", 12) == 0) {
            g_verbose = static_cast<int>(strtol(value, nullptr, 10));
        } else if (strncasecmp(key, "RefreshInterval", 15) == 0) {
            g_refresh_interval = static_cast<int>(strtol(value, nullptr, 10));
        } else if (strncasecmp(key, "IpmiHost", 8) == 0) {
            copy_text(g_ipmi_host, sizeof g_ipmi_host, value);
        } else if (strncasecmp(key, "IpmiUser", 8) == 0) {
            copy_text(g_ipmi_user, sizeof g_ipmi_user, value);
        } else if (strncasecmp(key, "IpmiPassword", 12) == 0) {
            copy_text(g_ipmi_password, sizeof g_ipmi_password, value);
            has_password = has_password || value[0] != '\0';
        } else if (strncasecmp(key, "IpmiWorkaround", 14) == 0) {
            copy_text(g_ipmi_workaround, sizeof g_ipmi_workaround, value);
        }
    }
    // The file that was read, not whatever the name points at now.
    struct stat st;
    if (has_password && fstat(fileno(file.get()), &st) == 0 && (st.st_mode & (S_IRGRP | S_IROTH)))
        hold_warning("%s holds IpmiPassword and is readable by group or others (mode %03o)\n", path,
             static_cast<unsigned>(st.st_mode & 0777));
    return 0;
}
