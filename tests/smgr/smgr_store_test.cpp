// The store: lookups over the device monitor's tables, the semaphore
// primitives, attaching, and the error texts.  Every test process runs in
// its own IPC and mount namespaces (smgr_ns.sh) with a test device monitor.
#include "smgr_test_util.h"

#include <sys/sem.h>

#include <climits>

using namespace smgr_test;

namespace {

using StoreLookup = StoreTest;
using StoreSemaphores = StoreTest;
using StoreAttach = StoreTest;

TEST(StoreErrors, TextsOfCodes)
{
    EXPECT_STREQ(smgr_error(-12), "Unknown error.");
    EXPECT_STREQ(smgr_error(INT_MIN), "Unknown error.");
    EXPECT_STREQ(smgr_error(5), "success.");
    EXPECT_STREQ(smgr_error(0), "success.");
    EXPECT_STREQ(smgr_error(-10), "EXWR: Excess write than reservation.");
    const char *names[] = {"ESMGR:", "EOVER:", "ELIMIT:", "ENREG:", "EWRF:", "EARG:",
                           "ENDEV:", "EWDF:",  "EXRR:",   "EXWR:",  "EXIST:"};
    for (int c = 1; c <= 11; ++c)
        EXPECT_EQ(std::string(smgr_error(-c)).rfind(names[c - 1], 0), 0u) << c;
}

TEST_F(StoreLookup, KeyIsFoundOnlyInAnEntryInUse)
{
    smgr_reservation *r = mon().reservations();
    r[3].reservation_key = 900;
    r[3].used = 2;  // any value but 1 is not a registration
    EXPECT_EQ(key_to_index(r, 900), -1);
    r[5].reservation_key = 900;
    r[5].used = 1;
    EXPECT_EQ(key_to_index(r, 900), 5);
    EXPECT_EQ(key_to_index(r, 901), -1);

    log_.mark();
    EXPECT_EQ(key_to_index(nullptr, 900), -1);
    EXPECT_TRUE(contains(log_.since(), "key_to_index: NULL pointer received."));
}

TEST_F(StoreLookup, FreeIndexIsTheFirstUnusedOrNoneWhenFull)
{
    smgr_reservation *r = mon().reservations();
    EXPECT_EQ(get_free_index(r), 0);
    for (int i = 0; i < SMGR_MAX_RESERVATIONS; ++i)
        r[i].used = 1;
    EXPECT_EQ(get_free_index(r), -1);
    r[100].used = 0;
    r[300].used = 0;
    EXPECT_EQ(get_free_index(r), 100);
    EXPECT_EQ(get_free_index(nullptr), -1);
}

class StoreWideDevices : public StoreTest {
    std::vector<testmon::Device> devices() const override
    {
        std::vector<testmon::Device> d(3);
        d[0].id = 1, d[0].name = "one";
        d[1].id = 65535, d[1].name = "widest";
        d[2].id = 1, d[2].name = "one again", d[2].semaphore = false;
        return d;
    }
};

TEST_F(StoreWideDevices, DeviceNumbersCompareWhole)
{
    const smgr_device *entries = SMGR_DEVICE_TABLE_ENTRIES(mon().table());
    EXPECT_EQ(device_to_index(entries, 3, 1), 0);  // the first of two
    EXPECT_EQ(device_to_index(entries, 3, 65535), 1);
    // 65537 and -65535 share their low 16 bits with 1.
    EXPECT_EQ(device_to_index(entries, 3, 65537), -1);
    EXPECT_EQ(device_to_index(entries, 3, -65535), -1);
    EXPECT_EQ(device_to_index(entries, 1, 65535), -1);  // beyond num_devices
    EXPECT_EQ(device_to_index(nullptr, 3, 1), -1);
}

TEST_F(StoreSemaphores, DeviceSemaphoreIsTakenAndGivenBack)
{
    EXPECT_EQ(mon().device_semval(2), 1);
    EXPECT_EQ(accquire_dev_entry_sem(2), 0);
    EXPECT_EQ(mon().device_semval(2), 0);
    EXPECT_EQ(release_dev_entry_sem(2), 0);
    EXPECT_EQ(mon().device_semval(2), 1);

    // Taken by another process, it blocks until given back.
    ASSERT_EQ(accquire_dev_entry_sem(2), 0);
    Child other([] { return static_cast<int64_t>(accquire_dev_entry_sem(2)); });
    ASSERT_TRUE(eventually([&] { return mon().device_waiters(2) == 1; }, 20));
    EXPECT_EQ(release_dev_entry_sem(2), 0);
    int64_t rc = -99;
    ASSERT_TRUE(other.result(20, &rc));
    EXPECT_EQ(rc, 0);
    // The other process ended holding it: the kernel gave it back.
    EXPECT_EQ(mon().device_semval(2), 1);
}

TEST_F(StoreSemaphores, MissingDeviceSetIsAFailure)
{
    log_.mark();
    EXPECT_EQ(accquire_dev_entry_sem(77), -1);
    EXPECT_EQ(release_dev_entry_sem(5), -1);  // listed, but without a set
    std::string log = log_.since();
    char line[128];
    std::snprintf(line, sizeof line, "Failed to get device semphore set id (key = %d, device_no = 77)",
                  0x64000000 | 77);
    EXPECT_TRUE(contains(log, line)) << log;
    EXPECT_TRUE(contains(log, "Failed to get semphore set id"));
}

TEST_F(StoreSemaphores, ReservationSemaphoreOfAnIndex)
{
    EXPECT_EQ(release_reservation_sem(7), 0);
    EXPECT_EQ(mon().reservation_semval(7), 1);
    EXPECT_EQ(mon().reservation_semval(6), 0);
    EXPECT_EQ(accquire_reservation_sem(7), 0);
    EXPECT_EQ(mon().reservation_semval(7), 0);
    // Outside the set of 512.
    EXPECT_EQ(release_reservation_sem(SMGR_MAX_RESERVATIONS), -1);
}

TEST_F(StoreAttach, TablesAreTheMonitorsSegments)
{
    smgr_reservation *r = attach_reservations();
    ASSERT_NE(r, nullptr);
    mon().entry(511).reservation_key = 4242;
    EXPECT_EQ(r[511].reservation_key, 4242);
    EXPECT_EQ(deattach_reservations(r), 0);

    smgr_device_table *t = attach_devices();
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->num_devices, 4);  // device 4 is not listed
    EXPECT_EQ(int{SMGR_DEVICE_TABLE_ENTRIES(t)[1].device_id}, 2);
    EXPECT_STREQ(SMGR_DEVICE_TABLE_ENTRIES(t)[1].device_name, "d2d-large");
    EXPECT_EQ(deattach_devices(t), 0);

