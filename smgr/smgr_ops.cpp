// The six reservation operations over the device monitor's store.
//
// Every change to an entry and to its device's totals is made holding that
// device's semaphore; lookups run before it is taken, so each operation
// checks the entry again once it holds it.
#include "smgr/smgr_internal.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

using smgr_detail::add_ceil;
using smgr_detail::NameScope;
using smgr_detail::sub_floor;

namespace {

// A writer waiting in smgr_avail for space looks again this often even when
// nobody raises its semaphore: a raise that comes between giving the device
// back and starting to wait finds no waiter and is not made, and space can
// also grow without anyone raising it.
constexpr int kRecheckSeconds = 2;

// How often an operation starts over when the entry it found was changed by
// another process before it got the device.
constexpr int kMaxAttempts = 8;

struct Tables {
    smgr_reservation *resv = nullptr;
    smgr_device_table *devs = nullptr;
    int32_t capacity = 0;  // device entries the segment holds
    uid_t owner = 0;       // of the device segment
};

bool entry_is(const smgr_reservation *e, int32_t key, int32_t device_no)
{
    return smgr_detail::load_used(e) == 1 && smgr_detail::load_key(e) == key &&
           e->devices_id == device_no;
}

// Gives a device semaphore back; a failure is logged and makes the result -1
// while whatever was changed stands.
void give_back(const char *fn, int32_t device_no, int64_t &rc, bool reserve_checked = false)
{
    if (release_dev_entry_sem(device_no) == 0)
        return;
    if (reserve_checked)
        logger(0, "%s:%d: %s: Failed to release semaphore associated with device [%d].\n", SMGR_SRC,
               __LINE__, fn, device_no);
    else
        logger(0, "%s:%d: %s: Failed to release semaphore associated with the device [%d].\n",
               SMGR_SRC, __LINE__, fn, device_no);
    rc = -1;
}

// Detaches the tables an operation uses, attached or not (a null address
// only logs).
void detach(const char *fn, Tables &t, bool devices, int64_t &rc)
{
    if (deattach_reservations(t.resv) != 0) {
        logger(0, "%s:%d: %s: Failed to de-attach reservation shared memeory segment\n", SMGR_SRC,
               __LINE__, fn);
        rc = -1;
    }
    if (devices && deattach_devices(t.devs) != 0) {
        logger(0, "%s:%d: %s: Failed to de-attach devices shared memeory segment\n", SMGR_SRC,
               __LINE__, fn);
        rc = -1;
    }
}

bool attach_reservation_table(const char *fn, Tables &t)
{
    t.resv = attach_reservations();
    if (!t.resv)
        logger(0, "%s:%d: %s: Fails to attach reservation shared memory segment\n", SMGR_SRC,
               __LINE__, fn);
    return t.resv != nullptr;
}

bool attach_device_table(const char *fn, Tables &t)
{
    t.devs = smgr_detail::attach_devices_bounded(&t.capacity, &t.owner);
    if (!t.devs)
        logger(0, "%s:%d: %s: Fails to attach devices shared memory segment\n", SMGR_SRC, __LINE__,
               fn);
    return t.devs != nullptr;
}

// Takes the semaphore of a device number read from the reservation table
// (the device table must be attached).
int take_entry_device(const Tables &t, int32_t device_no)
{
    return smgr_detail::accquire_listed_dev_sem(t.devs, t.capacity, t.owner, device_no);
}

// The device's entry, or null; n is num_devices cut to the segment.
smgr_device *find_device(Tables &t, int32_t device_no, int32_t *n, int *index)
{
    *n = smgr_detail::device_count(t.devs, t.capacity);
    smgr_device *entries = SMGR_DEVICE_TABLE_ENTRIES(t.devs);
    *index = device_to_index(entries, *n, device_no);
    return *index < 0 ? nullptr : &entries[*index];
}

// Registrations find a key's entry or a free one without any lock of the
// table's, and two of them on different devices (so under different device
// semaphores) would claim the same free entry or create the same key twice.
// An exclusive flock on the device monitor's path, which exists whenever the
// store does, serializes the lookup and the claim; the kernel drops it when
// its holder dies.
struct RegistryLock {
    int fd = -1;
    explicit RegistryLock(const char *fn)
    {
        fd = open(SMGR_FTOK_PATH, O_RDONLY | O_CLOEXEC);
        int err = errno;
        while (fd >= 0 && flock(fd, LOCK_EX) != 0) {
            err = errno;
            if (err == EINTR)
                continue;
            close(fd);
            fd = -1;
        }
        if (fd < 0) {
            char buf[128];
            logger(0, "%s:%d: %s: cannot lock %s for registration (%s); registering unlocked\n",
                   SMGR_SRC, __LINE__, fn, SMGR_FTOK_PATH, strerror_r(err, buf, sizeof buf));
        }
    }
    ~RegistryLock()
    {
        if (fd >= 0)
            close(fd);
    }
    RegistryLock(const RegistryLock &) = delete;
    RegistryLock &operator=(const RegistryLock &) = delete;
};

// Where a registration goes: the key's entry, or a free one.
struct Slot {
    int index = -1;
    bool existing = false;
    int32_t device = 0;  // the existing entry's device
};

// -3 when the key is new and no entry can take it.
int find_slot(const char *fn, const smgr_reservation *resv, int32_t reg_key, int32_t device_no,
              bool log_existing, Slot *slot)
{
    slot->index = key_to_index(resv, reg_key);
    slot->existing = slot->index >= 0;
    slot->device = device_no;
    if (slot->existing) {
        if (log_existing)
            logger(0, "%s:%d: %s: Existing reservation for: %d\n", SMGR_SRC, __LINE__, fn, reg_key);
        slot->device = resv[slot->index].devices_id;
        return 0;
    }
    slot->index = get_free_index(resv);
    // Key 0 takes index + 1, and for the last entry that is 512, a caller's
    // own key: never hand out a key that is registered.
    if (slot->index == SMGR_MAX_RESERVATIONS - 1 && reg_key == 0 &&
        key_to_index(resv, SMGR_MAX_RESERVATIONS) >= 0)
        slot->index = -1;
    if (slot->index < 0) {
        logger(0, "%s:%d: %s: Number of registration exceeds limit.\n", SMGR_SRC, __LINE__, fn);
        return -3;
    }
    return 0;
}

// The first step of every operation but registration: the key's entry
// in the reservation table (its index), else the operation's code.
int find_registration(const char *fn, int32_t reg_key, Tables &t, bool registration_wording = false)
{
    if (!attach_reservation_table(fn, t))
        return -1;
    const int idx = key_to_index(t.resv, reg_key);
    if (idx >= 0)
        return idx;
    if (registration_wording)
        logger(3, "%s:%d: %s: No Existing registraton for : %d\n", SMGR_SRC, __LINE__, fn, reg_key);
    else
        logger(3, "%s:%d: %s: No Existing reservation for: %d\n", SMGR_SRC, __LINE__, fn, reg_key);
    return -4;
}

// A check made while holding the device semaphore failed: the entry
// changed under the caller (entry_changed) or its device left the monitor's
// list.  Gives the semaphore back; the result is -4 (or -1 when that fails).
int64_t refuse_held(const char *fn, int line, int32_t device_no, int32_t reg_key, bool entry_changed)
{
    if (entry_changed)
        logger(0, "%s:%d: %s: Unexpected smgr_unregister for: %d\n", SMGR_SRC, line, fn, reg_key);
    else
        logger(0, "%s:%d: %s: No Existing deivce entry for: %d\n", SMGR_SRC, line, fn, reg_key);
    int64_t rc = -4;
    give_back(fn, device_no, rc);
    return rc;
}

int64_t register_body(const char *fn, int32_t reg_key, int32_t device_no, const kx_result *res,
                      Tables &t)
{
    if (pgStatus(res) == -1 || pgTuples(res) == 0) {
        logger(0, "%s:%d: %s: Failed to find d2d device with %d\n", SMGR_SRC, __LINE__, fn, device_no);
        return -7;
    }
    if (reg_key >= 1 && reg_key <= SMGR_RESERVED_KEY_MAX) {
        logger(0, "%s:%d: %s: Reserved index used for reservation: %d\n", SMGR_SRC, __LINE__, fn,
               reg_key);
        return -11;
    }
    if (!attach_reservation_table(fn, t))
        return -1;

    for (int attempt = 1;; ++attempt) {
        Slot planned;
        if (find_slot(fn, t.resv, reg_key, device_no, true, &planned) != 0)
            return -3;
        // A key moving to another device takes its amounts along, so both
        // devices' totals stay the sums of their registrations.  Both
        // devices are held, the lower number first.
        const bool move = planned.device != device_no;
        if (move && !t.devs && !attach_device_table(fn, t))
            return -1;
        const int32_t first = std::min(planned.device, device_no);
        const int32_t second = std::max(planned.device, device_no);
        // The device the key moves from was read from the table; the one
        // it moves to was checked against the database.
        auto take = [&](int32_t dev) {
            return move && dev == planned.device ? take_entry_device(t, dev)
                                                 : accquire_dev_entry_sem(dev);
        };
        if (take(first) != 0) {
            logger(0, "%s:%d: %s: Failed to accquire semaphore associated with device [ %d ].\n",
                   SMGR_SRC, __LINE__, fn, first);
            return -1;
        }
        int64_t rc = 0;
        if (move && take(second) != 0) {
            logger(0, "%s:%d: %s: Failed to accquire semaphore associated with device [ %d ].\n",
                   SMGR_SRC, __LINE__, fn, second);
            rc = -1;
            give_back(fn, first, rc);
            return rc;
        }

        bool unchanged = false;
        {
            // Taken after the devices, so it is never held while waiting
            // for one (a device held by a stuck process delays only its
            // own registrations).
            RegistryLock lock(fn);
            Slot now;
            if (find_slot(fn, t.resv, reg_key, device_no, false, &now) != 0) {
                rc = -3;
            } else if (now.existing == planned.existing && now.device == planned.device &&
                       (now.existing ? now.index == planned.index
                                     : smgr_detail::load_used(&t.resv[now.index]) == 0)) {
                unchanged = true;
                smgr_reservation *e = &t.resv[now.index];
                if (move) {
                    int32_t n;
                    int from_index, to_index;
                    smgr_device *from = find_device(t, planned.device, &n, &from_index);
                    smgr_device *to = find_device(t, device_no, &n, &to_index);
                    if (from) {
                        from->reserve_space = sub_floor(from->reserve_space, e->reservation);
                        from->avail_space = sub_floor(from->avail_space, e->availed);
                    }
                    if (to) {
                        to->reserve_space = add_ceil(to->reserve_space, e->reservation);
                        to->avail_space = add_ceil(to->avail_space, e->availed);
                    }
                    logger(3, "%s:%d: %s: reg_key = %d moves from device %d to device %d with "
                              "reservation = %llu, availed = %llu\n",
                           SMGR_SRC, __LINE__, fn, reg_key, planned.device, device_no,
                           static_cast<unsigned long long>(e->reservation),
                           static_cast<unsigned long long>(e->availed));
                }
                const int32_t stored = reg_key == 0 ? now.index + 1 : reg_key;
                e->last_update = static_cast<int32_t>(time(nullptr));
                smgr_detail::store_key(e, stored);
                e->devices_id = device_no;
                if (!now.existing) {
                    e->reservation = 0;
                    e->availed = 0;
                }
                smgr_detail::store_used(e, 1);
                rc = stored;
            }
        }
        if (move)
            give_back(fn, second, rc);
        give_back(fn, first, rc);
        if (unchanged || rc < 0)
            return rc;
        // The key was unregistered or moved meanwhile: plan again.
        if (attempt == kMaxAttempts) {
            logger(0, "%s:%d: %s: entries keep changing under registration of %d\n", SMGR_SRC,
                   __LINE__, fn, reg_key);
            return -1;
        }
    }
}

void trace_avail_state(const char *fn, const smgr_reservation *e, const smgr_device *dv, int d)
{
    // The monitor's name field is not trusted to be terminated.
    char name[SMGR_DEVICE_NAME_SIZE + 1];
    std::memcpy(name, dv->device_name, SMGR_DEVICE_NAME_SIZE);
    name[SMGR_DEVICE_NAME_SIZE] = '\0';
    logger(3, "%s:%d: %s: reservation = %llu\n", SMGR_SRC, __LINE__, fn,
           static_cast<unsigned long long>(e->reservation));
    logger(3, "%s:%d: %s: availed = %llu\n", SMGR_SRC, __LINE__, fn,
           static_cast<unsigned long long>(e->availed));
    logger(3, "%s:%d: %s: associated device = [%s]\n", SMGR_SRC, __LINE__, fn, name);
    logger(3, "%s:%d: %s: devices[%d].free_space = %lf\n", SMGR_SRC, __LINE__, fn, d,
           static_cast<double>(dv->free_space));
    logger(3, "%s:%d: %s: devices[%d].reserve_space = %lf\n", SMGR_SRC, __LINE__, fn, d,
           static_cast<double>(dv->reserve_space));
    logger(3, "%s:%d: %s: devices[%d].avail_space = %lf\n", SMGR_SRC, __LINE__, fn, d,
           static_cast<double>(dv->avail_space));
    logger(3, "%s:%d: %s: associated semapore d_index %d\n", SMGR_SRC, __LINE__, fn, d);
}

int64_t reserve_body(const char *fn, int32_t reg_key, uint64_t size, Tables &t)
{
    const int idx = find_registration(fn, reg_key, t, true);
    if (idx < 0)
        return idx;
    smgr_reservation *e = &t.resv[idx];
    const int32_t device_no = e->devices_id;

    kx_result *res = pgVExec("SELECT dev_name, capacity FROM devices WHERE device_no = %d", device_no);
    if (pgStatus(res) == -1 || pgTuples(res) == 0) {
        logger(0, "%s:%d: %s: Failed to find d2d device with %d\n", SMGR_SRC, __LINE__, fn, device_no);
        if (res)
            pgFree(res);
        return -7;
    }
    const int64_t capacity_kb = pgLLVal(res, 0, "capacity");
    const double capacity = static_cast<double>(capacity_kb) * 1024.0;
    char name[256];
    std::snprintf(name, sizeof name, "%s", pgSVal(res, 0, "dev_name"));
    logger(3, "%s:%d: %s: device_name = %s, device_capacity = %lf\n", SMGR_SRC, __LINE__, fn, name,
           capacity);
    pgFree(res);

    if (!attach_device_table(fn, t))
        return -1;
    if (take_entry_device(t, device_no) != 0)
        return -1;
    int64_t rc = 0;
    if (!entry_is(e, reg_key, device_no))
        return refuse_held(fn, __LINE__, device_no, reg_key, true);
    int32_t n = smgr_detail::device_count(t.devs, t.capacity);
    logger(3, "%s:%d: %s: reg_key = %d, num_devices = %d, reservervations[%d].devices_id = %d\n",
           SMGR_SRC, __LINE__, fn, reg_key, n, idx, device_no);
    int d;
    smgr_device *dv = find_device(t, device_no, &n, &d);
    if (!dv)
        return refuse_held(fn, __LINE__, device_no, reg_key, false);
    logger(3, "%s:%d: %s: Current Reservation for: index = %llu device_no = %d size = %llu\n",
           SMGR_SRC, __LINE__, fn, static_cast<unsigned long long>(e->reservation), device_no,
           static_cast<unsigned long long>(size));

    // Compared in whole bytes: doubles lose single bytes above 2^53.
    bool fits;
    if (capacity_kb < 0)
        fits = false;
    else if (static_cast<uint64_t>(capacity_kb) > UINT64_MAX / 1024)
        fits = true;
    else
        fits = size <= static_cast<uint64_t>(capacity_kb) * 1024;
    if (fits) {
        e->last_update = static_cast<int32_t>(time(nullptr));
        dv->reserve_space = add_ceil(sub_floor(dv->reserve_space, e->reservation), size);
        e->reservation = size;
        logger(3, "%s:%d: %s: New Reservation for: index=%llu device_no=%d size=%llu\n", SMGR_SRC,
               __LINE__, fn, static_cast<unsigned long long>(e->reservation), device_no,
               static_cast<unsigned long long>(size));
        logger(3, "%s:%d: %s: Total Reservation for:  device_no=%d devices[%d].reserve_space=%lf\n",
               SMGR_SRC, __LINE__, fn, device_no, d, static_cast<double>(dv->reserve_space));
    } else {
        logger(0, "%s:%d: %s: Attempt to reserve size = %llu, exceeds device %s capacity %lf.\n",
               SMGR_SRC, __LINE__, fn, static_cast<unsigned long long>(size), name, capacity);
        rc = -2;
    }
    give_back(fn, device_no, rc, true);
    return rc;
}

int64_t avail_body(const char *fn, int32_t reg_key, uint32_t size, int32_t flg, Tables &t)
{
    const int idx = find_registration(fn, reg_key, t);
    if (idx < 0)
        return idx;
    if (!attach_device_table(fn, t))
        return -1;
    smgr_reservation *e = &t.resv[idx];
    const int32_t device_no = e->devices_id;

    for (;;) {
        if (take_entry_device(t, device_no) != 0)
            return -1;
        int64_t rc = 0;
        if (!entry_is(e, reg_key, device_no))
            return refuse_held(fn, __LINE__, device_no, reg_key, true);
        int32_t n = smgr_detail::device_count(t.devs, t.capacity);
        logger(3, "%s:%d: %s: reg_key = %d, num_devices = %d, devices_id = %d\n", SMGR_SRC, __LINE__,
               fn, reg_key, n, device_no);
        int d;
        smgr_device *dv = find_device(t, device_no, &n, &d);
        if (!dv)
            return refuse_held(fn, __LINE__, device_no, reg_key, false);
        trace_avail_state(fn, e, dv, d);

        uint64_t grant = 0;
        if (size > e->reservation) {
            logger(0, "%s:%d: %s: Attempt to avail more than reservation (WriteSize = %zd "
                      "Reservation = %llu)\n",
                   SMGR_SRC, __LINE__, fn, static_cast<ssize_t>(size),
                   static_cast<unsigned long long>(e->reservation));
            rc = -10;
            give_back(fn, device_no, rc);
            trace_avail_state(fn, e, dv, d);
            return rc;
        }
        // When the monitor lets avail_space pass free_space nothing is
        // left, rather than a wrapped difference that would grant anything.
        const uint64_t free_space = dv->free_space;
        const uint64_t avail_space = dv->avail_space;
        const uint64_t left = free_space > avail_space ? free_space - avail_space : 0;
        if (size <= left) {
            logger(3, "%s:%d: %s: size <= available_free_space.\n", SMGR_SRC, __LINE__, fn);
            grant = size;
        } else if (flg == SMGR_AVAIL_PARTIAL) {
            logger(3, "%s:%d: %s: size > available_free_space.\n", SMGR_SRC, __LINE__, fn);
            grant = static_cast<uint32_t>(left);  // left < size, so it fits
        } else if (flg == SMGR_AVAIL_WAIT) {
            give_back(fn, device_no, rc);
            if (rc < 0)
                return rc;
            logger(3, "%s:%d: %s: waiting to avail free disk space on semaphore [%d]\n", SMGR_SRC,
                   __LINE__, fn, idx);
            const int woken = smgr_detail::wait_reservation_sem(idx, kRecheckSeconds);
            if (woken < 0)
                return -1;
            if (woken == 0)
                logger(3, "%s:%d: %s: someone released semaphore [%d]\n", SMGR_SRC, __LINE__, fn, idx);
            else
                logger(4, "%s:%d: %s: no release of semaphore [%d] within %d s, checking again\n",
                       SMGR_SRC, __LINE__, fn, idx, kRecheckSeconds);
            continue;
        } else {
            logger(0, "%s:%d: %s: Unknown Input flg = %d\n", SMGR_SRC, __LINE__, fn, flg);
            rc = -1;
            give_back(fn, device_no, rc);
            trace_avail_state(fn, e, dv, d);
            return rc;
        }
        e->reservation -= grant;
        e->availed = add_ceil(e->availed, grant);
        dv->reserve_space = sub_floor(dv->reserve_space, grant);
        dv->avail_space = add_ceil(dv->avail_space, grant);
        rc = static_cast<int64_t>(grant);
        give_back(fn, device_no, rc);
        trace_avail_state(fn, e, dv, d);
        return rc;
    }
}

int64_t confirm_body(const char *fn, int32_t reg_key, uint32_t size, Tables &t)
{
    const int idx = find_registration(fn, reg_key, t);
    if (idx < 0)
        return idx;
    if (!attach_device_table(fn, t))
        return -1;
    smgr_reservation *e = &t.resv[idx];
    const int32_t device_no = e->devices_id;
    if (take_entry_device(t, device_no) != 0)
        return -1;
    int64_t rc = 0;
    // The key is checked too: an entry unregistered and taken by another
    // key on the same device meanwhile is not this caller's to change.
    if (!entry_is(e, reg_key, device_no))
        return refuse_held(fn, __LINE__, device_no, reg_key, true);
    int32_t n;
    int d;
    smgr_device *dv = find_device(t, device_no, &n, &d);
    if (!dv)
        return refuse_held(fn, __LINE__, device_no, reg_key, false);
    if (size > 0 && dv->avail_space >= size && e->availed >= size) {
        e->availed -= size;
        dv->avail_space -= size;
    } else {
        dv->avail_space = sub_floor(dv->avail_space, e->availed);
        e->availed = 0;
    }
    give_back(fn, device_no, rc);
    return rc;
}

int64_t get_body(const char *fn, int32_t reg_key, int32_t *device_out, uint64_t *size_out, Tables &t)
{
    const int idx = find_registration(fn, reg_key, t);
    if (idx < 0)
        return idx;
    // Attached only to vet the entry's device number.
    if (!attach_device_table(fn, t))
        return -1;
    const smgr_reservation *e = &t.resv[idx];
    const int32_t device_no = e->devices_id;
    if (take_entry_device(t, device_no) != 0) {
        logger(0, "%s:%d: %s: Failed to accquire semaphore associated with device [%d].\n", SMGR_SRC,
               __LINE__, fn, device_no);
        return -1;
    }
    int64_t rc = 0;
    if (entry_is(e, reg_key, device_no)) {
        if (device_out)
            *device_out = device_no;
        if (size_out)
            *size_out = e->reservation;
    } else {
        logger(0, "%s:%d: %s: Unexpected smgr_unregister for: %d\n", SMGR_SRC, __LINE__, fn, reg_key);
        rc = -4;
    }
    give_back(fn, device_no, rc);
    return rc;
}

int64_t unregister_body(const char *fn, int32_t reg_key, Tables &t)
{
    int idx = find_registration(fn, reg_key, t);
    if (idx < 0)
        return idx;
    if (!attach_device_table(fn, t))
        return -1;

    for (int attempt = 1;; ++attempt) {
        smgr_reservation *e = &t.resv[idx];
        const int32_t device_no = e->devices_id;
        if (take_entry_device(t, device_no) != 0) {
            logger(0, "%s:%d: %s: Failed to accquire semaphore associated with the devices [%d].\n",
                   SMGR_SRC, __LINE__, fn, device_no);
            return -1;
        }
        int64_t rc = 0;
        if (!entry_is(e, reg_key, device_no)) {
            logger(0, "%s:%d: %s: Unexpected unregister for: %d\n", SMGR_SRC, __LINE__, fn, reg_key);
            give_back(fn, device_no, rc);
            if (rc < 0)
                return rc;
            // Gone is what the caller asked for; but a key that moved to
            // another device meanwhile is still registered and is followed.
            idx = key_to_index(t.resv, reg_key);
            if (idx < 0 || attempt == kMaxAttempts)
                return 0;
            continue;
        }
        int32_t n = smgr_detail::device_count(t.devs, t.capacity);
        logger(3, "%s:%d: %s: reg_key = %d, num_devices = %d, reservervations[%d].devices_id = %d\n",
               SMGR_SRC, __LINE__, fn, reg_key, n, idx, device_no);
        int d;
        smgr_device *dv = find_device(t, device_no, &n, &d);
        if (!dv) {
            logger(0, "%s:%d: No Existing deivce entry for: %d\n", SMGR_SRC, __LINE__, reg_key);
            rc = -4;
            give_back(fn, device_no, rc);
            return rc;
        }
        dv->reserve_space = sub_floor(dv->reserve_space, e->reservation);
        dv->avail_space = sub_floor(dv->avail_space, e->availed);
        // used first, so an unlocked lookup never sees a used entry with
        // the cleared key; last_update stays.
        smgr_detail::store_used(e, 0);
        smgr_detail::store_key(e, 0);
        e->reservation = 0;
        e->availed = 0;
        e->devices_id = 0;
        if (smgr_detail::reservation_waiters(idx) > 0) {
            const int status = release_reservation_sem(idx);
            rc = status == 0 ? 0 : -1;
            logger(3, "%s:%d: %s: Release reservation semaphore [%d]  status: %d\n", SMGR_SRC,
                   __LINE__, fn, idx, status);
        }
        give_back(fn, device_no, rc);
        return rc;
    }
}

}  // namespace

