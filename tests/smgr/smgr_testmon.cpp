// The test device monitor as a command, for tests and benchmarks that run
// other programs against the store:
//   smgr_testmon create ID:NAME:FREE_BYTES ...   create the objects, leave them
//   smgr_testmon show                             device totals and used entries
//   smgr_testmon remove                           remove them
// Only inside a private IPC namespace with /usr/kx on a tmpfs.
#include "testmon.h"

#include <sys/shm.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

namespace {

int usage()
{
    std::fprintf(stderr, "usage: smgr_testmon create ID:NAME:FREE_BYTES... | show | remove\n");
    return 2;
}

bool parse_device(const char *arg, testmon::Device *d)
{
    const char *c1 = std::strchr(arg, ':');
    const char *c2 = c1 ? std::strchr(c1 + 1, ':') : nullptr;
    if (!c1 || !c2)
        return false;
    char *end;
    long id = std::strtol(arg, &end, 10);
    if (end != c1 || id < 0 || id > 65535)
        return false;
    unsigned long long free_space = std::strtoull(c2 + 1, &end, 10);
    if (*end != '\0' || end == c2 + 1)
        return false;
    d->id = static_cast<int32_t>(id);
    d->name.assign(c1 + 1, c2);
    d->free_space = free_space;
    return true;
}

int show()
{
    // Through smgr's own attach, read-only use.
    smgr_reservation *resv = attach_reservations();
    smgr_device_table *table = attach_devices();
    if (!resv || !table) {
        std::fprintf(stderr, "smgr_testmon: the store does not exist\n");
        return 1;
    }
    int used = 0;
    for (int i = 0; i < SMGR_MAX_RESERVATIONS; ++i)
        used += resv[i].used == 1;
    std::printf("used_entries %d\n", used);
    const smgr_device *entries = SMGR_DEVICE_TABLE_ENTRIES(table);
    for (int32_t i = 0; i < table->num_devices; ++i)
        std::printf("device %d free_space %" PRIu64 " reserve_space %" PRIu64
                    " avail_space %" PRIu64 "\n",
                    entries[i].device_id, static_cast<uint64_t>(entries[i].free_space),
                    static_cast<uint64_t>(entries[i].reserve_space),
                    static_cast<uint64_t>(entries[i].avail_space));
    deattach_reservations(resv);
    deattach_devices(table);
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 2)
        return usage();
    std::string cmd = argv[1];
    try {
        if (cmd == "create") {
            std::vector<testmon::Device> devices;
            for (int i = 2; i < argc; ++i) {
                testmon::Device d;
                if (!parse_device(argv[i], &d)) {
                    std::fprintf(stderr, "smgr_testmon: bad device '%s'\n", argv[i]);
                    return 2;
                }
                devices.push_back(d);
            }
            testmon::Monitor monitor(devices);
            monitor.leave_in_place();
            return 0;
        }
        if (cmd == "remove") {
            std::string error;
            if (testmon::remove_all(&error) != 0) {
                std::fprintf(stderr, "smgr_testmon: %s\n", error.c_str());
                return 1;
            }
            return 0;
        }
        if (cmd == "show" && argc == 2) {
            std::string problem = testmon::isolation_problem();
            if (!problem.empty()) {
                std::fprintf(stderr, "smgr_testmon: %s\n", problem.c_str());
                return 1;
            }
            return show();
        }
    } catch (const std::exception &e) {
        std::fprintf(stderr, "smgr_testmon: %s\n", e.what());
        return 1;
    }
    return usage();
}
