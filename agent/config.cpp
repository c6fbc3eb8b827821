// Installation directory and agent configuration file.
#include "agent/agent.h"
#include "agent/text.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <strings.h>

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

} // namespace

void read_kx_ini(const char *path)
{
    File file(fopen(path, "r"));
    if (!file)
        return;

    char line[128];
    while (fgets(line, sizeof line, file.get())) {
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

    char line[128];
    while (fgets(line, sizeof line, file.get())) {
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
        } else if (strncasecmp(key, "IpmiWorkaround", 14) == 0) {
            copy_text(g_ipmi_workaround, sizeof g_ipmi_workaround, value);
        }
    }
    return 0;
}
