// The backup appliance group's collectors against a real PostgreSQL.
#include "agent/agent.h"
#include "agent/capture.h"
#include "agent/mib.h"
#include "agent/notify.h"
#include "groups/kxlGroup.h"
#include "groups/statusGroup.h"
#include "mib_request.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <vector>

namespace {

constexpr time_t FIXTURE_NOW = 1767830400; // 2026-01-08 00:00:00 UTC
time_t g_test_now = FIXTURE_NOW;
time_t test_clock()
{
    return g_test_now;
}

std::string g_conninfo;
const std::string D2D0 = "/var/tmp/backups/D2D0";
const std::string D2D1 = "/var/tmp/backups/D2D1";

void sql(const std::string &statement)
{
    kx_result *r = pgQuery("%s", statement.c_str());
    ASSERT_NE(pgStatus(r), -1) << statement;
    pgFree(r);
}

// A GET of suffix.instance to the group's handlers (instance 0 for scalars).
Answer kxl_get(std::initializer_list<oid> suffix, oid instance)
{
    return group_get(group_entry(kxlGroup_variables, 3, suffix), instance);
}

// Puts a table aside for the life of the object and back after it.  In its
// place comes a view over the set-aside rows (its text follows "SELECT *
// FROM table_aside"), or nothing, so that every query on it fails.
constexpr const char *NO_ROWS = " WHERE false";
constexpr const char *QUERY_FAILS = nullptr;

class TableAside {
public:
    TableAside(std::string table, const char *view) : table_(std::move(table))
    {
        sql("ALTER TABLE " + table_ + " RENAME TO " + table_ + "_aside");
        if (view)
            sql("CREATE VIEW " + table_ + " AS SELECT * FROM " + table_ + "_aside" + view);
    }
    ~TableAside()
    {
        sql("DROP VIEW IF EXISTS " + table_);
        sql("ALTER TABLE " + table_ + "_aside RENAME TO " + table_);
    }
    TableAside(const TableAside &) = delete;
    TableAside &operator=(const TableAside &) = delete;

private:
    std::string table_;
};

int count_of(const std::string &text, const std::string &needle)
{
    int n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        n++;
    return n;
}

class KxlTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        const char *dir = getenv("KXL_PG_DIR");
        ASSERT_NE(dir, nullptr) << "run through ctest: KXL_PG_DIR names the rig's cluster";
        std::ifstream env(std::string(dir) + "/pg.env");
        std::string line;
        while (std::getline(env, line)) {
            if (line.rfind("KXDB_CONNINFO=", 0) == 0) {
                g_conninfo = line.substr(strlen("KXDB_CONNINFO="));
                if (!g_conninfo.empty() && g_conninfo.front() == '\'')
                    g_conninfo = g_conninfo.substr(1, g_conninfo.size() - 2);
            }
        }
        ASSERT_FALSE(g_conninfo.empty());
        setenv("KXDB_CONNINFO", g_conninfo.c_str(), 1);
    }

    void SetUp() override
    {
        reset_settings();
        g_verbose = 4;
        snprintf(g_log_file, sizeof g_log_file, "%s", dir.file("agent.log").c_str());
        g_test_now = FIXTURE_NOW;
        g_kxl_clock = test_clock;
        // A request waits for the pass it starts, so the cases can look at
        // its tables right after.
        g_kxl_request_wait_ms = 60 * 1000;
        setenv("KXDB_CONNINFO", g_conninfo.c_str(), 1);
        // The fixture's device directories, on the private /var/tmp this
        // test runs with; measured by the real du.
        system("rm -rf /var/tmp/backups && mkdir -p /var/tmp/backups/D2D0 /var/tmp/backups/D2D1");
        std::ofstream(D2D0 + "/data") << std::string(64 * 1024, 'x');
    }

    void TearDown() override
    {
        setenv("KXDB_CONNINFO", g_conninfo.c_str(), 1);
        pgClose();
        g_kxl_request_wait_ms = KXL_REQUEST_WAIT_MS;
        reset_settings();
    }

    std::string log() const { return read_file(dir.file("agent.log")); }

    static unsigned long du_of(const std::string &path)
    {
        std::string out = path + ".du";
        std::string command = "du -s " + shell_quote(path) + " >" + shell_quote(out);
        EXPECT_EQ(system(command.c_str()), 0);
        return strtoul(read_file(out).c_str(), nullptr, 10);
    }

    TempDir dir;
};

