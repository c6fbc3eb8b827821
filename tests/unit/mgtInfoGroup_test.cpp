#include "agent/agent.h"
#include "agent/mib.h"
#include "groups/mgtInfoGroup.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::string cp(const char *src, int n)
{
    char dst[128];
    memset(dst, 'Z', sizeof dst);
    cpstr(dst, src, n);
    return dst;
}

TEST(Cpstr, SkipsALeadingBlankOrControlRunWithinTheLimit)
{
    EXPECT_EQ(cp("ABC DEF\n", 30), "ABC DEF");
    EXPECT_EQ(cp("  \n\n  Tag 7\nnext", 30), "Tag 7");
    EXPECT_EQ(cp("\x01\x02x", 30), "x");
    // The start must lie within the first n bytes.
    EXPECT_EQ(cp("    abc", 4), "    ");
    EXPECT_EQ(cp("   abc", 4), "abc");
}

TEST(Cpstr, CopiesAtMostNAndStopsAtNonPrintables)
{
    EXPECT_EQ(cp("0123456789", 4), "0123");
    EXPECT_EQ(cp("ab\xc3\xa9" "cd", 30), "ab");
    EXPECT_EQ(cp("\n\n\n", 3), "");
    EXPECT_EQ(cp(" ", 1), " ");
    char untouched[4] = "xyz";
    cpstr(untouched, "abc", 0);
    cpstr(nullptr, "abc", 3);
    cpstr(untouched, nullptr, 3);
    EXPECT_STREQ(untouched, "xyz");
}

TEST(Meminfo, KilobytesToWholeMegabytes)
{
    TempDir dir;
    auto path = dir.write("meminfo", "MemTotal:        2048000 kB\nMemFree:         1024000 kB\n");
    FILE *file = fopen(path.c_str(), "r");
    long total = -1, free_kb = -1;
    parse_meminfo(file, &total, &free_kb);
    fclose(file);
    EXPECT_EQ(total, 2048000);
    EXPECT_EQ(free_kb, 1024000);
    EXPECT_EQ(total / 1024, 2000);
    EXPECT_EQ(free_kb / 1024, 1000);

    path = dir.write("partial", "MemFree:\t\t1023 kB\nSwapTotal: 5 kB\n");
    file = fopen(path.c_str(), "r");
    parse_meminfo(file, &total, &free_kb);
    fclose(file);
    EXPECT_EQ(total, 0);
    EXPECT_EQ(free_kb, 1023);
}

TEST(Meminfo, RealProcMeminfoGivesConsistentTexts)
{
    ASSERT_EQ(get_mem_info(), 0);
    int total = atoi(mgt_info.mem_total), used = atoi(mgt_info.mem_used),
        free_mb = atoi(mgt_info.mem_free);
    EXPECT_GT(total, 0);
    EXPECT_EQ(used, total - free_mb);
    EXPECT_NE(std::string(mgt_info.mem_total).find(" MB"), std::string::npos);
}

std::string cpu_from_report(const std::string &report)
{
    TempDir dir;
    std::string path = dir.write("mpstat.txt", report);
    std::string out = dir.file("out");
    std::string command = "cat '" + path + "' | " + cpu_idle_awk() + " >'" + out + "'";
    EXPECT_EQ(system(command.c_str()), 0);
    return read_file(out);
}

TEST(CpuUse, IdleColumnIsFoundInBothTimeLayouts)
{
    const std::string header = "Linux 6.1.0-28-amd64 (kx01) \t12/08/2026 \t_x86_64_\t(2 CPU)\n\n";
    EXPECT_EQ(cpu_from_report(header +
                              "23:20:01     CPU    %usr   %nice    %sys %iowait    %irq   %soft  "
                              "%steal  %guest  %gnice   %idle\n"
                              "23:20:01     all    2.31    0.00    0.85    0.10    0.00    0.05    "
                              "0.00    0.00    0.00   96.69\n"),
              "3.31\n");
    EXPECT_EQ(cpu_from_report(header +
                              "11:20:01 PM  CPU    %usr   %nice    %sys %iowait    %irq   %soft  "
                              "%steal  %guest  %gnice   %idle\n"
                              "11:20:01 PM  all    2.31    0.00    0.85    0.10    0.00    0.05    "
                              "0.00    0.00    0.00   96.69\n"),
              "3.31\n");
    EXPECT_EQ(cpu_from_report("mpstat: command not found\n"), "");
}

