// The six reservation operations against a test device monitor's store and
// the rig's PostgreSQL (tests/smgr/devices.sql), one process per test in its
// own IPC and mount namespaces.
#include "smgr_test_util.h"

#include "smgr/smgr_internal.h"

#include <sys/sem.h>

#include <ctime>

using namespace smgr_test;

namespace {

using Register = StoreTest;
using Reserve = StoreTest;
using Avail = StoreTest;
using Confirm = StoreTest;
using GetAndUnregister = StoreTest;
using Interleaved = StoreTest;

TEST_F(Register, ChosenReservedAndOwnKeys)
{
    const int32_t before = static_cast<int32_t>(time(nullptr));
    EXPECT_EQ(smgr_register(0, 1), 1);
    smgr_reservation &e = mon().entry(0);
    EXPECT_EQ(e.reservation_key, 1);
    EXPECT_EQ(e.devices_id, 1);
    EXPECT_EQ(e.used, 1);
    EXPECT_GE(e.last_update, before);

    log_.mark();
    EXPECT_EQ(smgr_register(511, 1), -11);
    EXPECT_EQ(smgr_register(1, 1), -11);
    EXPECT_TRUE(contains(log_.since(), "smgr_register: Reserved index used for reservation: 511"));

    EXPECT_EQ(smgr_register(512, 1), 512);
    EXPECT_EQ(smgr_register(-5, 2), -5);
    EXPECT_EQ(mon().entry(1).reservation_key, 512);
    EXPECT_EQ(mon().entry(2).reservation_key, -5);
    EXPECT_EQ(mon().entry(2).devices_id, 2);
    EXPECT_EQ(mon().used_entries(), 3);
}

TEST_F(Register, TapeAndUnknownDevicesAreRefused)
{
    log_.mark();
    EXPECT_EQ(smgr_register(0, 3), -7);
    EXPECT_EQ(smgr_register(600, 999), -7);
    std::string log = log_.since();
    EXPECT_TRUE(contains(log, "smgr_register: Failed to find d2d device with 3"));
    EXPECT_TRUE(contains(log, "smgr_register: Failed to find d2d device with 999"));
    // Ends before attaching, and still detaches: the null-address line.
    EXPECT_TRUE(contains(log, "Failed to de-attach the reservation shared memeory segment"));
    EXPECT_EQ(mon().used_entries(), 0);
}

TEST_F(Register, FullTableRefusesNewKeysButNotExistingOnes)
{
    for (int i = 1; i <= SMGR_MAX_RESERVATIONS; ++i)
        ASSERT_EQ(smgr_register(0, 1), i);
    log_.mark();
    EXPECT_EQ(smgr_register(600, 1), -3);
    EXPECT_TRUE(contains(log_.since(), "smgr_register: Number of registration exceeds limit."));
    // The last chosen key is 512, a key a caller may also give.
    log_.mark();
    EXPECT_EQ(smgr_register(512, 1), 512);
    EXPECT_TRUE(contains(log_.since(), "smgr_register: Existing reservation for: 512"));
    // Chosen keys below 512 cannot be given back to smgr_register.
    EXPECT_EQ(smgr_register(7, 1), -11);
    EXPECT_EQ(mon().used_entries(), SMGR_MAX_RESERVATIONS);
}

// Key 0 stores index + 1, which is 512 for the last entry: a caller's own
// key 512 must not end up registered twice.
TEST_F(Register, ChosenKeyNeverDuplicatesACallersKey)
{
    ASSERT_EQ(smgr_register(512, 1), 512);  // entry 0
    for (int i = 2; i <= 511; ++i)
        ASSERT_EQ(smgr_register(0, 1), i);
    EXPECT_EQ(smgr_register(0, 1), -3);
    int with_512 = 0;
    for (int i = 0; i < SMGR_MAX_RESERVATIONS; ++i)
        with_512 += mon().entry(i).used == 1 && mon().entry(i).reservation_key == 512;
    EXPECT_EQ(with_512, 1);
    // Without the caller's 512 the last entry is handed out as usual.
    ASSERT_EQ(smgr_unregister(512), 0);
    ASSERT_EQ(smgr_register(600, 1), 600);  // takes entry 0
    EXPECT_EQ(smgr_register(0, 1), 512);
}

// A key registered again on another device takes its amounts along, so each
// device's totals stay the sums of its own registrations.
TEST_F(Register, KeyMovingToAnotherDeviceTakesItsAmounts)
{
    ASSERT_EQ(smgr_register(600, 1), 600);
    ASSERT_EQ(smgr_reserve(600, 1000), 0);
    ASSERT_EQ(smgr_avail(600, 300, 0), 300);
    EXPECT_EQ(smgr_register(600, 2), 600);
    smgr_reservation *e = entry_of(600);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->devices_id, 2);
    EXPECT_EQ(e->reservation, 700u);
    EXPECT_EQ(e->availed, 300u);
    EXPECT_EQ(reserve_space(1), 0u);
    EXPECT_EQ(avail_space(1), 0u);
    EXPECT_EQ(reserve_space(2), 700u);
    EXPECT_EQ(avail_space(2), 300u);
    // Again on the same device: nothing moves.
    EXPECT_EQ(smgr_register(600, 2), 600);
    EXPECT_EQ(reserve_space(2), 700u);
    EXPECT_EQ(mon().used_entries(), 1);