TEST_F(KxlTest, FirstPassFillsEveryTableFromTheFixture)
{
    g_kxl_first_pass = 1;
    g_kxl_detail_level = 2;
    g_kxl_intf_found = 0;
    ASSERT_EQ(discover_kxl(), 0);
    EXPECT_EQ(g_kxl_intf_found, 1);
    EXPECT_EQ(g_kxl_first_pass, 0);
    EXPECT_EQ(g_kxl_detail_level, 4);
    EXPECT_EQ(g_kxl_last_refresh, FIXTURE_NOW);
    std::shared_ptr<const kxl_tables> t = kxl_tables_now();
    ASSERT_TRUE(t);
    std::string text = log();
    EXPECT_NE(text.find("[2] discover_kxl: pgOpen rv = 0\n"), std::string::npos);
    EXPECT_NE(text.find("[2] Connected to database at hostname 'localhost'\n"), std::string::npos);

    // Backups: 60 in the window, 50 kept, every record released.
    EXPECT_NE(text.find("[2] kxGetBackupStatus returned count=60 \n"), std::string::npos);
    EXPECT_NE(text.find("[2] Truncating Backup status (cnt=60 > 50)\n"), std::string::npos);
    EXPECT_EQ(count_of(text, "] kxfree i="), 60);
    EXPECT_EQ(count_of(text, "] free_backup_status complete, id="), 60);
    ASSERT_EQ(t->backup_instances, 50);
    EXPECT_EQ(t->backup_info[0].backup_id, 1);
    EXPECT_EQ(t->backup_info[2].backup_id, 4);
    EXPECT_EQ(t->backup_info[49].backup_id, 51);
    EXPECT_EQ(t->backup_info[49].position, 49);
    EXPECT_STREQ(t->backup_info[0].client_name, "fileserver01");
    EXPECT_STREQ(t->backup_info[1].client_name, "esx01");
    EXPECT_STREQ(t->backup_info[6].client_name, "id 9 inst 1"); // backup 8, node 9: no nodes row
    // Backups 1 and 5: same client, type and time; the first is the latest.
    EXPECT_EQ(t->backup_info[0].last, 1);
    EXPECT_EQ(t->backup_info[3].backup_id, 5);
    EXPECT_EQ(t->backup_info[3].last, 0);
    EXPECT_EQ(t->backup_info[5].status, 1); // backup 7
    EXPECT_EQ(t->backup_info[8].status, 2); // backup 10
    EXPECT_EQ(t->backup_info[8].size, 100);
    EXPECT_EQ(t->backup_info[8].files, 1000);
    EXPECT_NE(text.find("[2] Backup[0/0]: client=fileserver01 (1) id=1 status=0\n\t time=01/01/26 "
                        "01:00:00 type=1 size=10/0 files=100/0 last=1\n"),
              std::string::npos);

    // Capacity: four devices, then five of the six configuration items.
    ASSERT_EQ(t->capacity_instances, 9);
    EXPECT_STREQ(t->capacity_info[0].name, "D2D0");
    EXPECT_EQ(t->capacity_info[0].used, 0u) << "du larger than the capacity counts nothing";
    EXPECT_EQ(t->capacity_info[0].free, 8u);
    EXPECT_EQ(t->capacity_info[1].used, 0u);
    EXPECT_EQ(t->capacity_info[1].free, 2621440000u);
    EXPECT_EQ(t->capacity_info[2].size, 5368709120u) << "past 4 TB without wrapping";
    EXPECT_EQ(t->capacity_info[2].used, du_of(D2D1));
    EXPECT_EQ(t->capacity_info[2].free, 5368709120u - du_of(D2D1));
    EXPECT_GT(t->capacity_info[2].psize, 0u) << "statfs of a real directory";
    EXPECT_EQ(t->capacity_info[3].device_id, 4);
    EXPECT_STREQ(t->capacity_info[4].name, "VirtualFailover");
    EXPECT_EQ(t->capacity_info[4].device_id, 5);
    EXPECT_EQ(t->capacity_info[4].size, 500ull << 20);
    EXPECT_STREQ(t->capacity_info[4].path, "/backups/_VirtualMachines");
    EXPECT_STREQ(t->capacity_info[5].name, "WanCache");
    EXPECT_EQ(t->capacity_info[5].device_id, 6);
    EXPECT_EQ(t->capacity_info[5].path, D2D1) << "the pass's last D2D path";
    EXPECT_STREQ(t->capacity_info[8].name, "YScratch");
    EXPECT_NE(text.find("[2] get_capacity_info count = 4 + 5 (add)\n"), std::string::npos);
    EXPECT_EQ(text.find("get_du(/dev/nst0)"), std::string::npos) << "no du for a tape";

    // Replication: 9 (first row) and 7; 0 gives none.
    ASSERT_EQ(t->replication_instances, 2);
    EXPECT_EQ(t->replication_info[0].backup_no, 9);
    EXPECT_EQ(t->replication_info[0].synchronized, 1024u);
    EXPECT_EQ(t->replication_info[1].backup_no, 7);
    EXPECT_NE(text.find("[2] get_replication_info count = 3(q) + 4(stats)\n"), std::string::npos);

    // Archives: 51 in the window, the 50 lowest ids kept.
    EXPECT_NE(text.find("[2] Truncating Archive query (cnt=51 > 50)\n"), std::string::npos);
    ASSERT_EQ(t->archive_instances, 50);
    EXPECT_EQ(t->archive_info[0].archive_id, 1);
    EXPECT_EQ(t->archive_info[49].archive_id, 50);
    EXPECT_EQ(t->archive_info[3].success, 0);
    EXPECT_STREQ(t->archive_info[3].error_text, "media error");
    EXPECT_EQ(t->archive_info[1].client_os, 1040);
    EXPECT_EQ(t->archive_info[2].client_os, 7777);
    EXPECT_EQ(t->archive_info[0].compressed, 1);
    EXPECT_EQ(t->archive_info[2].encrypted, 1);

    EXPECT_NE(text.find("[3] discover_kxl: backup  rv=0/num=50 capacity    rv=0/num=9\n"),
              std::string::npos);
    EXPECT_NE(text.find("[3] discover_kxl: archive rv=0/num=50 replication rv=0/num=2\n"),
              std::string::npos);
    EXPECT_EQ(count_of(text, "[3] kxl pass took "), 1);

    // Later calls start a pass once the data is older than 30 s, on its own
    // thread, one at a time.  A request waits for the pass it starts (so it
    // goes first here: a pass it wrongly started would show at once).
    g_test_now += KXL_CACHE_SECONDS;
    EXPECT_EQ(do_getkxl(), 0);
    EXPECT_EQ(discover_kxl(), 0);
    EXPECT_FALSE(kxl_pass_running());
    EXPECT_EQ(g_kxl_last_refresh, FIXTURE_NOW);
    g_test_now += 1;
    EXPECT_EQ(discover_kxl(), 0);
    EXPECT_EQ(discover_kxl(), 0);
    for (int i = 0; i < 6000 && kxl_pass_running(); i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_FALSE(kxl_pass_running());
    EXPECT_EQ(g_kxl_last_refresh, g_test_now);
    EXPECT_EQ(count_of(log(), "[3] kxl pass took "), 2);

    // A request that starts the pass is bounded by the count from before
    // it: a row the pass drops still reads what an earlier pass left there.
    const std::string left_in_slot = t->archive_info[19].error_text;
    TableAside fewer("archives", " WHERE archive_id <= 10");
    g_test_now += KXL_CACHE_SECONDS + 1;
    auto row20_error = [] { return group_get(group_entry(kxlGroup_variables, 3, {40, 2, 1, 10}), 20); };
    Answer stale_slot = row20_error();
    EXPECT_TRUE(stale_slot.has);
    EXPECT_EQ(stale_slot.text, left_in_slot);
    EXPECT_EQ(kxl_tables_now()->archive_instances, 10);
    EXPECT_FALSE(row20_error().has);
}

TEST_F(KxlTest, UnreachableDatabaseKeepsTablesAndStillMovesTheClock)
{
    get_kxlGroup();
    std::shared_ptr<const kxl_tables> before = kxl_tables_now();
    ASSERT_GT(before->backup_instances, 0);
    pgClose();
    setenv("KXDB_CONNINFO", (g_conninfo + " port=1").c_str(), 1);
    g_kxl_last_refresh = FIXTURE_NOW - 100;
    EXPECT_NE(do_getkxl(), 0);
    EXPECT_EQ(g_kxl_last_refresh, FIXTURE_NOW) << "a failed pass also waits 30 s for the next";
    EXPECT_EQ(kxl_tables_now(), before) << "nothing published";
    EXPECT_NE(log().find("[0] pgOpen error "), std::string::npos);
}

TEST_F(KxlTest, ARequestDoesNotWaitForASlowPassNorDoesShutdown)
{
    auto client = [] { return kxl_get({10, 2, 1, 3}, 1); };
    g_kxl_last_refresh = 0;
    ASSERT_EQ(client().text, "fileserver01");
    sql("UPDATE nodes SET node_name = 'fileserver02' WHERE node_no = 1");
    {
        // The archive query of the next pass takes 2 s.
        TableAside slow("archives", " WHERE (SELECT true FROM pg_sleep(2))");
        g_kxl_request_wait_ms = KXL_REQUEST_WAIT_MS;
        g_test_now += KXL_CACHE_SECONDS + 1;
        auto start = std::chrono::steady_clock::now();
        Answer starts_the_pass = client();
        Answer during_the_pass = client();
        close_kxlGroup();
        auto took = std::chrono::steady_clock::now() - start;
        EXPECT_EQ(starts_the_pass.text, "fileserver01");
        EXPECT_EQ(during_the_pass.text, "fileserver01");
        EXPECT_LT(took, std::chrono::seconds(1)) << "waited for the pass";
        EXPECT_NE(log().find("[2] kxl pass still running at shutdown, not waited for\n"),
                  std::string::npos);

        // The pass publishes when it ends.
        bool fresh = false;
        for (int i = 0; i < 3000 && !fresh; i++) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            fresh = client().text == "fileserver02";
        }
        EXPECT_TRUE(fresh);
    }
    sql("UPDATE nodes SET node_name = 'fileserver01' WHERE node_no = 1");
    EXPECT_EQ(count_of(log(), "[3] kxl pass took "), 2) << "requests during a pass start none";
}

