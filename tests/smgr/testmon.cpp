#include "testmon.h"

#include <linux/magic.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace testmon {

namespace {

std::string errno_text(const std::string &what)
{
    return what + ": " + std::strerror(errno);
}

key_t key_of(int proj)
{
    key_t key = ftok(SMGR_FTOK_PATH, proj);
    if (key == -1)
        throw std::runtime_error(errno_text(std::string("ftok ") + SMGR_FTOK_PATH));
    return key;
}

key_t device_key(int32_t id)
{
    return static_cast<key_t>(static_cast<uint32_t>(id) | SMGR_DEVICE_SEM_KEY);
}

std::string ns_link(const char *path)
{
    char buf[64];
    ssize_t n = readlink(path, buf, sizeof buf - 1);
    if (n < 0)
        return {};
    buf[n] = '\0';
    return buf;
}

}  // namespace

std::string isolation_problem()
{
    // smgr_ns.sh names the IPC namespace it left; /proc/1 may not be
    // readable, so that is what this one is compared with.
    const char *outer = std::getenv("SMGR_OUTER_IPC_NS");
    std::string self = ns_link("/proc/self/ns/ipc");
    if (!outer || !*outer)
        return "SMGR_OUTER_IPC_NS is not set (run through tests/smgr/smgr_ns.sh)";
    if (self.empty())
        return "cannot read /proc/self/ns/ipc";
    if (self == outer)
        return "not in a private IPC namespace (run through tests/smgr/smgr_ns.sh)";
    struct statfs fs {};
    if (statfs("/usr/kx", &fs) != 0 || fs.f_type != TMPFS_MAGIC)
        return "/usr/kx is not a private tmpfs (run through tests/smgr/smgr_ns.sh)";
    return {};
}

Monitor::Monitor(const std::vector<Device> &devices, const Options &options) : devices_(devices)
{
    std::string problem = isolation_problem();
    if (!problem.empty())
        throw std::runtime_error("test device monitor refuses to run: " + problem);
    try {
        const int flags = IPC_CREAT | IPC_EXCL | SMGR_IPC_MODE;
        resv_shmid_ = shmget(key_of(SMGR_RESERVATION_PROJ), options.reservation_bytes, flags);
        if (resv_shmid_ < 0)
            throw std::runtime_error(errno_text("shmget reservations"));
        void *addr = shmat(resv_shmid_, nullptr, 0);
        if (addr == reinterpret_cast<void *>(-1))
            throw std::runtime_error(errno_text("shmat reservations"));
        resv_ = static_cast<smgr_reservation *>(addr);
        std::memset(resv_, 0, options.reservation_bytes);

        std::vector<const Device *> listed;
        for (const Device &d : devices)
            if (d.listed)
                listed.push_back(&d);
        entries_ = static_cast<int32_t>(listed.size());
        size_t dev_bytes = std::max<size_t>(32, sizeof(smgr_device_table) +
                                                    listed.size() * sizeof(smgr_device));
        dev_shmid_ = shmget(key_of(SMGR_DEVICE_PROJ), dev_bytes, flags);
        if (dev_shmid_ < 0)
            throw std::runtime_error(errno_text("shmget devices"));
        addr = shmat(dev_shmid_, nullptr, 0);
        if (addr == reinterpret_cast<void *>(-1))
            throw std::runtime_error(errno_text("shmat devices"));
        table_ = static_cast<smgr_device_table *>(addr);
        std::memset(table_, 0, dev_bytes);
        table_->monitor_word = kMonitorWord;
        table_->num_devices = options.num_devices >= 0 ? options.num_devices : entries_;
        smgr_device *entries = SMGR_DEVICE_TABLE_ENTRIES(table_);
        for (size_t i = 0; i < listed.size(); ++i) {
            smgr_device &d = entries[i];
            d.device_id = static_cast<uint16_t>(listed[i]->id);
            std::memset(d.device_name, 0, sizeof d.device_name);
            std::memcpy(d.device_name, listed[i]->name.data(),
                        std::min(listed[i]->name.size(), sizeof d.device_name - 1));
            d.free_space = listed[i]->free_space;
            std::memset(d.monitor_44, kMonitorByte, sizeof d.monitor_44);
            std::memset(d.monitor_72, kMonitorByte, sizeof d.monitor_72);
        }

        resv_semid_ = semget(key_of(SMGR_RESERVATION_SEM_PROJ), SMGR_MAX_RESERVATIONS, flags);
        if (resv_semid_ < 0)
            throw std::runtime_error(errno_text("semget reservations"));
        std::vector<unsigned short> zeros(SMGR_MAX_RESERVATIONS, 0);
        if (semctl(resv_semid_, 0, SETALL, zeros.data()) != 0)
            throw std::runtime_error(errno_text("semctl SETALL"));

        for (const Device &d : devices) {
            if (!d.semaphore) {
                dev_semids_.push_back(-1);
                continue;
            }
            int id = semget(device_key(d.id), 1, flags);
            if (id < 0)
                throw std::runtime_error(errno_text("semget device " + std::to_string(d.id)));
            dev_semids_.push_back(id);
            if (semctl(id, 0, SETVAL, 1) != 0)
                throw std::runtime_error(errno_text("semctl SETVAL"));
        }
    } catch (...) {
        std::string ignored;
        if (resv_)
            shmdt(resv_);
        if (table_)
            shmdt(table_);
        remove_all(&ignored);
        throw;
    }
}

