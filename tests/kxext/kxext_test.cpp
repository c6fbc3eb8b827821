// kxext against a real PostgreSQL cluster started by tests/rig/pg_start.sh
// with kxext/schema.sql and tests/fixtures/kxdb_fixture.sql.  The cluster's
// directory comes in KXEXT_PG_DIR; its pg.env says how to reach it.
#include "kxext/kxext.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

extern char **environ;

namespace {

// The agent's statements, as it runs them.
#define SQL_SYSTEMS "SELECT host, is_local_system, is_active FROM systems WHERE system_id = %u;"
#define SQL_APP_TYPE                                                                   \
    "SELECT type FROM application_instances JOIN application_lookup USING(app_id) " \
    "WHERE instance_id = %d"
#define SQL_NODE_NAME "SELECT node_name FROM nodes WHERE node_no = %d"
#define SQL_KEY2 "SELECT key2 FROM application_instances WHERE instance_id = %d AND node_no = %d"
#define SQL_KEY1 "SELECT key1 FROM application_instances WHERE instance_id = %d AND node_no = %d"
#define SQL_DEVICES \
    "SELECT device_no, dev_name, dev_rw_name, capacity, status, dedup, is_deleted FROM devices"
#define SQL_NVP                                                         \
    "SELECT nvp_type, nvp_name, item_name, item_value FROM nvp WHERE " \
    "nvp_type = 'system' AND nvp_name = 'configuration' "
#define SQL_ARCHIVES                                                                            \
    "SELECT a.archive_id, a.archive_set_id, a.archive_success, s.creation_timestamp, "          \
    "ai.node_no, i.instance_id, i.client_name, i.client_os, i.app_id, al.name AS app_name, "   \
    "al.type AS app_type, i.key1, i.key2, i.key3, i.key4, a.elapsed_secs, "                    \
    "a.orig_description, a.orig_backup_no, a.orig_time, a.backtype, a.file_mib_size, "         \
    "a.file_count, a.compressed, a.encrypted, p.dedup,p.fastseed, a.error_string, "            \
    "p.install_id, state.install_id AS vqnid FROM archives a JOIN archive_sets s USING "       \
    "(archive_set_id) JOIN archive_profiles p USING (profile_id) LEFT JOIN archive_instances " \
    "i USING (archive_instance_id) LEFT JOIN application_lookup al USING (app_id) LEFT JOIN "  \
    "application_instances ai USING (instance_id) CROSS JOIN state WHERE CASE WHEN 0=2 THEN "  \
    "a.archive_set_id = 0 ELSE 1=1 END AND CASE WHEN 0=2 THEN ai.node_no = 0 ELSE 1=1 END "    \
    "AND CASE WHEN 0=2 THEN a.backtype IN (0) ELSE 1=1 END AND CASE WHEN 0=2 THEN "            \
    "s.creation_timestamp >= 0 ELSE 1=1 END AND CASE WHEN 0=2 THEN s.creation_timestamp <= "   \
    "0 ELSE 1=1 END AND CASE WHEN 2=2 THEN a.orig_time >= %d ELSE 1=1 END AND CASE WHEN 0=2 "  \
    "THEN a.orig_time <= 0 ELSE 1=1 END AND CASE WHEN 0=2 THEN a.archive_id IN (0) ELSE 1=1 "  \
    "END AND CASE WHEN 0=2 THEN p.target = '(null)' ELSE 1=1 END ORDER BY archive_id"
#define SQL_REPL_QUEUE "SELECT * FROM replication_queue order by backup_no desc"
#define SQL_SDS_STATS "SELECT * FROM sds_stats order by backup_no desc limit %d"
#define SQL_SMGR_REGISTER \
    "SELECT device_no FROM devices WHERE device_no = %d AND dev_name <> 'sctape'"
#define SQL_SMGR_RESERVE "SELECT dev_name, capacity FROM devices WHERE device_no = %d"

constexpr int kWeek = 604800;

// The backup types the agent asks for, in its order.
const std::vector<int> kAgentTypes = {1,  2,  41, 4,  3,  27, 28, 29, 18, 19, 20, 12, 13,
                                      14, 34, 35, 36, 42, 44, 43, 51, 52, 53, 54, 17, 16};

struct Rig {
    bool ok = false;
    std::string error;
    std::string dir, conninfo, bin, port;
    pid_t postmaster = 0;
};

// Reads DIR/pg.env (plain NAME=value lines, one value single-quoted).
const Rig &rig()
{
    static const Rig r = [] {
        Rig x;
        const char *dir = std::getenv("KXEXT_PG_DIR");
        if (!dir || !*dir) {
            x.error = "KXEXT_PG_DIR is not set: run through ctest, or start "
                      "tests/rig/pg_start.sh DIR and export KXEXT_PG_DIR=DIR";
            return x;
        }
        x.dir = dir;
        std::ifstream in(x.dir + "/pg.env");
        if (!in) {
            x.error = "cannot read " + x.dir + "/pg.env";
            return x;
        }
        std::map<std::string, std::string> env;
        for (std::string line; std::getline(in, line);) {
            auto eq = line.find('=');
            if (eq == std::string::npos)
                continue;
            std::string value = line.substr(eq + 1);
            if (value.size() >= 2 && value.front() == '\'' && value.back() == '\'')
                value = value.substr(1, value.size() - 2);
            env[line.substr(0, eq)] = value;
        }
        x.conninfo = env["KXDB_CONNINFO"];
        x.bin = env["PG_BIN"];
        x.port = env["PG_PORT"];
        x.postmaster = static_cast<pid_t>(std::atol(env["PG_PID"].c_str()));
        if (x.conninfo.empty() || x.bin.empty() || x.port.empty() || x.postmaster <= 0) {
            x.error = x.dir + "/pg.env lacks KXDB_CONNINFO, PG_BIN, PG_PORT or PG_PID";
            return x;
        }
        x.ok = true;
        return x;
    }();
    return r;
}

struct ResultDeleter {
    void operator()(kx_result *r) const { pgFree(r); }
};
using Result = std::unique_ptr<kx_result, ResultDeleter>;

// Frees a status array the way the agent does: every pointer, then the array.
void free_status(backup_status *a, int n)
{
    if (!a)
        return;
    for (int i = 0; i < n; ++i) {
        for (char *p : {a[i].server_inst, a[i].db_name, a[i].media, a[i].client_desc,
                        a[i].volume, a[i].location, a[i].description, a[i].start_text,
                        a[i].end_text, a[i].error_text})
            std::free(p);
    }
    std::free(a);
}

struct Status {
    int rc = -99;
    backup_status *array = nullptr;
    int count = 0;
    ~Status() { free_status(array, count); }
    std::vector<int> ids() const
    {
        std::vector<int> v;
        for (int i = 0; i < count; ++i)
            v.push_back(array[i].backup_id);
        return v;
    }
};

void get_status(Status &s, const backup_status_request &rq)
{
    s.rc = kxGetBackupStatus(&rq, &s.array, &s.count);
}

backup_status_request window_request(int32_t start, int32_t end)
{
    backup_status_request rq{};
    rq.window_start = start;
    rq.start_mode = 2;
    rq.window_end = end;
    rq.end_mode = 2;
    rq.order_mode = 2;
    return rq;
}

// The agent's request: its types over the last week.
backup_status_request agent_request()
{
    const auto t = static_cast<int32_t>(std::time(nullptr));
    backup_status_request rq = window_request(t - kWeek, t);
    rq.types = kAgentTypes.data();
    rq.types_mode = 2;
    rq.ntypes = static_cast<int32_t>(kAgentTypes.size());
    return rq;
}

// A statement formatted as the agent formats it.
__attribute__((format(printf, 1, 2))) std::string statement(const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    char *text = nullptr;
    const int n = vasprintf(&text, format, ap);
    va_end(ap);
    std::string s = n < 0 ? "" : text;
    std::free(text);
    return s;
}

// Runs a program without a shell; its exit status, or -1.
int run_program(const std::vector<std::string> &args)
{
    std::vector<char *> argv;
    for (const auto &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid;
    if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
        return -1;
    int status = 0;
    if (waitpid(pid, &status, 0) != pid)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The children of a process, from /proc.
std::vector<pid_t> children_of(pid_t parent)
{
    std::vector<pid_t> found;
    std::unique_ptr<DIR, int (*)(DIR *)> proc(opendir("/proc"), closedir);
    if (!proc)
        return found;
    while (const dirent *e = readdir(proc.get())) {
        const pid_t pid = static_cast<pid_t>(std::atol(e->d_name));
        if (pid <= 0)
            continue;
        std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
        std::string stat;
        std::getline(in, stat);
        // "pid (comm) state ppid ...": comm may hold anything but ')'.
        const auto close = stat.rfind(')');
        if (close == std::string::npos)
            continue;
        char state = 0;
        long ppid = 0;
        if (std::sscanf(stat.c_str() + close + 1, " %c %ld", &state, &ppid) == 2 && ppid == parent)
            found.push_back(pid);
    }
    return found;
}

// Stops processes with SIGSTOP for one scope.  A watcher process sends the
// SIGCONT even when this test process dies first (it sees the pipe close),
// so a failed or killed test cannot leave the cluster frozen for the ones
// after it.  The watcher is no descendant of the test, in a session of its
// own, and ignores the usual stop signals: a runner that kills the test's
// process group or tree leaves it alone.
class Freeze {
public:
    explicit Freeze(std::vector<pid_t> pids) : pids_(std::move(pids))
    {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0)
            return;
        const pid_t middle = fork();
        if (middle == 0) {
            if (fork() != 0)
                _exit(0);
            setsid();
            signal(SIGTERM, SIG_IGN);
            signal(SIGINT, SIG_IGN);
            signal(SIGHUP, SIG_IGN);
            close(fds[1]);
            char c;
            while (read(fds[0], &c, 1) != 0 && errno == EINTR) {
            }
            for (pid_t pid : pids_)
                kill(pid, SIGCONT);
            _exit(0);
        }
        close(fds[0]);
        if (middle < 0 || waitpid(middle, nullptr, 0) != middle) {
            close(fds[1]);
            return;
        }
        pipe_ = fds[1];
        for (pid_t pid : pids_)
            kill(pid, SIGSTOP);
    }
    ~Freeze()
    {
        for (pid_t pid : pids_)
            kill(pid, SIGCONT);
        if (pipe_ >= 0)
            close(pipe_);
    }
    bool ok() const { return pipe_ >= 0; }

private:
    std::vector<pid_t> pids_;
    int pipe_ = -1;
};

// Sets one environment variable for a scope.
class EnvScope {
public:
    EnvScope(const char *name, const std::string &value) : name_(name)
    {
        const char *old = std::getenv(name);
        had_ = old != nullptr;
        if (old)
            old_ = old;
        setenv(name, value.c_str(), 1);
    }
    ~EnvScope()
    {
        if (had_)
            setenv(name_, old_.c_str(), 1);
        else
            unsetenv(name_);
    }

private:
    const char *name_;
    bool had_ = false;
    std::string old_;
};

// Points the library at another database for one scope; the next statement
// connects there.
struct ConnInfoScope {
    EnvScope env;
    explicit ConnInfoScope(const std::string &conninfo) : env("KXDB_CONNINFO", conninfo)
    {
        pgClose();
    }
    ~ConnInfoScope() { pgClose(); }
};

// A loopback port: listening (the kernel completes the handshake, and the
// server then never says a word) or only bound (a connection is refused).
class LoopbackPort {
public:
    explicit LoopbackPort(bool listening)
    {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
            (!listening || listen(fd_, 4) == 0) &&
            getsockname(fd_, reinterpret_cast<sockaddr *>(&a), &len) == 0)
            port_ = ntohs(a.sin_port);
    }
    ~LoopbackPort()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    int port() const { return port_; }

private:
    int fd_ = -1;
    int port_ = 0;
};

double seconds_since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

class Kxdb : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(rig().ok) << rig().error;
        setenv("KXDB_CONNINFO", rig().conninfo.c_str(), 1);
        unsetenv("KXDB_STATEMENT_TIMEOUT_MS");
        pgClose();
    }
    void TearDown() override { pgClose(); }

    static int64_t now() { return static_cast<int64_t>(std::time(nullptr)); }
};