TEST_F(KxlTest, ClientNamesFollowTheKindOfInstanceOne)
{
    char name[64];
    sql("UPDATE application_instances SET app_id = 2 WHERE instance_id = 1");
    EXPECT_EQ(get_client_name(1, name), 0);
    EXPECT_STREQ(name, "vm-guest-a");
    get_client_name(2, name);
    EXPECT_STREQ(name, "id 2 inst 1") << "no instance 1 of node 2";

    sql("UPDATE application_instances SET app_id = 3 WHERE instance_id = 1");
    get_client_name(1, name);
    EXPECT_STREQ(name, "hv-guest-a");

    sql("UPDATE application_instances SET app_id = 4 WHERE instance_id = 1");
    get_client_name(1, name);
    EXPECT_STREQ(name, "id 1 inst 1");
    EXPECT_NE(log().find("[1] Unsupported application type (vmware) for client (node 1 instance 1)\n"),
              std::string::npos);

    sql("UPDATE application_instances SET instance_id = 11 WHERE instance_id = 1");
    get_client_name(3, name);
    EXPECT_STREQ(name, "id 3 inst 1");
    EXPECT_NE(log().find("[1] Could not retrieve name of client (node 3 instance 1) from database\n"),
              std::string::npos);

    sql("UPDATE application_instances SET instance_id = 1, app_id = 1 WHERE instance_id = 11");
    get_client_name(3, name);
    EXPECT_STREQ(name, "hyperv01");
}

