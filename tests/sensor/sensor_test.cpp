// The sensor group's rules without a BMC: status from the threshold bits,
// the name rule, the SDR walk over records made here (no BMC answers, so
// every reading fails), the SEL commands' result codes and the event log
// rebuild with the SEL played by FakeSel, and the handlers.
#include "sensor_test_util.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <sys/stat.h>

namespace {

// Records of a small machine: a fan whose record ID is 0000h first, a
// current sensor (a full record of another type), a compact record, a
// temperature with a 70-byte record, a voltage with M, B and both
// exponents, and a temperature record too short for a name.
Bytes machine_records()
{
    FullRecord fan;
    fan.id = 0x0000;
    fan.number = 0x30;
    fan.type = SENSOR_TYPE_FAN;
    fan.name = "FAN A";
    fan.base_unit = 18;
    fan.m = 50;
    fan.thresholds = {250, 240, 230, 10, 16, 20};

    FullRecord current;
    current.id = 0x0005;
    current.number = 0x20;
    current.type = 0x03;
    current.name = "PSU Current";
    current.base_unit = 5;

    FullRecord cpu;
    cpu.id = 0x0007;
    cpu.number = 0x01;
    cpu.name = std::string("Processor 1 Temperature\0xyz", 27);
    cpu.total_length = 70;

    FullRecord aux;
    aux.id = 0x0008;
    aux.number = 0x11;
    aux.type = SENSOR_TYPE_VOLTAGE;
    aux.name = "12V Aux";
    aux.base_unit = 4;
    aux.m = 5;
    aux.b = 25;
    aux.b_exp = 1;
    aux.r_exp = -2;
    aux.thresholds = {230, 220, 210, 170, 180, 190};

    FullRecord stub;
    stub.id = 0x0009;
    stub.number = 0x02;
    stub.name = "";
    stub.total_length = 40;

    return concat({full_record(fan), full_record(current), compact_record(0x0006, 0x50, "Intrusion"),
                   full_record(cpu), full_record(aux), full_record(stub)});
}

class SensorGroup : public ::testing::Test {
protected:
    void SetUp() override
    {
        struct stat st;
        if (stat("/dev/ipmi0", &st) == 0)
            GTEST_SKIP() << "this machine has an in-band BMC: readings would succeed";
        // In-band with no device: every IPMI command fails at once.
        bmc::set_connection(nullptr, nullptr, nullptr, nullptr);
        reset_sensor_group(true);
    }
    void TearDown() override { reset_sensor_group(false); }

    // Installs the records as the SDR cache and runs the start's discovery.
    int discover(const Bytes &records)
    {
        EXPECT_NE(bmc::sdr_cache_from_bytes(records.data(), static_cast<int>(records.size())),
                  nullptr);
        return discover_sensors();
    }

