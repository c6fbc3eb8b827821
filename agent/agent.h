// Global settings of the agent and the start-up entry points.
#ifndef CORVANTIS_AGENT_AGENT_H
#define CORVANTIS_AGENT_AGENT_H

#include <atomic>

inline constexpr const char *PROGRAM_NAME = "corvantis-snmp";
inline constexpr const char *PROGRAM_VERSION = "1.6";
inline constexpr const char *KX_INI_PATH = "/etc/default/kx.ini";

// Settings are written by the main thread during start-up only.
extern char kxdir[50];
extern char kxbin[80];
extern char g_config_file[96];
extern char g_log_file[80];
extern int g_refresh_interval;
extern int g_verbose;
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

void stop_server(int signal);
const char *agent_str(int subagent);

// The whole life of the agent; main() only calls this.
int agent_main(int argc, char **argv);

#endif