    EXPECT_EQ(smgr_unregister(600), 0);
    EXPECT_EQ(reserve_space(2), 0u);
    EXPECT_EQ(avail_space(2), 0u);
    EXPECT_EQ(mon().device_semval(1), 1);
    EXPECT_EQ(mon().device_semval(2), 1);
}

TEST_F(Register, DeviceWithoutSemaphoreIsNotRegistered)
{
    log_.mark();
    EXPECT_EQ(smgr_register(0, 5), -1);
    EXPECT_TRUE(contains(log_.since(),
                         "smgr_register: Failed to accquire semaphore associated with device [ 5 ]."));
    EXPECT_EQ(mon().used_entries(), 0);
}

TEST_F(Reserve, WholeCapacityFitsAndOneByteMoreChangesNothing)
{
    int key = smgr_register(0, 1);
    ASSERT_EQ(key, 1);
    EXPECT_EQ(smgr_reserve(key, kSmallCapacity), 0);
    EXPECT_EQ(entry_of(key)->reservation, kSmallCapacity);
    EXPECT_EQ(reserve_space(1), kSmallCapacity);

    log_.mark();
    EXPECT_EQ(smgr_reserve(key, kSmallCapacity + 1), -2);
    EXPECT_TRUE(contains(log_.since(), "smgr_reserve: Attempt to reserve size = 102401, exceeds "
                                       "device d2d-small capacity 102400.000000."));
    EXPECT_EQ(entry_of(key)->reservation, kSmallCapacity);
    EXPECT_EQ(reserve_space(1), kSmallCapacity);

    // A new size replaces the old one, on the entry and in the total.
    ASSERT_EQ(smgr_register(600, 1), 600);
    ASSERT_EQ(smgr_reserve(600, 100), 0);
    EXPECT_EQ(smgr_reserve(key, 5000), 0);
    EXPECT_EQ(reserve_space(1), 5100u);
    EXPECT_EQ(mon().device_semval(1), 1);
    EXPECT_TRUE(mon().monitor_bytes_intact());
}

TEST_F(Reserve, UnknownKeyIsRefused)
{
    log_.mark();
    EXPECT_EQ(smgr_reserve(700, 1), -4);
    EXPECT_TRUE(contains(log_.since(), "smgr_reserve: No Existing registraton for : 700"));
}

TEST_F(Avail, MoreThanReservedIsRefused)
{
    int key = smgr_register(0, 1);
    ASSERT_EQ(smgr_reserve(key, 100), 0);
    log_.mark();
    EXPECT_EQ(smgr_avail(key, 150, 0), -10);
    EXPECT_TRUE(contains(log_.since(), "smgr_avail: Attempt to avail more than reservation "
                                       "(WriteSize = 150 Reservation = 100)"));
    EXPECT_EQ(entry_of(key)->reservation, 100u);
    EXPECT_EQ(entry_of(key)->availed, 0u);
    EXPECT_EQ(mon().device_semval(1), 1);
    EXPECT_EQ(smgr_avail(700, 1, 0), -4);
}

