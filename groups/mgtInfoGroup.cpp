// System management information: host and BMC facts gathered at start-up,
// memory, CPU and BIOS values re-read per request.
#include "groups/mgtInfoGroup.h"

#include "agent/agent.h"
#include "agent/capture.h"
#include "agent/mib.h"
#include "agent/platform.h"
#include "agent/salog.h"
#include "agent/text.h"
#include "ipmi/ipmi.h"

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <sys/utsname.h>
#include <unistd.h>

char g_asset_id[80];
char g_hostname[80];
int g_mgt_intf_found;
int g_mgt_intf_full;
unsigned char bmc_ip[4];
unsigned char bmc_netmask[4];
unsigned char bmc_gateway[4];
struct mgt_info mgt_info = {
    .fw_version = "",
    .os_release = "",
    .ip_source = "",
    .bmc_mac = {0xff, 0, 0, 0, 0, 0},
    .gateway_mac = {0xff, 0, 0, 0, 0, 0},
    .lan_port = "",
    .mem_total = "",
    .mem_free = "",
    .mem_used = "",
    .cpu_used = "",
    .mfg_date = "",
    .done_log_level = 3,
    .has_mem_mb = false,
    .mem_total_mb = 0,
    .mem_used_mb = 0,
    .mem_free_mb = 0,
    .has_cpu_hundredths = false,
    .cpu_hundredths = 0,
};

namespace {

constexpr const char *ASSET_FILE = "/etc/corvantis-asset";
constexpr int LAN_PARAM_BUF = 96;

// Memory and CPU are measured on the request path: net-snmp's master
// gives a subagent one second per request.
constexpr std::chrono::milliseconds REQUEST_COMMAND_DEADLINE{250};
// Over LAN, ipmiutil retries a lost packet on its own for some seconds.
constexpr std::chrono::seconds FRU_DEADLINE{30};

char g_mgt_result[64];
u_long g_mgt_unsigned;

oid systemManagementInfoGroup_variables_oid[] = {1, 3, 6, 1, 4, 1, 47391, 1, 6};

// The request being served, while a handler runs: the transaction id of
// its PDU.  Through AgentX the master gives every PDU it sends for one
// incoming request that request's id, so the handler calls made for one
// GETNEXT or GETBULK share it (the subagent is also asked the neighbouring
// object and the answer dropped); as master, each incoming PDU gets a new
// id.  So two requests, even back to back, never share one.
bool g_in_request;
long g_request_id;

// The request a per-request command last ran for.
struct measured_in {
    bool valid = false;
    long request = 0;
};
measured_in g_mem_measured;
measured_in g_cpu_measured;

// Whether the command is still to run for this request: always outside
// one (start-up), once within one, failed or not, so a command past its
// deadline is not waited for twice.
bool first_in_request(measured_in &last)
{
    if (g_in_request && last.valid && last.request == g_request_id)
        return false;
    last = {g_in_request, g_request_id};
    return true;
}

// The old-API handler is not given the request: this one, injected in
// front of it, notes which request it serves.
int note_request(netsnmp_mib_handler *handler, netsnmp_handler_registration *reginfo,
                 netsnmp_agent_request_info *reqinfo, netsnmp_request_info *requests)
{
    const netsnmp_agent_session *asp = reqinfo ? reqinfo->asp : nullptr;
    g_in_request = asp && asp->pdu;
    if (g_in_request)
        g_request_id = asp->pdu->transid;
    int rc = netsnmp_call_next_handler(handler, reginfo, reqinfo, requests);
    g_in_request = false;
    return rc;
}

// Each entry is registered on its own; a failed registration leaves its
// commands running per handler call.
template <size_t N>
void note_requests_of(const struct variable4 (&vars)[N])
{
    for (const struct variable4 &v : vars) {
        oid name[MAX_OID_LEN];
        size_t len = 0;
        for (oid part : systemManagementInfoGroup_variables_oid)
            name[len++] = part;
        for (size_t i = 0; i < v.namelen; i++)
            name[len++] = v.name[i];
        netsnmp_subtree *tree = netsnmp_subtree_find(name, len, nullptr, "");
        if (!tree || !tree->reginfo || !tree->reginfo->handlerName ||
            strcmp(tree->reginfo->handlerName, "systemManagementInfoGroup") != 0)
            continue;
        netsnmp_mib_handler *handler = netsnmp_create_handler("mgtInfoRequest", note_request);
        if (handler && netsnmp_inject_handler(tree->reginfo, handler) != SNMPERR_SUCCESS)
            netsnmp_handler_free(handler);
    }
}

bool is_printable(char c)
{
    return static_cast<signed char>(c) >= 32;
}

} // namespace

