// The reservation store: the device monitor's IPC objects, the lookups over
// its tables, the semaphore primitives and the error texts.
#include "smgr/smgr_internal.h"

#include <sys/file.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>

using smgr_detail::NameScope;

namespace {

// Sizes asked of shmget: minimums, the segments are as large as their owner
// made them.
constexpr size_t kReservationShmAsk = 512;
constexpr size_t kDeviceShmAsk = 32;

const char *const err_str[13] = {
    "success.",
    "ESMGR: Failed to find storage manager memory segment.",
    "EOVER: Reservation exceeds size of d2d device.",
    "ELIMIT: Number of registrations exceed maximum limit.",
    "ENREG: Non-existing registration key.",
    "EWRF: Excess avail than reservation.",
    "EARG: Invalid input argument(s).",
    "ENDEV: Non-existing D2D device.",
    "EWDF: Write failed to input file descriptor.",
    "EXRR: Excess release than reservation.",
    "EXWR: Excess write than reservation.",
    "EXIST: Reservation key exists.",
    "Unknown error.",
};

// strerror() is not thread-safe and the callers may be threaded.
struct ErrText {
    char buf[128];
    const char *operator()(int e) { return strerror_r(e, buf, sizeof buf); }
};

std::atomic<int> g_device_wait_ms{smgr_detail::kDeviceWaitMs};

// One semaphore operation.  A wait_ms above 0 bounds the wait: -1 with
// errno EAGAIN once it has passed.
int semaphore_op(int semid, int semnum, short delta, short flags, int wait_ms)
{
    sembuf op{};
    op.sem_num = static_cast<unsigned short>(semnum);
    op.sem_op = delta;
    op.sem_flg = flags;
    using Clock = std::chrono::steady_clock;
    using std::chrono::nanoseconds;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(wait_ms);
    for (;;) {
        int rc;
        if (wait_ms > 0) {
            const auto left = std::chrono::duration_cast<nanoseconds>(deadline - Clock::now());
            if (left.count() <= 0) {
                errno = EAGAIN;
                return -1;
            }
            timespec ts{static_cast<time_t>(left.count() / 1000000000),
                        static_cast<long>(left.count() % 1000000000)};
            rc = semtimedop(semid, &op, 1, &ts);
        } else {
            rc = semop(semid, &op, 1);
        }
        if (rc == 0)
            return 0;
        // A signal to the caller is not a failure of the lock.
        if (errno != EINTR)
            return -1;
    }
}

// The device semaphore is taken and given back with undo, so the kernel
// gives it back for a holder that dies; both must carry it, or the undo of
// the taking alone would raise a free semaphore to 2 at the holder's exit.
int take_device_sem(int semid, int32_t device_no)
{
    NameScope scope("sem_accquire");
    logger(3, "%s:%d: %s: accquiring %d semaphore, from semid=[%d]", SMGR_SRC, __LINE__,
           "sem_accquire", 0, semid);
    const int wait_ms = g_device_wait_ms.load(std::memory_order_relaxed);
    if (semaphore_op(semid, 0, -1, SEM_UNDO, wait_ms) == 0)
        return 0;
    if (errno == EAGAIN)
        logger(0, "%s:%d: %s: device [%d] is still held after %d ms\n",
               SMGR_SRC, __LINE__, "sem_accquire", device_no, wait_ms);
    logger(0, "%s:%d: %s: Failed to accquire semphore %d.\n", SMGR_SRC, __LINE__, "sem_accquire", 0);
    return -1;
}

int give_device_sem(int semid)
{
    NameScope scope("sem_release");
    logger(3, "%s:%d: %s: releasing accquiring %d semaphore, from semid=[%d]", SMGR_SRC, __LINE__,
           "sem_release", 0, semid);
    if (semaphore_op(semid, 0, 1, SEM_UNDO, 0) != 0) {
        logger(0, "%s:%d: %s: Failed to release semphore %d.\n", SMGR_SRC, __LINE__, "sem_release", 0);
        return -1;
    }
    return 0;
}

// glibc leaves the definition of semctl's fourth argument to its callers.
union semun_arg {
    int val;
    semid_ds *buf;
    unsigned short *array;
};

}  // namespace