// Rows past a table's 50 are cut, never written past its end; the queue's
// rows count towards the replications found.
TEST_F(KxlTest, ReplicationsAndDevicesAreCutAtTheTable)
{
    sql("INSERT INTO sds_stats (backup_no, client_name, destination, bytes_syncd) "
        "SELECT 100 + k, 'c' || k, 'dr', 1024 * k FROM generate_series(1, 50) AS k");
    sql("INSERT INTO devices (device_no, dev_name, dev_rw_name, capacity) "
        "SELECT 100 + k, 'tape' || k, '/dev/null', 1 FROM generate_series(1, 48) AS k");
    g_kxl_detail_level = 2;
    auto t = std::make_unique<kxl_tables>();
    EXPECT_EQ(get_replication_info(*t), 0);
    get_capacity_info(*t);
    sql("DELETE FROM sds_stats WHERE backup_no > 100");
    sql("DELETE FROM devices WHERE device_no > 100");
    EXPECT_NE(log().find("[2] Truncating replications (cnt=53 > 50)\n"), std::string::npos);
    ASSERT_EQ(t->replication_instances, 50);
    EXPECT_EQ(t->replication_info[0].backup_no, 150);
    EXPECT_EQ(t->replication_info[49].backup_no, 101);
    EXPECT_EQ(t->capacity_instances, 50);
    EXPECT_STREQ(t->capacity_info[49].name, "tape46");
}

std::vector<std::string> capacity_names(const kxl_tables &t)
{
    std::vector<std::string> names;
    for (int i = 0; i < t.capacity_instances; i++)
        names.push_back(t.capacity_info[i].name);
    return names;
}

TEST_F(KxlTest, CapacityRowsAreRebuiltNotStackedWhileTheDeviceListIsMissing)
{
    // One table set through every pass, as each pass starts from the last.
    auto t = std::make_unique<kxl_tables>();
    get_capacity_info(*t);
    const std::vector<std::string> first = capacity_names(*t);
    ASSERT_EQ(first.size(), 9u);
    EXPECT_EQ(std::set<std::string>(first.begin(), first.end()).size(), first.size());

    // Passes without a device list keep the last devices and rebuild the
    // configuration entries after them, with the devices' D2D path.
    for (const char *devices : {NO_ROWS, NO_ROWS, NO_ROWS, QUERY_FAILS}) {
        TableAside aside("devices", devices);
        get_capacity_info(*t);
        EXPECT_EQ(capacity_names(*t), first) << (devices ? "no rows" : "query fails");
        EXPECT_EQ(t->capacity_info[5].path, D2D1);
    }
    EXPECT_EQ(count_of(log(), "[0] Could not obtain device list from kxdb\n"), 4);

    // An item listed twice in a row gives one row.
    {
        TableAside aside("nvp", " UNION ALL SELECT * FROM nvp_aside ORDER BY item_name");
        get_capacity_info(*t);
        EXPECT_EQ(capacity_names(*t), first);
    }

    {
        TableAside aside("nvp", QUERY_FAILS);
        EXPECT_EQ(get_capacity_info(*t), -2);
    }
    EXPECT_NE(log().find("[0] Could not obtain nvp list from kxdb\n"), std::string::npos);
    EXPECT_EQ(t->capacity_instances, 4) << "this pass's devices stay";
}

// A collector's query that answers with no rows empties its table as SNMP
// sees it; one that fails keeps the last pass's rows.
struct NoRowsCase {
    const char *table;
    oid area; // count at area.1.0, rows at area.2.1.column.row
    const char *view;
    const char *log_line;
};

