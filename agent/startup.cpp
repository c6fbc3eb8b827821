// Start-up, command line, main loop and shutdown.
#include "agent/agent.h"

#include "agent/monitor.h"
#include "agent/netsnmp.h"
#include "agent/platform.h"
#include "agent/salog.h"
#include "agent/text.h"
#include "groups/diskGroup.h"
#include "groups/ipmiGroup.h"
#include "groups/kxlGroup.h"
#include "groups/mgtInfoGroup.h"
#include "ipmi/ipmi.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mcheck.h>
#include <syslog.h>
#include <unistd.h>

char kxdir[50];
char kxbin[80];
char g_config_file[96];
char g_log_file[80];
int g_refresh_interval;
int g_verbose;
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

// Wakes the main loop out of select() when a stop signal arrives, so a
// signal that lands just before the loop blocks is not missed.
int g_wake_pipe[2] = {-1, -1};

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
    sa_log(level, "%s\n", text);
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

struct StartOptions {
    int subagent = 1;
    int background = 1;
    int config_result = 0;
    const char *config_path = nullptr;
};

void parse_options(int argc, char **argv, StartOptions &opts)
{
    int c;
    while ((c = getopt(argc, argv, "c:fi:l:mMst:vx:?")) != -1) {
        switch (c) {
        case 'c':
            opts.config_result = read_config_file(optarg);
            opts.config_path = optarg;
            break;
        case 'f':
            opts.background = 0;
            break;
        case 'i':
            g_refresh_interval = static_cast<int>(strtol(optarg, nullptr, 10));
            break;
        case 'l': {
            size_t len = strlen(optarg);
            if (len >= sizeof g_log_file)
                printf("Error: log filename %d chars > %d max\n", static_cast<int>(len),
                       static_cast<int>(sizeof g_log_file));
            else
                copy_text(g_log_file, optarg);
            break;
        }
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
        case 'v':
            g_verbose = 4;
            break;
        case 'x':
            g_agent_address = optarg;
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
        sa_log(1, "DebugEnabled = %d, RefreshInterval = %d\n", g_verbose, g_refresh_interval);
        sa_log(4, "LogFile = %s\n", g_log_file);
        g_running = 1;
    }
    log_config_warnings();

    bmc::set_log(log_ipmi);
    bmc::set_connection(g_ipmi_host, g_ipmi_user, g_ipmi_password, g_ipmi_workaround);

    // Order: management information, backup appliance, sensors, disks.
    sa_log(4, "init_mgtInfoGroup returned %d\n", init_mgtInfoGroup());
    sa_log(4, "init_kxlGroup returned %d\n", init_kxlGroup());
    sa_log(4, "init_sensorGroup returned %d\n", init_sensorGroup());
    sa_log(4, "init_diskGroup returned %d\n", init_diskGroup());

    init_snmp(PROGRAM_NAME);
    if (!opts.subagent)
        init_master_agent();

    if (g_running && !open_wake_pipe())
        sa_log(2, "wake pipe: %s\n", strerror(errno));

    // Sensors, disks, backup appliance; the backup group times its own
    // passes, which run on request.
    if (g_running)
        start_monitor_thread(g_refresh_interval, {{"sensors", discover_sensors, true},
                                                  {"disks", discover_disks, true},
                                                  {"kxl", discover_kxl, false}});
    while (g_running)
        agent_check_and_process(1);

    sa_log(1, "%s shutting down\n", PROGRAM_NAME);
    // The refresh thread may end its pass first; one stuck on a source is
    // left behind, so a hung source cannot hold the shutdown.
    stop_monitor_thread();
    close_sensors();
    close_diskGroup();
    close_kxlGroup();
    close_mgtInfoGroup();
    // A LAN session left open would hold one of the BMC's few session slots.
    bmc::ipmi_close_();
    if (g_memcheck)
        muntrace();
    snmp_shutdown(PROGRAM_NAME);
    return 0;
}