TEST_F(Avail, ShortOfSpaceFlagZeroGrantsWhatIsLeftOtherFlagsFail)
{
    mon().set_free_space(1, 60);
    int key = smgr_register(0, 1);
    ASSERT_EQ(smgr_reserve(key, 100), 0);

    log_.mark();
    EXPECT_EQ(smgr_avail(key, 80, 2), -1);
    EXPECT_TRUE(contains(log_.since(), "smgr_avail: Unknown Input flg = 2"));
    EXPECT_EQ(mon().device_semval(1), 1);
    EXPECT_EQ(entry_of(key)->reservation, 100u);

    EXPECT_EQ(smgr_avail(key, 80, 0), 60);
    EXPECT_EQ(entry_of(key)->reservation, 40u);
    EXPECT_EQ(entry_of(key)->availed, 60u);
    EXPECT_EQ(reserve_space(1), 40u);
    EXPECT_EQ(avail_space(1), 60u);
    // Nothing left: 0 granted.
    EXPECT_EQ(smgr_avail(key, 30, 0), 0);
    EXPECT_EQ(entry_of(key)->availed, 60u);
    // Within the space left, the whole size.
    mon().set_free_space(1, 1000);
    EXPECT_EQ(smgr_avail(key, 40, 0), 40);
    EXPECT_EQ(entry_of(key)->reservation, 0u);
    EXPECT_EQ(avail_space(1), 100u);
    EXPECT_EQ(mon().device_semval(1), 1);
}

// avail_space above free_space leaves nothing, not a wrapped difference
// that would grant any size within the reservation.
TEST_F(Avail, OvercommittedDeviceGrantsNothing)
{
    int first = smgr_register(0, 1);
    ASSERT_EQ(smgr_reserve(first, 100), 0);
    ASSERT_EQ(smgr_avail(first, 100, 0), 100);
    mon().set_free_space(1, 50);  // the monitor saw less space than drawn
    int second = smgr_register(0, 1);
    ASSERT_EQ(smgr_reserve(second, 100), 0);
    EXPECT_EQ(smgr_avail(second, 10, 0), 0);
    EXPECT_EQ(entry_of(second)->reservation, 100u);
    EXPECT_EQ(avail_space(1), 100u);
}

// Sizes up to 2^32 - 1 come back whole, never as a negative code.
TEST_F(Avail, GrantAbove2GiBIsReturnedWhole)
{
    int key = smgr_register(0, 2);
    ASSERT_EQ(smgr_reserve(key, 8 * kGiB), 0);
    EXPECT_EQ(smgr_avail(key, 0xC0000000u, 0), int64_t{0xC0000000});
    EXPECT_EQ(smgr_avail(key, 0xFFFFFFFFu, 0), int64_t{0xFFFFFFFF});
    EXPECT_EQ(entry_of(key)->reservation, 8 * kGiB - 0xC0000000u - 0xFFFFFFFFu);
}

TEST_F(Confirm, PartZeroAndExcess)
{
    int key = smgr_register(0, 2);
    ASSERT_EQ(smgr_reserve(key, 1000), 0);
    ASSERT_EQ(smgr_avail(key, 600, 0), 600);
    EXPECT_EQ(smgr_confirm(key, 200), 0);
    EXPECT_EQ(entry_of(key)->availed, 400u);
    EXPECT_EQ(avail_space(2), 400u);
    // 0 confirms everything drawn.
    EXPECT_EQ(smgr_confirm(key, 0), 0);
    EXPECT_EQ(entry_of(key)->availed, 0u);
    EXPECT_EQ(avail_space(2), 0u);
    // So does more than was drawn.
    ASSERT_EQ(smgr_avail(key, 300, 0), 300);
    EXPECT_EQ(smgr_confirm(key, 1000), 0);
    EXPECT_EQ(entry_of(key)->availed, 0u);
    EXPECT_EQ(avail_space(2), 0u);
    EXPECT_EQ(reserve_space(2), 100u);
    EXPECT_EQ(smgr_confirm(700, 1), -4);
    EXPECT_EQ(mon().device_semval(2), 1);
}

