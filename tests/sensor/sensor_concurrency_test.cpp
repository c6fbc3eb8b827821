// The refresh thread's work against handlers on the main thread, run under
// ThreadSanitizer by scripts/test.sh (label threaded): the event log table
// rebuilt over and over while its handler reads it, and the SDR walk done
// late (after a failed start) while the probe tables are read.  Every
// answer must belong to one consistent state.
#include "sensor_test_util.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <atomic>
#include <thread>

namespace {

class Concurrency : public ::testing::Test {
protected:
    void SetUp() override
    {
        struct stat st;
        if (stat("/dev/ipmi0", &st) == 0)
            GTEST_SKIP() << "this machine has an in-band BMC";
        bmc::set_connection(nullptr, nullptr, nullptr, nullptr);
        reset_sensor_group(true);
        g_verbose = 0;
        std::snprintf(g_log_file, sizeof g_log_file, "%s", "/dev/null");
    }
    void TearDown() override { reset_sensor_group(false); }
};

std::vector<SelRecord> entries(int n)
{
    std::vector<SelRecord> list;
    for (int i = 1; i <= n; i++)
        list.push_back(sel_event(static_cast<unsigned short>(i), 0x05, 0x50, 0x6f, 0x00, 0xff, 0xff));
    return list;
}

TEST_F(Concurrency, EventLogRebuiltWhileHandlersReadIt)
{
    FakeSel sel;
    g_sensors.publish(std::make_shared<sensor_tables>()); // the sensors are not under test here
    const int sizes[] = {3, 7, 1, 12};
    std::atomic<bool> done{false};
    std::atomic<int> rebuilds{0};

    // The refresh side changes the SEL between its own passes only.
    std::thread refresh([&] {
        for (int pass = 0; pass < 400; pass++) {
            sel.entries = entries(sizes[pass % 4]);
            discover_sensors();
            rebuilds++;
        }
        done = true;
    });

    long answers = 0;
    while (!done) {
        Answer count = sensor_get({40, 1}, 0);
        ASSERT_TRUE(count.has);
        ASSERT_TRUE(count.integer == 0 || count.integer == 3 || count.integer == 7 ||
                    count.integer == 1 || count.integer == 12)
            << count.integer;
        for (oid n = 1; n <= 12; n++) {
            Answer text = sensor_get({40, 2, 1, 2}, n);
            if (!text.has)
                continue;
            // A row's text is its own entry's line: the record ID leads.
            char id[8];
            std::snprintf(id, sizeof id, "%04x", static_cast<unsigned>(n));
            ASSERT_EQ(text.text.substr(0, 4), id) << text.text;
            answers++;
        }
    }
    refresh.join();
    EXPECT_EQ(rebuilds, 400);
    EXPECT_GT(answers, 0);
    EXPECT_EQ(sensor_get({40, 1}, 0).integer, 12);
}

TEST_F(Concurrency, LateSdrWalkNeverShowsHalfBuiltRows)
{
    FakeSel sel; // empty SEL
    // Start-up found no SDRs (no cache could be read).
    ASSERT_NE(discover_sensors(), 0);
    ASSERT_EQ(sensor_get({20, 1}, 0).integer, 0);

    Bytes records;
    for (int i = 0; i < 40; i++) {
        FullRecord f;
        f.id = static_cast<unsigned short>(i + 1);
        f.number = static_cast<unsigned char>(i);
        f.type = i % 2 ? SENSOR_TYPE_TEMPERATURE : SENSOR_TYPE_VOLTAGE;
        f.name = "S" + std::to_string(i);
        Bytes r = full_record(f);
        records.insert(records.end(), r.begin(), r.end());
    }

    std::atomic<bool> done{false};
    std::atomic<long> reads{0};
    auto wait_reads = [&](long n) {
        while (reads < n)
            std::this_thread::yield();
    };
    std::thread refresh([&] {
        discover_sensors(); // fails again: still no cache
        wait_reads(50);
        bmc::sdr_cache_from_bytes(records.data(), static_cast<int>(records.size()));
        discover_sensors(); // walks, while the handlers run
        wait_reads(reads + 50);
        discover_sensors(); // the walk is not repeated
        done = true;
    });

    while (!done) {
        Answer count = sensor_get({20, 1}, 0);
        ASSERT_TRUE(count.integer == 0 || count.integer == 20) << count.integer;
        for (oid n = 1; n <= 20; n++) {
            Answer index = sensor_get({20, 2, 1, 1}, n);
            Answer name = sensor_get({20, 2, 1, 3}, n);
            if (index.has) {
                ASSERT_EQ(index.integer, static_cast<long>(2 * n)) << "row " << n;
            }
            if (name.has) {
                ASSERT_EQ(name.text, "S" + std::to_string(2 * n - 1));
            }
        }
        sensor_get({20, 2, 1, 6}, 1); // a reading, on this thread
        reads++;
    }
    refresh.join();
    EXPECT_EQ(sensor_get({20, 1}, 0).integer, 20);
    EXPECT_EQ(sensor_get({30, 1}, 0).integer, 20);
}

} // namespace