TEST(LanMappings, SourceAndPortTexts)
{
    EXPECT_STREQ(ip_source_text(1), "Static");
    EXPECT_STREQ(ip_source_text(2), "DHCP");
    EXPECT_STREQ(ip_source_text(3), "BIOS");
    EXPECT_STREQ(ip_source_text(0), "SrcOEM");
    EXPECT_STREQ(ip_source_text(4), "SrcOEM");
    EXPECT_STREQ(ip_source_text(0x81), "SrcOEM");
    EXPECT_STREQ(lan_port_text(0), "Dedicated");
    EXPECT_STREQ(lan_port_text(1), "Onboard_LAN1");
    EXPECT_STREQ(lan_port_text(2), "Failover");
    EXPECT_STREQ(lan_port_text(3), "unknown");
    EXPECT_STREQ(lan_port_text(0xff), "unknown");
}

// The simulated BMC answers every read alike; the rule is about a BMC
// whose second answer differs, so a scripted reader stands in.
std::vector<std::vector<unsigned char>> g_answers;
std::vector<int> g_results;
int g_reads;

int scripted_read(int param, unsigned char *buf)
{
    EXPECT_EQ(param, 13);
    size_t i = static_cast<size_t>(g_reads++);
    memcpy(buf, g_answers[i].data(), g_answers[i].size());
    return g_results[i];
}

class GatewayMacTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        reset_settings();
        snprintf(g_log_file, sizeof g_log_file, "%s", dir.file("log").c_str());
        g_reads = 0;
        unsigned char initial[6] = {0xff, 0, 0, 0, 0, 0};
        memcpy(mgt_info.gateway_mac, initial, 6);
    }
    void TearDown() override { reset_settings(); }
    std::string mac() const
    {
        char text[18];
        const unsigned char *m = mgt_info.gateway_mac;
        snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", m[0], m[1], m[2], m[3], m[4],
                 m[5]);
        return text;
    }
    TempDir dir;
};

TEST_F(GatewayMacTest, AGoodFirstAnswerIsStoredWithoutARetry)
{
    g_answers = {{0x00, 0x1e, 0x67, 0xab, 0xcd, 0x0f}};
    g_results = {0};
    EXPECT_EQ(read_gateway_mac(scripted_read), 0);
    EXPECT_EQ(g_reads, 1);
    EXPECT_EQ(mac(), "00:1e:67:ab:cd:0f");
    EXPECT_FALSE(file_exists(g_log_file));
}

TEST_F(GatewayMacTest, PlaceholderAnswersAreReadOnceMoreAndLogged)
{
    for (auto first : {std::vector<unsigned char>{0xff, 0, 0, 0, 0, 0},
                       std::vector<unsigned char>{0, 0, 0, 0, 0, 0}}) {
        g_reads = 0;
        g_answers = {first, {0xff, 0, 0, 0, 0, 0}};
        g_results = {0, 0};
        EXPECT_EQ(read_gateway_mac(scripted_read), 0);
        EXPECT_EQ(g_reads, 2);
        EXPECT_EQ(mac(), "ff:00:00:00:00:00");
    }
    g_reads = 0;
    g_answers = {{0, 0, 0, 0, 0, 0}, {0x52, 0x54, 0, 0x12, 0x34, 0xa0}};
    EXPECT_EQ(read_gateway_mac(scripted_read), 0);
    EXPECT_EQ(mac(), "52:54:00:12:34:a0");
    std::string log = read_file(g_log_file);
    EXPECT_NE(log.find("[2] get_ipmi_lan_gwymac rv=0, buf 52:54:00:12:34:a0\n"), std::string::npos)
        << log;
}