Monitor::~Monitor()
{
    if (resv_)
        shmdt(resv_);
    if (table_)
        shmdt(table_);
    if (resv_shmid_ >= 0)
        shmctl(resv_shmid_, IPC_RMID, nullptr);
    if (dev_shmid_ >= 0)
        shmctl(dev_shmid_, IPC_RMID, nullptr);
    if (resv_semid_ >= 0)
        semctl(resv_semid_, 0, IPC_RMID);
    for (int id : dev_semids_)
        if (id >= 0)
            semctl(id, 0, IPC_RMID);
}

void Monitor::leave_in_place()
{
    resv_shmid_ = dev_shmid_ = resv_semid_ = -1;
    dev_semids_.assign(dev_semids_.size(), -1);
}

smgr_device *Monitor::device(int32_t id) const
{
    smgr_device *entries = SMGR_DEVICE_TABLE_ENTRIES(table_);
    for (int32_t i = 0; i < entries_; ++i)
        if (entries[i].device_id == id)
            return &entries[i];
    return nullptr;
}

void Monitor::set_free_space(int32_t id, uint64_t bytes)
{
    smgr_device *d = device(id);
    if (!d)
        throw std::runtime_error("no device " + std::to_string(id));
    d->free_space = bytes;
}

int Monitor::device_semid(int32_t id) const
{
    for (size_t i = 0; i < devices_.size(); ++i)
        if (devices_[i].id == id)
            return dev_semids_[i];
    return -1;
}

int Monitor::device_semval(int32_t id) const
{
    int semid = device_semid(id);
    return semid < 0 ? -1 : semctl(semid, 0, GETVAL);
}

int Monitor::device_waiters(int32_t id) const
{
    int semid = device_semid(id);
    return semid < 0 ? -1 : semctl(semid, 0, GETNCNT);
}

int Monitor::reservation_semval(int index) const
{
    return semctl(resv_semid_, index, GETVAL);
}

int Monitor::reservation_waiters(int index) const
{
    return semctl(resv_semid_, index, GETNCNT);
}

bool Monitor::monitor_bytes_intact() const
{
    if (table_->monitor_word != kMonitorWord)
        return false;
    const smgr_device *entries = SMGR_DEVICE_TABLE_ENTRIES(table_);
    for (int32_t i = 0; i < entries_; ++i) {
        for (uint8_t b : entries[i].monitor_44)
            if (b != kMonitorByte)
                return false;
        for (uint8_t b : entries[i].monitor_72)
            if (b != kMonitorByte)
                return false;
    }
    return true;
}

int Monitor::used_entries() const
{
    int n = 0;
    for (int i = 0; i < SMGR_MAX_RESERVATIONS; ++i)
        n += resv_[i].used == 1;
    return n;
}

int remove_all(std::string *error)
{
    std::string problem = isolation_problem();
    if (!problem.empty()) {
        *error = "test device monitor refuses to run: " + problem;
        return -1;
    }
    key_t rkey = ftok(SMGR_FTOK_PATH, SMGR_RESERVATION_PROJ);
    key_t dkey = ftok(SMGR_FTOK_PATH, SMGR_DEVICE_PROJ);
    key_t skey = ftok(SMGR_FTOK_PATH, SMGR_RESERVATION_SEM_PROJ);
    if (rkey == -1 || dkey == -1 || skey == -1) {
        *error = errno_text(std::string("ftok ") + SMGR_FTOK_PATH);
        return -1;
    }
    int id = shmget(dkey, 0, 0);
    if (id >= 0) {
        shmid_ds ds{};
        void *addr = shmat(id, nullptr, SHM_RDONLY);
        if (addr != reinterpret_cast<void *>(-1) && shmctl(id, IPC_STAT, &ds) == 0) {
            auto *table = static_cast<smgr_device_table *>(addr);
            size_t fit = (ds.shm_segsz - sizeof(smgr_device_table)) / sizeof(smgr_device);
            size_t n = std::min<size_t>(fit, static_cast<size_t>(std::max(table->num_devices, 0)));
            for (size_t i = 0; i < n; ++i) {
                int sem = semget(device_key(SMGR_DEVICE_TABLE_ENTRIES(table)[i].device_id), 0, 0);
                if (sem >= 0)
                    semctl(sem, 0, IPC_RMID);
            }
        }
        if (addr != reinterpret_cast<void *>(-1))
            shmdt(addr);
        shmctl(id, IPC_RMID, nullptr);
    }
    if ((id = shmget(rkey, 0, 0)) >= 0)
        shmctl(id, IPC_RMID, nullptr);
    if ((id = semget(skey, 0, 0)) >= 0)
        semctl(id, 0, IPC_RMID);
    return 0;
}

}  // namespace testmon
