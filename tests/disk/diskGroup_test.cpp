#include "agent/capture.h"
#include "agent/notify.h"
#include "disk_test_util.h"
#include "groups/statusGroup.h"
#include "../unit/test_util.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <optional>
#include <sched.h>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// ------------------------------------------------------------ word scanning

std::string next_word(const char *src, int max, int *result)
{
    char dst[64];
    memset(dst, 'Z', sizeof dst);
    dst[sizeof dst - 1] = '\0';
    *result = cp_next_word(dst, src, max);
    return dst;
}

TEST(CpNextWord, CopiesOneWordCutToMaxAndCountsWhatItPassed)
{
    struct Case {
        const char *src;
        int max;
        const char *word; // null: the target is left as it was
        int rv;
    } cases[] = {
        {"  \t\nsda rest", 20, "sda", 7},
        {"sda", 20, "sda", 3},
        {"a\r b", 20, "a\r", 2}, // carriage returns are no blanks
        {" \t\n ", 20, nullptr, 4},
        {"", 20, nullptr, 0},
        // 19 of a 25-character word; the scan resumes inside it.
        {" abcdefghijklmnopqrs123456 x", 20, "abcdefghijklmnopqrs", 20},
        {"abcd", 5, "abcd", 4}, // max - 1 characters are whole, max are cut
        {"abcde", 5, "abcd", 4},
    };
    for (const Case &c : cases) {
        int rv;
        EXPECT_EQ(next_word(c.src, c.max, &rv), c.word ? c.word : std::string(63, 'Z')) << c.src;
        EXPECT_EQ(rv, c.rv) << c.src;
    }
    EXPECT_EQ(cp_next_word(nullptr, "  word", 20), 0);
}

TEST(GetNextWord, PointsIntoTheTextWithTheWordsLength)
{
    const char *text = " \tWDC WD40";
    int len = -1;
    EXPECT_EQ(get_next_word(text, &len), text + 2);
    EXPECT_EQ(len, 3);
    len = -1;
    EXPECT_EQ(get_next_word(" \n ", &len), nullptr);
    EXPECT_EQ(len, 0);
    EXPECT_EQ(get_next_word(nullptr, &len), nullptr);
}

TEST(CpTrimmed, TakesExactlyNBytesTrimmedAndReturnsN)
{
    char dst[64];
    memset(dst, 'Z', sizeof dst);
    EXPECT_EQ(cp_trimmed(dst, " 4.00 TB             more words", 21), 21);
    EXPECT_STREQ(dst, "4.00 TB");
    // Inner blanks stay; the 21st byte is the last one taken.
    EXPECT_EQ(cp_trimmed(dst, "  1 2 3 4 5 6 7 8 9 abcdef", 21), 21);
    EXPECT_STREQ(dst, "1 2 3 4 5 6 7 8 9 a");
    // A shorter text ends at its terminator.
    EXPECT_EQ(cp_trimmed(dst, "\t0 GB\n", 21), 21);
    EXPECT_STREQ(dst, "0 GB");
    EXPECT_EQ(cp_trimmed(dst, " \n", 40), 40);
    EXPECT_STREQ(dst, "");
    // Forty characters fill forty-one bytes.
    std::string forty(40, 'v');
    char name[41];
    EXPECT_EQ(cp_trimmed(name, (forty + "tail").c_str(), 40), 40);
    EXPECT_EQ(std::string(name), forty);
}

// ------------------------------------------------------------ status codes

TEST(VolumeStatus, PrefixesInOrderCaseSensitive)
{
    const std::pair<const char *, int> texts[] = {
        {"OK", 1},      {"OKAY", 1},    {"resyncing", 2}, {"recovery", 3}, {"REBUILD", 4}, {"degraded", 5},
        {"Optimal", 1}, {"Partially", 7}, {"ok", 6},      {"Degraded", 6}, {"", 6}};
    for (const auto &[text, code] : texts)
        EXPECT_EQ(volume_status_code(text), code) << text;
}

// ------------------------------------------------------------ report parsing

class DiskReport : public ::testing::Test {
protected:
    void SetUp() override
    {
        reset_settings();
        snprintf(g_log_file, sizeof g_log_file, "%s/agent.log", dir_.c_str());
        g_verbose = 4;
        reset_disk_group();
        unlink(g_log_file);
    }
    void TearDown() override
    {
        reset_disk_group();
        reset_settings();
    }

    // "[level] message" entries of the log, in order.
    std::vector<std::string> log_lines() const
    {
        std::vector<std::string> lines;
        std::ifstream in(g_log_file);
        for (std::string line; std::getline(in, line);) {
            auto at = line.find(" [");
            if (at != std::string::npos)
                lines.push_back(line.substr(at + 1));
        }
        return lines;
    }
    bool logged(const std::string &entry) const
    {
        for (const auto &line : log_lines())
            if (line == entry)
                return true;
        return false;
    }
    // Entries of the log at a level, e.g. "[1]".
    std::vector<std::string> logged_at(const std::string &level) const
    {
        std::vector<std::string> lines;
        for (const auto &line : log_lines())
            if (line.rfind(level, 0) == 0)
                lines.push_back(line);
        return lines;
    }