TEST_F(GatewayMacTest, FailedReadsBecomeTheResultAndStoreNothing)
{
    g_answers = {{0x11, 0, 0, 0, 0, 0}};
    g_results = {0xC1};
    EXPECT_EQ(read_gateway_mac(scripted_read), 0xC1);
    EXPECT_EQ(mac(), "ff:00:00:00:00:00");

    g_reads = 0;
    g_answers = {{0, 0, 0, 0, 0, 0}, {1, 2, 3, 4, 5, 6}};
    g_results = {0, -5};
    EXPECT_EQ(read_gateway_mac(scripted_read), -5);
    EXPECT_EQ(mac(), "ff:00:00:00:00:00");
}

class AssetTagTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        reset_settings();
        snprintf(g_log_file, sizeof g_log_file, "%s", dir.file("log").c_str());
        g_asset_id[0] = '\0';
    }
    TempDir dir;
};

TEST_F(AssetTagTest, MissingFileIsUnknownAndLogged)
{
    read_asset_tag(dir.file("none").c_str());
    EXPECT_STREQ(g_asset_id, "unknown");
    EXPECT_NE(read_file(g_log_file).find("[1] fopen(/etc/corvantis-asset) error errno=2\n"),
              std::string::npos);
}

TEST_F(AssetTagTest, LeadingBlankLinesAreSkippedAndTheTagEndsAtTheLine)
{
    read_asset_tag(dir.write("a", "\n\n   ASSET-0042 rack 3\nsecond line\n").c_str());
    EXPECT_STREQ(g_asset_id, "ASSET-0042 rack 3");
}

TEST_F(AssetTagTest, EmptyFileGivesAnEmptyTagAndLongOnesAreCut)
{
    read_asset_tag(dir.write("empty", "").c_str());
    EXPECT_STREQ(g_asset_id, "");
    read_asset_tag(dir.write("long", std::string(300, 'A')).c_str());
    EXPECT_EQ(std::string(g_asset_id), std::string(79, 'A'));
    read_asset_tag(dir.write("eighty", std::string(80, 'B')).c_str());
    EXPECT_EQ(std::string(g_asset_id), std::string(79, 'B'));
}

// A registered entry as net-snmp hands it to the handler.
struct variable scalar(int magic)
{
    struct variable vp = {};
    vp.magic = static_cast<u_char>(magic);
    vp.type = ASN_OCTET_STR;
    size_t n = 0;
    for (oid part : MIB_ROOT)
        vp.name[n++] = part;
    vp.name[n++] = 6;
    vp.name[n++] = static_cast<oid>(magic);
    vp.namelen = static_cast<u_char>(n);
    return vp;
}

std::string get(int magic)
{
    struct variable vp = scalar(magic);
    oid name[MAX_OID_LEN];
    memcpy(name, vp.name, vp.namelen * sizeof(oid));
    size_t length = vp.namelen + 1u;
    name[length - 1] = 0;
    size_t var_len = 0;
    WriteMethod *write = nullptr;
    u_char *value = var_systemManagementInfoGroup(&vp, name, &length, 1, &var_len, &write);
    if (!value)
        return "<null>";
    return std::string(reinterpret_cast<char *>(value), var_len);
}

TEST(MgtHandler, AddressesAndMacsAreFormattedPerRequest)
{
    unsigned char ip[4] = {0xC0, 0xA8, 0x01, 0x0A};
    memcpy(bmc_ip, ip, 4);
    unsigned char mask[4] = {255, 255, 255, 0};
    memcpy(bmc_netmask, mask, 4);
    unsigned char mac[6] = {0x00, 0x1e, 0x67, 0xab, 0xcd, 0x0f};
    memcpy(mgt_info.bmc_mac, mac, 6);
    EXPECT_EQ(get(12), "192.168.1.10");
    EXPECT_EQ(get(14), "255.255.255.0");
    EXPECT_EQ(get(13), "00:1e:67:ab:cd:0f");
}