    LogCapture log_;
};

TEST(StatusFromThresholdBits, TheHighestSetBitDecides)
{
    // {bits, status}: an upper bit outranks every lower one; bits 6 and 7
    // are no thresholds.
    const std::pair<int, int> cases[] = {{0x18, 5}, {0x03, 2}, {0x00, 0}, {0x01, 1}, {0x04, 3},
                                         {0x08, 4}, {0x3f, 6}, {0x21, 6}, {0x40, 0}};
    for (const auto &[bits, status] : cases)
        EXPECT_EQ(status_from_thresh_bits(bits), status) << bits;
    EXPECT_STREQ(sensor_status_names[5], "Crit-hi");
}

TEST(SensorName, TakesWhatTheRecordLengthAllowsUpToSixteenBytes)
{
    char name[21];
    FullRecord f;
    f.name = "ABCDEFGHIJKLMNOPQRSTUV"; // 22 bytes
    f.total_length = 70;
    Bytes r = full_record(f);
    r[47] = 0xc2; // the type/length byte is not consulted
    sensor_name_from_sdr(r.data(), name);
    EXPECT_STREQ(name, "ABCDEFGHIJKLMNOP");

    r[48 + 5] = 0; // a zero byte ends the name
    sensor_name_from_sdr(r.data(), name);
    EXPECT_STREQ(name, "ABCDE");

    f.total_length = 60; // 12 bytes of ID string
    sensor_name_from_sdr(full_record(f).data(), name);
    EXPECT_STREQ(name, "ABCDEFGHIJKL");

    f.total_length = 64;
    sensor_name_from_sdr(full_record(f).data(), name);
    EXPECT_STREQ(name, "ABCDEFGHIJKLMNOP");

    for (int total : {48, 47, 20, 5}) { // no room for a name: empty, nothing copied
        f.total_length = total;
        Bytes shortr = full_record(f);
        shortr.resize(80, 'x');
        std::memset(name, 'y', sizeof name);
        sensor_name_from_sdr(shortr.data(), name);
        EXPECT_STREQ(name, "") << "total length " << total;
    }
}

TEST_F(SensorGroup, WalkVisitsEveryRecordOnceAndNumbersTheFullRecords)
{
    FakeSel sel; // empty SEL
    int rc = discover(machine_records());
    EXPECT_NE(rc, 0) << "the last reading failed, so does the discovery";

    std::shared_ptr<const sensor_tables> t = sensors();
    ASSERT_NE(t, nullptr);
    ASSERT_EQ(t->rows.size(), 6u);
    const uint32_t indexes[] = {1, 2, 0, 3, 4, 5};
    const uint16_t ids[] = {0x0000, 0x0005, 0x0006, 0x0007, 0x0008, 0x0009};
    for (int i = 0; i < 6; i++) {
        EXPECT_EQ(t->rows[i].index, indexes[i]) << "row " << i;
        EXPECT_EQ(t->rows[i].record_id, ids[i]) << "row " << i;
    }
    EXPECT_EQ(t->fan_instances, 1);
    EXPECT_EQ(t->temperature_instances, 2);
    EXPECT_EQ(t->voltage_instances, 1);
    EXPECT_EQ(sdr_walk_needed(), 0);

    // No BMC: each full record is kept with reading 0, status Init, unit na.
    const sensor_info &cpu = t->rows[3];
    EXPECT_STREQ(cpu.name, "Processor 1 Temp");
    EXPECT_EQ(cpu.sensor_num, 0x01);
    EXPECT_EQ(cpu.status, SENSOR_STATUS_INIT);
    EXPECT_EQ(cpu.reading, 0.0);
    EXPECT_STREQ(cpu.unit, "na");
    EXPECT_STREQ(t->rows[5].name, "");
    // Thresholds are converted whether or not the reading succeeded:
    // (5 raw + 25 * 10^1) * 10^-2.
    const sensor_info &aux = t->rows[4];
    EXPECT_DOUBLE_EQ(aux.thresholds[0], 14.0);
    EXPECT_DOUBLE_EQ(aux.thresholds[1], 13.5);
    EXPECT_DOUBLE_EQ(aux.thresholds[4], 11.5);
    EXPECT_DOUBLE_EQ(t->rows[0].thresholds[4], 800.0);

    EXPECT_TRUE(log_.has(2, "sensor[0]: 0000 get sensor 30 reading rv = "));
    EXPECT_TRUE(log_.has(3, "sensor[3]: 0007 sensor 1 Processor 1 Temp  \t= 0.00 na"));
    EXPECT_FALSE(log_.has_any("sensor[2]")) << "the compact record is not read";
    EXPECT_FALSE(log_.has_any("discover_ipmi:")) << "an empty SEL logs no summary";

    // The walk is done once: a later discovery reads the same rows again
    // from the same cache into a new table.
    EXPECT_EQ(discover_sensors(), -1);
    ASSERT_NE(sensors(), t);
    EXPECT_EQ(sensors()->sdrlist, t->sdrlist);
    ASSERT_EQ(sensors()->rows.size(), 6u);
    EXPECT_STREQ(sensors()->rows[3].name, "Processor 1 Temp");
    EXPECT_STREQ(sensors()->rows[3].unit, "na");
    EXPECT_EQ(sensors()->rows[3].status, SENSOR_STATUS_INIT);
}

TEST_F(SensorGroup, ProbeTablesServeRowsByTypeWithTheirSequenceNumbers)
{
    FakeSel sel;
    discover(machine_records());

    EXPECT_EQ(sensor_get({10, 1}, 0).integer, 1);
    EXPECT_EQ(sensor_get({20, 1}, 0).integer, 2);
    EXPECT_EQ(sensor_get({30, 1}, 0).integer, 1);
    EXPECT_EQ(sensor_get({40, 1}, 0).integer, 0);

    // Temperature row 1 is the fourth record, numbered 3 (the current
    // sensor took 2); row 2 is numbered 5.
    EXPECT_EQ(sensor_get({20, 2, 1, 1}, 1).integer, 3);
    EXPECT_EQ(sensor_get({20, 2, 1, 1}, 2).integer, 5);
    EXPECT_EQ(sensor_get({20, 2, 1, 2}, 1).integer, 1);
    EXPECT_EQ(sensor_get({20, 2, 1, 3}, 1).text, "Processor 1 Temp");
    EXPECT_EQ(sensor_get({20, 2, 1, 4}, 1).text, "Init");
    EXPECT_EQ(sensor_get({20, 2, 1, 5}, 1).integer, 7);
    EXPECT_FALSE(sensor_get({20, 2, 1, 1}, 3).has) << "past the last row";
    EXPECT_EQ(sensor_get({10, 2, 1, 1}, 1).integer, 1);
    EXPECT_EQ(sensor_get({10, 2, 1, 3}, 1).text, "FAN A");
    EXPECT_EQ(sensor_get({10, 2, 1, 7}, 1).text, "12000.00 na");
    EXPECT_EQ(sensor_get({10, 2, 1, 8}, 1).text, "800.00 na");
    EXPECT_EQ(sensor_get({30, 2, 1, 1}, 1).integer, 4);
    EXPECT_EQ(sensor_get({30, 2, 1, 7}, 1).text, "13.50 na");
    EXPECT_EQ(sensor_get({30, 2, 1, 8}, 1).text, "11.50 na");
    // The reading column reads again (and fails again: no BMC).
    EXPECT_EQ(sensor_get({30, 2, 1, 6}, 1).text, "0.00 na");
    EXPECT_TRUE(log_.has(4, "volt get sensor 4 item=25 index=1"));
    EXPECT_TRUE(log_.has(4, "update_sensor_reading(4) rv="));
    // So does its number, and the status follows that reading as it does
    // for the text.
    republish_sensors([](sensor_tables &t) {
        t.rows[4].status = 0;
        t.rows[4].reading = 12.5;
    });
    EXPECT_EQ(sensor_get({30, 2, 1, 9}, 1).integer, 0);
    EXPECT_EQ(sensor_get({30, 2, 1, 5}, 1).integer, 7);
    EXPECT_EQ(log_.count(4, "update_sensor_reading(4) rv="), 2);
    EXPECT_FALSE(sensor_entry({20, 2, 1, 13})) << "column 13 only names the instance";

    // Status texts above 8 show the text of 8.
    sensors()->rows[3].status = 12;
    EXPECT_EQ(sensor_get({20, 2, 1, 4}, 1).text, "OK*");

    // A magic the handler does not serve.
    struct variable vp = *sensor_entry({20, 2, 1, 1});
    vp.magic = 99;
    oid name[MAX_OID_LEN];
    std::memcpy(name, vp.name, vp.namelen * sizeof(oid));
    size_t length = vp.namelen;
    name[length++] = 1;
    size_t var_len = 0;
    WriteMethod *write = nullptr;
    EXPECT_EQ(var_temperatureProbeTable(&vp, name, &length, 1, &var_len, &write), nullptr);
    EXPECT_NE(std::string(snmp_api_errstring(SNMPERR_GENERR)).find("Unknown Request"),
              std::string::npos);
}

// Columns 9..11 carry the numbers of columns 6..8 in thousandths, column
// 12 their unit: on every row of every probe table, the failed reading
// (0.00) included.
TEST_F(SensorGroup, CompanionsAgreeWithTheirTextColumnsOnEveryRow)
{
    FakeSel sel;
    discover(machine_records());
    republish_sensors([](sensor_tables &t) {
        t.rows[3].thresholds[1] = 12.3456; // between whole thousandths
        t.rows[3].thresholds[4] = -0.0004;
        t.rows[5].thresholds[1] = 2147483.647; // the largest Integer32
        t.rows[5].thresholds[4] = -40.5;
    });
    for (oid area : {10, 20, 30}) {
        long rows = sensor_get({area, 1}, 0).integer;
        ASSERT_GT(rows, 0);
        for (oid row = 1; row <= static_cast<oid>(rows); row++) {
            std::string unit = sensor_get({area, 2, 1, 12}, row).text;
            for (oid column : {6, 7, 8}) {
                SCOPED_TRACE("area " + std::to_string(area) + " row " + std::to_string(row) +
                             " column " + std::to_string(column));
                std::string text = sensor_get({area, 2, 1, column}, row).text;
                Answer value = sensor_get({area, 2, 1, column + 3}, row);
                ASSERT_TRUE(value.has);
                char *end = nullptr;
                double shown = std::strtod(text.c_str(), &end);
                EXPECT_EQ(std::string(end), " " + unit);
                // The text rounds to hundredths, the number to thousandths.
                EXPECT_LE(std::abs(static_cast<double>(value.integer) - shown * 1000), 5.0)
                    << text << " vs " << value.integer;
            }
        }
    }
    EXPECT_EQ(sensor_get({20, 2, 1, 10}, 2).integer, 2147483647);
}

// A threshold an Integer32 of thousandths cannot hold has no number, not a
// wrong one, and a walk of the column goes on past it.
TEST_F(SensorGroup, ANumberWithoutAValueIsPassedOverByAWalk)
{
    FakeSel sel;
    discover(machine_records());
    republish_sensors([](sensor_tables &t) {
        t.rows[3].thresholds[1] = 2147483.648;
        t.rows[3].thresholds[4] = NAN;
        t.rows[5].thresholds[1] = 60;
        t.rows[5].thresholds[4] = -2147483.648;
    });
    EXPECT_EQ(sensor_get({20, 2, 1, 7}, 1).text, "2147483.65 na");
    EXPECT_FALSE(sensor_get({20, 2, 1, 10}, 1).has);
    EXPECT_FALSE(sensor_get({20, 2, 1, 11}, 1).has);

    Answer next = group_get(sensor_entry({20, 2, 1, 10}), 0, 0);
    EXPECT_EQ(next.row, 2u);
    EXPECT_EQ(next.integer, 60000);
    next = group_get(sensor_entry({20, 2, 1, 11}), 0, 0);
    EXPECT_EQ(next.row, 2u);
    EXPECT_EQ(next.integer, -2147483648L);
    EXPECT_FALSE(group_get(sensor_entry({20, 2, 1, 11}), 2, 0).has) << "past the last row";
}

TEST_F(SensorGroup, UpdateSensorReadingChecksItsArguments)
{
    FakeSel sel;
    discover(machine_records());
    const sensor_info &fan = sensors()->rows[0];
    fan.reading = 42.0;
    fan.status = 0;

    EXPECT_EQ(update_sensor_reading(6), -4);
    EXPECT_EQ(update_sensor_reading(-1), -4);

    g_ipmi_intf_found = 0;
    EXPECT_EQ(update_sensor_reading(0), 0);
    EXPECT_EQ(fan.reading, 42.0) << "no interface: the row is untouched";
    g_ipmi_intf_found = 1;

    // The record with ID 0000h is found by its ID; the reading fails.
    EXPECT_NE(update_sensor_reading(0), 0);
    EXPECT_EQ(fan.reading, 0.0);
    EXPECT_EQ(fan.status, SENSOR_STATUS_INIT);

    // A record missing from the cache leaves the row.
    republish_sensors([](sensor_tables &t) {
        t.rows[4].record_id = 0x0042;
        t.rows[4].reading = 7.5;
    });
    EXPECT_EQ(update_sensor_reading(4), 1);
    EXPECT_EQ(sensors()->rows[4].reading, 7.5);
    EXPECT_TRUE(log_.has(2, "sensor[4]: find_sdr_by_id(42) error 1"));

    republish_sensors([](sensor_tables &t) { t.sdrlist = nullptr; });
    EXPECT_EQ(update_sensor_reading(0), -3);
}

TEST_F(SensorGroup, NoInterfaceMeansZeroCountsAndEmptyTables)
{
    reset_sensor_group(false);
    EXPECT_NE(ipmi_support(), 0);
    EXPECT_EQ(discover_sensors(), 0);
    EXPECT_EQ(sdr_walk_needed(), 1);
    for (oid area : {10, 20, 30, 40}) {
        Answer count = sensor_get({area, 1}, 0);
        EXPECT_TRUE(count.has);
        EXPECT_EQ(count.integer, 0);
    }
    EXPECT_FALSE(sensor_get({10, 2, 1, 1}, 1).has);
    EXPECT_FALSE(sensor_get({20, 2, 1, 3}, 1).has);
    EXPECT_FALSE(sensor_get({30, 2, 1, 6}, 1).has);
    EXPECT_FALSE(sensor_get({40, 2, 1, 2}, 1).has);
    close_sensors();
    EXPECT_TRUE(log_.has(0, "close_sensors called, intf=0"));
}

TEST_F(SensorGroup, FailedCacheKeepsTheWalkDue)
{
    // No cache and no BMC to read one from.
    EXPECT_LT(discover_sensors(), 0);
    EXPECT_TRUE(log_.has(0, "discover_sensors: get_sdr_cache error "));
    EXPECT_EQ(sdr_walk_needed(), 1);
    EXPECT_EQ(sensors(), nullptr);

    FakeSel sel;
    discover(machine_records());
    EXPECT_EQ(sdr_walk_needed(), 0);
    EXPECT_EQ(sensors()->rows.size(), 6u);
}

// --- SEL

// The published event log's count and rows.
int selrecs()
{
    std::shared_ptr<const sel_tables> t = event_log();
    return t ? t->n_selrecs : 0;
}
const sel_rec &sel_row(size_t i)
{
    return event_log()->sel_recs.at(i);
}

std::vector<SelRecord> three_entries()
{
    return {sel_event(1, 0x01, 0x01, 0x01, 0x57, 0x56, 0x55), // upper non-critical going high
            sel_event(2, 0x04, 0x30, 0x01, 0x52, 0x0f, 0x10), // lower critical going low
            sel_event(3, 0x05, 0x50, 0x6f, 0x00, 0xff, 0xff)}; // chassis intrusion
}

TEST_F(SensorGroup, GetSelInfoGivesTheCountOrTheFailure)
{
    FakeSel sel;
    sel.entries = three_entries();
    int count = -1;
    EXPECT_EQ(get_sel_info(&count), 0);
    EXPECT_EQ(count, 3);
    sel.count = 0x0102;
    EXPECT_EQ(get_sel_info(&count), 0);
    EXPECT_EQ(count, 0x0102);
    EXPECT_EQ(get_sel_info(nullptr), -3);
    count = -1;
    sel.info_cc = 0xC1;
    EXPECT_EQ(get_sel_info(&count), 0xC1);
    sel.info_cc = 0;
    sel.info_rc = -113;
    EXPECT_EQ(get_sel_info(&count), -113);
    EXPECT_EQ(count, -1) << "nothing stored on failure";
}

TEST_F(SensorGroup, GetSelEntryResultCodes)
{
    FakeSel sel;
    sel.entries = three_entries();
    unsigned short next = 0;
    unsigned char record[16];

    // Accepted: the first entry for 0000h, else the record of that ID.
    EXPECT_EQ(get_sel_entry(0x0000, &next, record), 0);
    EXPECT_EQ(next, 2);
    EXPECT_EQ(record[0], 1);
    EXPECT_EQ(get_sel_entry(0x0002, &next, record), 0);
    EXPECT_EQ(next, 3);
    EXPECT_EQ(record[11], 0x30);

    // FFFFh answered with the last entry: end of log, no message.
    log_.clear();
    EXPECT_EQ(get_sel_entry(0xFFFF, &next, record), -10);
    EXPECT_EQ(log_.text(), "");

    // Another record than asked for: -5, the ID stays, level 1 line.
    sel.wrong_for = 2;
    next = 0;
    EXPECT_EQ(get_sel_entry(0x0002, &next, record), -5);
    EXPECT_EQ(next, 2);
    EXPECT_TRUE(log_.has(1, "get_sel_entry(2/3) error -5"));
    sel.wrong_for = -1;

    // Completion code CBh for FFFFh: the end of the log, at the EOF level.
    sel.not_present_for_last = true;
    g_sel_eof_level = 2;
    EXPECT_EQ(get_sel_entry(0xFFFF, &next, record), 0xCB);
    EXPECT_TRUE(log_.has(2, "get_sel_entry(65535/0) cc=0xcb at EOF"));
    log_.clear();
    g_sel_eof_level = 4;
    EXPECT_EQ(get_sel_entry(0xFFFF, &next, record), 0xCB);
    EXPECT_TRUE(log_.has(4, "get_sel_entry(65535/0) cc=0xcb at EOF"));
    EXPECT_FALSE(log_.has(2, "at EOF"));

    // CBh for any other ID is an error.
    EXPECT_EQ(get_sel_entry(0x0009, &next, record), 0xCB);
    EXPECT_TRUE(log_.has(1, "get_sel_entry(9/0) error 203"));

    // Transport failures: -10 passes silently, others are logged.
    log_.clear();
    sel.entry_rc = -10;
    EXPECT_EQ(get_sel_entry(0x0001, &next, record), -10);
    EXPECT_EQ(log_.text(), "");
    sel.entry_rc = -113;
    EXPECT_EQ(get_sel_entry(0x0001, &next, record), -113);
    EXPECT_TRUE(log_.has(1, "get_sel_entry(1/0) error -113"));

    EXPECT_EQ(get_sel_entry(0x0001, &next, nullptr), -3);
}

TEST_F(SensorGroup, RebuildStoresDecodedLinesWithoutNewlineCutTo119)
{
    FakeSel sel;
    sel.entries = three_entries();
    EXPECT_EQ(get_sel_all(0), -4);
    EXPECT_EQ(get_sel_all(-1), -4);

    EXPECT_EQ(get_sel_all(3), 0);
    ASSERT_EQ(selrecs(), 3);
    ASSERT_EQ(event_log()->sel_recs.size(), 3u);
    EXPECT_EQ(sel.entry_requests, 4) << "one per entry and one at the end";
    for (int i = 0; i < 3; i++) {
        char full[512];
        bmc::set_sel_opts(1, 1, nullptr, 0, 0);
        ASSERT_EQ(bmc::decode_sel_entry(sel.entries[i].data(), full, sizeof full), 0);
        std::string line(full);
        ASSERT_FALSE(line.empty());
        ASSERT_EQ(line.back(), '\n');
        line.pop_back();
        std::string stored = sel_row(i).text;
        EXPECT_EQ(sel_row(i).index, static_cast<uint32_t>(i + 1));
        EXPECT_EQ(stored.find('\n'), std::string::npos);
        if (line.size() > 119) {
            EXPECT_EQ(stored, line.substr(0, 119)) << "cut to its first 119 characters";
        } else {
            EXPECT_EQ(stored, line) << "the newline is gone";
        }
        EXPECT_EQ(stored.substr(0, 7), "000" + std::to_string(i + 1) + " | ");
    }
    // The threshold event's line is the long one, the intrusion's the short.
    EXPECT_EQ(std::strlen(sel_row(0).text), 119u);
    EXPECT_LT(std::strlen(sel_row(2).text), 119u);
    EXPECT_NE(std::string(sel_row(0).text).find(" | MIN | BMC | Temperature | "), std::string::npos);
    EXPECT_NE(std::string(sel_row(1).text).find(" | MAJ | BMC | Fan | "), std::string::npos);
    EXPECT_NE(std::string(sel_row(2).text).find(" | INF | BMC | Physical Security | "),
              std::string::npos);

    EXPECT_EQ(sensor_get({40, 2, 1, 2}, 2).text, sel_row(1).text);
    EXPECT_EQ(sensor_get({40, 2, 1, 1}, 3).integer, 3);
    EXPECT_FALSE(sensor_get({40, 2, 1, 2}, 4).has);
    EXPECT_TRUE(log_.has(4, "get SEL entry 1 item=29 index=2"));
}

// How a rebuild of three entries ends: its result, the rows it stores (by
// their index, 0 for an empty one), the entries it asks for and the
// level-1 lines it logs.
TEST_F(SensorGroup, RebuildEndsAtTheLogsEndOrTheFirstMismatch)
{
    struct Case {
        const char *name;
        int count; // Get SEL Info's
        bool not_present_for_last;
        int wrong_for;
        int rc;
        std::vector<uint32_t> indexes;
        int requests;
        std::vector<std::string> errors;
    } cases[] = {
        {"not present for FFFFh", 3, true, -1, 0xCB, {1, 2, 3}, 4, {}},
        {"more entries than counted are read but not stored", 2, false, -1, 0, {1, 2}, 4, {}},
        {"another record than asked for", 3, false, 2, -5, {1, 0, 0}, 2,
         {"get_sel_entry(2/3) error -5", "get_sel_all: n_selrecs(3) != i(1)"}},
        {"fewer entries than counted", 5, false, -1, 0, {1, 2, 3, 0, 0}, 4,
         {"get_sel_all: n_selrecs(5) != i(3)"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        reset_sensor_group(true);
        log_.clear();
        FakeSel sel;
        sel.entries = three_entries();
        sel.not_present_for_last = c.not_present_for_last;
        sel.wrong_for = c.wrong_for;
        EXPECT_EQ(get_sel_all(c.count), c.rc);
        ASSERT_EQ(selrecs(), static_cast<int>(c.indexes.size()));
        for (size_t i = 0; i < c.indexes.size(); i++)
            EXPECT_EQ(sel_row(i).index, c.indexes[i]) << "row " << i;
        EXPECT_EQ(sel.entry_requests, c.requests);
        EXPECT_EQ(log_.count(1, ""), static_cast<int>(c.errors.size()));
        for (const std::string &error : c.errors)
            EXPECT_TRUE(log_.has(1, error)) << error;
    }
    // Empty rows are served as the first, under their own index.
    EXPECT_STREQ(sel_row(4).text, "");
    EXPECT_EQ(sensor_get({40, 1}, 0).integer, 5);
    EXPECT_EQ(sensor_get({40, 2, 1, 2}, 4).text, sel_row(0).text);
    EXPECT_TRUE(log_.has(4, "get SEL entry 0 item=29 index=4"));
    EXPECT_EQ(sensor_get({40, 2, 1, 1}, 4).integer, 4);
}

TEST_F(SensorGroup, RefreshRebuildsOnlyOnAChangedNonZeroCount)
{
    FakeSel sel;
    sel.entries = three_entries();
    discover(machine_records());
    EXPECT_EQ(selrecs(), 3);
    EXPECT_EQ(g_sel_eof_level, 4);
    EXPECT_EQ(log_.count(3, "discover_ipmi: 6 SDRs, 1 fans, 2 temp, 1 volt, 3 SEL"), 1);

    // Unchanged count: one Get SEL Info, no walk, no summary.
    sel.entry_requests = 0;
    std::shared_ptr<const sel_tables> rows = event_log();
    discover_sensors();
    EXPECT_EQ(sel.entry_requests, 0);
    EXPECT_EQ(event_log(), rows);
    EXPECT_EQ(log_.count(3, "discover_ipmi:"), 1);

    // Entries replaced, count the same: still no rebuild.
    sel.entries[0] = sel_event(1, 0x02, 0x10, 0x01, 0x52, 0x00, 0x00);
    discover_sensors();
    EXPECT_EQ(event_log(), rows);

    // Cleared: the old rows stay.
    sel.entries.clear();
    discover_sensors();
    EXPECT_EQ(selrecs(), 3);
    EXPECT_EQ(event_log(), rows);
    EXPECT_EQ(sensor_get({40, 1}, 0).integer, 3);

    // Refilled to another count: rebuilt, summary logged again.
    sel.entries = three_entries();
    sel.entries.push_back(sel_event(4, 0x01, 0x02, 0x01, 0x59, 0x60, 0x5f));
    discover_sensors();
    EXPECT_EQ(selrecs(), 4);
    EXPECT_EQ(log_.count(3, "discover_ipmi: 6 SDRs, 1 fans, 2 temp, 1 volt, 4 SEL"), 1);

    // Get SEL Info fails: nothing changes.
    sel.info_rc = -113;
    sel.entries.pop_back();
    discover_sensors();
    EXPECT_EQ(selrecs(), 4);
}

TEST_F(SensorGroup, CloseReleasesEverythingAndMakesTheWalkDueAgain)
{
    FakeSel sel;
    sel.entries = three_entries();
    discover(machine_records());
    close_sensors();
    EXPECT_TRUE(log_.has(0, "close_sensors called, intf=1"));
    EXPECT_EQ(sensors(), nullptr);
    EXPECT_EQ(event_log(), nullptr);
    EXPECT_EQ(sdr_walk_needed(), 1);
    EXPECT_EQ(sensor_get({10, 1}, 0).integer, 0);
    EXPECT_FALSE(sensor_get({40, 2, 1, 2}, 1).has);
}

} // namespace