    static physdisk_info disk(int i) { return disk_tables_now()->physdisk_info.at(i); }
    static volume_info volume(int i) { return disk_tables_now()->volume_info.at(i); }

    // A row of a table (10 physdisk, 20 volume) as served, numbers in decimal.
    static std::vector<std::string> served_row(oid table, std::initializer_list<oid> columns, oid row)
    {
        std::vector<std::string> values;
        for (oid column : columns) {
            auto entry = disk_entry({table, 2, 1, column});
            Answer a = group_get(entry, row);
            if (!a.has)
                values.push_back("<none>");
            else
                values.push_back(entry->type == ASN_OCTET_STR ? a.text : std::to_string(a.integer));
        }
        return values;
    }
    // The texts a GETNEXT walk of a column finds, from the column's own OID on.
    static std::vector<std::string> walk(std::initializer_list<oid> column)
    {
        auto vp = disk_entry(column);
        oid name[MAX_OID_LEN];
        size_t length = vp->namelen;
        memcpy(name, vp->name, length * sizeof(oid));
        std::vector<std::string> texts;
        size_t var_len = 0;
        WriteMethod *write = nullptr;
        while (u_char *value = vp->findVar(&*vp, name, &length, 0, &var_len, &write))
            texts.emplace_back(reinterpret_cast<char *>(value), var_len);
        return texts;
    }

    TempDir tmp_;
    std::string dir_ = tmp_.path();
};

// Both layouts through the group's own variable table: every column of
// every row (physdisk 1 and 3..13, volume 1 and 3..5; numbers in decimal),
// a GETNEXT walk of the names, and the requests around the rows.
TEST_F(DiskReport, BothLayoutsServedColumnByColumn)
{
    using Rows = std::vector<std::vector<std::string>>;
    struct Layout {
        const char *file;
        int new_format;
        Rows disks, volumes;
    } layouts[] = {
        {"new_layout.txt", 1,
         {{"1", "sda", "OK", "1", "WDC WD40EFRX-68N32N0", "WD-WCC7K0ABCDEF", "82.00A82", "4.00 TB", "33",
           "20011", "0", "7"},
          {"2", "sdb", "SMART Fail", "6", "TOSHIBA MG04ACA400E", "5770A0BCFVLA", "FP2A", "4.00 TB", "41",
           "30122", "12", "1024"},
          {"3", "sdc", "Unconfigured Good", "10", "ST8000NM0055-1RM112", "ZA1ABCDE", "SN05", "8.00 TB",
           "29", "100", "0", "0"}},
         {{"1", "6 md2", "recovery", "3"}}},
        {"old_layout.txt", 0,
         {{"1", "sda", "OK", "1", "ST4000NM0033-9ZM170", "Z1Z8ABCD", "SN04", "4.00 TB", "31", "18250", "0",
           "5"},
          {"2", "sdb", "Pending Sectors", "2", "ST4000NM0033-9ZM170", "Z1Z8ABCE", "SN04", "4.00 TB", "35",
           "18251", "8", "12"},
          {"3", "sdc", "Dead", "4", "unknown", "-", "-", "0 GB", "0", "0", "0", "0"}},
         {{"1", "1 md0", "degraded", "5"}, {"2", "5 md1", "resync", "2"}, {"3", "LSI", "OK", "1"}}},
    };
    for (const Layout &l : layouts) {
        SCOPED_TRACE(l.file);
        reset_disk_group();
        unlink(g_log_file);
        EXPECT_EQ(parse_text(fixture(l.file)), 0);
        EXPECT_EQ(g_disk_new_format, l.new_format);
        EXPECT_EQ(disk_get({10, 1}, 0).integer, static_cast<long>(l.disks.size()));
        EXPECT_EQ(disk_get({20, 1}, 0).integer, static_cast<long>(l.volumes.size()));
        std::vector<std::string> disk_names, volume_names;
        for (size_t r = 0; r < l.disks.size(); r++) {
            EXPECT_EQ(served_row(10, {1, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13}, r + 1), l.disks[r]);
            EXPECT_EQ(disk(static_cast<int>(r)).index, static_cast<int>(r));
            disk_names.push_back(l.disks[r][1]);
        }
        for (size_t r = 0; r < l.volumes.size(); r++) {
            EXPECT_EQ(served_row(20, {1, 3, 4, 5}, r + 1), l.volumes[r]);
            EXPECT_EQ(volume(static_cast<int>(r)).index, static_cast<int>(r));
            volume_names.push_back(l.volumes[r][1]);
        }
        EXPECT_EQ(walk({10, 2, 1, 3}), disk_names);
        EXPECT_EQ(walk({20, 2, 1, 3}), volume_names);
        EXPECT_FALSE(disk_get({10, 2, 1, 3}, l.disks.size() + 1).has);
        EXPECT_FALSE(disk_get({10, 2, 1, 3}, 0).has);
        EXPECT_FALSE(disk_get({10, 1}, 1).has);
    }
    // Unserved columns are known entries that answer nothing.
    for (oid column : {2, 6, 7}) {
        Answer a = disk_get({column == 2 ? oid{10} : oid{20}, 2, 1, column}, 1);
        EXPECT_FALSE(a.has);
        EXPECT_EQ(a.detail, "Unknown Request");
    }
    EXPECT_FALSE(disk_get({20, 2, 1, 2}, 1).has);
    // 2 scalars, 13 and 7 columns, all read-only.
    ASSERT_EQ(std::size(diskGroup_variables), 22u);
    for (const auto &v : diskGroup_variables)
        EXPECT_EQ(v.acl, NETSNMP_OLDAPI_RONLY);

    EXPECT_TRUE(logged("[2] count_disks: found 3 physdisks, 3 volumes"));
    EXPECT_TRUE(logged("[2] physdisk[0] status = 1 ( o), name = (sda) SER=5 new=0"));
    EXPECT_TRUE(logged("[4] physdisk[2] model=/unknown/ sernum=/-/ fw=/-/ capacity=/0 GB/"));
    EXPECT_TRUE(logged("[2] volume[0] status = 5 (degraded) name = (1 md0)"));
    EXPECT_TRUE(logged("[2] volume[2] Controller string:"));
    EXPECT_TRUE(logged("[4] count_disks: physdisk stage 1"));
    EXPECT_TRUE(logged("[4] discover_disks: volume stage 2"));
    EXPECT_TRUE(logged("[4] physdisk get OID item=5 index=1"));
    EXPECT_TRUE(logged("[4] volume get OID item=22 index=1"));
}

