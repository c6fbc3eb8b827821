// Start-up, command line, main loop and shutdown.
#include "agent/agent.h"

#include "agent/capture.h"
#include "agent/monitor.h"
#include "agent/notify.h"
#include "agent/netsnmp.h"
#include "agent/platform.h"
#include "agent/salog.h"
#include "agent/text.h"
#include "groups/diskGroup.h"
#include "groups/ipmiGroup.h"
#include "groups/kxlGroup.h"
#include "groups/mgtInfoGroup.h"
#include "groups/statusGroup.h"
#include "ipmi/ipmi.h"
#include "kxext/kxext.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mcheck.h>
#include <string>
#include <net-snmp/agent/agent_callbacks.h>
#include <syslog.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>
#include <vector>

char kxdir[50];
char kxbin[80];
char g_config_file[96];
char g_log_file[80];
int g_refresh_interval;
std::atomic<int> g_verbose{0};
int g_syslog;
int g_memcheck;
char g_agent_address_buf[80];
const char *g_agent_address;
int g_kxdb_intf_found;
char g_ipmi_host[80];
char g_ipmi_user[80];
char g_ipmi_password[80];
char g_ipmi_workaround[80];
std::atomic<int> g_running{0};

namespace {

// Wakes the main loop out of select() when a stop or reload signal
// arrives, so a signal that lands just before the loop blocks is not missed.
int g_wake_pipe[2] = {-1, -1};

// Set by SIGHUP; the main loop reloads the configuration between requests.
std::atomic<int> g_reload_requested{0};

// The setting options of the command line, in their order: a reload
// applies them over the files again, as start-up did.
std::vector<config_option> g_setting_options;

// Whether the AgentX session to the master is up, for systemd's status;
// main thread only (net-snmp calls back from agent_check_and_process).
bool g_agentx_up = false;
bool g_subagent = true;

struct SettingsInit {
    SettingsInit() { reset_settings(); }
} g_settings_init;

void usage()
{
    printf("%s usage: [cfilmstvx]\n", PROGRAM_NAME);
    puts("     -c file  = specify custom corvantis-snmp.conf file");
    puts("     -f       = run in foreground.  Default is background");
    puts("     -i       = interval in seconds. Default is 300 from config");
    puts("     -l file  = specify custom log filename");
    puts("     -m       = run as master agent. Default is subagent");
    puts("     -s       = write log messages to syslog also");
    puts("     -v       = Verbose. Show debug log messages");
    puts("     -x ADDR  = set AgentAddress to ADDR");
    exit(1);
}

void catchNotificationEvent(int, siginfo_t *, void *)
{
    char text[64];
    int len = snprintf(text, sizeof text, "catchNotify called, getpid=%d\n", static_cast<int>(getpid()));
    if (len > 0)
        (void)!write(STDERR_FILENO, text, static_cast<size_t>(len));
    // Lets an operator check the whole path to the trap receiver.
    request_test_notification();
}

// net-snmp's own messages, when they go through the callback log.
int forward_netsnmp_log(int, int, void *serverarg, void *)
{
    auto *message = static_cast<struct snmp_log_message *>(serverarg);
    int level = message->priority <= LOG_ERR ? 0 : message->priority == LOG_WARNING ? 2 : 4;
    sa_log(level, "net-snmp: %s", message->msg);
    return 0;
}

void log_ipmi(int level, const char *text)
{
    // The layer's errors name the cause of a failing sensor pass.
    if (level <= 1)
        health_note_error(HEALTH_BMC, "%s", text);
    // The layer reports every failure ("call: reason"); a BMC that stays
    // away fails each attempt, so each failing call is named once a minute.
    if (level <= 1)
        level = sa_log_fault_level(("bmc " + std::string(text, strcspn(text, ":"))).c_str(), level);
    sa_log(level, "%s\n", text);
}

// The database library's errors and warnings keep their level; its progress
// detail (3 and up) is a trace here, written in verbose mode only.  Its
// lines may quote a long statement: cut so that the entry keeps its newline.
void log_kxext(int level, const char *text)
{
    int agent_level = level <= 0 ? 0 : (level < 3 ? level : 4);
    // The library's error is the cause the health table shows.
    if (level <= 0)
        health_note_error(HEALTH_DATABASE, "%s", text);
    sa_log(sa_log_fault_level("database", agent_level), "kxext: %.480s\n", text);
}

void drain_wake_pipe(int fd, void *)
{
    char buf[64];
    while (read(fd, buf, sizeof buf) > 0) {
    }
}

bool open_wake_pipe()
{
    if (pipe2(g_wake_pipe, O_NONBLOCK | O_CLOEXEC) != 0)
        return false;
    return register_readfd(g_wake_pipe[0], drain_wake_pipe, nullptr) == 0;
}

// Tells systemd what (READY=1, ...) with the current status; nothing when
// the agent was not started by systemd (no NOTIFY_SOCKET).
void notify_systemd(const char *what)
{
    const char *status = !g_subagent  ? "serving as master agent"
                         : g_agentx_up ? "AgentX session to the master agent is up"
                                       : "AgentX session to the master agent is down, reconnecting";
    sd_notifyf(0, "%s%sSTATUS=%s", what, *what ? "\n" : "", status);
}

int agentx_session_changed(int, int minor, void *, void *)
{
    g_agentx_up = minor == SNMPD_CALLBACK_INDEX_START;
    set_notification_path_up(g_agentx_up);
    notify_systemd("");
    return 0;
}

void request_reload(int)
{
    g_reload_requested = 1;
    if (g_wake_pipe[1] >= 0)
        (void)!write(g_wake_pipe[1], "r", 1);
}

// Reads the installation file, the configuration file and the command
// line again, as start-up did, and applies what changed.  On the main
// thread between requests, so only the settings other threads read need
// care: the log file, the verbosity, the refresh interval, the BMC.
void reload_config()
{
    notify_systemd("RELOADING=1");
    agent_config fresh;
    config_load load = load_config(KX_INI_PATH, g_setting_options, fresh);
    if (load.result != 0) {
        sa_log(1, "reload: cannot read %s: %s; running settings kept\n", load.path.c_str(),
               strerror(load.error));
        notify_systemd("READY=1");
        return;
    }
    const agent_config running = running_config();
    const std::string changes = config_changes(running, fresh);

    copy_text(kxdir, fresh.kxdir);
    copy_text(kxbin, fresh.kxbin);
    copy_text(g_config_file, fresh.config_file);
    sa_log_set_file(fresh.log_file);
    g_verbose = fresh.verbose;
    if (fresh.refresh_interval != running.refresh_interval) {
        g_refresh_interval = fresh.refresh_interval;
        set_monitor_interval(g_refresh_interval);
        status_set_refresh_interval(g_refresh_interval);
    }
    g_notifications = fresh.notifications;
    if (strcmp(fresh.ipmi_host, running.ipmi_host) != 0 ||
        strcmp(fresh.ipmi_user, running.ipmi_user) != 0 ||
        strcmp(fresh.ipmi_password, running.ipmi_password) != 0 ||
        strcmp(fresh.ipmi_workaround, running.ipmi_workaround) != 0) {
        copy_text(g_ipmi_host, fresh.ipmi_host);
        copy_text(g_ipmi_user, fresh.ipmi_user);
        copy_text(g_ipmi_password, fresh.ipmi_password);
        copy_text(g_ipmi_workaround, fresh.ipmi_workaround);
        // Closes the session; the next request opens one with these.
        bmc::set_connection(g_ipmi_host, g_ipmi_user, g_ipmi_password, g_ipmi_workaround);
    }
    // The AgentX address stays: the session to the master is made once.

    log_config_warnings();
    sa_log(1, "configuration reloaded: %s\n", changes.empty() ? "no setting changed" : changes.c_str());
    notify_systemd("READY=1");
}

struct StartOptions {
    int subagent = 1;
    int background = 1;
    int config_result = 0;
    const char *config_path = nullptr;
};

// A setting option onto the running settings, kept for reloads; a refused
// one (a -l name too long) is neither.
bool apply_setting_option(const config_option &opt, StartOptions &opts)
{
    agent_config c = running_config();
    config_load load;
    load.result = opts.config_result;
    if (!apply_config_option(c, opt, &load))
        return false;
    store_config(c);
    if (opt.option == 'c') {
        opts.config_result = load.result;
        opts.config_path = opt.value;
    }
    g_setting_options.push_back(opt);
    return true;
}

void parse_options(int argc, char **argv, StartOptions &opts)
{
    int c;
    while ((c = getopt(argc, argv, "c:fi:l:mMst:vx:?")) != -1) {
        switch (c) {
        case 'c':
        case 'i':
        case 'v':
        case 'x':
            apply_setting_option({static_cast<char>(c), optarg}, opts);
            break;
        case 'f':
            opts.background = 0;
            break;
        case 'l':
            if (!apply_setting_option({'l', optarg}, opts))
                printf("Error: log filename %d chars > %d max\n", static_cast<int>(strlen(optarg)),
                       static_cast<int>(sizeof g_log_file));
            break;
        case 'm':
            opts.subagent = 0;
            break;
        case 'M':
            g_memcheck = 1;
            break;
        case 's':
            g_syslog = 1;
            break;
        case 't':
            (void)get_thresh_data(optarg);
            break;
        default:
            usage();
        }
    }
}

} // namespace