namespace smgr_detail {

smgr_device_table *attach_devices_bounded(int32_t *capacity, uid_t *owner)
{
    NameScope scope("attach_devices");
    *capacity = 0;
    *owner = 0;
    int shmid = get_device_shmid();
    if (shmid < 0) {
        logger(0, "%s:%d: Failed to get device shared memory id.\n", SMGR_SRC, __LINE__);
        return nullptr;
    }
    logger(3, "%s:%d: %s: devices shm_id = %d\n", SMGR_SRC, __LINE__, "attach_devices", shmid);
    void *addr = shmat(shmid, nullptr, 0);
    if (addr == reinterpret_cast<void *>(-1)) {
        logger(0, "%s:%d: %s: Failed to attach the devices shared memory segment with shm_id = %d\n",
               SMGR_SRC, __LINE__, "attach_devices", shmid);
        return nullptr;
    }
    shmid_ds ds{};
    if (shmctl(shmid, IPC_STAT, &ds) != 0 || ds.shm_segsz < sizeof(smgr_device_table)) {
        logger(0, "%s:%d: %s: devices segment shm_id = %d is unreadable or too small\n", SMGR_SRC,
               __LINE__, "attach_devices", shmid);
        logger(0, "%s:%d: %s: Failed to attach the devices shared memory segment with shm_id = %d\n",
               SMGR_SRC, __LINE__, "attach_devices", shmid);
        shmdt(addr);
        return nullptr;
    }
    size_t fit = (ds.shm_segsz - sizeof(smgr_device_table)) / sizeof(smgr_device);
    *capacity = fit > INT32_MAX ? INT32_MAX : static_cast<int32_t>(fit);
    *owner = ds.shm_perm.uid;
    return static_cast<smgr_device_table *>(addr);
}

int32_t device_count(const smgr_device_table *table, int32_t capacity)
{
    // Read once: the device monitor rewrites the list at its own pace.
    int32_t n = __atomic_load_n(&table->num_devices, __ATOMIC_ACQUIRE);
    if (n < 0)
        return 0;
    if (n > capacity) {
        logger(0, "%s:%d: num_devices = %d is more than the devices segment holds (%d)\n",
               SMGR_SRC, __LINE__, n, capacity);
        return capacity;
    }
    return n;
}

void set_device_wait_ms(int ms)
{
    g_device_wait_ms.store(ms > 0 ? ms : kDeviceWaitMs, std::memory_order_relaxed);
}

int accquire_listed_dev_sem(const smgr_device_table *table, int32_t capacity, uid_t owner,
                            int32_t device_no)
{
    NameScope scope("accquire_dev_entry_sem");
    logger(3, "%s:%d: %s: accquiring semaphore for device [%d]", SMGR_SRC, __LINE__,
           "accquire_dev_entry_sem", device_no);
    char buf[128];
    const char *why = nullptr;
    int semid = -1;
    semid_ds ds{};
    semun_arg arg{};
    arg.buf = &ds;
    // The key of a number that cannot be a device may well name a set of
    // some other program: it is not even looked up.
    if (device_no < 0 || device_no > UINT16_MAX) {
        why = "not a device number";
    } else if (device_to_index(SMGR_DEVICE_TABLE_ENTRIES(table), device_count(table, capacity),
                               device_no) < 0) {
        why = "not in the device table";
    } else if ((semid = get_device_semid(device_no)) < 0) {
        logger(0, "%s:%d: Failed to get semphore set id", SMGR_SRC, __LINE__);
        return -1;
    } else if (semctl(semid, 0, IPC_STAT, arg) != 0) {
        why = "its semaphore set cannot be inspected";
    } else if (ds.sem_perm.uid != owner) {
        std::snprintf(buf, sizeof buf, "its semaphore set is owned by uid %u, the device table by uid %u",
                      static_cast<unsigned>(ds.sem_perm.uid), static_cast<unsigned>(owner));
        why = buf;
    }
    if (why) {
        logger(0, "%s:%d: %s: refusing the semaphore set of device [%d]: %s\n", SMGR_SRC, __LINE__,
               "accquire_dev_entry_sem", device_no, why);
        return -1;
    }
    return take_device_sem(semid, device_no);
}

int wait_reservation_sem(int index, int timeout_s)
{
    NameScope scope("accquire_reservation_sem");
    int semid = get_reservation_semid();
    if (semid < 0) {
        logger(0, "%s:%d: Failed to get semphore set id", SMGR_SRC, __LINE__);
        return -1;
    }
    logger(3, "%s:%d: %s: accquiring %d semaphore, from semid=[%d]", SMGR_SRC, __LINE__,
           "accquire_reservation_sem", index, semid);
    sembuf op{};
    op.sem_num = static_cast<unsigned short>(index);
    op.sem_op = -1;
    op.sem_flg = 0;
    timespec ts{timeout_s, 0};
    if (semtimedop(semid, &op, 1, &ts) == 0)
        return 0;
    if (errno == EAGAIN || errno == EINTR)
        return 1;
    logger(0, "%s:%d: %s: Failed to accquire semphore %d.\n", SMGR_SRC, __LINE__,
           "accquire_reservation_sem", index);
    return -1;
}

int reservation_waiters(int index)
{
    int semid = get_reservation_semid();
    if (semid < 0)
        return -1;
    return semctl(semid, index, GETNCNT);
}

}  // namespace smgr_detail