// One disk line each, from a fresh start: name, model, serial, firmware,
// capacity, then the four numbers, as served.
TEST_F(DiskReport, DiskLineFieldsInBothLayouts)
{
    struct Case {
        const char *name;
        int new_format;
        const char *line;
        std::vector<std::string> row;
    } cases[] = {
        {"a two-word model is cut to 29", 1,
         "DISK0  o  1 sda 1 (C) 2 h 3 4 a b c WDC WD40EFRX-68N32N0-ABCDEFGHIJKL SER1 FW1 4 TB",
         {"sda", "WDC WD40EFRX-68N32N0-ABCDEFGH", "SER1", "FW1", "4 TB", "1", "2", "3", "4"}},
        // A tab after the vendor word is no single space: one word only.
        {"a tab after the vendor", 1, "DISK0  o  1 sda 1 (C) 2 h 3 4 a b c WDC\tWD40 SER2 FW2 4 TB",
         {"sda", "WDC", "WD40", "SER2", "FW2 4 TB", "1", "2", "3", "4"}},
        {"no vendor rule in the old layout", 0, "DISK0  o  1 sda 1 (C) 2 h 3 SER: 4) WDC WD40 FW 4 TB",
         {"sda", "WDC", "WD40", "FW", "4 TB", "1", "2", "3", "4"}},
        // The rest of a 25-character name is the first number, and the scan
        // goes on after the first ")" from that number on.
        {"a 25-character name", 0,
         "DISK0  o  1 abcdefghijklmnopqrs123456 31 (C) 7 h 8 SER: 9) M S F 1 TB",
         {"abcdefghijklmnopqrs", "M", "S", "F", "1 TB", "123456", "7", "8", "9"}},
        // Without ")": 11 characters after the first number, and the model
        // 9 characters after the SER number's start.
        {"no parentheses", 0, "DISK0  o  1 sda 31 degC_skip_ 42 h 5 SER:77 skip_mMODEL SN FW 2 TB",
         {"sda", "MODEL", "SN", "FW", "2 TB", "31", "42", "5", "77"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        reset_disk_group();
        g_disk_new_format = c.new_format;
        EXPECT_EQ(parse_text(std::string("====  DEV\n") + c.line + "\n==========\n"), 0);
        EXPECT_EQ(served_row(10, {3, 6, 7, 8, 9, 10, 11, 12, 13}, 1), c.row);
    }
}

TEST_F(DiskReport, VersionAfter20140710SelectsTheNewLayoutForGood)
{
    std::string body = "====  DEV\nDISK0  o  1 sda 1 (C) 2 h 3 SER: 4) M S F 1 TB\n==========\n";
    parse_text("==== Script Version: 20140710 ====\n" + body);
    EXPECT_EQ(g_disk_new_format, 0);
    EXPECT_EQ(disk(0).ser, 4);
    parse_text("==== Script Version: 20140711 ====\n" + body);
    EXPECT_EQ(g_disk_new_format, 1);
    // Later reports of the old kind keep the new layout.
    parse_text("==== Script Version: 20140601 ====\n" + body);
    EXPECT_EQ(g_disk_new_format, 1);
    parse_text(body);
    EXPECT_EQ(g_disk_new_format, 1);
}

TEST_F(DiskReport, AFirstDiskLineOf21WordsSelectsTheNewLayout)
{
    // Trailing words lie past the 21 characters of the capacity.
    std::string line = "DISK0  o  1 sda 1 (C) 2 h 3 SER: 4) M S F 1 TB                    ";
    std::string words16 = line;
    EXPECT_EQ(parse_text("====  DEV\n" + words16 + "x y z w\n==========\n"), 0);
    EXPECT_EQ(g_disk_new_format, 0);
    EXPECT_STREQ(disk(0).capacity, "1 TB");
    // Only the first disk line counts.
    parse_text("====  DEV\n" + words16 + "\n" + words16 + "x y z w v\n==========\n");
    EXPECT_EQ(g_disk_new_format, 0);
    parse_text("====  DEV\n" + words16 + "x y z w v\n==========\n");
    EXPECT_EQ(g_disk_new_format, 1);
}

TEST_F(DiskReport, EveryStatusTokenServedAsItsCodeAndText)
{
    const std::pair<const char *, const char *> tokens[] = {
        {" o", "OK"},           {" *", "Pending Sectors"}, {" s", "Seek Errors"}, {"DD", "Dead"},
        {" F", "Failed"},       {"FS", "SMART Fail"},      {"DE", "Device Error"}, {"EE", "ECC Error"},
        {"DG", "Degraded"},     {"UG", "Unconfigured Good"}, {"UB", "Unconfigured Bad"},
        {" R", "Rebuilding"},   {"o ", "Unknown"}};
    std::string report = "====  DEV\n";
    for (const auto &token : tokens)
        report += std::string("DISK0 ") + token.first + "  1 sdx 1 (C) 2 h 3 SER: 4) M S F 1 TB\n";
    report += "==========\n==========\n";
    EXPECT_EQ(parse_text(report), 0);
    ASSERT_EQ(get_physdisk_instances(), 13);
    for (oid row = 1; row <= 13; row++) {
        EXPECT_EQ(disk_get({10, 2, 1, 4}, row).text, tokens[row - 1].second);
        EXPECT_EQ(disk_get({10, 2, 1, 5}, row).integer, static_cast<long>(row));
    }
    EXPECT_TRUE(logged("[2] physdisk[12] status = 13 (o ), name = (sdx) SER=4 new=0"));
    for (const char *other : {" O", "dd", "", " ", "oo"})
        EXPECT_EQ(disk_status_code(other), 13) << "[" << other << "]";
    char buf[256];
    for (int code : {0, -1, 99})
        EXPECT_STREQ(disk_status_string(code, buf), "Unknown");
}

TEST_F(DiskReport, VolumeAndControllerLines)
{
    std::string report = "====  DEV\n==========\n"
                         "RAID1 md0 (sda1 sdb1) ++++ degraded\n"
                         "RAID Controller: LSI MegaRAID\n"
                         "RAID Controller LSI9260 no colon here\n"
                         "RAID1 md3 ++++ Partially Degraded\n"
                         "RAID10 md4 ++++ Optimal\n"
                         "RAIDx  ++++   REBUILDING\n"
                         "RAID5 ++++\n"
                         "==========\n";
    EXPECT_EQ(parse_text(report), 0);
    ASSERT_EQ(get_volume_instances(), 7);
    EXPECT_EQ(get_physdisk_instances(), 0);
    EXPECT_STREQ(volume(0).name, "1 md0");
    EXPECT_EQ(volume(0).status, 5);
    EXPECT_STREQ(volume(1).name, "LSI");
    EXPECT_STREQ(volume(1).status_text, "OK");
    EXPECT_EQ(volume(1).status, 1);
    // Without a colon the name is the first word from column 15.
    EXPECT_STREQ(volume(2).name, "LSI9260");
    EXPECT_STREQ(volume(3).name, "1 md3");
    EXPECT_EQ(volume(3).status, 7);
    EXPECT_STREQ(volume(4).name, "10 md4");
    EXPECT_EQ(volume(4).status, 1);
    EXPECT_STREQ(volume(5).name, "x");
    EXPECT_STREQ(volume(5).status_text, "REBUILDIN");
    EXPECT_EQ(volume(5).status, 4);
    // No status word: an empty text, "none of these".
    EXPECT_STREQ(volume(6).status_text, "");
    EXPECT_EQ(volume(6).status, 6);
}

TEST_F(DiskReport, NonRaidLinesTakeAVolumeRecordWithoutBeingCounted)
{
    std::string report = "====  DEV\n==========\n"
                         "RAID1 md0 (sda1) ++++ OK\n"
                         "   spare: sdz\n"
                         "RAID1 md1 (sdb1) ++++ degraded\n"
                         "==========\n";
    EXPECT_EQ(parse_text(report), 0);
    ASSERT_EQ(get_volume_instances(), 2);
    EXPECT_STREQ(volume(0).name, "1 md0");
    // The spare line took record 1; md1 fell beyond the table.
    EXPECT_STREQ(volume(1).name, "sdz");
    EXPECT_EQ(volume(1).status, 1);
}

// Only a DEV or BAY header opens the disk section; another one, inside
// the section too, only logs its stage.
TEST_F(DiskReport, OnlyDevAndBayHeadersOpenTheDiskSection)
{
    const std::string sda = "DISK0  o  1 sda 1 (C) 2 h 3 SER: 4) M S F 1 TB\n";
    const std::string sdb = "DISK1 DD  2 sdb 1 (C) 2 h 3 SER: 4) M S F 1 TB\n";
    struct Case {
        std::string report;
        int rv;
        std::vector<std::string> names; // none with 0: "found no disks" logged
        const char *line;                // null: none
    } cases[] = {
        {"====  BAY#  status\n" + sda + "==========\n", 0, {"sda"}, nullptr},
        {"====  DEV\n" + sda + "====  note\n" + sdb + "==========\n", 0, {"sda", "sdb"}, nullptr},
        {"====  Disks\n" + sda + "==========\n", 0, {}, "[4] count_disks: physdisk stage 0"},
        {"some text\n" + sda, 0, {}, nullptr},
        {"", -1, {}, nullptr},
        {"==== Script Version: 20140601\n====  DEV\n==========\n==========\n", -1, {}, nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.report);
        unlink(g_log_file);
        EXPECT_EQ(parse_text(c.report), c.rv);
        EXPECT_EQ(get_physdisk_instances(), static_cast<int>(c.names.size()));
        EXPECT_EQ(walk({10, 2, 1, 3}), c.names);
        EXPECT_EQ(get_volume_instances(), 0);
        if (c.rv == 0 && c.names.empty()) {
            EXPECT_TRUE(logged("[1] discover_disks count_disks found no disks"));
        }
        if (c.line) {
            EXPECT_TRUE(logged(c.line));
        }
    }
}

TEST_F(DiskReport, SameCountsOverwriteInPlaceKeepingFieldsALineLacks)
{
    parse_text(fixture("old_layout.txt"));
    auto before = disk_tables_now();
    unlink(g_log_file);

    // Same numbers; disk 1's line ends after its name.
    std::string report = fixture("old_layout.txt");
    auto at = report.find("DISK1  *  2 sdb");
    auto end = report.find('\n', at);
    report.replace(at, end - at, "DISK1 DD  2 sdz");
    EXPECT_EQ(parse_text(report), 0);

    EXPECT_FALSE(logged("[2] count_disks: found 3 physdisks, 3 volumes"));
    physdisk_info d = disk(1);
    EXPECT_STREQ(d.name, "sdz");
    EXPECT_EQ(d.status, 4);
    EXPECT_EQ(d.num1, 35);
    EXPECT_EQ(d.ser, 12);
    EXPECT_STREQ(d.model, "ST4000NM0033-9ZM170");
    EXPECT_STREQ(d.sernum, "Z1Z8ABCE");
    // The capacity is cut from the line's own text: empty.
    EXPECT_STREQ(d.capacity, "");
    // The tables the earlier view holds are untouched by the refresh.
    EXPECT_STREQ(before->physdisk_info.at(1).name, "sdb");
}

TEST_F(DiskReport, OneDiskMoreReallocatesWithEmptyNewRecords)
{
    parse_text(fixture("old_layout.txt"));
    unlink(g_log_file);
    std::string report = fixture("old_layout.txt");
    report.insert(report.find("=========="), "DISK3 UB  4 sdd\n");
    EXPECT_EQ(parse_text(report), 0);
    EXPECT_TRUE(logged("[2] count_disks: found 4 physdisks, 3 volumes"));
    ASSERT_EQ(get_physdisk_instances(), 4);
    EXPECT_STREQ(disk(0).model, "ST4000NM0033-9ZM170");
    physdisk_info d = disk(3);
    EXPECT_EQ(d.index, 3);
    EXPECT_EQ(d.status, 11);
    EXPECT_STREQ(d.name, "sdd");
    EXPECT_EQ(d.num1, 0);
    EXPECT_EQ(d.ser, 0);
    EXPECT_STREQ(d.model, "");
    EXPECT_STREQ(d.capacity, "");

    // One disk less again.
    EXPECT_EQ(parse_text(fixture("old_layout.txt")), 0);
    EXPECT_TRUE(logged("[2] count_disks: found 3 physdisks, 3 volumes"));
    EXPECT_EQ(get_physdisk_instances(), 3);
}

TEST_F(DiskReport, NewLayoutLinesEndingEarlyLeaveNewRecordsEmpty)
{
    g_disk_new_format = 1;
    std::string report = "====  DEV\n"
                         "DISK0  o  1 sda 31 (C) 5 h 6\n"
                         "DISK1  o  1 sdb 31 (C) 5 h 6 77 a b\n"
                         "DISK2  o  1 sdc 31 (C) 5 h 6 77 a b c TOSHIBA \n"
                         "DISK3  o  1 sdd 31 (C) 5 h 6 77 a b c WDC\n"
                         "DISK4  o\n"
                         "\n"
                         "x\n"
                         "==========\n";
    EXPECT_EQ(parse_text(report), 0);
    ASSERT_EQ(get_physdisk_instances(), 7);
    EXPECT_EQ(disk(0).num3, 6);
    EXPECT_EQ(disk(0).ser, 0);
    EXPECT_STREQ(disk(0).model, "");
    EXPECT_EQ(disk(1).ser, 77);
    EXPECT_STREQ(disk(1).model, "");
    EXPECT_STREQ(disk(2).model, "TOSHIBA");
    EXPECT_STREQ(disk(3).model, "WDC");
    EXPECT_EQ(disk(4).status, 1);
    EXPECT_STREQ(disk(4).name, "");
    EXPECT_EQ(disk(5).status, 13);
    EXPECT_STREQ(disk(6).name, "");
}

TEST_F(DiskReport, LongLinesAreReadAsSeveralAndBinaryBytesAreSurvived)
{
    // A 600-character disk line is two lines of the report: two disks.
    std::string longline = "DISK0  o  1 sda 1 (C) 2 h 3 SER: 4) M S F 1 TB" + std::string(600, ' ') + "\n";
    EXPECT_EQ(parse_text("====  DEV\n" + longline + "==========\n"), 0);
    EXPECT_EQ(get_physdisk_instances(), 2);
    EXPECT_STREQ(disk(0).name, "sda");

    std::string binary = "====  DEV\n";
    for (int i = 0; i < 256; i++)
        binary += static_cast<char>(i);
    binary += std::string("\0\0 o\0", 5) + "\n==========\nRAID\xff\x01 ++++\n==========\n";
    parse_text(binary);
    EXPECT_GE(get_physdisk_instances(), 1);
}

// A report that reads differently after a rewind: another process
// rewrote it between the two passes.
struct ChangingReport {
    std::string first, second;
    bool rewound = false;
    size_t offset = 0;
};

ssize_t changing_read(void *cookie, char *buf, size_t size)
{
    auto *r = static_cast<ChangingReport *>(cookie);
    const std::string &text = r->rewound ? r->second : r->first;
    size_t n = std::min(size, text.size() - std::min(r->offset, text.size()));
    memcpy(buf, text.data() + r->offset, n);
    r->offset += n;
    return static_cast<ssize_t>(n);
}

int changing_seek(void *cookie, off64_t *position, int whence)
{
    auto *r = static_cast<ChangingReport *>(cookie);
    if (whence != SEEK_SET || *position != 0)
        return -1;
    r->rewound = true;
    r->offset = 0;
    return 0;
}

TEST_F(DiskReport, ADiskLineBeyondTheCountedTableGivesMinus4)
{
    std::string line = "DISK0  o  1 sda 1 (C) 2 h 3 SER: 4) M S F 1 TB\n";
    ChangingReport report{"====  DEV\n" + line + "==========\n",
                          "====  DEV\n" + line + line + "==========\n"};
    cookie_io_functions_t io = {changing_read, nullptr, changing_seek, nullptr};
    FILE *file = fopencookie(&report, "r", io);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(parse_disk_report(file), -4);
    fclose(file);
    EXPECT_EQ(get_physdisk_instances(), 1);
    EXPECT_STREQ(disk(0).name, "sda");
}

TEST_F(DiskReport, RowsBeyondTheBoundsAreDroppedWithOneLineEach)
{
    std::string disks = "====  DEV\n";
    for (int i = 0; i < DISK_MAX_ROWS + 6; i++)
        disks += "DISK0  o  1 d" + std::to_string(i) + " 1 (C) 2 h 3 SER: 4) M S F 1 TB\n";
    std::string volumes = "==========\n";
    for (int i = 0; i < VOLUME_MAX_ROWS + 4; i++)
        volumes += "RAID1 md" + std::to_string(i) + " (sda1) ++++ OK\n";
    EXPECT_EQ(parse_text(disks + volumes + "==========\n"), 0);
    ASSERT_EQ(get_physdisk_instances(), DISK_MAX_ROWS);
    ASSERT_EQ(get_volume_instances(), VOLUME_MAX_ROWS);
    EXPECT_EQ(disk_get({10, 2, 1, 3}, DISK_MAX_ROWS).text, "d1023");
    EXPECT_FALSE(disk_get({10, 2, 1, 3}, DISK_MAX_ROWS + 1).has);
    EXPECT_EQ(disk_get({20, 2, 1, 3}, VOLUME_MAX_ROWS).text, "1 md255");
    EXPECT_EQ(logged_at("[1]"),
              (std::vector<std::string>{"[1] count_disks: 1030 physdisks in the report, rows beyond 1024 dropped",
                                        "[1] count_disks: 260 volumes in the report, rows beyond 256 dropped"}));

    // Dropped disk lines as the report's last content are no changed
    // report (-4): the pass succeeds.
    unlink(g_log_file);
    EXPECT_EQ(parse_text(disks), 0);
    EXPECT_EQ(get_physdisk_instances(), DISK_MAX_ROWS);
    EXPECT_EQ(get_volume_instances(), 0);
    EXPECT_EQ(logged_at("[1]").size(), 1u);
}

// A report file that is refused is not read at all: the pass is a failed
// read (-20), one level-1 line names the file and the reason, and the
// rows of the last good report stay served.
TEST_F(DiskReport, ReportFilesAreReadOnlyWhenRootAloneCouldHaveWrittenThem)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to own and chown the reports";
    const std::string good = "====  DEV\nDISK0  o  1 sdz 1 (C) 2 h 3 SER: 4) M S F 1 TB\n"
                             "==========\n==========\n";
    const std::string dir = tmp_.path();
    auto report = [&](mode_t mode, uid_t uid, gid_t gid, off_t size = -1) {
        std::string path = tmp_.write("report", good);
        EXPECT_EQ(chown(path.c_str(), uid, gid), 0);
        EXPECT_EQ(chmod(path.c_str(), mode), 0);
        if (size >= 0) {
            EXPECT_EQ(truncate(path.c_str(), size), 0);
        }
        return path;
    };
    const uid_t nobody = 65534;
    struct Case {
        const char *name;
        std::function<std::string()> lay;
        const char *refusal; // null: read
    } cases[] = {
        {"root 0644", [&] { return report(0644, 0, 0); }, nullptr},
        {"root group-writable", [&] { return report(0664, 0, 0); }, nullptr},
        {"exactly the limit", [&] { return report(0644, 0, 0, DISK_REPORT_MAX_BYTES); }, nullptr},
        {"another owner", [&] { return report(0644, nobody, 0); }, "not owned by root"},
        {"world-writable", [&] { return report(0666, 0, 0); }, "writable by others"},
        {"writable by another group", [&] { return report(0664, 0, nobody); },
         "writable by a group other than root"},
        {"one byte over the limit", [&] { return report(0644, 0, 0, DISK_REPORT_MAX_BYTES + 1); },
         "larger than 16 MiB"},
        {"sparse 8 GiB", [&] { return report(0644, 0, 0, off_t{8} << 30); }, "larger than 16 MiB"},
        {"symbolic link to a good report",
         [&] {
             std::string link = dir + "/link";
             EXPECT_EQ(symlink(report(0644, 0, 0).c_str(), link.c_str()), 0);
             return link;
         },
         "a symbolic link"},
        // Opening a FIFO for reading would wait for a writer for ever.
        {"FIFO",
         [&] {
             std::string fifo = dir + "/fifo";
             EXPECT_EQ(mkfifo(fifo.c_str(), 0600), 0);
             return fifo;
         },
         "not a regular file"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(parse_text(fixture("old_layout.txt")), 0);
        std::string path = c.lay();
        unlink(g_log_file);

        auto start = std::chrono::steady_clock::now();
        int rv = read_disk_report(path.c_str());
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));

        if (!c.refusal) {
            EXPECT_EQ(rv, 0);
            EXPECT_EQ(disk_get({10, 1}, 0).integer, 1);
            EXPECT_EQ(disk_get({10, 2, 1, 3}, 1).text, "sdz");
        } else {
            EXPECT_EQ(rv, CAPTURE_CANNOT_OPEN);
            EXPECT_EQ(logged_at("[1]"),
                      std::vector<std::string>{"[1] Refusing disk report " + path + ": " + c.refusal});
            EXPECT_TRUE(logged_at("[0]").empty());
            EXPECT_EQ(disk_get({10, 1}, 0).integer, 3);
            EXPECT_EQ(disk_get({10, 2, 1, 3}, 1).text, "sda");
            EXPECT_EQ(disk_get({20, 2, 1, 3}, 1).text, "1 md0");
        }
        unlink((dir + "/report").c_str());
        unlink((dir + "/link").c_str());
        unlink((dir + "/fifo").c_str());
    }
}