class KxlNoRowsTest : public KxlTest, public ::testing::WithParamInterface<NoRowsCase> {};

TEST_P(KxlNoRowsTest, CountAndRowsAsServed)
{
    const NoRowsCase &c = GetParam();
    auto count = [&c] { return kxl_get({c.area, 1}, 0); };
    auto first_row_id = [&c] { return kxl_get({c.area, 2, 1, 2}, 1); };
    g_kxl_last_refresh = 0;
    Answer before = count(); // starts a pass over the whole fixture
    Answer row_before = first_row_id();
    ASSERT_TRUE(before.has && row_before.has);
    ASSERT_GT(before.integer, 0);

    Answer after, row_after;
    {
        TableAside aside(c.table, c.view);
        g_test_now += KXL_CACHE_SECONDS + 1;
        after = count();
        row_after = first_row_id();
    }
    ASSERT_TRUE(after.has);
    if (c.view) {
        EXPECT_EQ(after.integer, 0);
        EXPECT_FALSE(row_after.has);
    } else {
        EXPECT_EQ(after.integer, before.integer);
        EXPECT_TRUE(row_after.has);
        EXPECT_EQ(row_after.integer, row_before.integer);
    }
    EXPECT_EQ(g_kxl_last_refresh, g_test_now) << "the second GET made a pass";
    EXPECT_NE(log().find(c.log_line), std::string::npos) << c.log_line;
}

// Replication entries come from sds_stats: with none, the three queue rows
// of the fixture make no entry.
INSTANTIATE_TEST_SUITE_P(
    Kxl, KxlNoRowsTest,
    ::testing::Values(
        NoRowsCase{"backups", 10, NO_ROWS, "[0] kxGetBackupStatus returned zero records\n"},
        NoRowsCase{"backups", 10, QUERY_FAILS, "[0] kxGetBackupStatus error -2\n"},
        NoRowsCase{"archives", 40, NO_ROWS, "] Archive query returned 0 records\n"},
        NoRowsCase{"archives", 40, QUERY_FAILS, "[0] pgQuery error for archive_status\n"},
        NoRowsCase{"sds_stats", 30, NO_ROWS, "] get_replication_info cnt = 0\n"},
        NoRowsCase{"sds_stats", 30, QUERY_FAILS, "[0] Could not obtain sds_stats from kxdb\n"}),
    [](const ::testing::TestParamInfo<NoRowsCase> &info) {
        return std::string(info.param.table) + (info.param.view ? "_no_rows" : "_query_fails");
    });

TEST_F(KxlTest, DuGetsTheDatabasePathAsOneWord)
{
    std::string marker = dir.file("owned");
    std::string hostile = dir.file("x; touch " + marker + " #");
    unsigned long used = 99;
    EXPECT_EQ(get_du(hostile.c_str(), &used), 0) << "tail's status: the pipeline ran";
    EXPECT_EQ(used, 0u);
    EXPECT_FALSE(file_exists(marker));

    std::string odd = dir.file("it's $(dir) `x`");
    mkdir(odd.c_str(), 0755);
    dir.write("it's $(dir) `x`/f", std::string(20000, 'y'));
    EXPECT_EQ(get_du(odd.c_str(), &used), 0);
    EXPECT_EQ(used, du_of(odd));
    EXPECT_GT(used, 0u);
    EXPECT_EQ(get_du(odd.c_str(), nullptr), -1);

    // A path beginning with "-" reaches du as a path, not as an option; a
    // stand-in du records what it was given.
    std::string bin = dir.file("bin");
    mkdir(bin.c_str(), 0755);
    dir.write("bin/du", "#!/bin/sh\nprintf '%s\\n' \"$@\" >'" + dir.file("du.args") +
                            "'\nprintf '42\\t%s\\n' \"$3\"\n");
    chmod((bin + "/du").c_str(), 0755);
    std::string search_path = getenv("PATH");
    setenv("PATH", (bin + ":" + search_path).c_str(), 1);
    int rv = get_du("--files0-from=/dev/zero", &used);
    setenv("PATH", search_path.c_str(), 1);
    EXPECT_EQ(rv, 0);
    EXPECT_EQ(read_file(dir.file("du.args")), "-s\n--\n--files0-from=/dev/zero\n");
    EXPECT_EQ(used, 42u);
}

// The library filters by type, so a record of type 48 never comes back
// from the real catalogue; these arrays stand in for one that does.
std::vector<backup_status> records(std::initializer_list<std::array<int, 4>> rows)
{
    std::vector<backup_status> out;
    int id = 1;
    for (auto &row : rows) {
        backup_status b = {};
        b.backup_id = id++;
        b.node_no = row[0];
        b.type = row[1];
        b.start_time = row[2];
        b.status = row[3];
        out.push_back(b);
    }
    return out;
}