extern "C" {

int smgr_register(int32_t reg_key, int32_t device_no)
{
    NameScope scope(__func__);
    logger(3, "%s:%d: %s: reg_key = %d, device_no = %d\n", SMGR_SRC, __LINE__, __func__, reg_key,
           device_no);
    Tables t;
    kx_result *res =
        pgVExec("SELECT device_no FROM devices WHERE device_no = %d AND dev_name <> 'sctape'",
                device_no);
    int64_t rc = register_body(__func__, reg_key, device_no, res, t);
    // The device table is only used when a key moves between devices.
    detach(__func__, t, t.devs != nullptr, rc);
    if (res)
        pgFree(res);
    return static_cast<int>(rc);
}

int smgr_reserve(int32_t reg_key, uint64_t size)
{
    NameScope scope(__func__);
    logger(3, "%s:%d: %s: reg_key = %d, size = %llu)\n", SMGR_SRC, __LINE__, __func__, reg_key,
           static_cast<unsigned long long>(size));
    Tables t;
    int64_t rc = reserve_body(__func__, reg_key, size, t);
    detach(__func__, t, true, rc);
    return static_cast<int>(rc);
}

int64_t smgr_avail(int32_t reg_key, uint32_t size, int32_t flg)
{
    NameScope scope(__func__);
    logger(3, "%s:%d: %s: reg_key = %d, size = %zd, flg = %d\n", SMGR_SRC, __LINE__, __func__,
           reg_key, static_cast<ssize_t>(size), flg);
    Tables t;
    int64_t rc = avail_body(__func__, reg_key, size, flg, t);
    detach(__func__, t, true, rc);
    return rc;
}

int smgr_confirm(int32_t reg_key, uint32_t size)
{
    NameScope scope(__func__);
    logger(3, "%s:%d: %s: reg_key = %d, size = %zd\n", SMGR_SRC, __LINE__, __func__, reg_key,
           static_cast<ssize_t>(size));
    Tables t;
    int64_t rc = confirm_body(__func__, reg_key, size, t);
    detach(__func__, t, true, rc);
    return static_cast<int>(rc);
}

int smgr_get(int32_t reg_key, int32_t *device_no, uint64_t *size)
{
    NameScope scope(__func__);
    logger(3, "%s:%d: %s: %d\n", SMGR_SRC, __LINE__, __func__, reg_key);
    Tables t;
    int64_t rc = get_body(__func__, reg_key, device_no, size, t);
    detach(__func__, t, t.devs != nullptr, rc);
    return static_cast<int>(rc);
}

int smgr_unregister(int32_t reg_key)
{
    NameScope scope(__func__);
    logger(3, "%s:%d: %s: %d\n", SMGR_SRC, __LINE__, __func__, reg_key);
    Tables t;
    int64_t rc = unregister_body(__func__, reg_key, t);
    detach(__func__, t, true, rc);
    return static_cast<int>(rc);
}

}  // extern "C"
