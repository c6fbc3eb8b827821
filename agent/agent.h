// Global settings of the agent and the start-up entry points.
#ifndef CORVANTIS_AGENT_AGENT_H
#define CORVANTIS_AGENT_AGENT_H

#include <atomic>
#include <string>
#include <vector>

inline constexpr const char *PROGRAM_NAME = "corvantis-snmp";
inline constexpr const char *PROGRAM_VERSION = "1.6";
inline constexpr const char *KX_INI_PATH = "/etc/default/kx.ini";

// Settings are written by the main thread: at start-up, and by a reload
// (SIGHUP) between requests.  What another thread reads is safe to change
// meanwhile: g_verbose is atomic, g_log_file is switched under the log's
// lock (sa_log_set_file), and the refresh thread gets a new interval
// through set_monitor_interval.
extern char kxdir[50];
extern char kxbin[80];
extern char g_config_file[96];
extern char g_log_file[80];
extern int g_refresh_interval;
extern std::atomic<int> g_verbose;
extern int g_syslog;
extern int g_memcheck;
extern char g_agent_address_buf[80];
extern const char *g_agent_address;
extern int g_kxdb_intf_found;
// Where the BMC is: empty host = in-band; else IPMI 2.0 LAN.
extern char g_ipmi_host[80];
extern char g_ipmi_user[80];
extern char g_ipmi_password[80];
extern char g_ipmi_workaround[80];
// Written by the signal handler, read by both threads.
extern std::atomic<int> g_running;

// Restores every setting to its built-in default (start-up and tests).
void reset_settings();

// Reads the KXDIR= line of the installation file and derives the paths.
void read_kx_ini(const char *path);
// Reads one agent configuration file; 0, or -1 when it cannot be opened.
int read_config_file(const char *path);
// Logs, once the log file is settled, what the two readers above found
// wrong: over-long lines, a password in a file others can read.
void log_config_warnings();

// What the installation file, the configuration file and the command line
// say, as one value: start-up stores it into the globals; a reload reads
// a fresh one and compares it with the running one.
struct agent_config {
    char kxdir[50];
    char kxbin[80];
    char config_file[96];
    char log_file[80];
    int refresh_interval;
    int verbose;
    // Notifications: 1 sends them, 0 none.
    int notifications;
    // The address in effect: the -x argument when that came after every
    // AgentAddress line, else the last line's value (cut to 79).
    bool has_agent_address;
    const char *agent_address_arg;
    char agent_address_buf[80];
    char ipmi_host[80];
    char ipmi_user[80];
    char ipmi_password[80];
    char ipmi_workaround[80];
};

// A command-line option that sets a setting (-c, -i, -l, -v, -x), kept so a
// reload can apply them again, in their order, over the files.
struct config_option {
    char option;
    const char *value;
};

// The result of reading the files and options: that of the last
// configuration file read (0, or -1 with its path and errno).
struct config_load {
    int result = 0;
    std::string path;
    int error = 0;
};

// Built-in defaults.
void default_config(agent_config &c);
// The running settings, and storing a value into them (start-up).
agent_config running_config();
void store_config(const agent_config &c);
const char *config_agent_address(const agent_config &c);
// The readers above, on a value instead of the globals.
void read_kx_ini_into(const char *path, agent_config &c);
int read_config_into(const char *path, agent_config &c);
// One option onto a value; false when it is refused (a -l name too long),
// and then nothing changed.  *load takes a -c file's result.
bool apply_config_option(agent_config &c, const config_option &opt, config_load *load);
// Everything afresh, as at start-up: defaults, the installation file, the
// configuration file it names, then the options in order.
config_load load_config(const char *kx_ini, const std::vector<config_option> &options,
                        agent_config &c);
// What differs, as "Name old -> new" items joined by ", " (the password is
// only named); empty when nothing does.  A changed AgentAddress is marked
// as taking a restart.
std::string config_changes(const agent_config &running, const agent_config &fresh);

void stop_server(int signal);
const char *agent_str(int subagent);

// The whole life of the agent; main() only calls this.
int agent_main(int argc, char **argv);

#endif