#define MGT_ENTRY(n) {n, ASN_OCTET_STR, NETSNMP_OLDAPI_RONLY, var_systemManagementInfoGroup, 1, {n}}
// Memory and CPU use as numbers (21..24): the host's, so in both tables.
#define MGT_GAUGE(n) {n, ASN_UNSIGNED, NETSNMP_OLDAPI_RONLY, var_systemManagementInfoGroup, 1, {n}}

struct variable4 systemManagementInfoGroup_variables[22] = {
    MGT_ENTRY(1),  MGT_ENTRY(2),  MGT_ENTRY(3),  MGT_ENTRY(4),  MGT_ENTRY(5),  MGT_ENTRY(6),
    MGT_ENTRY(7),  MGT_ENTRY(8),  MGT_ENTRY(9),  MGT_ENTRY(10), MGT_ENTRY(11), MGT_ENTRY(12),
    MGT_ENTRY(13), MGT_ENTRY(14), MGT_ENTRY(15), MGT_ENTRY(16), MGT_ENTRY(17), MGT_ENTRY(18),
    MGT_GAUGE(21), MGT_GAUGE(22), MGT_GAUGE(23), MGT_GAUGE(24),
};

// Without a BMC only the host objects exist.
struct variable4 systemManagementInfoGroup_variables1[13] = {
    MGT_ENTRY(1),  MGT_ENTRY(2),  MGT_ENTRY(3),  MGT_ENTRY(4),  MGT_ENTRY(5),
    MGT_ENTRY(6),  MGT_ENTRY(7),  MGT_ENTRY(8),  MGT_ENTRY(9),  MGT_GAUGE(21),
    MGT_GAUGE(22), MGT_GAUGE(23), MGT_GAUGE(24),
};

#undef MGT_ENTRY
#undef MGT_GAUGE

void cpstr(char *dst, const char *src, int n)
{
    if (!dst || !src || n < 1)
        return;
    int start = 0;
    if (src[0] == ' ' || !is_printable(src[0])) {
        for (int i = 1; i < n; i++) {
            if (is_printable(src[i]) && src[i] != ' ') {
                start = i;
                break;
            }
        }
    }
    int len = 0;
    while (len < n && is_printable(src[start + len])) {
        dst[len] = src[start + len];
        len++;
    }
    dst[len] = '\0';
}

const char *ip_source_text(unsigned char source)
{
    switch (source) {
    case 1:
        return "Static";
    case 2:
        return "DHCP";
    case 3:
        return "BIOS";
    default:
        return "SrcOEM";
    }
}

const char *lan_port_text(unsigned char port)
{
    switch (port) {
    case 0:
        return "Dedicated";
    case 1:
        return "Onboard_LAN1";
    case 2:
        return "Failover";
    default:
        return "unknown";
    }
}

void read_asset_tag(const char *path)
{
    std::unique_ptr<FILE, int (*)(FILE *)> file(fopen(path, "r"), fclose);
    if (!file) {
        copy_text(g_asset_id, "unknown");
        sa_log(1, "fopen(%s) error errno=%d\n", ASSET_FILE, errno);
        return;
    }
    // Zeroed past what was read, so cpstr's look-ahead stays inside.
    char data[257] = {};
    size_t count = fread(data, 1, 256, file.get());
    if (count > 80)
        cpstr(g_asset_id, data, 79);
    else if (count > 0)
        cpstr(g_asset_id, data, count > 79 ? 79 : static_cast<int>(count));
}

void parse_meminfo(FILE *file, long *total_kb, long *free_kb)
{
    *total_kb = 0;
    *free_kb = 0;
    char line[255];
    while (fgets(line, sizeof line, file)) {
        long *target = nullptr;
        const char *rest = nullptr;
        if (strncmp(line, "MemTotal:", 9) == 0) {
            target = total_kb;
            rest = line + 9;
        } else if (strncmp(line, "MemFree:", 8) == 0) {
            target = free_kb;
            rest = line + 8;
        } else {
            continue;
        }
        rest += strspn(rest, " \t\n");
        char word[20];
        snprintf(word, sizeof word, "%.*s", static_cast<int>(strcspn(rest, " \t\n")), rest);
        *target = strtol(word, nullptr, 10);
    }
}

