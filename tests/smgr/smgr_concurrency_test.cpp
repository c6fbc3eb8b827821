// Processes sharing the store: forked writers on shared devices, and the
// wait of smgr_avail with flag 1.  Every bound is a deadlock guard, never a
// measure.
#include "smgr_test_util.h"

#include <map>
#include <set>

using namespace smgr_test;

namespace {

constexpr int kBound = 120;  // seconds any group of children may take

class Concurrency : public StoreTest {
protected:
    std::vector<testmon::Device> devices() const override
    {
        std::vector<testmon::Device> d;
        for (int32_t id = 11; id <= 18; ++id) {
            testmon::Device x;
            x.id = id;
            x.name = "d2d-b" + std::to_string(id - 10);
            x.free_space = 8 * kTiB;
            d.push_back(x);
        }
        return d;
    }

    // Device totals must be the sums over the live entries.
    void expect_totals_match_entries()
    {
        std::map<int32_t, std::pair<uint64_t, uint64_t>> sums;
        for (int i = 0; i < SMGR_MAX_RESERVATIONS; ++i) {
            const smgr_reservation &e = mon().entry(i);
            if (e.used == 1) {
                sums[e.devices_id].first += e.reservation;
                sums[e.devices_id].second += e.availed;
            }
        }
        for (int32_t id = 11; id <= 18; ++id) {
            EXPECT_EQ(reserve_space(id), sums[id].first) << "device " << id;
            EXPECT_EQ(avail_space(id), sums[id].second) << "device " << id;
            EXPECT_EQ(mon().device_semval(id), 1) << "device " << id;
        }
    }
};

// Children wait at the gate until the parent opens it, so they start
// together.
class Gate {
public:
    Gate() { ok_ = pipe(fds_) == 0; }
    ~Gate()
    {
        if (ok_) {
            close(fds_[0]);
            if (fds_[1] >= 0)
                close(fds_[1]);
        }
    }
    bool ok() const { return ok_; }
    void pass_in_child()
    {
        close(fds_[1]);
        char c;
        while (read(fds_[0], &c, 1) > 0) {
        }
    }
    void open()
    {
        close(fds_[1]);
        fds_[1] = -1;
    }

private:
    int fds_[2] = {-1, -1};
    bool ok_ = false;
};

// N writers × M cycles of register / reserve / avail / confirm / (move) /
// get / unregister on three shared devices, keys of their own and chosen
// ones.  Each writer keeps its last registration; its result is that key,
// or a negative number naming the cycle and step that failed.
TEST_F(Concurrency, ForkedWritersKeepDeviceTotalsExact)
{
    constexpr int kWriters = 4;
    constexpr int kCycles = 40;
    static const int32_t kDevices[] = {11, 12, 13};
    Gate gate;
    ASSERT_TRUE(gate.ok());
    std::vector<std::unique_ptr<Child>> writers;
    for (int w = 0; w < kWriters; ++w) {
        writers.push_back(std::make_unique<Child>([w, &gate]() -> int64_t {
            gate.pass_in_child();
            int64_t live = 0;
            for (int i = 0; i < kCycles; ++i) {
                const int64_t fail = -(1000 * (i + 1));
                const int32_t own = 1000 + w * 1000 + i;
                const int32_t want = i % 2 ? 0 : own;
                const int32_t device = kDevices[(w + i) % 3];
                const int key = smgr_register(want, device);
                if (key <= 0 || (want && key != want))
                    return fail - 1;
                const uint64_t reserved = 4096 * (1 + (w * 7 + i) % 13);
                if (smgr_reserve(key, reserved) != 0)
                    return fail - 2;
                const uint32_t drawn = static_cast<uint32_t>(reserved / 2);
                if (smgr_avail(key, drawn, i % 3 == 0 ? 1 : 0) != drawn)
                    return fail - 3;
                if (smgr_confirm(key, drawn / 2) != 0)
                    return fail - 4;
                if (i % 4 == 2 && smgr_register(key, kDevices[(w + i + 1) % 3]) != key)
                    return fail - 5;
                int32_t dev = 0;
                uint64_t size = 0;
                if (smgr_get(key, &dev, &size) != 0 || size != reserved - drawn)
                    return fail - 6;
                if (i == kCycles - 1)
                    live = key;
                else if (smgr_unregister(key) != 0)
                    return fail - 7;
            }
            return live;
        }));
        ASSERT_TRUE(writers.back()->started());
    }
    gate.open();
    std::vector<int> live;
    for (auto &w : writers) {
        int64_t rc = 0;
        ASSERT_TRUE(w->result(kBound, &rc)) << "a writer did not finish: deadlock?";
        EXPECT_GT(rc, 0) << "failed at cycle " << (-rc / 1000 - 1) << ", step " << (-rc % 1000);
        live.push_back(static_cast<int>(rc));
    }

    EXPECT_EQ(mon().used_entries(), kWriters);
    expect_totals_match_entries();
    for (int key : live)
        EXPECT_EQ(smgr_unregister(key), 0) << key;
    EXPECT_EQ(mon().used_entries(), 0);
    expect_totals_match_entries();  // all 0 now
    EXPECT_TRUE(mon().monitor_bytes_intact());
}

// Registrations on different devices hold different semaphores; two of them
// must still never claim the same free entry.
TEST_F(Concurrency, RegistrationsOnDifferentDevicesNeverShareAnEntry)
{
    constexpr int kProcs = 8;
    constexpr int kEach = 60;
    Gate gate;
    ASSERT_TRUE(gate.ok());
    std::vector<std::unique_ptr<Child>> procs;
    for (int p = 0; p < kProcs; ++p) {
        procs.push_back(std::make_unique<Child>([p, &gate]() -> int64_t {
            gate.pass_in_child();
            int64_t done = 0;
            for (int i = 0; i < kEach; ++i)
                done += smgr_register(0, 11 + p) > 0;
            return done;
        }));
        ASSERT_TRUE(procs.back()->started());
    }
    gate.open();
    for (auto &p : procs) {
        int64_t rc = 0;
        ASSERT_TRUE(p->result(kBound, &rc)) << "a registering process did not finish";
        EXPECT_EQ(rc, kEach);
    }
    std::map<int32_t, int> per_device;
    std::set<int32_t> keys;
    for (int i = 0; i < SMGR_MAX_RESERVATIONS; ++i) {
        const smgr_reservation &e = mon().entry(i);
        if (e.used == 1) {
            ++per_device[e.devices_id];
            EXPECT_TRUE(keys.insert(e.reservation_key).second) << "key twice: " << e.reservation_key;
            EXPECT_EQ(e.reservation_key, i + 1);
        }
    }
    EXPECT_EQ(mon().used_entries(), kProcs * kEach);
    for (int p = 0; p < kProcs; ++p)
        EXPECT_EQ(per_device[11 + p], kEach) << "device " << 11 + p;
    expect_totals_match_entries();
}

// A process stuck while it holds a device: registrations on that device
// wait; registrations on other devices must not wait behind them.
TEST_F(Concurrency, DeviceLeftLockedBlocksOnlyItsOwnRegistrations)
{
    ASSERT_EQ(accquire_dev_entry_sem(11), 0);  // as a stuck holder would
    Child stuck([] { return static_cast<int64_t>(smgr_register(0, 11)); });
    ASSERT_TRUE(eventually([this] { return mon().device_waiters(11) == 1; }, 20));
    Child other([] { return static_cast<int64_t>(smgr_register(700, 12)); });
    int64_t rc = -99;
    ASSERT_TRUE(other.result(20, &rc)) << "a registration on device 12 waited for device 11";
    EXPECT_EQ(rc, 700);
    EXPECT_EQ(release_dev_entry_sem(11), 0);
    ASSERT_TRUE(stuck.result(20, &rc));
    EXPECT_GT(rc, 0);
    EXPECT_EQ(mon().used_entries(), 2);
}

// A writer short of space waits in smgr_avail with flag 1.
class AvailWait : public Concurrency {
protected:
    void SetUp() override
    {
        Concurrency::SetUp();
        if (HasFatalFailure())
            return;
        mon().set_free_space(11, 0);
        key_ = smgr_register(0, 11);
        ASSERT_EQ(key_, 1);  // entry 0, reservation semaphore 0
        ASSERT_EQ(smgr_reserve(key_, 100), 0);
        log_fd_ = temp_fd();
        ASSERT_GE(log_fd_, 0);
        const int key = key_;
        waiter_ = std::make_unique<Child>([key] { return smgr_avail(key, 50, 1); }, log_fd_);
        ASSERT_TRUE(waiter_->started());
        ASSERT_TRUE(eventually([this] { return mon().reservation_waiters(0) == 1; }, 20))
            << "the writer never waited on its reservation semaphore";
    }
    void TearDown() override
    {
        waiter_.reset();
        if (HasFailure() && log_fd_ >= 0)
            dprintf(log_.original(), "---- writer's log ----\n%s", read_all(log_fd_).c_str());
        if (log_fd_ >= 0)
            close(log_fd_);
        Concurrency::TearDown();
    }
    std::string waiter_log() const { return read_all(log_fd_); }