TEST_F(GetAndUnregister, GetReadsTheRegistrationBack)
{
    int key = smgr_register(-9, 2);
    ASSERT_EQ(smgr_reserve(key, 4096), 0);
    int32_t device = 0;
    uint64_t size = 0;
    EXPECT_EQ(smgr_get(key, &device, &size), 0);
    EXPECT_EQ(device, 2);
    EXPECT_EQ(size, 4096u);
    // Either out argument may be left out.
    size = 0;
    EXPECT_EQ(smgr_get(key, nullptr, &size), 0);
    EXPECT_EQ(size, 4096u);
    EXPECT_EQ(smgr_get(key, nullptr, nullptr), 0);
    log_.mark();
    EXPECT_EQ(smgr_get(700, &device, &size), -4);
    EXPECT_TRUE(contains(log_.since(), "smgr_get: No Existing reservation for: 700"));
    EXPECT_EQ(mon().device_semval(2), 1);
}

// A caller's stderr may be a pipe nobody reads while it holds a device.
TEST_F(GetAndUnregister, NothingOnStderrByDefault)
{
    ASSERT_EQ(unsetenv("KXEXT_LOG_LEVEL"), 0);
    log_.mark();
    int key = smgr_register(0, 2);
    ASSERT_EQ(key, 1);
    EXPECT_EQ(smgr_reserve(key, 4096), 0);
    EXPECT_EQ(smgr_avail(key, 1024, 0), 1024);
    EXPECT_EQ(smgr_confirm(key, 1024), 0);
    int32_t device = 0;
    uint64_t size = 0;
    EXPECT_EQ(smgr_get(key, &device, &size), 0);
    EXPECT_EQ(log_.since(), "");
    // Asked for, the traces come.
    ASSERT_EQ(setenv("KXEXT_LOG_LEVEL", "3", 1), 0);
    EXPECT_EQ(smgr_get(key, &device, &size), 0);
    EXPECT_TRUE(contains(log_.since(), "kxext[3] smgr_get: "));
}

TEST_F(GetAndUnregister, UnregisterTakesTheAmountsOffTheDevice)
{
    EXPECT_EQ(smgr_unregister(900), -4);
    int a = smgr_register(0, 2);
    int b = smgr_register(0, 2);
    ASSERT_EQ(smgr_reserve(a, 1000), 0);
    ASSERT_EQ(smgr_avail(a, 400, 0), 400);
    ASSERT_EQ(smgr_reserve(b, 500), 0);
    ASSERT_EQ(smgr_avail(b, 100, 0), 100);
    ASSERT_EQ(reserve_space(2), 1000u);
    ASSERT_EQ(avail_space(2), 500u);

    const int32_t stamp = mon().entry(0).last_update;
    EXPECT_EQ(smgr_unregister(a), 0);
    EXPECT_EQ(reserve_space(2), 400u);
    EXPECT_EQ(avail_space(2), 100u);
    smgr_reservation &e = mon().entry(0);
    EXPECT_EQ(e.used, 0);
    EXPECT_EQ(e.reservation_key, 0);
    EXPECT_EQ(e.devices_id, 0);
    EXPECT_EQ(e.reservation, 0u);
    EXPECT_EQ(e.availed, 0u);
    EXPECT_EQ(e.last_update, stamp);
    EXPECT_EQ(smgr_unregister(a), -4);

    EXPECT_EQ(smgr_unregister(b), 0);
    EXPECT_EQ(reserve_space(2), 0u);
    EXPECT_EQ(avail_space(2), 0u);
    EXPECT_EQ(mon().used_entries(), 0);
    EXPECT_EQ(mon().device_semval(2), 1);
    EXPECT_TRUE(mon().monitor_bytes_intact());
}