TEST(MgtHandler, StoredTextsAndUnknownMagics)
{
    snprintf(mgt_info.mem_total, sizeof mgt_info.mem_total, "%s", "2000 MB");
    EXPECT_EQ(get(4), "2000 MB");
    EXPECT_EQ(get(4), "2000 MB");
    mgt_info.cpu_used[0] = '\0';
    EXPECT_EQ(get(19), "<null>");
    EXPECT_EQ(get(0), "<null>");
    EXPECT_NE(get(9), "");
}

// Stand-ins for cat and mpstat on the search path count their runs and
// answer a new value each run; the group is registered with net-snmp as at
// start-up, and each request goes through its registration's handlers as
// net-snmp passes it, a PDU with its transaction id.
class PerRequestTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        reset_settings();
        snprintf(g_log_file, sizeof g_log_file, "%s", dir.file("log").c_str());
        std::string count_mem = "echo >>" + dir.file("mem.runs") + "; n=$(wc -l <" +
                                dir.file("mem.runs") + ")\n";
        std::string count_cpu = "echo >>" + dir.file("cpu.runs") + "; n=$(wc -l <" +
                                dir.file("cpu.runs") + ")\n";
        dir.write("cat", "#!/bin/sh\n" + count_mem +
                             "printf 'MemTotal: 2048000 kB\\nMemFree: %d kB\\n' $((n * 1024))\n");
        dir.write("mpstat", "#!/bin/sh\n" + count_cpu +
                                "printf '12:00 CPU %%idle\\n12:00 all %d\\n' $((100 - n))\n");
        chmod(dir.file("cat").c_str(), 0755);
        chmod(dir.file("mpstat").c_str(), 0755);
        old_path = getenv("PATH");
        setenv("PATH", (dir.path() + ":" + old_path).c_str(), 1);
        static bool registered = false;
        if (!registered)
            init_mgtInfoGroup();
        registered = true;
    }
    void TearDown() override
    {
        setenv("PATH", old_path.c_str(), 1);
        reset_settings();
    }
    int runs(const char *name) const
    {
        std::string counts = read_file(dir.file(name));
        return static_cast<int>(std::count(counts.begin(), counts.end(), '\n'));
    }
    TempDir dir;
    std::string old_path;
};

std::string serve(long request, int magic)
{
    oid name[] = {1, 3, 6, 1, 4, 1, 47391, 1, 6, static_cast<oid>(magic), 0};
    netsnmp_subtree *tree = netsnmp_subtree_find(name, 10, nullptr, "");
    if (!tree || !tree->reginfo)
        return "<not registered>";
    netsnmp_pdu pdu = {};
    pdu.transid = request;
    netsnmp_agent_session asp = {};
    asp.pdu = &pdu;
    netsnmp_agent_request_info reqinfo = {};
    reqinfo.asp = &asp;
    reqinfo.mode = MODE_GET;
    netsnmp_variable_list vb = {};
    snmp_set_var_objid(&vb, name, sizeof name / sizeof name[0]);
    netsnmp_request_info request_info = {};
    request_info.requestvb = &vb;
    netsnmp_call_handlers(tree->reginfo, &reqinfo, &request_info);
    std::string value = "<none>";
    if (vb.type == ASN_GAUGE)
        value = std::to_string(*vb.val.integer);
    else if (vb.type == ASN_OCTET_STR)
        value.assign(reinterpret_cast<char *>(vb.val.string), vb.val_len);
    snmp_free_var_internals(&vb);
    return value;
}