TEST_F(KxlTest, SystemMetadataIsSkippedButCountsInPositionsAndTheLatestScan)
{
    auto array = records({{1, 1, 100, 0}, {1, 48, 200, 0}, {1, 2, 300, 0}});
    auto t = std::make_unique<kxl_tables>();
    store_backup_records(*t, array.data(), 3);
    ASSERT_EQ(t->backup_instances, 2);
    EXPECT_EQ(t->backup_info[0].position, 0);
    EXPECT_EQ(t->backup_info[1].position, 2);
    EXPECT_EQ(t->backup_info[1].type, 2);

    auto equal = records({{7, 1, 500, 0}, {7, 2, 900, 0}, {8, 1, 900, 0}, {7, 1, 500, 0}});
    EXPECT_EQ(is_bk_last(0, 4, equal.data()), 1);
    EXPECT_EQ(is_bk_last(3, 4, equal.data()), 0);
    EXPECT_EQ(is_bk_last(2, 4, equal.data()), 1);
    // Times compare unsigned: a time past 2038 is later than any before.
    auto wide = records({{7, 1, 500, 0}, {7, 1, -5, 0}});
    EXPECT_EQ(is_bk_last(1, 2, wide.data()), 1);
}

TEST(KxlNames, JobTypesAndClientSystemsAtTheirBoundaries)
{
    EXPECT_STREQ(jobtype_string(1), "master");
    EXPECT_STREQ(jobtype_string(48), "system metadata");
    EXPECT_STREQ(jobtype_string(59), "tidelink incremental");
    EXPECT_STREQ(jobtype_string(60), "jobtype_60");
    EXPECT_STREQ(jobtype_string(0), "jobtype_0");
    EXPECT_STREQ(jobtype_string(-3), "jobtype_-3");
    EXPECT_STREQ(client_os_str(0), "Other OS");
    EXPECT_STREQ(client_os_str(1), "DOS");
    EXPECT_STREQ(client_os_str(39), "Windows2012");
    EXPECT_STREQ(client_os_str(40), "Other OS");
    EXPECT_STREQ(client_os_str(1039), "Other OS");
    EXPECT_STREQ(client_os_str(1040), "VM_WARE");
    EXPECT_STREQ(client_os_str(1041), "HYPER_V");
    EXPECT_STREQ(client_os_str(1042), "SHARE_POINT");
    EXPECT_STREQ(client_os_str(1043), "Other OS");
}

TEST(KxlTables, VariablesAreInOidOrder)
{
    EXPECT_TRUE(mib_table_in_order(kxlGroup_variables, std::size(kxlGroup_variables)));
}

// The seconds a time text of the agent stands for, read here by the C
// library rather than the agent's own code: its local "MM/DD/YY hh:mm:ss"
// (these cases run with TZ=UTC) and the database's ISO text with a zone.
long local_text_seconds(const std::string &text)
{
    struct tm tm = {};
    const char *end = strptime(text.c_str(), "%m/%d/%y %H:%M:%S", &tm);
    return end && *end == '\0' ? static_cast<long>(timegm(&tm)) : -1;
}

long zoned_text_seconds(const std::string &text)
{
    struct tm tm = {};
    const char *end = strptime(text.c_str(), "%Y-%m-%d %H:%M:%S%z", &tm);
    return end && *end == '\0' ? static_cast<long>(timegm(&tm) - tm.tm_gmtoff) : -1;
}

bool same_gigabytes(const std::string &text, long megabytes)
{
    return text == std::to_string(megabytes / 1024) + " GB";
}

// A numeric column and the text column it carries as a number.
struct CompanionCase {
    const char *name;
    oid area;
    oid text_column;
    oid value_column;
    bool (*agrees)(const std::string &text, long value);
};

const CompanionCase companion_cases[] = {
    {"backup time", 10, 6, 11,
     [](const std::string &t, long v) { return local_text_seconds(t) == v; }},
    {"backup size", 10, 8, 12,
     [](const std::string &t, long v) { return t == std::to_string(v) + " MB"; }},
    {"capacity size", 20, 5, 8, same_gigabytes},
    {"capacity used", 20, 6, 9, same_gigabytes},
    {"capacity free", 20, 7, 10, same_gigabytes},
    {"replication time", 30, 5, 9,
     [](const std::string &t, long v) { return zoned_text_seconds(t) == v; }},
    {"archive time", 40, 6, 14,
     [](const std::string &t, long v) { return local_text_seconds(t) == v; }},
};