// ---------------------------------------------------------------------------
// The agent's statements run against the schema as they are and give the
// rows and columns it reads.  Rows are told apart by a key column; a cell's
// whole text matches a pattern (booleans read "t" and "f", NULL "").

struct Cell {
    const char *key;  // the row whose key column holds this
    const char *column;
    const char *pattern;
};

struct StatementCase {
    std::string sql;
    const char *key_column;
    std::vector<std::string> keys;  // row by row
    bool ordered;                   // else in any order
    std::vector<Cell> cells;
};

TEST_F(Kxdb, AgentStatementsGiveTheColumnsItReads)
{
    const StatementCase cases[] = {
        {statement(SQL_SYSTEMS, 1u), "host", {"kx-appliance01"}, true,
         {{"kx-appliance01", "is_local_system", "t"}, {"kx-appliance01", "is_active", "t"}}},
        {statement(SQL_SYSTEMS, 2u), "host", {"kx-dr-site"}, true,
         {{"kx-dr-site", "is_local_system", "f"}}},
        {statement(SQL_APP_TYPE, 1), "type", {"file-level"}, true, {}},
        {statement(SQL_NODE_NAME, 3), "node_name", {"hyperv01"}, true, {}},
        {statement(SQL_KEY2, 2, 2), "key2", {"web01-vm"}, true, {}},
        {statement(SQL_KEY1, 3, 3), "key1", {"sql-vm01"}, true, {}},
        // Instance 1 belongs to node 1 only: another node's lookup finds no
        // row, which is a success.
        {statement(SQL_KEY2, 1, 2), "key2", {}, true, {}},
        {statement(SQL_DEVICES), "device_no", {"1", "2", "3", "4"}, false,
         {{"1", "dev_name", "D2D0"},
          {"1", "dev_rw_name", "/backups/d2d0"},
          {"1", "capacity", "104857600"},
          {"1", "dedup", "t"},
          {"1", "is_deleted", "f"},
          {"4", "is_deleted", "t"},
          {"4", "status", "1"}}},
        // Only the ('system', 'configuration') items, values as decimal text.
        {statement(SQL_NVP), "item_name", {"ArchiveCache", "D2D_size", "VirtualFailover"}, false,
         {{"ArchiveCache", "item_value", "200"},
          {"D2D_size", "item_value", "300"},
          {"VirtualFailover", "item_value", "500"}}},
        // Archive 9 archived a backup older than a week.  11 goes through
        // every join; 12 has no instance, and the outer joins keep it.
        {statement(SQL_ARCHIVES, static_cast<int>(now() - kWeek)), "archive_id", {"10", "11", "12"},
         true,
         {{"10", "client_name", "fileserver01"}, {"10", "app_type", "file-level"},
          {"11", "archive_set_id", "1"},         {"11", "archive_success", "f"},
          {"11", "node_no", "2"},                {"11", "instance_id", "2"},
          {"11", "client_name", "web01-vm"},     {"11", "client_os", "1040"},
          {"11", "app_id", "2"},                 {"11", "app_name", "VMware vSphere"},
          {"11", "app_type", "VMware"},          {"11", "key2", "web01-vm"},
          {"11", "elapsed_secs", "95"},          {"11", "orig_backup_no", "2"},
          {"11", "orig_time", "\\d{10}"},        {"11", "backtype", "34"},
          {"11", "file_mib_size", "40960"},      {"11", "file_count", "12"},
          {"11", "compressed", "f"},             {"11", "encrypted", "t"},
          {"11", "dedup", "t"},                  {"11", "fastseed", "f"},
          {"11", "error_string", "Archive target full"},
          {"11", "install_id", "KX-7F3A-0001"},  {"11", "vqnid", "KX-7F3A-0001"},
          {"12", "client_name", ""},             {"12", "app_type", ""},
          {"12", "client_os", ""},               {"12", "compressed", "t"}}},
        // The window is the only filter in force: from 0 every archive is found.
        {statement(SQL_ARCHIVES, 0), "archive_id", {"9", "10", "11", "12"}, true, {}},
        {statement(SQL_REPL_QUEUE), "backup_no", {"6", "4"}, true, {}},
        // The time is served as the database's text, date first.
        {statement(SQL_SDS_STATS, 50), "backup_no", {"2", "2", "1", "0"}, true,
         {{"2", "client_name", "esx01"},
          {"2", "destination", "kx-dr-site"},
          {"2", "message", "Replication complete"},
          {"2", "bytes_syncd", "42949672960"},
          {"2", "stat_time", "\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d.{0,44}"}}},
        {statement(SQL_SDS_STATS, 1), "backup_no", {"2"}, true, {}},
        // The reservation manager: a tape or an unknown device is no D2D.
        {statement(SQL_SMGR_REGISTER, 1), "device_no", {"1"}, true, {}},
        {statement(SQL_SMGR_REGISTER, 3), "device_no", {}, true, {}},
        {statement(SQL_SMGR_REGISTER, 99), "device_no", {}, true, {}},
        {statement(SQL_SMGR_RESERVE, 2), "dev_name", {"D2D1"}, true,
         {{"D2D1", "capacity", "209715200"}}},
    };
    for (const StatementCase &c : cases) {
        SCOPED_TRACE(c.sql);
        Result r(pgQuery("%s", c.sql.c_str()));
        ASSERT_GE(pgStatus(r.get()), 0);
        std::vector<std::string> got;
        for (int i = 0; i < pgTuples(r.get()); ++i)
            got.push_back(pgSVal(r.get(), i, c.key_column));
        auto in_order = [&c](std::vector<std::string> v) {
            if (!c.ordered)
                std::sort(v.begin(), v.end());
            return v;
        };
        EXPECT_EQ(in_order(got), in_order(c.keys));
        for (const Cell &cell : c.cells) {
            const auto at = std::find(got.begin(), got.end(), cell.key);
            ASSERT_NE(at, got.end()) << cell.key;
            const std::string text = pgSVal(r.get(), static_cast<int>(at - got.begin()), cell.column);
            EXPECT_TRUE(std::regex_match(text, std::regex(cell.pattern)))
                << cell.column << " of " << cell.key << ": \"" << text << '"';
        }
    }
}