int get_mem_info()
{
    CommandCapture capture("/tmp/mem.out");
    int rv = capture.run(std::string("cat /proc/meminfo |head -n2 >") + capture.path(),
                         REQUEST_COMMAND_DEADLINE);
    if (rv != 0) {
        sa_log(0, "system(meminfo) error %d\n", rv);
        return rv;
    }
    FILE *file = capture.open();
    if (!file) {
        sa_log(0, "get_mem_info: Cannot open file %s\n", capture.path());
        return CAPTURE_CANNOT_OPEN;
    }
    long total_kb, free_kb;
    parse_meminfo(file, &total_kb, &free_kb);
    capture.finish();

    int total_mb = static_cast<int>(total_kb / 1024);
    int free_mb = static_cast<int>(free_kb / 1024);
    int used_mb = total_mb - free_mb;
    sa_log(4, "get_mem_info: total %d MB, free %d MB, used %d MB\n", total_mb, free_mb, used_mb);
    snprintf(mgt_info.mem_total, sizeof mgt_info.mem_total, "%d MB", total_mb);
    snprintf(mgt_info.mem_free, sizeof mgt_info.mem_free, "%d MB", free_mb);
    snprintf(mgt_info.mem_used, sizeof mgt_info.mem_used, "%d MB", used_mb);
    mgt_info.mem_total_mb = total_mb;
    mgt_info.mem_free_mb = free_mb;
    mgt_info.mem_used_mb = used_mb;
    mgt_info.has_mem_mb = true;
    return 0;
}

const char *cpu_idle_awk()
{
    // mpstat starts its lines with the time, one column wide in 24-hour
    // form and two with AM/PM: find "%idle" and "all" wherever they stand.
    return "awk '/%idle/ { for(i=1;i<=NF;i++) if ($i == \"%idle\") field=i } "
           "field { for(i=1;i<=NF;i++) if ($i == \"all\") print 100 - $field }'";
}

bool cpu_hundredths_of(const char *text, long *hundredths)
{
    char *end = nullptr;
    double percent = strtod(text, &end);
    // A Gauge32 holds no negative number, and none past its top.
    if (end == text || *end != '\0' || !std::isfinite(percent) || percent < 0 ||
        percent * 100 > static_cast<double>(UINT32_MAX))
        return false;
    *hundredths = std::lround(percent * 100);
    return true;
}

int get_cpu_info()
{
    const std::string measure = std::string("mpstat 2>&1 | ") + cpu_idle_awk();
    // The probe and the measurement share one deadline.
    const auto until = std::chrono::steady_clock::now() + REQUEST_COMMAND_DEADLINE;
    auto left = [until] {
        return std::chrono::ceil<std::chrono::milliseconds>(until -
                                                            std::chrono::steady_clock::now());
    };

    mgt_info.cpu_used[0] = '\0';
    mgt_info.has_cpu_hundredths = false;
    CommandCapture capture("/tmp/cpu.out");
    char command[512];
    if (run_command("which mpstat >/dev/null 2>&1", left()) == 0)
        snprintf(command, sizeof command, "%s  >%s 2>&1", measure.c_str(), capture.path());
    else
        snprintf(command, sizeof command, "%s/%s  >%s 2>&1", shell_quote(kxbin).c_str(),
                 measure.c_str(), capture.path());

    sa_log(4, "get_cpu_info: system(%s)\n", command);
    int rv = capture.run(command, left());
    if (rv != 0) {
        sa_log(1, "get_cpu_info: system(mpstat) error %d\n", rv);
        return rv;
    }
    FILE *file = capture.open();
    if (!file) {
        sa_log(0, "get_cpu_info: Cannot open file %s\n", capture.path());
        return CAPTURE_CANNOT_OPEN;
    }
    char line[255] = {};
    char value[21] = "";
    if (fgets(line, sizeof line, file))
        cpstr(value, line, 20);
    capture.finish();

    snprintf(mgt_info.cpu_used, sizeof mgt_info.cpu_used, "%s %%", value);
    mgt_info.has_cpu_hundredths = cpu_hundredths_of(value, &mgt_info.cpu_hundredths);
    sa_log(4, "get_cpu_info: rv=%d cpu_used: %s\n", 0, mgt_info.cpu_used);
    return 0;
}

int get_ipmi_mfg_date()
{
    CommandCapture capture("/tmp/ipmifrudate.tmp");
    bmc::FruCommand fru = bmc::fru_command();
    int rv = capture.run(fru.line + " |grep Date |cut -f2-9 -d':' >" + capture.path(),
                         FRU_DEADLINE, fru.env);
    if (rv != 0) {
        sa_log(0, "get_ipmi_mfg_date: system(ipmiutil fru) error %d\n", rv);
        return rv;
    }
    FILE *file = capture.open();
    if (!file) {
        sa_log(0, "get_ipmi_mfg_date: Cannot open file %s\n", capture.path());
        return CAPTURE_CANNOT_OPEN;
    }
    char line[128] = {};
    if (fgets(line, sizeof line, file))
        cpstr(mgt_info.mfg_date, line, 30);
    sa_log(4, "get_ipmi_mfg_date:  %s\n", mgt_info.mfg_date);
    capture.finish();
    return 0;
}