TEST_F(KxlTest, CompanionsAgreeWithTheirTextColumnsOnEveryRow)
{
    // Some 3 MB in use on D2D1: megabytes that whole gigabytes cannot
    // show, and kilobytes that are no whole megabyte.
    std::ofstream(D2D1 + "/data") << std::string((3 << 20) + 5000, 'x');
    g_kxl_last_refresh = 0;
    kxl_get({10, 1}, 0); // a pass over the whole fixture

    for (const CompanionCase &c : companion_cases) {
        SCOPED_TRACE(c.name);
        long rows = kxl_get({c.area, 1}, 0).integer;
        EXPECT_GT(rows, 0);
        for (oid row = 1; row <= static_cast<oid>(rows); row++) {
            Answer text = kxl_get({c.area, 2, 1, c.text_column}, row);
            Answer value = kxl_get({c.area, 2, 1, c.value_column}, row);
            ASSERT_TRUE(text.has && value.has) << "row " << row;
            EXPECT_TRUE(c.agrees(text.text, value.integer))
                << "row " << row << ": " << text.text << " vs " << value.integer;
        }
    }

    // Megabytes from the kilobytes held, not from the text's gigabytes.
    unsigned long used = du_of(D2D1);
    ASSERT_NE(used % 1024, 0u);
    EXPECT_EQ(kxl_get({20, 2, 1, 9}, 3).integer, static_cast<long>(used / 1024));
    EXPECT_EQ(kxl_get({20, 2, 1, 10}, 3).integer, static_cast<long>((5368709120 - used) / 1024));
    EXPECT_EQ(kxl_get({20, 2, 1, 8}, 3).integer, 5242880) << "5 TB, past 32 bits in KB";
}

// The database's text of a timestamptz in its ISO style, with any zone.
TEST(KxlStatTime, SecondsOfTheDatabasesTextWithItsZone)
{
    struct Case {
        const char *text;
        bool reads;
        uint32_t seconds;
    };
    const Case cases[] = {
        {"2026-01-05 10:00:00+00", true, 1767607200},
        {"2026-01-05 15:30:00+05:30", true, 1767607200},
        {"2026-01-05 06:30:00-03:30", true, 1767607200},
        {"2026-01-05 10:00:00.999999+00", true, 1767607200},
        {"1970-01-01 00:09:21+00:09:21", true, 0},
        {"2024-02-29 00:00:00+00", true, 1709164800},
        {"2106-02-07 06:28:15+00", true, 4294967295u},
        {"2026-01-05 10:00:00", false, 0},
        {"infinity", false, 0},
        {"-infinity", false, 0},
        {"", false, 0},
        {"2026-01-05 10:00:00+00 BC", false, 0},
        {"1969-12-31 23:59:59+00", false, 0},
        {"2106-02-07 06:28:16+00", false, 0},
        {"2025-02-29 00:00:00+00", false, 0},
        {"2026-13-01 00:00:00+00", false, 0},
        {"2026-01-05 24:00:00+00", false, 0},
        {"2026-01-05 10:00+00", false, 0},
        {"2026-01-05 10:00:00+0", false, 0},
        {"2026-01-05 10:00:00.+00", false, 0},
        {"Mon Jan 05 10:00:00 2026 UTC", false, 0},
        {"01/05/26 10:00:00", false, 0},
    };
    for (const Case &c : cases) {
        uint32_t seconds = 7;
        EXPECT_EQ(stat_time_seconds(c.text, &seconds), c.reads) << c.text;
        if (c.reads) {
            EXPECT_EQ(seconds, c.seconds) << c.text;
        }
    }
}

// Runs a statement that puts the database back, however the case ends.
struct Restore {
    std::string statement;
    ~Restore() { sql(statement); }
};

TEST_F(KxlTest, ReplicationTimeFollowsTheDatabasesZoneAndAWalkPassesAGap)
{
    const char *zone = "DO $$ BEGIN EXECUTE format('ALTER DATABASE %%I %s', current_database()); "
                       "END $$";
    char statement[256];
    snprintf(statement, sizeof statement, zone, "SET timezone = ''Asia/Kolkata''");
    sql(statement);
    snprintf(statement, sizeof statement, zone, "RESET timezone");
    Restore reset_zone{statement};
    sql("UPDATE sds_stats SET stat_time = 'infinity' WHERE backup_no = 9");
    Restore reset_time{"UPDATE sds_stats SET stat_time = '2026-01-05 10:00:00+00' "
                       "WHERE backup_no = 9"};
    pgClose(); // the pass's own connection takes the zone

    g_kxl_last_refresh = 0;
    ASSERT_EQ(kxl_get({30, 1}, 0).integer, 2);
    EXPECT_EQ(kxl_get({30, 2, 1, 5}, 1).text, "infinity");
    EXPECT_FALSE(kxl_get({30, 2, 1, 9}, 1).has) << "a text that is no time has no number";
    EXPECT_EQ(kxl_get({30, 2, 1, 5}, 2).text, "2026-01-04 14:00:00+05:30");

    // A walk of the column goes past row 1 to row 2, and ends there.
    Answer first = group_get(group_entry(kxlGroup_variables, 3, {30, 2, 1, 9}), 0, 0);
    ASSERT_TRUE(first.has);
    EXPECT_EQ(first.row, 2u);
    EXPECT_EQ(first.integer, 1767515400); // 2026-01-04 08:30:00 UTC
    EXPECT_FALSE(group_get(group_entry(kxlGroup_variables, 3, {30, 2, 1, 9}), 2, 0).has);
}