// ---------------------------------------------------------------------------
// kxGetBackupStatus

// Each filter is in force only when its mode is 2; the window is inclusive
// at both ends; records come in backup number order.
TEST_F(Kxdb, BackupStatusFilters)
{
    const int types[] = {34, 1};
    auto typed = [&types](int types_mode, int ntypes) {
        backup_status_request rq = window_request(1699999999, 1700086401);
        rq.types = types;
        rq.types_mode = types_mode;
        rq.ntypes = ntypes;
        return rq;
    };
    auto modes = [](int start_mode, int end_mode) {
        backup_status_request rq = window_request(1700000000, 1700000000);
        rq.start_mode = start_mode;
        rq.end_mode = end_mode;
        return rq;
    };
    const struct {
        const char *name;
        backup_status_request rq;
        std::vector<int> ids;
    } cases[] = {
        // 101 is one second before the window, 106 one second after it.
        {"window", window_request(1700000000, 1700086400), {102, 103, 104, 105}},
        {"one-second window", window_request(1700086400, 1700086400), {105}},
        {"window ending before its start", window_request(1700086401, 1700000000), {}},
        {"type list not in force", typed(0, 2), {101, 102, 103, 104, 105, 106}},
        {"type list", typed(2, 2), {103, 105, 106}},
        {"empty type list", typed(2, 0), {}},
        {"no window", modes(1, 0), {1, 2, 3, 4, 5, 6, 101, 102, 103, 104, 105, 106}},
        {"only the start", modes(2, 0), {1, 2, 3, 4, 5, 6, 102, 103, 104, 105, 106}},
        // 3 is system metadata, not asked for; 5 is ten days old.
        {"the agent's request", agent_request(), {1, 2, 4, 6}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Status s;
        get_status(s, c.rq);
        ASSERT_EQ(s.rc, 0);
        EXPECT_EQ(s.ids(), c.ids);
        if (c.ids.empty()) {
            EXPECT_EQ(s.array, nullptr);
        }
    }
}

TEST_F(Kxdb, BackupStatusRecordFields)
{
    Status s;
    get_status(s, window_request(1700003600, 1700086400));
    ASSERT_EQ(s.rc, 0);
    ASSERT_EQ(s.ids(), (std::vector<int>{104, 105}));

    const backup_status &b = s.array[0];
    EXPECT_EQ(b.node_no, 3);
    EXPECT_EQ(b.type, 27);
    EXPECT_EQ(b.start_time, 1700003600);
    EXPECT_EQ(b.status, 2);
    EXPECT_EQ(b.size_mb, 700);
    EXPECT_EQ(b.files, 3);
    EXPECT_EQ(b.size_high, 0);
    EXPECT_EQ(b.files_high, 0);
    ASSERT_NE(b.server_inst, nullptr);
    ASSERT_NE(b.db_name, nullptr);
    EXPECT_STREQ(b.server_inst, "sqlsrv01");
    EXPECT_STREQ(b.db_name, "payroll");

    const backup_status &v = s.array[1];
    ASSERT_NE(v.server_inst, nullptr);
    EXPECT_STREQ(v.server_inst, "vcenter01");
    EXPECT_EQ(v.db_name, nullptr);  // SQL NULL

    for (int i = 0; i < s.count; ++i) {
        const backup_status &r = s.array[i];
        for (const char *p : {r.client_desc, r.volume, r.location, r.description, r.start_text,
                              r.end_text, r.error_text, r.media})
            EXPECT_EQ(p, nullptr) << "record " << i;
    }
    // The Status destructor frees every pointer with free(): a block that did
    // not come from malloc shows up under the sanitizers.
}

TEST_F(Kxdb, BackupStatusRejectsBadArguments)
{
    backup_status_request rq = window_request(0, 1);
    backup_status *array = nullptr;
    int count = 0;
    EXPECT_NE(kxGetBackupStatus(nullptr, &array, &count), 0);
    EXPECT_EQ(array, nullptr);
    EXPECT_NE(kxGetBackupStatus(&rq, nullptr, &count), 0);
    EXPECT_NE(kxGetBackupStatus(&rq, &array, nullptr), 0);

    rq.types_mode = 2;
    rq.ntypes = 3;
    rq.types = nullptr;
    EXPECT_NE(kxGetBackupStatus(&rq, &array, &count), 0);
    EXPECT_EQ(array, nullptr);
    EXPECT_EQ(count, 0);
}

// ---------------------------------------------------------------------------
// Results, statuses and value reads

TEST_F(Kxdb, ResultsOutliveTheConnectionAndStatementsReconnect)
{
    ASSERT_EQ(pgOpen(1), 0);
    Result before(pgQuery("SELECT pg_backend_pid() AS pid, 'kept' AS word"));
    ASSERT_EQ(pgTuples(before.get()), 1);
    pgClose();
    pgClose();  // closing twice is harmless
    EXPECT_STREQ(pgSVal(before.get(), 0, "word"), "kept");

    // No pgOpen: the statement connects by itself, on a new backend.
    Result after(pgVExec("SELECT pg_backend_pid() AS pid"));
    ASSERT_EQ(pgTuples(after.get()), 1);
    EXPECT_NE(pgLVal(after.get(), 0, "pid"), pgLVal(before.get(), 0, "pid"));

    // And pgOpen on an open connection keeps it.
    ASSERT_EQ(pgOpen(1), 0);
    Result same(pgQuery("SELECT pg_backend_pid() AS pid"));
    EXPECT_EQ(pgLVal(same.get(), 0, "pid"), pgLVal(after.get(), 0, "pid"));

    // The backup status call connects on demand too.
    pgClose();
    Status s;
    get_status(s, window_request(1700000000, 1700000000));
    EXPECT_EQ(s.rc, 0);
    EXPECT_EQ(s.ids(), (std::vector<int>{103}));

    // A connection the server drops fails its statement; the next connects
    // again.
    testing::internal::CaptureStderr();
    Result killed(pgQuery("SELECT pg_terminate_backend(pg_backend_pid())"));
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(pgStatus(killed.get()), -1);
    Result again(pgQuery("SELECT 7 AS seven"));
    ASSERT_EQ(pgTuples(again.get()), 1);
    EXPECT_EQ(pgLVal(again.get(), 0, "seven"), 7);
}

TEST_F(Kxdb, StatusOfFailuresSuccessesAndNull)
{
    EXPECT_EQ(pgStatus(nullptr), -1);
    EXPECT_EQ(pgTuples(nullptr), 0);
    pgFree(nullptr);

    testing::internal::CaptureStderr();
    Result bad(pgQuery("SELECT no_such_column FROM devices"));
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(pgStatus(bad.get()), -1);
    EXPECT_EQ(pgTuples(bad.get()), 0);
    EXPECT_STREQ(pgSVal(bad.get(), 0, "no_such_column"), "");
    EXPECT_NE(log.find("kxext[0] "), std::string::npos) << log;
    EXPECT_NE(log.find("PQexec: "), std::string::npos) << log;
    EXPECT_NE(log.find("no_such_column"), std::string::npos) << log;

    // A failed statement leaves the connection usable.
    Result none(pgQuery("SELECT 1 AS one WHERE false"));
    EXPECT_EQ(pgStatus(none.get()), 0);
    EXPECT_EQ(pgTuples(none.get()), 0);

    Result command(pgQuery("SET application_name = 'kxext_test'"));
    EXPECT_GE(pgStatus(command.get()), 0);
}

TEST_F(Kxdb, ValueReads)
{
    Result r(pgQuery("SELECT -42 AS neg, 5000000000::bigint AS big, 3000000000::bigint AS u32, "
                     "true AS yes, false AS no, NULL::text AS nothing, 'text' AS word, "
                     "'' AS empty"));
    ASSERT_EQ(pgTuples(r.get()), 1);
    EXPECT_EQ(pgLVal(r.get(), 0, "neg"), -42);
    EXPECT_EQ(pgLLVal(r.get(), 0, "neg"), -42);
    EXPECT_EQ(pgLLVal(r.get(), 0, "big"), 5000000000LL);
    // Above 2^31 a 32-bit read keeps the low 32 bits, as unsigned callers expect.
    EXPECT_EQ(static_cast<uint32_t>(pgLVal(r.get(), 0, "u32")), 3000000000u);
    EXPECT_EQ(pgBVal(r.get(), 0, "yes"), 1);
    EXPECT_EQ(pgBVal(r.get(), 0, "no"), 0);
    EXPECT_EQ(pgBVal(r.get(), 0, "nothing"), 0);
    EXPECT_STREQ(pgSVal(r.get(), 0, "nothing"), "");
    EXPECT_EQ(pgLVal(r.get(), 0, "word"), 0);

    // Missing columns and rows read as "" and 0.
    for (const char *col : {"missing", "", static_cast<const char *>(nullptr)}) {
        EXPECT_STREQ(pgSVal(r.get(), 0, col), "");
        EXPECT_EQ(pgLVal(r.get(), 0, col), 0);
        EXPECT_EQ(pgLLVal(r.get(), 0, col), 0);
        EXPECT_EQ(pgBVal(r.get(), 0, col), 0);
    }
    for (int row : {-1, 1, 1000}) {
        EXPECT_STREQ(pgSVal(r.get(), row, "word"), "");
        EXPECT_EQ(pgLVal(r.get(), row, "neg"), 0);
        EXPECT_EQ(pgLLVal(r.get(), row, "big"), 0);
        EXPECT_EQ(pgBVal(r.get(), row, "yes"), 0);
    }
    EXPECT_STREQ(pgSVal(nullptr, 0, "word"), "");
    EXPECT_EQ(pgLVal(nullptr, 0, "neg"), 0);
    EXPECT_EQ(pgBVal(nullptr, 0, "yes"), 0);
}

TEST_F(Kxdb, StatementsAreFormattedPrintfStyle)
{
    Result r(pgVExec("SELECT %d AS d, %u AS u, '%s' AS s, '%%' AS pct", -7, 4000000000u, "x y"));
    ASSERT_EQ(pgTuples(r.get()), 1);
    EXPECT_EQ(pgLVal(r.get(), 0, "d"), -7);
    EXPECT_EQ(pgLLVal(r.get(), 0, "u"), 4000000000LL);
    EXPECT_STREQ(pgSVal(r.get(), 0, "s"), "x y");
    EXPECT_STREQ(pgSVal(r.get(), 0, "pct"), "%");

    // A statement far longer than any fixed buffer.
    const std::string word(20000, 'k');
    Result longer(pgQuery("SELECT length('%s') AS n, '%s' AS w", word.c_str(), word.c_str()));
    ASSERT_EQ(pgTuples(longer.get()), 1);
    EXPECT_EQ(pgLVal(longer.get(), 0, "n"), 20000);
    EXPECT_EQ(std::string(pgSVal(longer.get(), 0, "w")), word);
}

// ---------------------------------------------------------------------------
// Connection handling

// A database that refuses the connection, or a connection string that
// cannot be read: every call fails cleanly and says why, and the library
// recovers once the database is there.
TEST_F(Kxdb, UnreachableDatabaseFailsCleanly)
{
    LoopbackPort refusing(false);
    ASSERT_GT(refusing.port(), 0);
    const std::pair<std::string, std::string> cases[] = {
        {"host=127.0.0.1 port=" + std::to_string(refusing.port()) + " dbname=kxdb user=postgres",
         "kxext[0] -: PQconnectdb: "},
        {"host='unterminated", "kxext[0] -: PQconninfoParse: "},
    };
    for (const auto &[conninfo, cause] : cases) {
        SCOPED_TRACE(conninfo);
        ConnInfoScope scope(conninfo);
        testing::internal::CaptureStderr();
        const int rc = pgOpen(1);
        kx_result *r = pgQuery("SELECT 1 AS one");
        Status s;
        get_status(s, window_request(0, 2000000000));
        const std::string log = testing::internal::GetCapturedStderr();

        EXPECT_NE(rc, 0);
        EXPECT_EQ(pgStatus(r), -1);
        EXPECT_EQ(pgTuples(r), 0);
        pgFree(r);
        EXPECT_NE(s.rc, 0);
        EXPECT_EQ(s.array, nullptr);
        EXPECT_NE(log.find(cause), std::string::npos) << log;
        pgClose();  // after a failed open, as start-up does
        pgClose();
    }
    ASSERT_EQ(pgOpen(1), 0);
}

// A server that takes the connection and never answers: each way of
// connecting gives up at its deadline and says so.  Without one the attempt
// would wait for ever (and ctest would kill the test).
TEST_F(Kxdb, ConnectGivesUpAtItsDeadline)
{
    LoopbackPort server(true);
    ASSERT_GT(server.port(), 0);
    const std::string target = "host=127.0.0.1 port=" + std::to_string(server.port()) +
                               " user=postgres sslmode=disable gssencmode=disable";
    const struct {
        const char *name;
        const char *conninfo;         // appended to the target
        const char *statement_ms;     // KXDB_STATEMENT_TIMEOUT_MS, null: unset
        bool query;                   // a statement that connects, else pgOpen
        const char *expected;
        double within;                // seconds; only catches a hang
    } cases[] = {
        {"default connect timeout", "", nullptr, false, "timed out after 5000 ms", 15},
        {"connect_timeout below libpq's minimum", " connect_timeout=1", nullptr, false,
         "timed out after 2000 ms", 12},
        {"statement deadline first", "", "300", true, "timed out after 300 ms", 10},
    };
    unsetenv("PGCONNECT_TIMEOUT");
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ConnInfoScope scope(target + c.conninfo);
        std::unique_ptr<EnvScope> deadline;
        if (c.statement_ms)
            deadline = std::make_unique<EnvScope>("KXDB_STATEMENT_TIMEOUT_MS", c.statement_ms);
        testing::internal::CaptureStderr();
        const auto start = std::chrono::steady_clock::now();
        int rc = 0;
        if (c.query) {
            Result r(pgQuery("SELECT 1"));
            rc = pgStatus(r.get());
        } else {
            rc = pgOpen(1);
        }
        const double took = seconds_since(start);
        const std::string log = testing::internal::GetCapturedStderr();
        EXPECT_NE(rc, 0);
        EXPECT_LT(took, c.within);
        EXPECT_NE(log.find("kxext[0] -: PQconnectdb: connection to 127.0.0.1 port " +
                           std::to_string(server.port()) + " " + c.expected),
                  std::string::npos)
            << log;
    }
}