    log_.mark();
    EXPECT_EQ(deattach_reservations(nullptr), 0);
    EXPECT_EQ(deattach_devices(nullptr), 0);
    std::string log = log_.since();
    EXPECT_TRUE(contains(log, "Failed to de-attach the reservation shared memeory segment"));
    EXPECT_TRUE(contains(log, "deattach_devices: Failed to de-attach the devices shared memeory: NULL segment"));
}

// A reservation segment smaller than 512 entries would have every scan run
// past its end: it is refused as if it could not be attached.
class StoreShortSegment : public StoreTest {
    bool with_monitor() const override { return false; }
};

TEST_F(StoreShortSegment, ReservationSegmentTooSmallIsNotAttached)
{
    testmon::Options o;
    o.reservation_bytes = 4096;
    testmon::Monitor m(default_devices(), o);
    log_.mark();
    EXPECT_EQ(attach_reservations(), nullptr);
    EXPECT_EQ(smgr_register(0, 1), -1);
    EXPECT_EQ(smgr_get(1, nullptr, nullptr), -1);
    std::string log = log_.since();
    EXPECT_TRUE(contains(log, "Failed to attach the reservation shared memory segment with shm_id"));
    EXPECT_TRUE(contains(log, "Fails to attach reservation shared memory segment"));
}

// A num_devices beyond what the device segment holds is cut to the segment.
TEST_F(StoreShortSegment, NumDevicesBeyondTheSegmentIsCut)
{
    testmon::Options o;
    o.num_devices = 100000;
    testmon::Monitor m(default_devices(), o);
    int key = smgr_register(0, 2);
    ASSERT_EQ(key, 1);
    EXPECT_EQ(smgr_reserve(key, 4096), 0);
    EXPECT_EQ(smgr_avail(key, 1024, 0), 1024);
    EXPECT_EQ(uint64_t{m.device(2)->avail_space}, 1024u);
    // Device 4 has a semaphore set but no entry: looked for, not found.
    int other = smgr_register(0, 4);
    ASSERT_EQ(other, 2);
    log_.mark();
    EXPECT_EQ(smgr_reserve(other, 10), -1);
    std::string log = log_.since();
    EXPECT_TRUE(contains(log, "is more than the devices segment holds (4)")) << log;
    EXPECT_TRUE(contains(log, "refusing the semaphore set of device [4]: not in the device table"));
}

}  // namespace