extern "C" {

int get_reservation_shmid(void)
{
    NameScope scope(__func__);
    ErrText err;
    key_t key = ftok(SMGR_FTOK_PATH, SMGR_RESERVATION_PROJ);
    if (key == -1) {
        logger(0, "%s:%d: smgr:get_reservation_shmid ftok failed because: %s\n", SMGR_SRC, __LINE__,
               err(errno));
        return -1;
    }
    int id = shmget(key, kReservationShmAsk, SMGR_IPC_MODE);
    if (id < 0) {
        logger(0, "%s:%d: smgr:get_reservation_shmid:shmget failed because: %s (key = %d, buff = %s)\n",
               SMGR_SRC, __LINE__, err(errno), key, SMGR_FTOK_PATH);
        return -1;
    }
    return id;
}

int get_device_shmid(void)
{
    NameScope scope(__func__);
    ErrText err;
    key_t key = ftok(SMGR_FTOK_PATH, SMGR_DEVICE_PROJ);
    if (key == -1) {
        logger(0, "%s:%d: smgr:get_device_shmid ftok failed because: %s\n", SMGR_SRC, __LINE__,
               err(errno));
        return -1;
    }
    int id = shmget(key, kDeviceShmAsk, SMGR_IPC_MODE);
    if (id < 0) {
        logger(0, "%s:%d: smgr:get_device_shmid:shmget failed because: %s (key = %d, buff = %s)\n",
               SMGR_SRC, __LINE__, err(errno), key, SMGR_FTOK_PATH);
        return -1;
    }
    return id;
}

int get_reservation_semid(void)
{
    NameScope scope(__func__);
    ErrText err;
    key_t key = ftok(SMGR_FTOK_PATH, SMGR_RESERVATION_SEM_PROJ);
    if (key == -1) {
        logger(0, "%s:%d: smgr:get_reservetion_semid ftok failed because: %s\n", SMGR_SRC, __LINE__,
               err(errno));
        return -1;
    }
    int id = semget(key, SMGR_MAX_RESERVATIONS, SMGR_IPC_MODE);
    if (id < 0) {
        logger(0, "%s:%d: smgr:get_reservation_semid:semget failed because: %s (key = %d, buff = %s)\n",
               SMGR_SRC, __LINE__, err(errno), key, SMGR_FTOK_PATH);
        return -1;
    }
    return id;
}

int get_device_semid(int32_t device_no)
{
    NameScope scope(__func__);
    key_t key = static_cast<key_t>(static_cast<uint32_t>(device_no) | SMGR_DEVICE_SEM_KEY);
    int id = semget(key, 1, SMGR_IPC_MODE);
    if (id < 0) {
        logger(0, "%s:%d: Failed to get device semphore set id (key = %d, device_no = %d)\n",
               SMGR_SRC, __LINE__, key, device_no);
        return -1;
    }
    return id;
}

smgr_reservation *attach_reservations(void)
{
    NameScope scope(__func__);
    int shmid = get_reservation_shmid();
    if (shmid < 0) {
        logger(0, "%s:%d: Failed to get reservation shared memory id.\n", SMGR_SRC, __LINE__);
        return nullptr;
    }
    logger(3, "%s:%d: %s: reservation shm_id = %d\n", SMGR_SRC, __LINE__, __func__, shmid);
    void *addr = shmat(shmid, nullptr, 0);
    if (addr == reinterpret_cast<void *>(-1)) {
        logger(0, "%s:%d: Failed to attach the reservation shared memory segment with shm_id = %d\n",
               SMGR_SRC, __LINE__, shmid);
        return nullptr;
    }
    // shmget only asked for 512 bytes; the scans cover all 512 entries.
    shmid_ds ds{};
    if (shmctl(shmid, IPC_STAT, &ds) != 0 || ds.shm_segsz < smgr_detail::kReservationTableBytes) {
        logger(0, "%s:%d: %s: reservation segment shm_id = %d is unreadable or smaller than %zu bytes\n",
               SMGR_SRC, __LINE__, __func__, shmid, smgr_detail::kReservationTableBytes);
        logger(0, "%s:%d: Failed to attach the reservation shared memory segment with shm_id = %d\n",
               SMGR_SRC, __LINE__, shmid);
        shmdt(addr);
        return nullptr;
    }
    return static_cast<smgr_reservation *>(addr);
}

int deattach_reservations(smgr_reservation *reservations)
{
    NameScope scope(__func__);
    if (!reservations) {
        logger(0, "%s:%d: Failed to de-attach the reservation shared memeory segment\n", SMGR_SRC,
               __LINE__);
        return 0;
    }
    if (shmdt(reservations) != 0) {
        logger(0, "%s:%d: Failed to de-attach the reservation shared memeory segment\n", SMGR_SRC,
               __LINE__);
        return -1;
    }
    return 0;
}

smgr_device_table *attach_devices(void)
{
    int32_t capacity;
    uid_t owner;
    return smgr_detail::attach_devices_bounded(&capacity, &owner);
}

int deattach_devices(smgr_device_table *devices)
{
    NameScope scope(__func__);
    if (!devices) {
        logger(0, "%s:%d: %s: Failed to de-attach the devices shared memeory: NULL segment\n", SMGR_SRC,
               __LINE__, __func__);
        return 0;
    }
    if (shmdt(devices) != 0) {
        ErrText err;
        logger(0, "%s:%d: %s: Failed to de-attach the devices shared memeory segment:%s\n", SMGR_SRC,
               __LINE__, __func__, err(errno));
        return -1;
    }
    return 0;
}

int key_to_index(const smgr_reservation *reservations, int32_t key)
{
    NameScope scope(__func__);
    if (!reservations) {
        logger(0, "%s:%d: %s: NULL pointer received.", SMGR_SRC, __LINE__, __func__);
        return -1;
    }
    int found = -1;
    for (int i = 0; i < SMGR_MAX_RESERVATIONS; ++i) {
        const smgr_reservation *e = &reservations[i];
        int32_t k = smgr_detail::load_key(e);
        int32_t used = smgr_detail::load_used(e);
        logger(4, "%s:%d: %s: entry[%d] .reservation_key = %d, .used = %d\n", SMGR_SRC, __LINE__,
               __func__, i, k, used);
        if (k == key && used == 1) {
            found = i;
            break;
        }
    }
    logger(3, "%s:%d: %s: returns %d\n", SMGR_SRC, __LINE__, __func__, found);
    return found;
}

int device_to_index(const smgr_device *devices, int32_t num_devices, int32_t device_no)
{
    NameScope scope(__func__);
    if (!devices) {
        logger(0, "%s:%d: %s: NULL pointer received.", SMGR_SRC, __LINE__, __func__);
        return -1;
    }
    int found = -1;
    for (int32_t i = 0; i < num_devices; ++i) {
        // Compared as numbers, so device 65537 never matches entry 1.
        int32_t id = devices[i].device_id;
        logger(4, "%s:%d: %s: entry[%d] .device_id = %d\n", SMGR_SRC, __LINE__, __func__, i, id);
        if (id == device_no) {
            found = i;
            break;
        }
    }
    logger(3, "%s:%d: %s: returns %d\n", SMGR_SRC, __LINE__, __func__, found);
    return found;
}

int get_free_index(const smgr_reservation *reservations)
{
    NameScope scope(__func__);
    if (!reservations) {
        logger(0, "%s:%d: %s: NULL pointer received.", SMGR_SRC, __LINE__, __func__);
        return -1;
    }
    for (int i = 0; i < SMGR_MAX_RESERVATIONS; ++i) {
        if (smgr_detail::load_used(&reservations[i]) == 0) {
            logger(3, "%s:%d: %s: Index [%d] available for use.", SMGR_SRC, __LINE__, __func__, i);
            return i;
        }
    }
    return -1;
}

int sem_accquire(int semid, int semnum)
{
    NameScope scope(__func__);
    logger(3, "%s:%d: %s: accquiring %d semaphore, from semid=[%d]", SMGR_SRC, __LINE__, __func__,
           semnum, semid);
    if (semaphore_op(semid, semnum, -1, 0, 0) != 0) {
        logger(0, "%s:%d: %s: Failed to accquire semphore %d.\n", SMGR_SRC, __LINE__, __func__, semnum);
        return -1;
    }
    return 0;
}

int sem_release(int semid, int semnum)
{
    NameScope scope(__func__);
    logger(3, "%s:%d: %s: releasing accquiring %d semaphore, from semid=[%d]", SMGR_SRC, __LINE__,
           __func__, semnum, semid);
    if (semaphore_op(semid, semnum, 1, 0, 0) != 0) {
        logger(0, "%s:%d: %s: Failed to release semphore %d.\n", SMGR_SRC, __LINE__, __func__, semnum);
        return -1;
    }
    return 0;
}

int accquire_dev_entry_sem(int32_t device_no)
{
    NameScope scope(__func__);
    logger(3, "%s:%d: %s: accquiring semaphore for device [%d]", SMGR_SRC, __LINE__, __func__,
           device_no);
    int semid = get_device_semid(device_no);
    if (semid < 0) {
        logger(0, "%s:%d: Failed to get semphore set id", SMGR_SRC, __LINE__);
        return -1;
    }
    return take_device_sem(semid, device_no);
}

int release_dev_entry_sem(int32_t device_no)
{
    NameScope scope(__func__);
    logger(3, "%s:%d: %s: releasing semaphore for device [%d]", SMGR_SRC, __LINE__, __func__,
           device_no);
    int semid = get_device_semid(device_no);
    if (semid < 0) {
        logger(0, "%s:%d: Failed to get semphore set id", SMGR_SRC, __LINE__);
        return -1;
    }
    return give_device_sem(semid);
}

int accquire_reservation_sem(int index)
{
    NameScope scope(__func__);
    int semid = get_reservation_semid();
    if (semid < 0) {
        logger(0, "%s:%d: Failed to get semphore set id", SMGR_SRC, __LINE__);
        return -1;
    }
    return sem_accquire(semid, index);
}

int release_reservation_sem(int index)
{
    NameScope scope(__func__);
    logger(3, "%s:%d: %s: releasing semaphore for index [%d]", SMGR_SRC, __LINE__, __func__, index);
    int semid = get_reservation_semid();
    if (semid < 0) {
        logger(0, "%s:%d: Failed to get semphore set id", SMGR_SRC, __LINE__);
        return -1;
    }
    return sem_release(semid, index);
}

const char *smgr_error(int code)
{
    NameScope scope(__func__);
    // Compared, not negated: -INT_MIN does not exist.
    if (code >= 0)
        return err_str[0];
    if (code < -11)
        return err_str[12];
    return err_str[-code];
}

}  // extern "C"