// A frozen server (SIGSTOP on the whole cluster) while a statement runs and
// another thread waits for the shared connection: both calls end by their
// deadline, with the cause logged, and the database serves again once it
// runs.
TEST_F(Kxdb, StatementsAgainstAFrozenServerEndAtTheirDeadline)
{
    ASSERT_EQ(pgOpen(1), 0);
    EnvScope deadline("KXDB_STATEMENT_TIMEOUT_MS", "500");
    int status[2] = {0, 0};
    double took[2] = {0, 0};
    {
        std::vector<pid_t> cluster = children_of(rig().postmaster);
        cluster.insert(cluster.begin(), rig().postmaster);
        Freeze frozen(cluster);
        ASSERT_TRUE(frozen.ok());
        testing::internal::CaptureStderr();
        auto call = [&](int i) {
            const auto start = std::chrono::steady_clock::now();
            Result r(pgQuery("SELECT %d AS n", i));
            took[i] = seconds_since(start);
            status[i] = pgStatus(r.get());
        };
        std::thread first(call, 0);
        std::thread second(call, 1);
        first.join();
        second.join();
    }
    const std::string log = testing::internal::GetCapturedStderr();
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(status[i], -1) << "call " << i;
        EXPECT_LT(took[i], 5.0) << "call " << i;
    }
    // One statement waited on the server; the other call waited for the
    // connection, or connected after the first dropped it, until its own end.
    EXPECT_NE(log.find("kxext[0] -: PQexec: timed out after 500 ms in \"SELECT "),
              std::string::npos)
        << log;
    size_t causes = 0;
    for (auto at = log.find("timed out after 500 ms"); at != std::string::npos;
         at = log.find("timed out after 500 ms", at + 1))
        ++causes;
    EXPECT_EQ(causes, 2u) << log;

    Result again(pgQuery("SELECT 7 AS seven"));
    ASSERT_EQ(pgTuples(again.get()), 1);
    EXPECT_EQ(pgLVal(again.get(), 0, "seven"), 7);
}