// Another process changes the entry between an operation's lookup and its
// taking the device semaphore.  The test holds the semaphore, lets the
// operation block on it, and makes the change itself: the change another
// smgr process would make under that semaphore, done directly because real
// processes cannot be made to interleave at that point on demand.
class InterleavedChange : public StoreTest {
protected:
    // Runs op in a child once the test holds device's semaphore, applies
    // change while the child waits for it, and returns the child's result.
    int64_t run_blocked(int32_t device, const std::function<int64_t()> &op,
                        const std::function<void()> &change)
    {
        EXPECT_EQ(accquire_dev_entry_sem(device), 0);
        Child child(op);
        bool waiting = eventually([&] { return mon().device_waiters(device) == 1; }, 20);
        EXPECT_TRUE(waiting);
        if (waiting)
            change();
        EXPECT_EQ(release_dev_entry_sem(device), 0);
        int64_t rc = -99;
        EXPECT_TRUE(child.result(20, &rc));
        return rc;
    }
};

TEST_F(InterleavedChange, ReserveOfAnEntryUnregisteredMeanwhile)
{
    int key = smgr_register(0, 2);
    int64_t rc = run_blocked(
        2, [key] { return static_cast<int64_t>(smgr_reserve(key, 10)); },
        [this] { mon().entry(0).used = 0; });
    EXPECT_EQ(rc, -4);
    EXPECT_EQ(reserve_space(2), 0u);
    EXPECT_EQ(mon().device_semval(2), 1);
}

// The entry went to another key on the same device: its amounts are not
// the caller's to confirm.
TEST_F(InterleavedChange, ConfirmOfAnEntryTakenByAnotherKey)
{
    int key = smgr_register(0, 2);
    ASSERT_EQ(smgr_reserve(key, 1000), 0);
    ASSERT_EQ(smgr_avail(key, 500, 0), 500);
    int64_t rc = run_blocked(
        2, [key] { return static_cast<int64_t>(smgr_confirm(key, 0)); },
        [this] { mon().entry(0).reservation_key = 600; });
    EXPECT_EQ(rc, -4);
    EXPECT_EQ(mon().entry(0).availed, 500u);
    EXPECT_EQ(avail_space(2), 500u);
}

// The key moved to another device meanwhile: it is still registered, and
// unregistering follows it there rather than reporting success.
TEST_F(InterleavedChange, UnregisterFollowsAKeyThatMoved)
{
    ASSERT_EQ(smgr_register(600, 1), 600);
    ASSERT_EQ(smgr_reserve(600, 1000), 0);
    int64_t rc = run_blocked(
        1, [] { return static_cast<int64_t>(smgr_unregister(600)); },
        [this] {
            // What smgr_register(600, 2) does holding both devices.
            dev(1).reserve_space = 0;
            dev(2).reserve_space = 1000;
            mon().entry(0).devices_id = 2;
        });
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(entry_of(600), nullptr);
    EXPECT_EQ(reserve_space(2), 0u);
    EXPECT_EQ(mon().device_semval(2), 1);
}

// The device semaphore against holders that die or hang, and against entries
// whose device number leads to a set that is not the device monitor's.
class DeviceSemaphoreFaults : public StoreTest {
protected:
    // A process that takes device's semaphore and hangs on to it.
    std::unique_ptr<Child> holder(int32_t device)
    {
        auto c = std::make_unique<Child>([device]() -> int64_t {
            if (accquire_dev_entry_sem(device) != 0)
                return -1;
            for (;;)
                pause();
        });
        EXPECT_TRUE(eventually([&] { return mon().device_semval(device) == 0; }, 20))
            << "the holder never took device " << device;
        return c;
    }
    // The operations that take the semaphore of a registration's device.
    struct Op {
        const char *name;
        std::function<int64_t()> call;
        bool reads_device_row = false;  // ENDEV before any semaphore
    };
    static std::vector<Op> ops_on(int32_t key, int32_t other_device)
    {
        return {
            {"smgr_reserve", [=] { return int64_t{smgr_reserve(key, 10)}; }, true},
            {"smgr_avail", [=] { return smgr_avail(key, 10, 0); }},
            {"smgr_confirm", [=] { return int64_t{smgr_confirm(key, 0)}; }},
            {"smgr_get",
             [=] {
                 int32_t d;
                 uint64_t s;
                 return int64_t{smgr_get(key, &d, &s)};
             }},
            {"smgr_unregister", [=] { return int64_t{smgr_unregister(key)}; }},
            // Moving the key takes its present device too.
            {"smgr_register", [=] { return int64_t{smgr_register(key, other_device)}; }},
        };
    }
};