int get_ipmi_lan_config(int param, unsigned char *buf)
{
    if (!buf)
        return -1;
    unsigned char request[4] = {1, static_cast<unsigned char>(param), 0, 0};
    unsigned char response[80] = {};
    int response_len = sizeof response;
    unsigned char completion = 0;
    int rv = bmc::ipmi_cmd(0x0C02, request, sizeof request, response, &response_len, &completion, 0);
    if (rv != 0 || completion != 0) {
        int error = rv != 0 ? rv : completion;
        sa_log(1, "get_ipmi_lan_config(%d) error %d\n", param & 0xff, error);
        return error;
    }
    // Byte 0 is the parameter revision; the data follows.
    int data_len = response_len > 1 ? response_len - 1 : 0;
    memcpy(buf, response + 1, static_cast<size_t>(data_len));
    buf[data_len] = 0;
    return 0;
}

int get_smc_lan_port(char *out)
{
    if (!out)
        return -1;
    unsigned char request[2] = {0x0C, 0x00};
    unsigned char response[16] = {};
    int response_len = sizeof response;
    unsigned char completion = 0;
    int rv = bmc::ipmi_cmdraw(0x70, 0x30, 0x20, 0, 0, request, sizeof request, response,
                              &response_len, &completion, 0);
    if (rv != 0 || completion != 0) {
        int error = rv != 0 ? rv : completion;
        sa_log(1, "get_smc_lan_port error %d\n", error);
        strcpy(out, "unknown");
        return error;
    }
    strcpy(out, lan_port_text(response[0]));
    return 0;
}

int read_gateway_mac(int (*read_param)(int param, unsigned char *buf))
{
    unsigned char data[LAN_PARAM_BUF] = {};
    int rv = read_param(13, data);
    if (rv != 0)
        return rv;

    bool any_set = false;
    for (int i = 0; i < 6; i++)
        any_set = any_set || data[i] != 0;
    if (data[0] != 0xFF && any_set) {
        memcpy(mgt_info.gateway_mac, data, 6);
        return 0;
    }

    // Some BMCs answer the first read before they learned the gateway.
    memset(data, 0, sizeof data);
    rv = read_param(13, data);
    sa_log(2, "get_ipmi_lan_gwymac rv=%d, buf %02x:%02x:%02x:%02x:%02x:%02x\n", rv, data[0], data[1],
           data[2], data[3], data[4], data[5]);
    if (rv != 0)
        return rv;
    memcpy(mgt_info.gateway_mac, data, 6);
    return 0;
}

int discover_mgtInfo()
{
    int rv = 0;
    read_asset_tag(ASSET_FILE);

    int host_rv = gethostname(g_hostname, sizeof g_hostname);
    if (host_rv != 0)
        sa_log(1, "gethostname error %d\n", host_rv);

    struct utsname uts;
    int uname_rv = uname(&uts);
    if (uname_rv != 0)
        sa_log(1, "uname error %d\n", uname_rv);
    else
        copy_text(mgt_info.os_release, uts.release);

    sa_log(4, "get_mem_info rv = %d\n", get_mem_info());
    sa_log(4, "get_cpu_info rv = %d\n", get_cpu_info());

    unsigned char device_id[256] = {};
    int id_rv = bmc::ipmi_getdeviceid(device_id, sizeof device_id, 0);
    if (id_rv != 0) {
        sa_log(1, "discover_mgtInfo: ipmi_getdeviceid error %d\n", id_rv);
    } else {
        g_mgt_intf_full = 1;
        snprintf(mgt_info.fw_version, sizeof mgt_info.fw_version, "%x.%x", device_id[2],
                 device_id[3]);

        get_ipmi_mfg_date();
        get_smc_lan_port(mgt_info.lan_port);

        unsigned char data[LAN_PARAM_BUF] = {};
        if (get_ipmi_lan_config(3, data) == 0)
            memcpy(bmc_ip, data, 4);
        if (get_ipmi_lan_config(4, data) == 0)
            copy_text(mgt_info.ip_source, ip_source_text(data[0]));
        if (get_ipmi_lan_config(5, data) == 0)
            memcpy(mgt_info.bmc_mac, data, 6);
        if (get_ipmi_lan_config(6, data) == 0)
            memcpy(bmc_netmask, data, 4);
        if (get_ipmi_lan_config(12, data) == 0)
            memcpy(bmc_gateway, data, 4);
        rv = read_gateway_mac(get_ipmi_lan_config);
    }

    sa_log(mgt_info.done_log_level, "discover_mgtInfo complete for %s, rv = %d\n", g_hostname, rv);
    g_mgt_intf_found = 1;
    mgt_info.done_log_level = 4;
    return rv;
}

