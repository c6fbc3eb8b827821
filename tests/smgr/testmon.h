// A stand-in for the appliance's device monitor: creates the System V
// objects it owns (reservation segment, device segment, the reservation
// semaphore set and one semaphore set per device), plays its part (free
// space, the device list) and removes them again.
//
// It creates and removes IPC objects by the keys the real monitor uses, so
// it refuses to work outside a private IPC namespace with /usr/kx on a tmpfs
// (tests/smgr/smgr_ns.sh sets both up).
#ifndef TESTS_SMGR_TESTMON_H
#define TESTS_SMGR_TESTMON_H

#include "smgr/smgr.h"

#include <cstdint>
#include <string>
#include <vector>

namespace testmon {

// Filled into the bytes of the device table that belong to the monitor, so
// tests can tell that smgr never writes them.
constexpr uint8_t kMonitorByte = 0xA5;
constexpr int32_t kMonitorWord = 0x5A5A5A5A;

struct Device {
    int32_t id = 0;  // stored as the 16-bit device_id
    std::string name;
    uint64_t free_space = 0;
    bool semaphore = true;  // create the device's semaphore set (value 1)
    bool listed = true;     // an entry in the device table
};

struct Options {
    // Size of the reservation segment (the real one holds 512 entries).
    size_t reservation_bytes = SMGR_MAX_RESERVATIONS * sizeof(smgr_reservation);
    // num_devices written to the header; -1: the number of devices.
    int32_t num_devices = -1;
};

// Empty when this process may create and remove the monitor's objects,
// else why not.
std::string isolation_problem();

class Monitor {
public:
    explicit Monitor(const std::vector<Device> &devices, const Options &options = {});
    ~Monitor();
    Monitor(const Monitor &) = delete;
    Monitor &operator=(const Monitor &) = delete;

    smgr_reservation *reservations() const { return resv_; }
    smgr_reservation &entry(int index) const { return resv_[index]; }
    smgr_device_table *table() const { return table_; }
    // The entry of a device, or null.
    smgr_device *device(int32_t id) const;
    void set_free_space(int32_t id, uint64_t bytes);

    int device_semid(int32_t id) const;
    int device_semval(int32_t id) const;
    int device_waiters(int32_t id) const;
    int reservation_semid() const { return resv_semid_; }
    int reservation_semval(int index) const;
    int reservation_waiters(int index) const;

    // True while the header word and bytes 44..55 and 72..79 of every entry
    // hold what the monitor wrote.
    bool monitor_bytes_intact() const;
    // Entries with used == 1.
    int used_entries() const;
    // Detaches without removing anything: the objects outlive this process.
    void leave_in_place();

private:
    std::vector<Device> devices_;
    int resv_shmid_ = -1;
    int dev_shmid_ = -1;
    int resv_semid_ = -1;
    std::vector<int> dev_semids_;
    smgr_reservation *resv_ = nullptr;
    smgr_device_table *table_ = nullptr;
    int32_t entries_ = 0;
};

// Removes whatever of the monitor's objects exists (device semaphore sets
// of the devices listed in the device segment included).  0, or -1.
int remove_all(std::string *error);

}  // namespace testmon

#endif