// A backup failed that the last backup query that succeeded did not show
// failed (a new row, or one turned failed) is notified once; the first
// pass and a failed query only record or change nothing.
TEST_F(KxlTest, BackupsNewlySeenFailedAreNotifiedOnce)
{
    struct Pass {
        const char *name;
        const char *statement; // before the pass
        bool query_fails;
        std::vector<std::string> notified;
    } passes[] = {
        {"the first pass records the failed backups there", nullptr, false, {}},
        {"a new failed row and one turned failed",
         "INSERT INTO backups VALUES (0, 2, 2, 1767225600, 2, 1, 1); "
         "UPDATE backups SET status = 2 WHERE backup_no = 1",
         false, {"5 1 esx01 0 differential", "5 2 fileserver01 1 master"}},
        {"failed as before", nullptr, false, {}},
        {"a failed query", "UPDATE backups SET status = 2 WHERE backup_no = 2", true, {}},
        {"compared with the last query that succeeded", nullptr, false,
         {"5 3 esx01 2 differential"}},
    };
    Restore restore{"DELETE FROM backups WHERE backup_no = 0; "
                    "UPDATE backups SET status = 0 WHERE backup_no IN (1, 2)"};
    close_kxlGroup(); // a group started again: its next pass is a first
    set_notify_observer(record_notification);
    for (const Pass &p : passes) {
        SCOPED_TRACE(p.name);
        if (p.statement)
            sql(p.statement);
        std::optional<TableAside> aside;
        if (p.query_fails)
            aside.emplace("backups", QUERY_FAILS);
        g_notified.clear();
        get_kxlGroup();
        std::vector<std::string> backups;
        for (const std::string &n : g_notified)
            if (n.rfind("5 ", 0) == 0)
                backups.push_back(n);
        EXPECT_EQ(backups, p.notified);
    }
    set_notify_observer(nullptr);
}

// The rig's cluster stopped and started again through pg_ctl.
class StoppedDatabase {
public:
    StoppedDatabase() { EXPECT_EQ(pg_ctl("stop -m fast -w -t 60"), 0); }
    ~StoppedDatabase()
    {
        EXPECT_EQ(pg_ctl("start -w -t 60 -l " + shell_quote(env("PG_HOST") + "/postgres.log") +
                         " -o " + shell_quote("-p " + env("PG_PORT"))),
                  0);
    }
    StoppedDatabase(const StoppedDatabase &) = delete;
    StoppedDatabase &operator=(const StoppedDatabase &) = delete;

private:
    static std::string env(const std::string &key)
    {
        std::ifstream in(std::string(getenv("KXL_PG_DIR")) + "/pg.env");
        for (std::string line; std::getline(in, line);)
            if (line.rfind(key + "=", 0) == 0)
                return line.substr(key.size() + 1);
        return "";
    }
    static int pg_ctl(const std::string &arguments)
    {
        std::string command = shell_quote(env("PG_BIN") + "/pg_ctl") + " -D " +
                              shell_quote(env("PG_DATA")) + " " + arguments + " >/dev/null";
        if (geteuid() == 0)
            command = "runuser -u postgres -- " + command;
        return system(("cd / && " + command).c_str());
    }
};

// The database goes away while the agent holds a connection: the pass stops
// at the collector that finds it gone, the later collectors do not run,
// every table stays as it was, and the health row records the failure.
TEST_F(KxlTest, ADatabaseLostMidPassStopsThePassAtThatCollector)
{
    ASSERT_EQ(get_kxlGroup(), 0);
    std::shared_ptr<const kxl_tables> before = kxl_tables_now();
    ASSERT_GT(before->capacity_instances, 0);
    {
        ASSERT_EQ(pgOpen(1), 0); // the connection the next pass starts with
        StoppedDatabase stopped;
        unlink(dir.file("agent.log").c_str());
        EXPECT_EQ(get_kxlGroup(), -2);
    }
    std::string text = log();
    EXPECT_NE(text.find("[1] kxl pass stopped: the database connection failed in the backup "
                        "query\n"),
              std::string::npos)
        << text;
    for (const char *later : {"Could not obtain device list", "Could not obtain nvp list",
                              "pgQuery error for archive_status", "sds_stats", "discover_kxl: "})
        EXPECT_EQ(text.find(later), std::string::npos) << later;
    std::shared_ptr<const kxl_tables> after = kxl_tables_now();
    EXPECT_EQ(after->backup_instances, before->backup_instances);
    EXPECT_EQ(after->capacity_instances, before->capacity_instances);
    EXPECT_EQ(after->archive_instances, before->archive_instances);
    EXPECT_EQ(after->replication_instances, before->replication_instances);

    health_row row = health_now(HEALTH_DATABASE, time(nullptr));
    EXPECT_EQ(row.state, HEALTH_FAILED);
    EXPECT_EQ(row.failures, 1);
    EXPECT_EQ(row.error, "kxl pass stopped: the database connection failed in the backup query");

    EXPECT_EQ(get_kxlGroup(), 0) << "started again";
    row = health_now(HEALTH_DATABASE, time(nullptr));
    EXPECT_EQ(row.state, HEALTH_OK);
    EXPECT_EQ(row.error, "");
}

} // namespace