    int key_ = 0;
    int log_fd_ = -1;
    std::unique_ptr<Child> waiter_;
};

TEST_F(AvailWait, WokenByAnotherProcessesUnregisterFindsTheKeyGone)
{
    const int key = key_;
    Child other([key] { return static_cast<int64_t>(smgr_unregister(key)); });
    int64_t rc = -99;
    ASSERT_TRUE(other.result(20, &rc));
    EXPECT_EQ(rc, 0);
    ASSERT_TRUE(waiter_->result(20, &rc)) << "the writer was not woken";
    EXPECT_EQ(rc, -4);
    std::string log = waiter_log();
    EXPECT_TRUE(contains(log, "smgr_avail: waiting to avail free disk space on semaphore [0]"));
    EXPECT_TRUE(contains(log, "smgr_avail: someone released semaphore [0]"));
    EXPECT_TRUE(contains(log, "smgr_avail: Unexpected smgr_unregister for: 1"));
    EXPECT_EQ(mon().reservation_semval(0), 0);
    EXPECT_EQ(mon().device_semval(11), 1);
}

TEST_F(AvailWait, WokenByARaiseOnceSpaceGrowsGetsTheWholeSize)
{
    mon().set_free_space(11, 1000);
    EXPECT_EQ(release_reservation_sem(0), 0);
    int64_t rc = -99;
    ASSERT_TRUE(waiter_->result(20, &rc)) << "the writer was not woken";
    EXPECT_EQ(rc, 50);
    EXPECT_TRUE(contains(waiter_log(), "smgr_avail: someone released semaphore [0]"));
    EXPECT_EQ(mon().entry(0).availed, 50u);
    EXPECT_EQ(avail_space(11), 50u);
    EXPECT_EQ(mon().device_semval(11), 1);
}

// Nobody raises the semaphore (a raise can come before the wait and find no
// waiter): the writer still looks again and sees the space.
TEST_F(AvailWait, SpaceThatGrowsWithoutARaiseIsStillFound)
{
    mon().set_free_space(11, 1000);
    int64_t rc = -99;
    ASSERT_TRUE(waiter_->result(20, &rc)) << "the writer never looked again";
    EXPECT_EQ(rc, 50);
    EXPECT_FALSE(contains(waiter_log(), "someone released semaphore"));
    EXPECT_EQ(mon().entry(0).availed, 50u);
}

}  // namespace
