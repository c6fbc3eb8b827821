// The IPMI layer against a real simulated BMC (ipmi_sim) on loopback, the
// sensor group's request path against one that is frozen, and its refresh
// passes' notifications and health against one whose sensors move.
//
// CTest starts one ipmi_sim for the suite (tests/rig/bmc_start.sh) and
// passes its directory in BMC_RIG_DIR; DIR/bmc.env says where it listens.
// Tests that stop or freeze a BMC start one of their own.  Each test is its
// own process, so the layer's one context starts closed.
#include "../sensor/sensor_test_util.h"
#include "agent/notify.h"
#include "agent/text.h"
#include "groups/statusGroup.h"
#include "ipmi/internal.h"
#include "ipmi/ipmi.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<unsigned char>;

std::map<std::string, std::string> read_env_file(const std::string &path)
{
    std::map<std::string, std::string> env;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        size_t eq = line.find('=');
        if (eq != std::string::npos)
            env[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return env;
}

// Log lines the layer reported, in order.
std::vector<std::pair<int, std::string>> g_logged;
void capture_log(int level, const char *text)
{
    g_logged.emplace_back(level, text);
}
bool logged(int level, const std::string &part)
{
    for (const auto &[l, text] : g_logged)
        if (l == level && text.find(part) != std::string::npos)
            return true;
    return false;
}

double seconds_since(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// A loopback UDP port that nothing listens on (bound once, then freed).
int unused_udp_port()
{
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0)
        return -1;
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    close(fd);
    return ntohs(a.sin_port);
}

// A BMC of this test's own on a free port, for tests that stop or freeze
// it; stopped (and its directory removed) at scope end.
class OwnBmc {
public:
    OwnBmc()
    {
        char dir[] = "/tmp/ipmi-own.XXXXXX";
        if (!mkdtemp(dir))
            return;
        dir_ = dir;
        where_ = "127.0.0.1:" + std::to_string(unused_udp_port());
        started_ = start();
        std::map<std::string, std::string> env = read_env_file(dir_ + "/bmc.env");
        pid_ = std::atoi(env["BMC_PID"].c_str());
        console_ = env["BMC_CONSOLE"];
    }
    ~OwnBmc()
    {
        if (!dir_.empty())
            std::system((script("bmc_stop.sh") + " " + shell_quote(dir_)).c_str());
    }
    OwnBmc(const OwnBmc &) = delete;
    OwnBmc &operator=(const OwnBmc &) = delete;

    bool started() const { return started_ && pid_ > 0; }
    const std::string &where() const { return where_; }
    pid_t pid() const { return pid_; }
    // One command line on the BMC's console; what it answered up to its
    // next prompt ("" when the console could not be reached).
    std::string console(const std::string &line) const
    {
        size_t colon = console_.rfind(':');
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(std::atoi(console_.c_str() + colon + 1)));
        if (fd < 0 || colon == std::string::npos ||
            inet_pton(AF_INET, console_.substr(0, colon).c_str(), &a.sin_addr) != 1 ||
            connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
            if (fd >= 0)
                close(fd);
            return "";
        }
        timeval limit{5, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        auto prompt = [fd] {
            std::string data;
            char buf[512];
            while (data.size() < 2 || data.compare(data.size() - 2, 2, "> ") != 0) {
                ssize_t n = read(fd, buf, sizeof buf);
                if (n <= 0)
                    break;
                data.append(buf, static_cast<size_t>(n));
            }
            return data;
        };
        prompt();
        std::string command = line + "\r\n";
        std::string answer;
        if (write(fd, command.data(), command.size()) == static_cast<ssize_t>(command.size()))
            answer = prompt();
        close(fd);
        return answer;
    }
    bool start()
    {
        return std::system((script("bmc_start.sh") + " " + shell_quote(dir_) + " " +
                            shell_quote(where_) + " >/dev/null")
                               .c_str()) == 0;
    }
    // Stops it, keeping its directory for start().
    bool stop()
    {
        return std::system((script("bmc_stop.sh") + " --keep " + shell_quote(dir_)).c_str()) == 0;
    }

private:
    static std::string script(const char *name)
    {
        return shell_quote(std::string(BMC_RIG_SCRIPTS) + "/" + name);
    }
    std::string dir_;
    std::string where_;
    std::string console_;
    pid_t pid_ = 0;
    bool started_ = false;
};

// SIGSTOP while alive, then always SIGCONT.
struct Frozen {
    explicit Frozen(pid_t pid) : pid(pid) { kill(pid, SIGSTOP); }
    ~Frozen() { kill(pid, SIGCONT); }
    pid_t pid;
};

class LanBmc : public ::testing::Test {
protected:
    void SetUp() override
    {
        const char *dir = std::getenv("BMC_RIG_DIR");
        ASSERT_NE(dir, nullptr) << "BMC_RIG_DIR not set: run through ctest";
        env_ = read_env_file(std::string(dir) + "/bmc.env");
        ASSERT_FALSE(env_["BMC_HOST"].empty()) << "no BMC_HOST in " << dir << "/bmc.env";
        g_logged.clear();
        bmc::set_log(capture_log);
        connect_good();
    }
    void TearDown() override
    {
        // Ends the LAN session: the BMC keeps abandoned ones until timeout.
        bmc::ipmi_close_();
        bmc::set_log(nullptr);
    }
    void connect_good()
    {
        bmc::set_connection(env_["BMC_HOST"].c_str(), env_["BMC_USER"].c_str(),
                            env_["BMC_PASSWORD"].c_str(), env_["BMC_WORKAROUND"].c_str());
    }
    // Get LAN Configuration Parameters, channel 1, the agent's request.
    int lan_param(unsigned char param, Bytes &out, unsigned char &cc, int capacity = 80)
    {
        unsigned char rq[4] = {0x01, param, 0x00, 0x00};
        out.assign(capacity, 0);
        int len = capacity;
        int rc = bmc::ipmi_cmd(0x0C02, rq, 4, out.data(), &len, &cc, 0);
        out.resize(rc == 0 ? len : 0);
        return rc;
    }
    std::map<std::string, std::string> env_;
};

TEST_F(LanBmc, GetDeviceIdReportsFirmware123)
{
    unsigned char buf[256];
    std::memset(buf, 0xEE, sizeof buf);
    ASSERT_EQ(bmc::ipmi_getdeviceid(buf, 256, 0), 0);
    EXPECT_EQ(buf[0], 0x20); // device id
    EXPECT_EQ(buf[2], 0x01); // firmware major
    EXPECT_EQ(buf[3], 0x23); // firmware minor, BCD
    EXPECT_EQ(buf[4], 0x02); // IPMI version 2.0

    // A small buffer gets the first bytes and nothing beyond them.
    unsigned char small[8];
    std::memset(small, 0xEE, sizeof small);
    ASSERT_EQ(bmc::ipmi_getdeviceid(small, 4, 0), 0);
    EXPECT_EQ(small[3], 0x23);
    for (int i = 4; i < 8; i++)
        EXPECT_EQ(small[i], 0xEE) << "byte " << i << " written past the size";
}

TEST_F(LanBmc, LanConfigurationParametersCarryTheFixtureBytes)
{
    const std::map<int, Bytes> expected = {
        {3, {0xC0, 0xA8, 0x01, 0x0A}},                 // IP 192.168.1.10
        {4, {0x01}},                                   // source: static
        {5, {0x02, 0x5A, 0xE1, 0x9B, 0xCD, 0x0F}},     // MAC 02:5a:e1:9b:cd:0f
        {6, {0xFF, 0xFF, 0xFF, 0x00}},                 // 255.255.255.0
        {12, {0xC0, 0xA8, 0x01, 0x01}},                // gateway 192.168.1.1
        {13, {0xFF, 0x00, 0x00, 0x00, 0x00, 0x00}},    // gateway MAC ff:00:..
    };
    for (const auto &[param, data] : expected) {
        SCOPED_TRACE("parameter " + std::to_string(param));
        Bytes rs;
        unsigned char cc = 0xEE;
        ASSERT_EQ(lan_param(param, rs, cc), 0);
        EXPECT_EQ(cc, 0x00);
        ASSERT_EQ(rs.size(), 1 + data.size());
        EXPECT_EQ(rs[0], 0x11); // parameter revision
        EXPECT_EQ(Bytes(rs.begin() + 1, rs.end()), data);
    }

    // Reading the gateway MAC again (the agent's retry) gives the same bytes.
    Bytes again;
    unsigned char cc = 0xEE;
    ASSERT_EQ(lan_param(13, again, cc), 0);
    EXPECT_EQ(again, (Bytes{0x11, 0xFF, 0x00, 0x00, 0x00, 0x00, 0x00}));

    // An answer longer than the buffer is cut to it.
    Bytes cut;
    ASSERT_EQ(lan_param(5, cut, cc, 3), 0);
    EXPECT_EQ(cut, (Bytes{0x11, 0x02, 0x5A}));

    // An OEM parameter, unsupported: a completion code, not a failure.
    cc = 0;
    ASSERT_EQ(lan_param(0xC0, cut, cc), 0);
    EXPECT_EQ(cc, 0x80);
    EXPECT_TRUE(cut.empty());

    // The debug flag prints the request's and the answer's bytes.
    testing::internal::CaptureStderr();
    unsigned char rq[4] = {0x01, 0x03, 0x00, 0x00};
    unsigned char buf[80];
    int len = 80;
    int rc = bmc::ipmi_cmd(0x0C02, rq, 4, buf, &len, &cc, 1);
    std::string err = testing::internal::GetCapturedStderr();
    ASSERT_EQ(rc, 0);
    EXPECT_NE(err.find("01 03 00 00"), std::string::npos) << err;
    EXPECT_NE(err.find("11 c0 a8 01 0a"), std::string::npos) << err;
}

// The OEM LAN port command is answered with "invalid command"; a request
// bridged to a controller that is absent fails, and the session goes on.
TEST_F(LanBmc, RawCommandsGetTheirCompletionCodesAndFailures)
{
    unsigned char rq[2] = {0x0C, 0x00};
    unsigned char rs[40];
    int len = 16;
    unsigned char cc = 0;
    ASSERT_EQ(bmc::ipmi_cmdraw(0x70, 0x30, 0x20, 0, 0, rq, 2, rs, &len, &cc, 0), 0);
    EXPECT_EQ(cc, 0xC1);
    EXPECT_EQ(len, 0);

    len = 40;
    EXPECT_NE(bmc::ipmi_cmdraw(0x01, 0x06, 0x82, 0, 0, nullptr, 0, rs, &len, &cc, 0), 0);
    EXPECT_TRUE(logged(1, "ipmi_cmd_raw_ipmb: "));
    len = 40;
    ASSERT_EQ(bmc::ipmi_cmdraw(0x01, 0x06, 0x20, 0, 0, nullptr, 0, rs, &len, &cc, 0), 0);
    EXPECT_EQ(rs[3], 0x23);
}

TEST_F(LanBmc, BadArgumentsAreRejectedWithoutTraffic)
{
    unsigned char rs[8];
    unsigned char cc;
    int len = 8;
    EXPECT_EQ(bmc::ipmi_cmd(0x0601, nullptr, 0, rs, nullptr, &cc, 0), bmc::kErrArg);
    EXPECT_EQ(bmc::ipmi_cmd(0x0601, nullptr, 2, rs, &len, &cc, 0), bmc::kErrArg);
    EXPECT_EQ(bmc::ipmi_cmd(0x0601, rs, -1, rs, &len, &cc, 0), bmc::kErrArg);
    len = 8;
    EXPECT_EQ(bmc::ipmi_cmd(0x0601, nullptr, 0, nullptr, &len, &cc, 0), bmc::kErrArg);
    EXPECT_EQ(bmc::ipmi_getdeviceid(nullptr, 20, 0), bmc::kErrArg);
    // Network functions are 6 bits and LUNs 2.
    len = 8;
    EXPECT_EQ(bmc::ipmi_cmdraw(0x01, 0x40, 0x20, 0, 0, nullptr, 0, rs, &len, &cc, 0), bmc::kErrArg);
    EXPECT_EQ(bmc::ipmi_cmdraw(0x01, 0x06, 0x20, 0, 4, nullptr, 0, rs, &len, &cc, 0), bmc::kErrArg);
}

// --- Failures and recovery --------------------------------------------------

TEST_F(LanBmc, WrongPasswordFailsThenTheGoodOneWorksAgain)
{
    unsigned char buf[20];
    ASSERT_EQ(bmc::ipmi_getdeviceid(buf, 20, 0), 0); // a session is open

    // New settings close it; the next call logs in with them.
    bmc::set_connection(env_["BMC_HOST"].c_str(), "admin", "wrong-password",
                        env_["BMC_WORKAROUND"].c_str());
    auto start = Clock::now();
    int rc = bmc::ipmi_getdeviceid(buf, 20, 0);
    EXPECT_LT(seconds_since(start), 5.0);
    EXPECT_NE(rc, 0);
    EXPECT_TRUE(logged(1, "ipmi_ctx_open_outofband_2_0: ")) << "no open failure logged";
    EXPECT_STRNE(bmc::error_text(rc), "unknown error");

    connect_good();
    ASSERT_EQ(bmc::ipmi_getdeviceid(buf, 20, 0), 0);
    EXPECT_EQ(buf[3], 0x23);
}

TEST_F(LanBmc, SilentPortFailsWithinSecondsThenHoldsOffThenRecovers)
{
    int port = unused_udp_port();
    ASSERT_GT(port, 0);
    std::string host = "127.0.0.1:" + std::to_string(port);
    bmc::set_connection(host.c_str(), "admin", "password", "opensesspriv");

    unsigned char buf[20];
    auto start = Clock::now();
    int rc = bmc::ipmi_getdeviceid(buf, 20, 0);
    EXPECT_NE(rc, 0);
    EXPECT_LT(seconds_since(start), 10.0);
    EXPECT_TRUE(logged(1, "ipmi_ctx_open_outofband_2_0: "));

    // Within the hold-off: the same failure at once, no new attempt.
    g_logged.clear();
    start = Clock::now();
    EXPECT_EQ(bmc::ipmi_getdeviceid(buf, 20, 0), rc);
    EXPECT_LT(seconds_since(start), 0.5);
    EXPECT_FALSE(logged(1, "ipmi_ctx_open_outofband_2_0: "));

    // After it, one more attempt, whose failure is reported like the
    // first: the sink, not the layer, limits repeats.
    std::this_thread::sleep_for(std::chrono::milliseconds(bmc::kRetryHoldoffSeconds * 1000 + 200));
    EXPECT_NE(bmc::ipmi_getdeviceid(buf, 20, 0), 0);
    EXPECT_TRUE(logged(1, "ipmi_ctx_open_outofband_2_0: "));

    // New settings end the hold-off.
    connect_good();
    EXPECT_EQ(bmc::ipmi_getdeviceid(buf, 20, 0), 0);
}

// A station polling every few seconds keeps one session: FreeIPMI's
// session timeout, which also bounds how long a session may stay idle, is
// 20 s, and the BMC keeps an idle session longer than that.
TEST_F(LanBmc, SessionIdleForSecondsIsUsedAgain)
{
    unsigned char buf[20];
    ASSERT_EQ(bmc::ipmi_getdeviceid(buf, 20, 0), 0);
    unsigned opened = bmc::sessions_opened();
    for (int ms : {2500, 5000}) {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        EXPECT_EQ(bmc::ipmi_getdeviceid(buf, 20, 0), 0) << "after " << ms << " ms idle";
    }
    EXPECT_EQ(bmc::sessions_opened(), opened) << "a new session for one idle a few seconds";
    EXPECT_TRUE(g_logged.empty()) << g_logged.front().second;
}

TEST_F(LanBmc, WorkaroundsAreAppliedAndUnknownNamesIgnored)
{
    unsigned char buf[20];
    // ipmi_sim needs opensesspriv: without it the login fails.
    bmc::set_connection(env_["BMC_HOST"].c_str(), "admin", "password", "");
    EXPECT_NE(bmc::ipmi_getdeviceid(buf, 20, 0), 0);

    g_logged.clear();
    bmc::set_connection(env_["BMC_HOST"].c_str(), "admin", "password",
                        " no-such-fix , opensesspriv");
    EXPECT_TRUE(logged(2, "'no-such-fix'"));
    EXPECT_EQ(bmc::ipmi_getdeviceid(buf, 20, 0), 0);
}

TEST(InBand, WithoutDeviceFailsAtOnce)
{
    struct stat st;
    if (stat("/dev/ipmi0", &st) == 0 || stat("/dev/ipmi/0", &st) == 0 ||
        stat("/dev/ipmidev/0", &st) == 0)
        GTEST_SKIP() << "this machine has an in-band IPMI device";
    g_logged.clear();
    bmc::set_log(capture_log);
    bmc::set_connection("", nullptr, nullptr, nullptr);
    unsigned char buf[20];
    for (int call = 0; call < 2; call++) {
        auto start = Clock::now();
        EXPECT_NE(bmc::ipmi_getdeviceid(buf, 20, 0), 0);
        EXPECT_LT(seconds_since(start), 2.0);
    }
    EXPECT_TRUE(logged(1, "ipmi_ctx_open_inband: "));
    bmc::ipmi_close_();
    bmc::set_log(nullptr);
}

// A BMC that goes away under an open session, then comes back on the same
// port: the command in progress fails once FreeIPMI's session timeout
// (20 s) has passed, calls fail at once meanwhile for the hold-off, and
// the next call after its return and the hold-off logs in again.
TEST_F(LanBmc, RestartedBmcIsReachedAgain)
{
    OwnBmc own;
    ASSERT_TRUE(own.started());
    bmc::set_connection(own.where().c_str(), "admin", "password", "opensesspriv");
    unsigned char buf[20];
    EXPECT_EQ(bmc::ipmi_getdeviceid(buf, 20, 0), 0);

    ASSERT_TRUE(own.stop());
    auto start = Clock::now();
    EXPECT_NE(bmc::ipmi_getdeviceid(buf, 20, 0), 0);
    EXPECT_LT(seconds_since(start), 30.0);
    EXPECT_TRUE(logged(1, "ipmi_cmd_raw: "));
    start = Clock::now();
    EXPECT_NE(bmc::ipmi_getdeviceid(buf, 20, 0), 0);
    EXPECT_LT(seconds_since(start), 0.5) << "held off: no new attempt yet";

    ASSERT_TRUE(own.start());
    std::this_thread::sleep_for(std::chrono::milliseconds(bmc::kRetryHoldoffSeconds * 1000 + 200));
    EXPECT_EQ(bmc::ipmi_getdeviceid(buf, 20, 0), 0);
    EXPECT_EQ(buf[3], 0x23);
    bmc::ipmi_close_();
}

// The reading column's GET while the BMC is frozen answers within the
// request budget with the failed-reading value (the command goes on
// without the handler), later GETs do not queue behind that command, and
// once the BMC thaws the same session answers again.
TEST_F(LanBmc, ReadingFromAFrozenBmcIsServedWithinTheBudget)
{
    OwnBmc own;
    ASSERT_TRUE(own.started());
    LogCapture agent_log;
    bmc::set_connection(own.where().c_str(), "admin", "password", "opensesspriv");
    reset_sensor_group(true);
    discover_sensors();
    ASSERT_NE(sensors(), nullptr);
    auto cpu_reading = [] { return sensor_get({20, 2, 1, 6}, 1).text; };
    ASSERT_EQ(cpu_reading(), "45.00 degrees C");
    unsigned opened = bmc::sessions_opened();
    {
        Frozen frozen(own.pid());
        for (int get = 0; get < 3; get++) {
            auto start = Clock::now();
            std::string text = cpu_reading();
            double took = seconds_since(start);
            EXPECT_EQ(text, "0.00 degrees C") << "GET " << get;
            EXPECT_LT(took, 1.0) << "GET " << get << " waited for the frozen BMC";
        }
        EXPECT_EQ(sensor_get({20, 2, 1, 4}, 1).text, "Init");
        EXPECT_EQ(sensor_get({20, 2, 1, 5}, 1).integer, 7);
    }
    auto start = Clock::now();
    while (cpu_reading() != "45.00 degrees C" && seconds_since(start) < 15)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(cpu_reading(), "45.00 degrees C");
    EXPECT_EQ(bmc::sessions_opened(), opened) << "the session did not survive the freeze";
    reset_sensor_group(false);
}

// Notifications queued while a test observes them, by kind, each as its
// variables' "oid-suffix=value" words in their order.
std::map<notification_kind, std::vector<std::string>> g_notified;
void observe(notification_kind kind, const std::vector<notify_varbind> &varbinds)
{
    std::string words;
    for (const notify_varbind &v : varbinds) {
        if (!words.empty())
            words += ' ';
        for (size_t i = 0; i < v.suffix.size(); i++)
            words += (i ? "." : "") + std::to_string(v.suffix[i]);
        words += '=' + (v.type == ASN_OCTET_STR ? v.text : std::to_string(v.integer));
    }
    g_notified[kind].push_back(words);
}
using Notified = std::map<notification_kind, std::vector<std::string>>;

// Refresh passes against a BMC whose FAN1 (raw 96 = 4800 RPM; lower
// critical 800 RPM, lower non-critical 1000) is moved between them: each
// change of a row's status gives one notification, the first pass none,
// and each new critical entry that the move logs gives one.  A pass the
// BMC does not answer is a failure of its health row, with the cause.
TEST_F(LanBmc, RefreshPassesNotifyChangesAndRecordTheBmcsHealth)
{
    OwnBmc own;
    ASSERT_TRUE(own.started());
    LogCapture agent_log;
    bmc::set_connection(own.where().c_str(), "admin", "password", "opensesspriv");
    reset_sensor_group(true);
    reset_health();
    g_notified.clear();
    set_notify_observer(observe);

    struct Step {
        const char *console; // before the pass; null: none
        std::vector<std::string> sensor;    // the sensor notifications' variables
        std::vector<std::string> event_log; // the event log's: row and a part of its text
    };
    const Step steps[] = {
        {nullptr, {}, {}}, // the first pass only records
        // 600 RPM: lower critical, so Crit-lo (2); the BMC logs the lower
        // non-critical (MIN, row 4) and critical (MAJ, row 5) assertions.
        {"sensor_set_value 0x20 0 0x30 12 1",
         {"4.10.2.1.3.1=FAN1 7.20.0=0 4.10.2.1.5.1=2 4.10.2.1.9.1=600000"},
         {"4.40.2.1.2.5=0005 | ", " | MAJ | BMC | Fan | FAN1 | Lower Critical - going low"}},
        {nullptr, {}, {}}, // no change, nothing again
        // Back to normal: the clear, and the deassertions (rows 6 and 7).
        {"sensor_set_value 0x20 0 0x30 96 1",
         {"4.10.2.1.3.1=FAN1 7.20.0=2 4.10.2.1.5.1=0 4.10.2.1.9.1=4800000"},
         {"4.40.2.1.2.7=0007 | ", " | MAJ | BMC | Fan | FAN1 | Deasserted ; Lower Critical"}},
    };
    for (size_t i = 0; i < std::size(steps); i++) {
        const Step &step = steps[i];
        SCOPED_TRACE("pass " + std::to_string(i + 1));
        if (step.console) {
            ASSERT_NE(own.console(step.console), "") << "the BMC's console did not answer";
        }
        g_notified.clear();
        discover_sensors();
        std::vector<std::string> sensor = g_notified[NOTIFY_SENSOR_STATUS];
        std::vector<std::string> event_log = g_notified[NOTIFY_EVENT_LOG_ENTRY];
        EXPECT_EQ(g_notified.size(), 2u) << "notifications of other kinds";
        EXPECT_EQ(sensor, step.sensor);
        ASSERT_EQ(event_log.size(), step.event_log.empty() ? 0u : 1u);
        if (!step.event_log.empty()) {
            EXPECT_EQ(event_log[0].rfind(step.event_log[0], 0), 0u) << event_log[0];
            EXPECT_NE(event_log[0].find(step.event_log[1]), std::string::npos) << event_log[0];
        }
        health_row bmc_row = health_now(HEALTH_BMC, std::time(nullptr));
        EXPECT_EQ(bmc_row.state, HEALTH_OK);
        EXPECT_EQ(bmc_row.failures, 0);
    }

    // Unreachable (a port nobody answers on): the pass fails with the
    // cause, the source's change is told, and the sensors, which the pass
    // could not read, are not.
    int port = unused_udp_port();
    ASSERT_GT(port, 0);
    bmc::set_connection(("127.0.0.1:" + std::to_string(port)).c_str(), "admin", "password",
                        "opensesspriv");
    g_notified.clear();
    discover_sensors();
    health_row bmc_row = health_now(HEALTH_BMC, std::time(nullptr));
    EXPECT_EQ(bmc_row.state, HEALTH_FAILED);
    EXPECT_EQ(bmc_row.failures, 1);
    EXPECT_EQ(bmc_row.error.rfind("all 12 sensor readings failed: ", 0), 0u) << bmc_row.error;
    EXPECT_TRUE(agent_log.has(2, bmc_row.error)) << "the log names the same cause";
    EXPECT_EQ(g_notified,
              (Notified{{NOTIFY_SOURCE_STATE, {"7.10.2.1.2.1=bmc 7.20.0=1 7.10.2.1.3.1=3"}}}));

    // Back: a success, and still no change against the last pass it read.
    bmc::set_connection(own.where().c_str(), "admin", "password", "opensesspriv");
    g_notified.clear();
    discover_sensors();
    bmc_row = health_now(HEALTH_BMC, std::time(nullptr));
    EXPECT_EQ(bmc_row.state, HEALTH_OK);
    EXPECT_EQ(bmc_row.failures, 0);
    EXPECT_EQ(bmc_row.error, "");
    EXPECT_EQ(g_notified,
              (Notified{{NOTIFY_SOURCE_STATE, {"7.10.2.1.2.1=bmc 7.20.0=3 7.10.2.1.3.1=1"}}}));

    set_notify_observer(nullptr);
    reset_sensor_group(false);
    reset_health();
}

// --- Sensor data records, readings and SEL text (the fixture's BMC) -------

std::string sdr_name(const unsigned char *sdr)
{
    int n = sdr[47] & 0x1f;
    return std::string(reinterpret_cast<const char *>(sdr + 48), n);
}

class Sdr : public LanBmc {
protected:
    void TearDown() override
    {
        std::shared_ptr<const bmc::SdrCache> cache;
        // Leaves no cache behind for the next test in this process.
        if (bmc::get_sdr_cache(&cache) == 0)
            bmc::free_sdr_cache(cache.get());
        LanBmc::TearDown();
    }
    // The cached record named so.
    Bytes record(const std::string &name)
    {
        std::shared_ptr<const bmc::SdrCache> cache;
        EXPECT_EQ(bmc::get_sdr_cache(&cache), 0);
        unsigned char buf[bmc::kSdrMax];
        for (int i = 0; bmc::find_sdr_at(buf, cache.get(), i) == 0; i++)
            if (buf[3] == 0x01 && sdr_name(buf) == name)
                return Bytes(buf, buf + bmc::kSdrMax);
        ADD_FAILURE() << "no full record " << name;
        return Bytes(bmc::kSdrMax, 0);
    }
};

TEST_F(Sdr, CacheHoldsEveryRecordAsStoredAndIsReadOnce)
{
    std::shared_ptr<const bmc::SdrCache> cache;
    ASSERT_EQ(bmc::get_sdr_cache(&cache), 0);
    ASSERT_NE(cache, nullptr);
    EXPECT_EQ(bmc::find_nsdrs(cache.get()), 13);
    std::shared_ptr<const bmc::SdrCache> again;
    EXPECT_EQ(bmc::get_sdr_cache(&again), 0);
    EXPECT_EQ(again, cache) << "the same cache, not a second read";

    // find_sdr_next from 0 steps through record IDs 1..13.
    unsigned char buf[bmc::kSdrMax];
    unsigned short prev = 0;
    int seen = 0;
    while (bmc::find_sdr_next(buf, cache.get(), prev) == 0) {
        unsigned short id = static_cast<unsigned short>(buf[0] | (buf[1] << 8));
        EXPECT_EQ(id, seen + 1);
        EXPECT_EQ(buf[2], 0x51) << "raw bytes, header first";
        prev = id;
        seen++;
    }
    EXPECT_EQ(seen, 13);

    ASSERT_EQ(bmc::find_sdr_by_id(buf, cache.get(), 6), 0);
    EXPECT_EQ(sdr_name(buf), "12V Aux");
    EXPECT_EQ(buf[7], 0x11);
    EXPECT_EQ(buf[12], 0x02);
    EXPECT_EQ(buf[4] + 5, 55) << "record length from its header";
    EXPECT_EQ(buf[55], 0) << "zero past the record";
    ASSERT_EQ(bmc::find_sdr_by_id(buf, cache.get(), 9), 0);
    EXPECT_EQ(buf[3], 0x02) << "the compact record";
    EXPECT_NE(bmc::find_sdr_by_id(buf, cache.get(), 14), 0);
    ASSERT_EQ(bmc::find_sdr_at(buf, cache.get(), 12), 0);
    EXPECT_EQ(sdr_name(buf), "PCH Temp");
    EXPECT_NE(bmc::find_sdr_at(buf, cache.get(), 13), 0);

    bmc::free_sdr_cache(cache.get());
    cache.reset();
    ASSERT_EQ(bmc::get_sdr_cache(&cache), 0) << "read again after a free";
    EXPECT_EQ(bmc::find_nsdrs(cache.get()), 13);
}

TEST_F(Sdr, ReadingsConvertWithTheRecordsFormula)
{
    struct Case {
        const char *name;
        double reading;
        double upper_critical;
        double lower_critical;
        const char *unit;
        unsigned char threshold_bits;
    };
    const Case cases[] = {
        {"FAN1", 4800, 12000, 800, "RPM", 0x00},
        {"PSU1 Current", 5.2, 18.0, 0.0, "Amps", 0x00},
        {"CPU Temp", 45, 95, 5, "degrees C", 0x00},
        {"System Temp", 78, 85, 5, "degrees C", 0x08}, // at or above upper non-critical
        {"12V", 11.97, 13.419, 10.584, "Volts", 0x00},
        {"12V Aux", 12.5, 13.5, 11.5, "Volts", 0x00}, // M, B and both exponents
        {"-12V", -12.0, -10.8, -13.2, "Volts", 0x00},   // two's complement
        {"VBAT", 3.0, 3.4, 2.4, "Volts", 0x00},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Bytes sdr = record(c.name);
        unsigned char rd[4] = {0xEE, 0xEE, 0xEE, 0xEE};
        ASSERT_EQ(bmc::GetSensorReading(sdr[7], sdr.data(), rd), 0);
        EXPECT_EQ(rd[1] & 0x20, 0) << "reading available";
        EXPECT_EQ(rd[2] & 0x3f, c.threshold_bits);
        EXPECT_NEAR(bmc::RawToFloat(rd[0], sdr.data()), c.reading, 1e-9);
        EXPECT_NEAR(bmc::RawToFloat(sdr[37], sdr.data()), c.upper_critical, 1e-9);
        EXPECT_NEAR(bmc::RawToFloat(sdr[40], sdr.data()), c.lower_critical, 1e-9);
        EXPECT_STREQ(bmc::get_unit_type(sdr[20], sdr[21], sdr[22], 0), c.unit);
    }

    // No such sensor: a completion code, not a transport failure.
    unsigned char rd[4];
    int rc = bmc::GetSensorReading(0x77, record("CPU Temp").data(), rd);
    EXPECT_GT(rc, 0);
    EXPECT_LE(rc, 0xff);
    EXPECT_NE(bmc::GetSensorReading(0x01, nullptr, rd), 0);
}

TEST_F(Sdr, SelEntryDecodesWithTheSensorNameFromTheCache)
{
    std::shared_ptr<const bmc::SdrCache> cache;
    ASSERT_EQ(bmc::get_sdr_cache(&cache), 0);
    unsigned char rq[6] = {0x00, 0x00, 0x01, 0x00, 0x00, 0xFF}; // Get SEL Entry 0001h
    unsigned char rs[80];
    int len = sizeof rs;
    unsigned char cc = 0xEE;
    ASSERT_EQ(bmc::ipmi_cmd(0x0A43, rq, 6, rs, &len, &cc, 0), 0);
    ASSERT_EQ(cc, 0);
    ASSERT_EQ(len, 18);

    bmc::set_sel_opts(1, 1, cache, 0, 1);
    char text[512];
    ASSERT_EQ(bmc::decode_sel_entry(rs + 2, text, sizeof text), 0);
    std::string line = text;
    ASSERT_FALSE(line.empty());
    EXPECT_EQ(line.back(), '\n');
    EXPECT_EQ(line.rfind("0001 | ", 0), 0u) << line;
    EXPECT_NE(line.find(" | MIN | BMC | Temperature | CPU Temp | Upper Non-critical - going high ; "
                        "Sensor Reading = 86.00 C ; Threshold = 85.00 C\n"),
              std::string::npos)
        << line;

    // The same entry in the table's 120 bytes: cut, so no newline.
    char row[120];
    ASSERT_EQ(bmc::decode_sel_entry(rs + 2, row, sizeof row), 0);
    EXPECT_EQ(std::string(row), line.substr(0, 119));

    // Without sensor descriptions the sensor is named by number.
    bmc::set_sel_opts(0, 1, cache, 0, 1);
    ASSERT_EQ(bmc::decode_sel_entry(rs + 2, text, sizeof text), 0);
    EXPECT_NE(std::string(text).find(" | Temperature | Sensor #1 | "), std::string::npos) << text;

    // Freeing the cache drops it from the options too.
    bmc::set_sel_opts(1, 1, cache, 0, 1);
    bmc::free_sdr_cache(cache.get());
    ASSERT_EQ(bmc::decode_sel_entry(rs + 2, text, sizeof text), 0);
    EXPECT_NE(std::string(text).find("Sensor #1"), std::string::npos) << text;
    EXPECT_NE(bmc::decode_sel_entry(nullptr, text, sizeof text), 0);
    EXPECT_NE(bmc::decode_sel_entry(rs + 2, text, 0), 0);
}

TEST_F(LanBmc, SdrCacheFromASilentBmcFailsPromptly)
{
    int port = unused_udp_port();
    ASSERT_GT(port, 0);
    std::string where = "127.0.0.1:" + std::to_string(port);
    bmc::set_connection(where.c_str(), "admin", "password", "opensesspriv");
    std::shared_ptr<const bmc::SdrCache> cache;
    auto start = Clock::now();
    EXPECT_LT(bmc::get_sdr_cache(&cache), 0);
    EXPECT_EQ(cache, nullptr);
    EXPECT_LT(seconds_since(start), 10.0);
    EXPECT_EQ(bmc::get_sdr_cache(nullptr), bmc::kErrArg);
}

// Conversion and units on records made here: what the fixture's BMC does
// not hold (1/x linearization, 1's complement, percent, no analog reading).
TEST(Conversion, FormulaFormatsAndUnits)
{
    unsigned char r[64] = {0x01, 0x00, 0x51, 0x01, 59};
    r[24] = 1; // M 1, B 0, exponents 0
    r[23] = 0x07; // 1/x
    EXPECT_DOUBLE_EQ(bmc::RawToFloat(4, r), 0.25);
    r[23] = 0x00;
    r[20] = 0x40; // 1's complement: 0xFE is -1
    EXPECT_DOUBLE_EQ(bmc::RawToFloat(0xFE, r), -1.0);
    r[20] = 0xC0; // no analog reading
    EXPECT_EQ(bmc::RawToFloat(0x10, r), 0.0);
    r[3] = 0x02; // a compact record has no formula
    r[20] = 0x00;
    EXPECT_EQ(bmc::RawToFloat(0x10, r), 0.0);
    EXPECT_EQ(bmc::RawToFloat(0x10, nullptr), 0.0);

    EXPECT_STREQ(bmc::get_unit_type(0xC0, 1, 0, 0), "na");
    EXPECT_STREQ(bmc::get_unit_type(0x01, 0, 0, 0), "percent");
    EXPECT_STREQ(bmc::get_unit_type(0x01, 0, 0, 1), "%");
}

TEST(SdrCacheFromBytes, RecordsAreSplitByTheirHeaders)
{
    unsigned char two[] = {0x00, 0x00, 0x51, 0x12, 0x02, 0xAA, 0xBB, // ID 0000h, 7 bytes
                           0x05, 0x00, 0x51, 0xC0, 0x01, 0xCC};      // ID 0005h, 6 bytes
    std::shared_ptr<const bmc::SdrCache> cache = bmc::sdr_cache_from_bytes(two, sizeof two);
    ASSERT_NE(cache, nullptr);
    EXPECT_EQ(bmc::find_nsdrs(cache.get()), 2);
    unsigned char buf[bmc::kSdrMax];
    ASSERT_EQ(bmc::find_sdr_next(buf, cache.get(), 0), 0);
    EXPECT_EQ(buf[6], 0xBB);
    EXPECT_EQ(buf[7], 0x00);
    // Stepping by the ID 0000h finds the first record again, never the
    // second: walking by position is what reaches every record.
    ASSERT_EQ(bmc::find_sdr_next(buf, cache.get(), 0x0000), 0);
    EXPECT_EQ(buf[0], 0x00);
    ASSERT_EQ(bmc::find_sdr_at(buf, cache.get(), 1), 0);
    EXPECT_EQ(buf[5], 0xCC);
    EXPECT_NE(bmc::find_sdr_next(buf, cache.get(), 0x0005), 0);
    std::shared_ptr<const bmc::SdrCache> same;
    EXPECT_EQ(bmc::get_sdr_cache(&same), 0);
    EXPECT_EQ(same, cache) << "it is the process's cache";
    bmc::free_sdr_cache(cache.get());

    unsigned char cut[] = {0x01, 0x00, 0x51, 0x01, 0x30, 0x00};
    EXPECT_EQ(bmc::sdr_cache_from_bytes(cut, sizeof cut), nullptr);
}

// --- Concurrency (run under ThreadSanitizer too) ---------------------------

class Threaded : public LanBmc {};

// While one thread tries again to reach a BMC that has failed (a whole
// session timeout), another thread's call fails at once instead of
// waiting for it.
TEST_F(Threaded, CallsDoNotQueueBehindAnAttemptToReachAFailedBmc)
{
    int port = unused_udp_port();
    ASSERT_GT(port, 0);
    std::string host = "127.0.0.1:" + std::to_string(port);
    bmc::set_connection(host.c_str(), "admin", "password", "opensesspriv");
    unsigned char first[20];
    ASSERT_NE(bmc::ipmi_getdeviceid(first, 20, 0), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(bmc::kRetryHoldoffSeconds * 1000 + 200));
    std::atomic<bool> trying{true};
    std::thread attempt([&] {
        unsigned char buf[20];
        EXPECT_NE(bmc::ipmi_getdeviceid(buf, 20, 0), 0);
        trying = false;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    unsigned char buf[20];
    auto start = Clock::now();
    EXPECT_NE(bmc::ipmi_getdeviceid(buf, 20, 0), 0);
    EXPECT_LT(seconds_since(start), 0.5);
    EXPECT_TRUE(trying) << "the other thread's attempt was still going on";
    attempt.join();
}

TEST_F(Threaded, ConcurrentCallsGetTheirOwnAnswers)
{
    constexpr int kCalls = 300;
    std::atomic<int> bad_ids{0}, bad_macs{0};
    std::thread a([&] {
        for (int i = 0; i < kCalls; i++) {
            unsigned char buf[20] = {};
            if (bmc::ipmi_getdeviceid(buf, 20, 0) != 0 || buf[2] != 0x01 || buf[3] != 0x23)
                bad_ids++;
        }
    });
    std::thread b([&] {
        const Bytes mac = {0x11, 0x02, 0x5A, 0xE1, 0x9B, 0xCD, 0x0F};
        for (int i = 0; i < kCalls; i++) {
            unsigned char rq[4] = {0x01, 0x05, 0x00, 0x00};
            unsigned char rs[80];
            int len = 80;
            unsigned char cc = 0xEE;
            if (bmc::ipmi_cmd(0x0C02, rq, 4, rs, &len, &cc, 0) != 0 || cc != 0 ||
                Bytes(rs, rs + len) != mac)
                bad_macs++;
        }
    });
    a.join();
    b.join();
    EXPECT_EQ(bad_ids.load(), 0);
    EXPECT_EQ(bad_macs.load(), 0);
}

// Refresh work holds the layer's lock per command: meanwhile a blocking
// call from another thread waits for it, and a request-time call gives up
// by its deadline; with the lock free, the request-time call is answered.
TEST_F(Threaded, HeldLockMakesCallsWaitAndRequestCallsGiveUp)
{
    std::atomic<bool> done{false};
    int rc = -999;
    bmc::hold_layer();
    // A composite operation: a command on the held lock.
    unsigned char rs[80];
    int len = 80;
    unsigned char cc = 0xEE;
    ASSERT_EQ(bmc::locked::cmdraw(0x01, 0x06, 0x20, 0, 0, nullptr, 0, rs, &len, &cc, 0), 0);
    ASSERT_EQ(rs[3], 0x23);

    std::thread other([&] {
        unsigned char buf[20];
        rc = bmc::ipmi_getdeviceid(buf, 20, 0);
        done = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(done.load()) << "a call went through while the lock was held";

    auto start = Clock::now();
    len = 80;
    EXPECT_EQ(bmc::ipmi_cmdraw_until(start + bmc::kRequestBudget, 0x01, 0x06, 0x20, 0, 0, nullptr,
                                     0, rs, &len, &cc),
              bmc::kErrDeadline);
    EXPECT_LT(seconds_since(start), 1.0);

    bmc::release_layer();
    other.join();
    EXPECT_TRUE(done.load());
    EXPECT_EQ(rc, 0);

    len = 80;
    cc = 0xEE;
    ASSERT_EQ(bmc::ipmi_cmdraw_until(Clock::now() + bmc::kRequestBudget, 0x01, 0x06, 0x20, 0, 0,
                                     nullptr, 0, rs, &len, &cc),
              0);
    EXPECT_EQ(cc, 0x00);
    EXPECT_EQ(rs[3], 0x23);
}

// --- The FRU date command ---------------------------------------------------

// Runs the command with printf in place of ipmiutil: one output line per
// word the shell passed.
std::vector<std::string> words_of(const std::string &command)
{
    const std::string program = "ipmiutil ";
    EXPECT_EQ(command.compare(0, program.size(), program), 0) << command;
    std::string probe = "printf '%s\\n' " + command.substr(program.size());
    std::vector<std::string> words;
    FILE *p = popen(probe.c_str(), "r");
    if (!p)
        return words;
    char line[512];
    while (std::fgets(line, sizeof line, p)) {
        std::string w = line;
        if (!w.empty() && w.back() == '\n')
            w.pop_back();
        words.push_back(w);
    }
    pclose(p);
    return words;
}

TEST(FruCommand, EveryValueStaysOneShellWord)
{
    const std::string nasty = "pa'ss; touch /tmp/ipmi-test-pwned $(id) `id` \"q\" \\ *";
    struct Case {
        const char *host;
        const char *shown;
    };
    const Case cases[] = {
        {"127.0.0.1:39623", "127.0.0.1"}, // the port is not for ipmiutil
        {"bmc.example.org", "bmc.example.org"},
        {"[fe80::1]:623", "fe80::1"},
        {"fe80::1", "fe80::1"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.host);
        bmc::set_connection(c.host, "ad min'", nasty.c_str(), "opensesspriv");
        std::vector<std::string> expected = {"fru", "-b", "-N", c.shown, "-U", "ad min'",
                                             "-E", "-F", "lan2"};
        bmc::FruCommand fru = bmc::fru_command();
        EXPECT_EQ(words_of(fru.line), expected);
        // The password goes to the environment only, never the line.
        EXPECT_EQ(fru.line.find("touch"), std::string::npos);
        EXPECT_EQ(fru.env, std::vector<std::string>{"IPMI_PASSWORD=" + nasty});
    }
    struct stat st;
    EXPECT_NE(stat("/tmp/ipmi-test-pwned", &st), 0) << "the password ran as a command";

    // Empty values are still words of their own.
    bmc::set_connection("10.1.2.3", "", "", "");
    EXPECT_EQ(words_of(bmc::fru_command().line),
              (std::vector<std::string>{"fru", "-b", "-N", "10.1.2.3", "-U", "", "-E", "-F",
                                        "lan2"}));
    EXPECT_EQ(bmc::fru_command().env, std::vector<std::string>{"IPMI_PASSWORD="});

    // In-band: no login options at all.
    bmc::set_connection(nullptr, "admin", "password", nullptr);
    EXPECT_EQ(bmc::fru_command().line, "ipmiutil fru -b");
    EXPECT_TRUE(bmc::fru_command().env.empty());
}

} // namespace