TEST_F(Kxdb, ConnInfoWithoutDatabaseNameUsesKxdb)
{
    std::string info = rig().conninfo;
    const auto at = info.find("dbname=kxdb");
    ASSERT_NE(at, std::string::npos);
    info.erase(at, std::strlen("dbname=kxdb"));
    ConnInfoScope scope(info);
    Result r(pgQuery("SELECT current_database() AS db"));
    ASSERT_EQ(pgTuples(r.get()), 1);
    EXPECT_STREQ(pgSVal(r.get(), 0, "db"), "kxdb");
}

TEST_F(Kxdb, ThreadsShareOneConnection)
{
    std::atomic<int> wrong{0};
    std::set<int> pids[2];
    auto work = [&](int id) {
        for (int i = 0; i < 200; ++i) {
            const int n = id * 1000 + i;
            Result r(pgVExec("SELECT %d AS n, pg_backend_pid() AS pid", n));
            if (pgTuples(r.get()) != 1 || pgLVal(r.get(), 0, "n") != n)
                ++wrong;
            else
                pids[id].insert(pgLVal(r.get(), 0, "pid"));
        }
    };
    std::thread a(work, 0), b(work, 1);
    a.join();
    b.join();
    EXPECT_EQ(wrong.load(), 0);
    ASSERT_EQ(pids[0].size(), 1u);
    EXPECT_EQ(pids[0], pids[1]);
}

