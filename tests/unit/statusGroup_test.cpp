#include "agent/notify.h"
#include "groups/diskGroup.h"
#include "groups/ipmiGroup.h"
#include "groups/statusGroup.h"
#include "mib_request.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

namespace {

TEST(StatusRollup, EveryCodeMapsByTheOneTableAndStrangeCodesAreUnknown)
{
    constexpr rollup_status OK = STATUS_OK, NC = STATUS_NON_CRITICAL, CR = STATUS_CRITICAL,
                            UN = STATUS_UNKNOWN;
    const std::vector<std::tuple<status_member, long, rollup_status>> cases = {
        {MEMBER_SENSOR, 0, OK},  {MEMBER_SENSOR, 1, NC},   {MEMBER_SENSOR, 2, CR},
        {MEMBER_SENSOR, 3, CR},  {MEMBER_SENSOR, 4, NC},   {MEMBER_SENSOR, 5, CR},
        {MEMBER_SENSOR, 6, CR},  {MEMBER_SENSOR, 7, UN},   {MEMBER_SENSOR, 8, UN},
        {MEMBER_SENSOR, 9, UN},  {MEMBER_SENSOR, -1, UN},  {MEMBER_SENSOR, 255, UN},
        {MEMBER_DISK, 1, OK},    {MEMBER_DISK, 2, NC},     {MEMBER_DISK, 3, NC},
        {MEMBER_DISK, 4, CR},    {MEMBER_DISK, 5, CR},     {MEMBER_DISK, 6, CR},
        {MEMBER_DISK, 7, CR},    {MEMBER_DISK, 8, NC},     {MEMBER_DISK, 9, NC},
        {MEMBER_DISK, 10, OK},   {MEMBER_DISK, 11, CR},    {MEMBER_DISK, 12, NC},
        {MEMBER_DISK, 13, UN},   {MEMBER_DISK, 0, UN},     {MEMBER_DISK, 14, UN},
        {MEMBER_VOLUME, 1, OK},  {MEMBER_VOLUME, 2, NC},   {MEMBER_VOLUME, 3, NC},
        {MEMBER_VOLUME, 4, NC},  {MEMBER_VOLUME, 5, NC},   {MEMBER_VOLUME, 6, CR},
        {MEMBER_VOLUME, 7, NC},  {MEMBER_VOLUME, 0, UN},   {MEMBER_VOLUME, 8, UN},
        {MEMBER_SOURCE, 1, OK},  {MEMBER_SOURCE, 2, NC},   {MEMBER_SOURCE, 3, CR},
        {MEMBER_SOURCE, 4, OK},  {MEMBER_SOURCE, 5, UN},
    };
    for (const auto &[member, code, expected] : cases)
        EXPECT_EQ(rollup_of(member, code), expected) << "member " << member << " code " << code;

    // ok < unknown < nonCritical < critical, either way round.
    const rollup_status order[] = {OK, UN, NC, CR};
    for (int i = 0; i < 4; i++)
        for (int j = 0; j < 4; j++)
            EXPECT_EQ(rollup_worse(order[i], order[j]), order[std::max(i, j)]) << i << " " << j;

    status_set_refresh_interval(10);
    EXPECT_EQ(health_stale_seconds(HEALTH_BMC), 90);
    status_set_refresh_interval(300);
    EXPECT_EQ(health_stale_seconds(HEALTH_DISK_REPORT), 900);
    EXPECT_EQ(health_stale_seconds(HEALTH_DATABASE), 90);
}

time_t g_now;
// Source notifications seen: row, previous state, state.
std::vector<std::tuple<long, long, long>> g_seen;

void observe(notification_kind kind, const std::vector<notify_varbind> &varbinds)
{
    ASSERT_EQ(kind, NOTIFY_SOURCE_STATE);
    ASSERT_EQ(varbinds.size(), 3u);
    g_seen.emplace_back(varbinds[0].suffix.back(), varbinds[1].integer, varbinds[2].integer);
}

// The entry as net-snmp hands it to the handler, the full OID in its name.
struct variable entry_of(const struct variable4 &v)
{
    struct variable vp = {};
    vp.magic = v.magic;
    vp.type = v.type;
    vp.findVar = v.findVar;
    size_t n = 0;
    for (oid part : MIB_ROOT)
        vp.name[n++] = part;
    vp.name[n++] = 7;
    for (size_t i = 0; i < v.namelen; i++)
        vp.name[n++] = v.name[i];
    vp.namelen = static_cast<u_char>(n);
    return vp;
}

class HealthTest : public testing::Test {
protected:
    void SetUp() override
    {
        g_now = 100000;
        g_status_clock = [] { return g_now; };
        status_set_refresh_interval(300);
        reset_health();
        g_seen.clear();
        set_notify_observer(observe);
    }
    void TearDown() override
    {
        set_notify_observer(nullptr);
        reset_health();
        g_status_clock = [] { return time(nullptr); };
    }
    static void pass(health_source source, bool ok, const char *error = nullptr)
    {
        health_pass p(source);
        if (error) {
            health_note_error(source, "%s", error);
            health_note_error(source, "a later cause, not kept");
        }
        if (ok)
            p.done(true);
    }
};

TEST_F(HealthTest, StatesFollowPassesAndTheClockWithOneNotificationPerChange)
{
    using seen = std::vector<std::tuple<long, long, long>>;
    health_check_sources();
    pass(HEALTH_DATABASE, false, "pgOpen: connection refused\n\tIs the server running?\n");
    health_note_error(HEALTH_DATABASE, "noted for the next pass");
    health_row db = health_now(HEALTH_DATABASE, g_now);
    EXPECT_EQ(db.state, HEALTH_FAILED);
    EXPECT_EQ(db.error, "pgOpen: connection refused Is the server running?") << "one line";
    EXPECT_EQ(db.failures, 1);
    EXPECT_EQ(g_seen, seen{}) << "the first state seen is no change";
    EXPECT_EQ(status_sources(), STATUS_CRITICAL);

    g_now += 40;
    pass(HEALTH_DATABASE, false);
    db = health_now(HEALTH_DATABASE, g_now);
    EXPECT_EQ(db.failures, 2);
    EXPECT_EQ(db.error, "noted for the next pass");
    EXPECT_EQ(db.seconds_since, 40) << "counted from the start when there was no success";
    pass(HEALTH_DATABASE, false);
    EXPECT_EQ(health_now(HEALTH_DATABASE, g_now).error, "pass failed");
    EXPECT_EQ(g_seen, seen{});

    pass(HEALTH_DATABASE, true, "dropped by the success");
    db = health_now(HEALTH_DATABASE, g_now);
    EXPECT_EQ(db.state, HEALTH_OK);
    EXPECT_EQ(db.last_success, g_now);
    EXPECT_EQ(db.failures, 0);
    EXPECT_EQ(db.error, "");
    EXPECT_EQ(g_seen, (seen{{2, HEALTH_FAILED, HEALTH_OK}}));

    // The database turns stale after 90 s; the BMC, never tried, only
    // after its own threshold from the start; failed wins over stale.
    g_now += 90;
    health_check_sources();
    EXPECT_EQ(g_seen.size(), 1u);
    g_now += 1;
    health_check_sources();
    health_check_sources();
    EXPECT_EQ(health_now(HEALTH_DATABASE, g_now).seconds_since, 91);
    EXPECT_EQ(status_sources(), STATUS_NON_CRITICAL);
    pass(HEALTH_DATABASE, false);
    EXPECT_EQ(g_seen, (seen{{2, HEALTH_FAILED, HEALTH_OK},
                            {2, HEALTH_OK, HEALTH_STALE},
                            {2, HEALTH_STALE, HEALTH_FAILED}}));

    // notConfigured is left out of the sources' status, even when failing;
    // a success brings the source back.
    g_seen.clear();
    pass(HEALTH_DATABASE, true);
    pass(HEALTH_DISK_REPORT, true);
    health_set_not_configured(HEALTH_BMC, true);
    pass(HEALTH_BMC, false);
    EXPECT_EQ(health_now(HEALTH_BMC, g_now).state, HEALTH_NOT_CONFIGURED);
    EXPECT_EQ(status_sources(), STATUS_OK);
    g_now += 1000;
    EXPECT_EQ(status_sources(), STATUS_NON_CRITICAL);
    pass(HEALTH_BMC, true);
    EXPECT_EQ(g_seen, (seen{{2, HEALTH_FAILED, HEALTH_OK},
                            {1, HEALTH_NOT_CONFIGURED, HEALTH_OK},
                            {2, HEALTH_OK, HEALTH_STALE},
                            {3, HEALTH_OK, HEALTH_STALE}}))
        << "the disk report's first pass and the BMC's first state give none";

    for (health_source s : {HEALTH_BMC, HEALTH_DATABASE, HEALTH_DISK_REPORT})
        health_set_not_configured(s, true);
    EXPECT_EQ(status_sources(), STATUS_UNKNOWN);
}

TEST_F(HealthTest, WalkOfTheGroupAnswersEveryObjectInOrder)
{
    ASSERT_TRUE(mib_table_in_order(statusGroup_variables, 13));
    EXPECT_EQ(status_sensors(), STATUS_UNKNOWN);

    auto sensors = std::make_shared<sensor_tables>();
    auto row = [](uint32_t index, uint8_t type, uint8_t status) {
        sensor_info info{};
        info.index = index;
        info.sensor_type = type;
        info.status = status;
        return info;
    };
    sensors->rows = {row(1, SENSOR_TYPE_FAN, 0), row(2, SENSOR_TYPE_TEMPERATURE, 4),
                     row(0, SENSOR_TYPE_FAN, 6), row(3, 0x08, 6)};
    g_sensors.publish(sensors);
    const char *report = "====  DEV\nDISK0  o  1 sda 1 (C) 2 h 3 SER: 4) WDC WD40 FW 4 TB\n"
                         "==========\nRAID1 md0 (sda sdb) ++++ degraded\n";
    FILE *file = tmpfile();
    ASSERT_NE(file, nullptr);
    fputs(report, file);
    rewind(file);
    ASSERT_EQ(parse_disk_report(file), 0);
    fclose(file);

    health_set_not_configured(HEALTH_BMC, true);
    pass(HEALTH_DATABASE, true);
    pass(HEALTH_DISK_REPORT, false, "discover_disks command error 256\n");
    g_now += 5;

    std::vector<std::string> walk;
    for (const struct variable4 &v : statusGroup_variables) {
        auto vp = entry_of(v);
        bool scalar = v.namelen < 4;
        Answer a = group_get(vp, 0, scalar ? 1 : 0);
        for (int rows = 0; a.has && rows < 5; rows++) {
            std::string value = v.type == ASN_OCTET_STR ? a.text : std::to_string(a.integer);
            walk.push_back(std::to_string(v.name[v.namelen - 1]) + "." + std::to_string(a.row) +
                           "=" + (v.name[v.namelen - 1] == 8 && v.namelen == 4 ? "ms" : value));
            a = scalar ? Answer{} : group_get(vp, a.row, 0);
        }
    }
    const std::string t = std::to_string(g_now - 5);
    const std::vector<std::string> expected = {
        "1.0=3", "2.0=2", "3.0=2", "4.0=3", "1.0=3", // overall, sensors, storage, sources, rows
        "1.1=1", "1.2=2", "1.3=3", "2.1=bmc", "2.2=database", "2.3=diskReport",
        "3.1=4", "3.2=1", "3.3=3", "4.1=0", "4.2=" + t, "4.3=0", "5.1=5", "5.2=5", "5.3=5",
        "6.1=0", "6.2=0", "6.3=1", "7.1=", "7.2=", "7.3=discover_disks command error 256",
        "8.1=ms", "8.2=ms", "8.3=ms"};
    EXPECT_EQ(walk, expected);

    EXPECT_FALSE(group_get(group_entry(statusGroup_variables, 7, {10, 2, 1, 3}), 4).has);
    EXPECT_FALSE(group_get(group_entry(statusGroup_variables, 7, {1}), 1).has);

    g_sensors.clear();
    FILE *empty = tmpfile();
    parse_disk_report(empty);
    fclose(empty);
    EXPECT_EQ(status_storage(), STATUS_UNKNOWN);
}

} // namespace