TEST_F(DeviceSemaphoreFaults, HolderKilledWhileHoldingLeavesTheDeviceFree)
{
    smgr_detail::set_device_wait_ms(5000);  // a regression fails fast
    int key = smgr_register(0, 2);
    ASSERT_EQ(smgr_reserve(key, 4096), 0);
    auto h = holder(2);
    h->kill_now();
    EXPECT_EQ(mon().device_semval(2), 1);
    int32_t device = 0;
    uint64_t size = 0;
    EXPECT_EQ(smgr_get(key, &device, &size), 0);
    EXPECT_EQ(size, 4096u);
    EXPECT_EQ(smgr_avail(key, 1000, 0), 1000);
    EXPECT_EQ(mon().device_semval(2), 1);
}

TEST_F(DeviceSemaphoreFaults, LiveHolderMakesEveryCallGiveUpAfterTheWait)
{
    smgr_detail::set_device_wait_ms(200);
    int key = smgr_register(700, 2);
    ASSERT_EQ(smgr_reserve(key, 4096), 0);
    ASSERT_EQ(smgr_avail(key, 1000, 0), 1000);
    auto h = holder(2);
    auto ops = ops_on(key, 1);
    ops.push_back({"smgr_register new", [] { return int64_t{smgr_register(600, 2)}; }});
    for (const Op &op : ops) {
        log_.mark();
        EXPECT_EQ(op.call(), -1) << op.name;
        EXPECT_TRUE(contains(log_.since(), "device [2] is still held after 200 ms"))
            << op.name;
    }
    smgr_reservation *e = entry_of(key);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->devices_id, 2);
    EXPECT_EQ(e->reservation, 3096u);
    EXPECT_EQ(e->availed, 1000u);
    EXPECT_EQ(reserve_space(2), 3096u);
    EXPECT_EQ(avail_space(2), 1000u);
    EXPECT_EQ(entry_of(600), nullptr);
    EXPECT_EQ(mon().device_semval(2), 0);  // still the holder's
    EXPECT_EQ(mon().device_semval(1), 1);
}

// The reservation table is writable by any local user.  A device number
// planted in it must not make smgr lock (or give back) a semaphore set that
// is not the device monitor's; a device whose set is gone fails the same way.
TEST_F(DeviceSemaphoreFaults, DevicesWithoutTheMonitorsSetAreRefused)
{
    struct ForeignSet {
        int id = -1;
        explicit ForeignSet(int32_t device)
        {
            key_t key = static_cast<key_t>(static_cast<uint32_t>(device) | SMGR_DEVICE_SEM_KEY);
            id = semget(key, 1, IPC_CREAT | IPC_EXCL | 0600);
            if (id >= 0)
                semctl(id, 0, SETVAL, 1);
        }
        ~ForeignSet()
        {
            if (id >= 0)
                semctl(id, 0, IPC_RMID);
        }
    };
    ForeignSet wide(0x10002), negative(-5);
    ASSERT_GE(wide.id, 0);
    ASSERT_GE(negative.id, 0);
    // Device 1's set changes hands.
    semid_ds ds{};
    const int set1 = mon().device_semid(1);
    ASSERT_EQ(semctl(set1, 0, IPC_STAT, &ds), 0);
    ds.sem_perm.uid = 65534;
    ASSERT_EQ(semctl(set1, 0, IPC_SET, &ds), 0);

    const std::string refusing = "refusing the semaphore set of device [";
    const struct {
        int32_t device;
        int semid;  // -1: none to look at
        bool in_database;
        std::string line;
    } cases[] = {
        {0x10002, wide.id, false, refusing + "65538]: not a device number"},
        {-5, negative.id, false, refusing + "-5]: not a device number"},
        {4, mon().device_semid(4), true, refusing + "4]: not in the device table"},  // a set, but unlisted
        {1, set1, true, refusing + "1]: its semaphore set is owned by uid 65534, the device table by uid 0"},
        {5, -1, true, "Failed to get device semphore set id"},  // listed, its set gone
    };
    for (const auto &c : cases) {
        smgr_reservation &e = mon().entry(10);
        e.reservation_key = 800, e.devices_id = c.device, e.used = 1;
        e.reservation = 100, e.availed = 50;
        for (const Op &op : ops_on(800, 2)) {
            log_.mark();
            if (op.reads_device_row && !c.in_database) {
                EXPECT_EQ(op.call(), -7) << c.device << " " << op.name;
                continue;
            }
            EXPECT_EQ(op.call(), -1) << c.device << " " << op.name;
            EXPECT_TRUE(contains(log_.since(), c.line)) << c.device << " " << op.name;
        }
        EXPECT_EQ(e.used, 1) << c.device;
        EXPECT_EQ(e.devices_id, c.device);
        EXPECT_EQ(e.reservation, 100u) << c.device;
        EXPECT_EQ(e.availed, 50u) << c.device;
        if (c.semid < 0)
            continue;
        // Never operated on, not even taken and given back.
        semid_ds after{};
        ASSERT_EQ(semctl(c.semid, 0, IPC_STAT, &after), 0);
        EXPECT_EQ(after.sem_otime, 0) << c.device;
        EXPECT_EQ(semctl(c.semid, 0, GETVAL), 1) << c.device;
    }
    EXPECT_EQ(mon().device_semval(2), 1);
    EXPECT_EQ(reserve_space(2), 0u);
    EXPECT_EQ(reserve_space(5), 0u);
}