// ---------------------------------------------------------------------------
// The demo content loads into a fresh database and feeds every statement.

TEST_F(Kxdb, DemoLoadsAndFeedsEveryStatement)
{
    {
        Result drop(pgQuery("DROP DATABASE IF EXISTS kxdb_demo"));
        ASSERT_NE(pgStatus(drop.get()), -1);
        Result create(pgQuery("CREATE DATABASE kxdb_demo"));
        ASSERT_NE(pgStatus(create.get()), -1);
    }
    pgClose();
    for (const char *file : {KXEXT_SCHEMA_SQL, KXEXT_DEMO_SQL}) {
        ASSERT_EQ(run_program({rig().bin + "/psql", "-X", "-q", "-v", "ON_ERROR_STOP=1",
                               "--single-transaction", "-d", rig().conninfo + " dbname=kxdb_demo",
                               "-o", "/dev/null", "-f", file}),
                  0)
            << "loading " << file;
    }

    ConnInfoScope scope(rig().conninfo + " dbname=kxdb_demo");
    const int64_t t = now();

    Result sys(pgQuery(SQL_SYSTEMS, 1u));
    ASSERT_EQ(pgTuples(sys.get()), 1);
    EXPECT_EQ(pgBVal(sys.get(), 0, "is_local_system"), 1);

    Status s;
    get_status(s, agent_request());
    ASSERT_EQ(s.rc, 0);
    EXPECT_GE(s.count, 10);

    Result type(pgVExec(SQL_APP_TYPE, 1));
    ASSERT_EQ(pgTuples(type.get()), 1);
    const std::string app_type = pgSVal(type.get(), 0, "type");
    EXPECT_TRUE(app_type == "file-level" || app_type == "VMware" || app_type == "Hyper-V")
        << app_type;
    std::set<int> nodes;
    for (int i = 0; i < s.count; ++i)
        nodes.insert(s.array[i].node_no);
    for (int node : nodes) {
        Result name(pgVExec(SQL_NODE_NAME, node));
        EXPECT_EQ(pgTuples(name.get()), 1) << "node " << node;
    }

    Result dev(pgQuery(SQL_DEVICES));
    EXPECT_GE(pgTuples(dev.get()), 2);
    bool d2d = false;
    for (int i = 0; i < pgTuples(dev.get()); ++i)
        if (std::strncmp(pgSVal(dev.get(), i, "dev_name"), "D2D", 3) == 0)
            d2d = std::strncmp(pgSVal(dev.get(), i, "dev_rw_name"), "/backups/", 9) == 0;
    EXPECT_TRUE(d2d);
    Result nvp(pgQuery(SQL_NVP));
    EXPECT_GE(pgTuples(nvp.get()), 1);

    Result arch(pgQuery(SQL_ARCHIVES, static_cast<int>(t - kWeek)));
    EXPECT_GE(pgTuples(arch.get()), 1);

    Result q(pgQuery(SQL_REPL_QUEUE));
    EXPECT_NE(pgStatus(q.get()), -1);
    Result st(pgQuery(SQL_SDS_STATS, 50));
    EXPECT_GE(pgTuples(st.get()), 1);

    Result reg(pgQuery(SQL_SMGR_REGISTER, pgLVal(dev.get(), 0, "device_no")));
    EXPECT_NE(pgStatus(reg.get()), -1);
}

