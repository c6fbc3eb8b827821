// Shared between the store and the operations; not part of the C ABI.
#ifndef SMGR_SMGR_INTERNAL_H
#define SMGR_SMGR_INTERNAL_H

#include "kxext/kxext.h"
#include "smgr/smgr.h"

#include <sys/types.h>

#include <cstdint>

// Log lines start with the source file's name, not its build path.
#ifdef __FILE_NAME__
#define SMGR_SRC __FILE_NAME__
#else
#define SMGR_SRC __FILE__
#endif

namespace smgr_detail {

// Pushes a function's name as log context for the scope; declared first in
// a function so that the pop comes after everything else it logs.
struct NameScope {
    explicit NameScope(const char *name) { push_name(name); }
    ~NameScope() { pop_name(); }
    NameScope(const NameScope &) = delete;
    NameScope &operator=(const NameScope &) = delete;
};

constexpr size_t kReservationTableBytes = SMGR_MAX_RESERVATIONS * sizeof(smgr_reservation);

// attach_devices() that also says how many entries the segment can hold, so
// a num_devices larger than the segment is never followed past its end, and
// which user owns the segment.
smgr_device_table *attach_devices_bounded(int32_t *capacity, uid_t *owner);

// How long a call waits for a device semaphore before it gives up with
// ESMGR: far beyond any real hold, so only a stuck holder runs into it.
constexpr int kDeviceWaitMs = 30000;
// Tests shorten the wait; 0 or less restores kDeviceWaitMs.
void set_device_wait_ms(int ms);

// accquire_dev_entry_sem() for a device number read from the reservation
// table, which any local user can write: the set is only touched when it
// plausibly is the device monitor's (a device number listed in the device
// table, a set owned by the device table's owner).  Else logs why, -1.
int accquire_listed_dev_sem(const smgr_device_table *table, int32_t capacity, uid_t owner,
                            int32_t device_no);

// Entries of the device table that exist: num_devices cut to the segment.
int32_t device_count(const smgr_device_table *table, int32_t capacity);

// Waits on reservation semaphore index for at most timeout_s seconds:
// 0 when it was raised, 1 when the time ran out, -1 on failure.
int wait_reservation_sem(int index, int timeout_s);

// Processes waiting on reservation semaphore index, or -1.
int reservation_waiters(int index);

// Atomic views of the fields that lookups read without the device lock.
inline int32_t load_key(const smgr_reservation *e)
{
    return __atomic_load_n(&e->reservation_key, __ATOMIC_ACQUIRE);
}
inline int32_t load_used(const smgr_reservation *e)
{
    return __atomic_load_n(&e->used, __ATOMIC_ACQUIRE);
}
inline void store_key(smgr_reservation *e, int32_t v)
{
    __atomic_store_n(&e->reservation_key, v, __ATOMIC_RELEASE);
}
inline void store_used(smgr_reservation *e, int32_t v)
{
    __atomic_store_n(&e->used, v, __ATOMIC_RELEASE);
}

// Device totals never wrap below zero: a total that is already short (the
// monitor reset it, or an older writer left it inconsistent) stays at 0
// instead of turning into an enormous number.
inline uint64_t sub_floor(uint64_t a, uint64_t b)
{
    return a > b ? a - b : 0;
}
inline uint64_t add_ceil(uint64_t a, uint64_t b)
{
    return a > UINT64_MAX - b ? UINT64_MAX : a + b;
}

}  // namespace smgr_detail

#endif