// Without the device monitor every operation fails, logging why.
class NoMonitor : public StoreTest {
    bool with_monitor() const override { return false; }
};

TEST_F(NoMonitor, EveryOperationFailsWithTheAttachLines)
{
    int32_t device;
    uint64_t size;
    struct Op {
        const char *name;
        std::function<int64_t()> call;
        bool devices;
    } ops[] = {
        {"smgr_register", [] { return int64_t{smgr_register(0, 1)}; }, false},
        {"smgr_reserve", [] { return int64_t{smgr_reserve(600, 1)}; }, true},
        {"smgr_avail", [] { return smgr_avail(600, 1, 0); }, true},
        {"smgr_confirm", [] { return int64_t{smgr_confirm(600, 1)}; }, true},
        {"smgr_get", [&] { return int64_t{smgr_get(600, &device, &size)}; }, false},
        {"smgr_unregister", [] { return int64_t{smgr_unregister(600)}; }, true},
    };
    for (const Op &op : ops) {
        log_.mark();
        EXPECT_EQ(op.call(), -1) << op.name;
        std::string log = log_.since();
        EXPECT_TRUE(contains(log, "smgr:get_reservation_shmid:shmget failed because: No such file "
                                  "or directory"))
            << op.name;
        EXPECT_TRUE(contains(log, "Failed to get reservation shared memory id.")) << op.name;
        EXPECT_TRUE(contains(log, std::string(op.name) +
                                      ": Fails to attach reservation shared memory segment"))
            << op.name;
        EXPECT_TRUE(contains(log, "Failed to de-attach the reservation shared memeory segment"))
            << op.name;
        EXPECT_EQ(contains(log, "Failed to de-attach the devices shared memeory: NULL segment"),
                  op.devices)
            << op.name;
    }
}

TEST_F(NoMonitor, MissingMonitorPathFailsAtFtok)
{
    // Only ever the private tmpfs: SetUp checked the namespaces.
    ASSERT_EQ(unlink(SMGR_FTOK_PATH), 0);
    log_.mark();
    EXPECT_EQ(smgr_register(0, 1), -1);
    EXPECT_TRUE(contains(log_.since(), "smgr:get_reservation_shmid ftok failed because: No such "
                                       "file or directory"));
    int fd = open(SMGR_FTOK_PATH, O_WRONLY | O_CREAT | O_EXCL, 0644);
    EXPECT_GE(fd, 0);
    close(fd);
}

}  // namespace
