// Installation directory and agent configuration file.
#include "agent/agent.h"
#include "agent/notify.h"
#include "agent/salog.h"
#include "agent/text.h"

#include <cerrno>
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

void default_config(agent_config &c)
{
    c = agent_config{};
    copy_text(c.kxdir, "/usr/kx");
    copy_text(c.kxbin, "/usr/kx/bin");
    copy_text(c.config_file, "/usr/kx/schema/snmp/corvantis-snmp.conf");
    copy_text(c.log_file, "/usr/kx/logs.dir/corvantis-snmp.log");
    c.refresh_interval = 300;
    c.notifications = 1;
}

agent_config running_config()
{
    agent_config c{};
    copy_text(c.kxdir, kxdir);
    copy_text(c.kxbin, kxbin);
    copy_text(c.config_file, g_config_file);
    copy_text(c.log_file, g_log_file);
    c.refresh_interval = g_refresh_interval;
    c.verbose = g_verbose;
    c.notifications = g_notifications;
    c.has_agent_address = g_agent_address != nullptr;
    if (g_agent_address == g_agent_address_buf)
        copy_text(c.agent_address_buf, g_agent_address_buf);
    else
        c.agent_address_arg = g_agent_address;
    copy_text(c.ipmi_host, g_ipmi_host);
    copy_text(c.ipmi_user, g_ipmi_user);
    copy_text(c.ipmi_password, g_ipmi_password);
    copy_text(c.ipmi_workaround, g_ipmi_workaround);
    return c;
}

const char *config_agent_address(const agent_config &c)
{
    if (!c.has_agent_address)
        return nullptr;
    return c.agent_address_arg ? c.agent_address_arg : c.agent_address_buf;
}

void store_config(const agent_config &c)
{
    copy_text(kxdir, c.kxdir);
    copy_text(kxbin, c.kxbin);
    copy_text(g_config_file, c.config_file);
    sa_log_set_file(c.log_file);
    g_refresh_interval = c.refresh_interval;
    g_verbose = c.verbose;
    g_notifications = c.notifications;
    if (c.has_agent_address && !c.agent_address_arg) {
        copy_text(g_agent_address_buf, c.agent_address_buf);
        g_agent_address = g_agent_address_buf;
    } else {
        g_agent_address = config_agent_address(c);
    }
    copy_text(g_ipmi_host, c.ipmi_host);
    copy_text(g_ipmi_user, c.ipmi_user);
    copy_text(g_ipmi_password, c.ipmi_password);
    copy_text(g_ipmi_workaround, c.ipmi_workaround);
}

void read_kx_ini(const char *path)
{
    agent_config c = running_config();
    read_kx_ini_into(path, c);
    store_config(c);
}

int read_config_file(const char *path)
{
    agent_config c = running_config();
    int rc = read_config_into(path, c);
    store_config(c);
    return rc;
}

void read_kx_ini_into(const char *path, agent_config &c)
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
        copy_text(c.kxdir, value);
        snprintf(c.kxbin, sizeof c.kxbin, "%s/bin", c.kxdir);
        snprintf(c.config_file, sizeof c.config_file, "%s/schema/snmp/corvantis-snmp.conf", c.kxdir);
        snprintf(c.log_file, sizeof c.log_file, "%s/logs.dir/corvantis-snmp.log", c.kxdir);
        return;
    }
}