// ---------------------------------------------------------------------------
// Logging

TEST(Logger, OneLinePerCallWithTheInnermostName)
{
    ASSERT_EQ(setenv("KXEXT_LOG_LEVEL", "4", 1), 0);
    testing::internal::CaptureStderr();
    logger(3, "plain %d", 5);
    push_name("outer");
    push_name("inner");
    logger(0, "ends in newline\n");
    pop_name();
    logger(4, "%s", "");
    pop_name();
    pop_name();  // one more than pushed: ignored
    logger(1, "after");
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(log,
              "kxext[3] -: plain 5\n"
              "kxext[0] inner: ends in newline\n"
              "kxext[4] outer: \n"
              "kxext[1] -: after\n");
}

TEST(Logger, NamesArePerThread)
{
    ASSERT_EQ(setenv("KXEXT_LOG_LEVEL", "2", 1), 0);
    push_name("main");
    testing::internal::CaptureStderr();
    std::thread([] {
        logger(2, "from the other thread");
        push_name("worker");
        logger(2, "named");
    }).join();
    logger(2, "back");
    const std::string log = testing::internal::GetCapturedStderr();
    pop_name();
    EXPECT_EQ(log,
              "kxext[2] -: from the other thread\n"
              "kxext[2] worker: named\n"
              "kxext[2] main: back\n");
}