void reset_settings()
{
    copy_text(kxdir, "/usr/kx");
    copy_text(kxbin, "/usr/kx/bin");
    copy_text(g_config_file, "/usr/kx/schema/snmp/corvantis-snmp.conf");
    copy_text(g_log_file, "/usr/kx/logs.dir/corvantis-snmp.log");
    g_refresh_interval = 300;
    g_verbose = 0;
    g_syslog = 0;
    g_memcheck = 0;
    g_agent_address_buf[0] = '\0';
    g_agent_address = nullptr;
    g_kxdb_intf_found = 0;
    g_ipmi_host[0] = '\0';
    g_ipmi_user[0] = '\0';
    g_ipmi_password[0] = '\0';
    g_ipmi_workaround[0] = '\0';
    g_notifications = 1;
}

void stop_server(int)
{
    g_running = 0;
    if (g_wake_pipe[1] >= 0)
        (void)!write(g_wake_pipe[1], "x", 1);
}

const char *agent_str(int subagent)
{
    return subagent ? "subagent" : "master_agent";
}

int agent_main(int argc, char **argv)
{
    read_kx_ini(KX_INI_PATH);

    StartOptions opts;
    opts.config_path = g_config_file;
    opts.config_result = read_config_file(g_config_file);
    parse_options(argc, argv, opts);

    if (g_verbose && opts.config_result != 0)
        printf("%s: cannot open %s, ret=%d\n", PROGRAM_NAME, opts.config_path, opts.config_result);

    if (getuid() != 0) {
        printf("%s requires root privileges.\n", PROGRAM_NAME);
        exit(1);
    }

    get_platform_id();
    if (g_verbose)
        printf("g_platform_id = %s \n", g_platform_id);

    g_kxdb_intf_found = check_kxdb_interface();
    if (g_verbose)
        printf("kxdb_intf_found = %d\n", g_kxdb_intf_found);
    if (!g_kxdb_intf_found) {
        printf("%s: Cannot find kxdb database, exiting\n", PROGRAM_NAME);
        exit(1);
    }

    if (g_syslog) {
        snmp_enable_calllog();
        snmp_register_callback(SNMP_CALLBACK_LIBRARY, SNMP_CALLBACK_LOGGING, forward_netsnmp_log,
                               nullptr);
    } else {
        snmp_enable_stderrlog();
    }

    if (opts.subagent)
        netsnmp_ds_set_boolean(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_ROLE, 1);
    g_subagent = opts.subagent != 0;
    // The agent resolves no OID names: without MIB files on the machine
    // net-snmp would print "Cannot find module" for each default MIB.  An
    // operator's MIBS still counts.
    setenv("MIBS", "", 0);

    if (g_agent_address) {
        printf("%s AgentAddress = %s\n", PROGRAM_NAME, g_agent_address);
        netsnmp_ds_set_string(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_X_SOCKET, g_agent_address);
    }

    struct sigaction notify = {};
    notify.sa_sigaction = catchNotificationEvent;
    sigemptyset(&notify.sa_mask);
    notify.sa_flags = SA_SIGINFO | SA_RESTART;
    sigaction(SIGRTMIN + 1, &notify, nullptr);

    signal(SIGTERM, stop_server);
    signal(SIGINT, stop_server);
    signal(SIGILL, stop_server);
    signal(SIGHUP, request_reload);
    // A master that drops the AgentX connection mid-write must not kill us.
    signal(SIGPIPE, SIG_IGN);

    if (g_verbose)
        printf("before daemonize, syslog=%d\n", g_syslog);
    fflush(stdout);

    if (opts.background) {
        int rc = netsnmp_daemonize(1, g_syslog ? 0 : 1);
        if (rc != 0) {
            printf("%s: netsnmp_daemonize error %d\n", PROGRAM_NAME, rc);
            exit(1);
        }
    }

    // As master we serve SNMP only: no SMUX listener on TCP 199.
    if (!opts.subagent)
        add_to_init_list(const_cast<char *>("-smux"));

    int rc = init_agent(PROGRAM_NAME);
    if (rc != 0) {
        sa_log(0, "init_agent(%s) error %d\n", PROGRAM_NAME, rc);
    } else {
        sa_log(1, "%s version %s agentx %s started\n", PROGRAM_NAME, PROGRAM_VERSION,
               agent_str(opts.subagent));
        sa_log(1, "DebugEnabled = %d, RefreshInterval = %d\n", g_verbose.load(), g_refresh_interval);
        sa_log(4, "LogFile = %s\n", g_log_file);
        g_running = 1;
    }
    log_config_warnings();

    bmc::set_log(log_ipmi);
    kxext_set_log(log_kxext);
    bmc::set_connection(g_ipmi_host, g_ipmi_user, g_ipmi_password, g_ipmi_workaround);

    // Before the groups' first passes, which the stale rule counts from.
    status_set_refresh_interval(g_refresh_interval);
    // Order: management information, backup appliance, sensors, disks, and
    // the status branch over them.
    sa_log(4, "init_mgtInfoGroup returned %d\n", init_mgtInfoGroup());
    sa_log(4, "init_kxlGroup returned %d\n", init_kxlGroup());
    sa_log(4, "init_sensorGroup returned %d\n", init_sensorGroup());
    sa_log(4, "init_diskGroup returned %d\n", init_diskGroup());
    sa_log(4, "init_statusGroup returned %d\n", init_statusGroup());

    // The session may come and go; the subagent reconnects on its own.
    snmp_register_callback(SNMP_CALLBACK_APPLICATION, SNMPD_CALLBACK_INDEX_START,
                           agentx_session_changed, nullptr);
    snmp_register_callback(SNMP_CALLBACK_APPLICATION, SNMPD_CALLBACK_INDEX_STOP,
                           agentx_session_changed, nullptr);
    init_snmp(PROGRAM_NAME);
    if (!opts.subagent)
        init_master_agent();
    if (g_running)
        init_notifications(opts.subagent != 0);

    if (g_running && !open_wake_pipe())
        sa_log(2, "wake pipe: %s\n", strerror(errno));

    // Sensors, disks, backup appliance; the backup group times its own
    // passes, which run on request.
    if (g_running)
        start_monitor_thread(g_refresh_interval, {{"sensors", discover_sensors, true},
                                                  {"disks", discover_disks, true},
                                                  {"kxl", discover_kxl, false}});
    // Registered: ready, whether or not the master is there yet.
    if (g_running)
        notify_systemd("READY=1");
    while (g_running) {
        // Before blocking too: a SIGHUP may have come before the wake pipe.
        if (g_reload_requested.exchange(0))
            reload_config();
        agent_check_and_process(1);
    }

    sa_log(1, "%s shutting down\n", PROGRAM_NAME);
    notify_systemd("STOPPING=1");
    // Commands still running go first, so no pass waits on one.
    kill_running_commands();
    // The refresh thread may end its pass first; one stuck on a source is
    // left behind, so a hung source cannot hold the shutdown.
    stop_monitor_thread();
    close_sensors();
    close_diskGroup();
    close_kxlGroup();
    close_mgtInfoGroup();
    close_statusGroup();
    close_notifications();
    // A LAN session left open would hold one of the BMC's few session slots.
    bmc::ipmi_close_();
    if (g_memcheck)
        muntrace();
    snmp_shutdown(PROGRAM_NAME);
    return 0;
}