int init_mgtInfoGroup()
{
    mib_trace(__func__, "mgtInfoGroup", __LINE__, "systemManagementInfoGroup", "Initializing\n");
    int rv = discover_mgtInfo();
    if (g_mgt_intf_full) {
        mib_register("systemManagementInfoGroup", systemManagementInfoGroup_variables,
                     systemManagementInfoGroup_variables_oid, __func__, "mgtInfoGroup", __LINE__);
        note_requests_of(systemManagementInfoGroup_variables);
    } else {
        mib_register("systemManagementInfoGroup", systemManagementInfoGroup_variables1,
                     systemManagementInfoGroup_variables_oid, __func__, "mgtInfoGroup", __LINE__);
        note_requests_of(systemManagementInfoGroup_variables1);
    }
    return rv;
}

void close_mgtInfoGroup()
{
}

namespace {

const char *format_address(const unsigned char *bytes)
{
    snprintf(g_mgt_result, sizeof g_mgt_result, "%d.%d.%d.%d", bytes[0], bytes[1], bytes[2],
             bytes[3]);
    return g_mgt_result;
}

const char *format_mac(const unsigned char *bytes)
{
    snprintf(g_mgt_result, sizeof g_mgt_result, "%02x:%02x:%02x:%02x:%02x:%02x", bytes[0], bytes[1],
             bytes[2], bytes[3], bytes[4], bytes[5]);
    return g_mgt_result;
}

// The reader writes at most 63 characters and a terminator.
const char *bios_version()
{
    if (get_BiosVersion(g_mgt_result) != 0)
        copy_text(g_mgt_result, "na");
    return g_mgt_result;
}

} // namespace

u_char *var_systemManagementInfoGroup(struct variable *vp, oid *name, size_t *length, int exact,
                                      size_t *var_len, WriteMethod **write_method)
{
    if (!mib_scalar(vp, name, length, exact, var_len, write_method))
        return nullptr;
    sa_log(4, "mgtInfo OID get item=%d\n", vp->magic);
    memset(g_mgt_result, 0, sizeof g_mgt_result);

    const char *text = nullptr;
    switch (vp->magic) {
    case 1:
        text = g_asset_id;
        break;
    case 2:
        text = g_hostname;
        break;
    case 3:
        text = mgt_info.os_release;
        break;
    case 4:
        text = mgt_info.mem_total;
        break;
    case 5:
        if (first_in_request(g_mem_measured))
            get_mem_info();
        text = mgt_info.mem_used;
        break;
    case 6:
        if (first_in_request(g_mem_measured))
            get_mem_info();
        text = mgt_info.mem_free;
        break;
    case 7:
        if (first_in_request(g_cpu_measured))
            get_cpu_info();
        text = mgt_info.cpu_used;
        break;
    case 8:
        text = g_platform_id;
        break;
    case 9:
        text = bios_version();
        break;
    case 10:
        text = mgt_info.fw_version;
        break;
    case 11:
        text = mgt_info.ip_source;
        break;
    case 12:
        text = format_address(bmc_ip);
        break;
    case 13:
        text = format_mac(mgt_info.bmc_mac);
        break;
    case 14:
        text = format_address(bmc_netmask);
        break;
    case 15:
        text = format_address(bmc_gateway);
        break;
    case 16:
        text = format_mac(mgt_info.gateway_mac);
        break;
    case 17:
        text = mgt_info.lan_port;
        break;
    case 18:
        text = mgt_info.mfg_date;
        break;
    case 21:
    case 22:
    case 23: {
        if (first_in_request(g_mem_measured))
            get_mem_info();
        long mb = vp->magic == 21   ? mgt_info.mem_total_mb
                  : vp->magic == 22 ? mgt_info.mem_used_mb
                                    : mgt_info.mem_free_mb;
        if (!mgt_info.has_mem_mb || mb < 0)
            return nullptr;
        return mib_unsigned(g_mgt_unsigned, static_cast<u_long>(mb));
    }
    case 24:
        if (first_in_request(g_cpu_measured))
            get_cpu_info();
        if (!mgt_info.has_cpu_hundredths)
            return nullptr;
        return mib_unsigned(g_mgt_unsigned, static_cast<u_long>(mgt_info.cpu_hundredths));
    default:
        return mib_unknown("Unknown request");
    }
    return mib_text(text, var_len);
}