// discover_disks at its fixed report path, inside a private mount
// namespace with an empty /var/tmp.
class DiskDiscovery : public DiskReport {
protected:
    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root for a private /var/tmp";
        DiskReport::SetUp();
        ASSERT_EQ(unshare(CLONE_NEWNS), 0) << errno;
        ASSERT_EQ(mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0) << errno;
        ASSERT_EQ(mount("tmpfs", "/var/tmp", "tmpfs", 0, nullptr), 0) << errno;
        mounted_ = true;
    }
    void TearDown() override
    {
        if (mounted_)
            umount("/var/tmp");
        DiskReport::TearDown();
    }
    static void lay(const std::string &text, uid_t owner = 0)
    {
        FILE *file = fopen(DISK_MON_REPORT, "w");
        ASSERT_NE(file, nullptr);
        fwrite(text.data(), 1, text.size(), file);
        fclose(file);
        ASSERT_EQ(chown(DISK_MON_REPORT, owner, 0), 0);
    }
    bool mounted_ = false;
};

TEST_F(DiskDiscovery, AFailedStartIsServedOnceALaterPassReadsAReport)
{
    struct Case {
        const char *name;
        uid_t owner;
        std::string report;
        int rv;
    } cases[] = {
        {"refused report", 65534, fixture("old_layout.txt"), CAPTURE_CANNOT_OPEN},
        // Over 64 bytes, so read in place, but without a content line.
        {"empty report", 0, "==== Script Version: 20140601 ====\n====  DEV\n==========\n==========\n", -1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        reset_disk_group();
        g_disk_intf_found = 0;
        lay(c.report, c.owner);
        EXPECT_EQ(discover_disks(), c.rv);
        EXPECT_EQ(g_disk_intf_found.load(), 0);
        EXPECT_FALSE(disk_get({10, 2, 1, 3}, 1).has);

        unlink(g_log_file);
        lay(fixture("old_layout.txt"));
        EXPECT_EQ(discover_disks(), 0);
        EXPECT_EQ(disk_get({10, 2, 1, 3}, 3).text, "sdc");
        EXPECT_EQ(disk_get({20, 2, 1, 3}, 1).text, "1 md0");
        EXPECT_TRUE(logged("[1] discover_disks: disk tables served from now on"));

        // A later refused report keeps the rows served.
        lay(fixture("new_layout.txt"), 65534);
        EXPECT_EQ(discover_disks(), CAPTURE_CANNOT_OPEN);
        EXPECT_EQ(disk_get({10, 2, 1, 3}, 3).text, "sdc");
    }
}

// An old-layout report of disks (status token, name) and RAID volumes
// (status word).
std::string report_of(const std::vector<std::pair<std::string, std::string>> &disks,
                      const std::vector<std::string> &volumes)
{
    std::string text = "==== Script Version: 20140601 ====\n====  DEV     Status  Bay  Name\n";
    for (size_t i = 0; i < disks.size(); i++)
        text += "DISK" + std::to_string(i) + " " + disks[i].first + "  1 " + disks[i].second +
                " 31 (C) 18250 hrs 0 SER: 5) MODEL SERIAL FW 4.00 TB\n";
    text += "==========\n";
    for (size_t i = 0; i < volumes.size(); i++)
        text += "RAID1 md" + std::to_string(i) + " (sda1 sdb1) ++++ " + volumes[i] + "\n";
    return text + "==========\n";
}

// Successive passes: a status that changed since the last pass that read a
// report is notified once (disk 2, volume 3 below); the first pass, a
// failed one, a row that appears or goes send nothing.  The health row
// follows each pass, and a change of its state is notified once (6).
TEST_F(DiskDiscovery, StatusChangesBetweenPassesAreNotifiedAndPassesRecorded)
{
    const std::string first =
        report_of({{" o", "sda"}, {" *", "sdb"}, {" o", "sdc"}}, {"OK", "degraded"});
    const std::string grown =
        report_of({{" o", "sda"}, {" *", "sdb"}, {" o", "sdc"}, {" F", "sdd"}}, {"OK"});
    struct Pass {
        const char *name;
        std::optional<std::string> report; // none: no report, no monitor script
        uid_t owner;
        bool ok;
        std::vector<std::string> notified;
        health_state state;
        const char *error; // null: not compared
    } passes[] = {
        {"the first pass only records", first, 0, true, {}, HEALTH_OK, ""},
        {"changes both ways",
         report_of({{" o", "sda"}, {" o", "sdb"}, {" F", "sdc"}}, {"OK", "OK"}), 0, true,
         {"2 2 sdb 2 1", "2 3 sdc 1 5", "3 2 1 md1 5 1"}, HEALTH_OK, ""},
        {"a refused report", first, 65534, false, {"6 3 diskReport 1 3"}, HEALTH_FAILED,
         "Refusing disk report /var/tmp/disk_mon.out: not owned by root"},
        {"an empty report",
         "==== Script Version: 20140601 ====\n====  DEV\n==========\n==========\n", 0, false, {},
         HEALTH_FAILED, "discover_disks count_disks found no disks"},
        {"compared with the last pass that read a report", first, 0, true,
         {"2 2 sdb 1 2", "2 3 sdc 5 1", "3 2 1 md1 1 5", "6 3 diskReport 3 1"}, HEALTH_OK, ""},
        {"a row appears and another goes", grown, 0, true, {}, HEALTH_OK, ""},
        {"no disk monitor at all", std::nullopt, 0, false, {"6 3 diskReport 1 4"},
         HEALTH_NOT_CONFIGURED, nullptr},
        {"a report again", grown, 0, true, {"6 3 diskReport 4 1"}, HEALTH_OK, ""},
    };
    reset_health();
    g_notified.clear();
    set_notify_observer(record_notification);
    for (const Pass &p : passes) {
        SCOPED_TRACE(p.name);
        if (p.report)
            lay(*p.report, p.owner);
        else
            ASSERT_EQ(unlink(DISK_MON_REPORT), 0);
        g_notified.clear();
        EXPECT_EQ(discover_disks() == 0, p.ok);
        EXPECT_EQ(g_notified, p.notified);
        health_row row = health_now(HEALTH_DISK_REPORT, time(nullptr));
        EXPECT_EQ(row.state, p.state);
        if (p.error) {
            EXPECT_EQ(row.error, p.error);
        }
    }
    set_notify_observer(nullptr);
}

// ------------------------------------------------------------ handlers

class DiskHandlers : public DiskReport {};

TEST_F(DiskHandlers, AFailedStartAnswersCountsButNoRows)
{
    parse_text(fixture("old_layout.txt"));
    g_disk_intf_found = 0;
    EXPECT_EQ(disk_get({10, 1}, 0).integer, 3);
    EXPECT_EQ(disk_get({20, 1}, 0).integer, 3);
    for (const auto &v : diskGroup_variables) {
        if (v.namelen != 4)
            continue;
        Answer a = disk_get({v.name[0], v.name[1], v.name[2], v.name[3]}, 1);
        EXPECT_FALSE(a.has) << v.name[0] << "." << v.name[3];
        EXPECT_EQ(a.detail, "");
    }
}

TEST_F(DiskHandlers, AfterCloseTheTablesAnswerNothing)
{
    parse_text(fixture("old_layout.txt"));
    close_diskGroup();
    EXPECT_FALSE(disk_get({10, 2, 1, 3}, 1).has);
    EXPECT_FALSE(disk_get({20, 2, 1, 3}, 1).has);
    // The counts stay as they were.
    EXPECT_EQ(get_physdisk_instances(), 3);
    // A later pass with the same counts builds the tables anew.
    EXPECT_EQ(parse_text(fixture("old_layout.txt")), 0);
    EXPECT_EQ(disk_get({10, 2, 1, 3}, 3).text, "sdc");
}

} // namespace