// Lines above KXEXT_LOG_LEVEL are dropped; errors never are.
TEST(Logger, LevelThresholdFromTheEnvironment)
{
    const std::string errors = "kxext[0] -: at 0\n";
    const struct {
        const char *value;  // null: unset
        std::string expected;
    } cases[] = {
        {nullptr, errors},
        {"", errors},
        {"junk", errors},
        {"3x", errors},
        {"-1", errors},
        {"0", errors},
        {"2", errors + "kxext[1] -: at 1\nkxext[2] -: at 2\n"},
        {"99", errors + "kxext[1] -: at 1\nkxext[2] -: at 2\nkxext[3] -: at 3\nkxext[4] -: at 4\n"},
    };
    for (const auto &c : cases) {
        if (c.value)
            ASSERT_EQ(setenv("KXEXT_LOG_LEVEL", c.value, 1), 0);
        else
            ASSERT_EQ(unsetenv("KXEXT_LOG_LEVEL"), 0);
        testing::internal::CaptureStderr();
        for (int level = 0; level <= 4; ++level)
            logger(level, "at %d", level);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.expected)
            << (c.value ? c.value : "unset");
    }
}

// With a sink, every line goes there with its level, none to stderr, and
// the threshold is the sink's business; without one, stderr again.
TEST(Logger, SinkTakesEveryLineInsteadOfStderr)
{
    static std::vector<std::pair<int, std::string>> got;
    got.clear();
    ASSERT_EQ(unsetenv("KXEXT_LOG_LEVEL"), 0);
    testing::internal::CaptureStderr();
    kxext_set_log([](int level, const char *text) { got.emplace_back(level, text); });
    logger(0, "error %d\n", 1);
    push_name("smgr_get");
    logger(4, "trace");
    pop_name();
    kxext_set_log(nullptr);
    logger(0, "back");
    logger(4, "dropped");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "kxext[0] -: back\n");
    EXPECT_EQ(got, (std::vector<std::pair<int, std::string>>{{0, "error 1"},
                                                            {4, "smgr_get: trace"}}));
}

}  // namespace