int read_config_into(const char *path, agent_config &c)
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
            copy_text(c.agent_address_buf, value);
            c.agent_address_arg = nullptr;
            c.has_agent_address = true;
        } else if (strncasecmp(key, "LogFile", 7) == 0) {
            copy_text(c.log_file, value);
        } else if (strncasecmp(key, "DebugEnabled", 12) == 0) {
            c.verbose = static_cast<int>(strtol(value, nullptr, 10));
        } else if (strncasecmp(key, "RefreshInterval", 15) == 0) {
            c.refresh_interval = static_cast<int>(strtol(value, nullptr, 10));
        } else if (strncasecmp(key, "IpmiHost", 8) == 0) {
            copy_text(c.ipmi_host, value);
        } else if (strncasecmp(key, "IpmiUser", 8) == 0) {
            copy_text(c.ipmi_user, value);
        } else if (strncasecmp(key, "IpmiPassword", 12) == 0) {
            copy_text(c.ipmi_password, value);
            has_password = has_password || value[0] != '\0';
        } else if (strncasecmp(key, "IpmiWorkaround", 14) == 0) {
            copy_text(c.ipmi_workaround, value);
        } else if (strncasecmp(key, "Notifications", 13) == 0) {
            // Only 0 and 1: a typo must not silently switch alarms off.
            if (strcmp(value, "0") == 0 || strcmp(value, "1") == 0)
                c.notifications = value[0] - '0';
            else
                hold_warning("%s: line %d: Notifications must be 0 or 1, not \"%s\"; kept %d\n", path,
                             number, value, c.notifications);
        }
    }
    // A file that opens but cannot be read (a directory, an I/O error)
    // counts as unreadable, so a reload keeps the running settings.
    if (ferror(file.get()))
        return -1;
    // The file that was read, not whatever the name points at now.
    struct stat st;
    if (has_password && fstat(fileno(file.get()), &st) == 0 && (st.st_mode & (S_IRGRP | S_IROTH)))
        hold_warning("%s holds IpmiPassword and is readable by group or others (mode %03o)\n", path,
             static_cast<unsigned>(st.st_mode & 0777));
    return 0;
}

bool apply_config_option(agent_config &c, const config_option &opt, config_load *load)
{
    switch (opt.option) {
    case 'c': {
        int rc = read_config_into(opt.value, c);
        if (load) {
            load->error = rc != 0 ? errno : 0;
            load->result = rc;
            load->path = opt.value;
        }
        break;
    }
    case 'i':
        c.refresh_interval = static_cast<int>(strtol(opt.value, nullptr, 10));
        break;
    case 'l':
        if (strlen(opt.value) >= sizeof c.log_file)
            return false;
        copy_text(c.log_file, opt.value);
        break;
    case 'v':
        c.verbose = 4;
        break;
    case 'x':
        c.agent_address_arg = opt.value;
        c.has_agent_address = true;
        break;
    default:
        return false;
    }
    return true;
}

config_load load_config(const char *kx_ini, const std::vector<config_option> &options,
                        agent_config &c)
{
    // Only this reading's own warnings are logged after it.
    g_config_warnings.clear();
    default_config(c);
    read_kx_ini_into(kx_ini, c);
    config_load load;
    load.path = c.config_file;
    load.result = read_config_into(load.path.c_str(), c);
    load.error = load.result != 0 ? errno : 0;
    for (const config_option &opt : options)
        apply_config_option(c, opt, &load);
    return load;
}

namespace {

void add_change(std::string &out, const char *name, const std::string &from, const std::string &to,
                const char *note = "")
{
    if (from == to)
        return;
    if (!out.empty())
        out += ", ";
    out += std::string(name) + " " + (from.empty() ? "\"\"" : from) + " -> " +
           (to.empty() ? "\"\"" : to) + note;
}

std::string text_of(const char *s)
{
    return s ? s : "";
}

} // namespace

std::string config_changes(const agent_config &running, const agent_config &fresh)
{
    std::string out;
    add_change(out, "KXDIR", running.kxdir, fresh.kxdir);
    add_change(out, "LogFile", running.log_file, fresh.log_file);
    add_change(out, "DebugEnabled", std::to_string(running.verbose), std::to_string(fresh.verbose));
    add_change(out, "RefreshInterval", std::to_string(running.refresh_interval),
               std::to_string(fresh.refresh_interval));
    add_change(out, "Notifications", std::to_string(running.notifications),
               std::to_string(fresh.notifications));
    add_change(out, "IpmiHost", running.ipmi_host, fresh.ipmi_host);
    add_change(out, "IpmiUser", running.ipmi_user, fresh.ipmi_user);
    if (strcmp(running.ipmi_password, fresh.ipmi_password) != 0)
        out += std::string(out.empty() ? "" : ", ") + "IpmiPassword changed";
    add_change(out, "IpmiWorkaround", running.ipmi_workaround, fresh.ipmi_workaround);
    add_change(out, "AgentAddress", text_of(config_agent_address(running)),
               text_of(config_agent_address(fresh)), " (takes a restart)");
    return out;
}