// However often net-snmp calls the handlers for one request (through
// AgentX a GETNEXT asks the object before too, in a PDU of the same
// request), each command runs once for it; the next request measures anew.
TEST_F(PerRequestTest, CommandsRunOncePerRequestWithFreshValues)
{
    int mem = runs("mem.runs"), cpu = runs("cpu.runs");
    std::string used = serve(1001, 5), free_mb = serve(1001, 6);
    EXPECT_EQ(serve(1001, 5), used);
    EXPECT_EQ(runs("mem.runs"), mem + 1);
    EXPECT_EQ(atoi(used.c_str()) + atoi(free_mb.c_str()), 2000) << used << " / " << free_mb;

    EXPECT_NE(serve(1002, 6), free_mb);
    EXPECT_EQ(runs("mem.runs"), mem + 2);

    std::string busy = serve(1002, 7);
    EXPECT_EQ(serve(1002, 7), busy);
    EXPECT_EQ(runs("cpu.runs"), cpu + 1);
    EXPECT_NE(serve(1003, 7), busy);
    EXPECT_EQ(runs("cpu.runs"), cpu + 2);
    EXPECT_EQ(busy.back(), '%');

    // Outside a request (start-up) every call measures.
    get(5);
    get(5);
    EXPECT_EQ(runs("mem.runs"), mem + 4);
}

// Memory and CPU use as numbers come from the measurement their texts
// show, made once for the request; a CPU text that is no number has none.
TEST_F(PerRequestTest, NumbersAgreeWithTheirTextsInOneRequest)
{
    dir.write("mpstat", "#!/bin/sh\necho >>" + dir.file("cpu.runs") +
                            "\nprintf '12:00 CPU %%idle\\n12:00 all 87.5\\n'\n");
    int mem = runs("mem.runs"), cpu = runs("cpu.runs");
    std::vector<std::string> got;
    for (int magic : {4, 5, 6, 7, 21, 22, 23, 24})
        got.push_back(serve(2001, magic));
    EXPECT_EQ(runs("mem.runs"), mem + 1);
    EXPECT_EQ(runs("cpu.runs"), cpu + 1);
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(got[i], got[4 + i] + " MB");
    EXPECT_EQ(got[3], "12.5 %");
    EXPECT_EQ(got[7], "1250");

    dir.write("mpstat", "#!/bin/sh\necho 'mpstat: cannot open /proc/stat'\n");
    EXPECT_EQ(serve(2002, 7), " %");
    EXPECT_EQ(serve(2002, 24), "<none>");
}

TEST(CpuUse, HundredthsOfWhatAwkPrinted)
{
    struct Case {
        const char *text;
        long hundredths; // -1: none
    };
    const Case cases[] = {{"12.5", 1250}, {"0", 0},    {"100", 10000}, {"3.456", 346},
                          {"1e-05", 0},   {"", -1},    {"abc", -1},    {"-0.5", -1},
                          {"12.5 %", -1}, {"nan", -1}, {"inf", -1},    {"50000000", -1}};
    for (const Case &c : cases) {
        long got = -7;
        bool reads = cpu_hundredths_of(c.text, &got);
        EXPECT_EQ(reads ? got : -1, c.hundredths) << c.text;
    }
}

TEST(MgtTables, BothTablesAreInOidOrder)
{
    EXPECT_TRUE(mib_table_in_order(systemManagementInfoGroup_variables,
                                   std::size(systemManagementInfoGroup_variables)));
    EXPECT_TRUE(mib_table_in_order(systemManagementInfoGroup_variables1,
                                   std::size(systemManagementInfoGroup_variables1)));
    // The basic table: the host's objects 1..9, then its numbers 21..24.
    std::vector<int> basic, expected = {1, 2, 3, 4, 5, 6, 7, 8, 9, 21, 22, 23, 24};
    for (const auto &v : systemManagementInfoGroup_variables1)
        basic.push_back(v.magic);
    EXPECT_EQ(basic, expected);
    EXPECT_EQ(systemManagementInfoGroup_variables[18].type, ASN_GAUGE);
}

} // namespace
