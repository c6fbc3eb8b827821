// Time of one disk discovery pass on a 48-disk report: the two passes and
// the table swap from an open report, discover_disks reading
// "/var/tmp/disk_mon.out", and discover_disks running a script that prints
// the report.  The last two only inside the private mount namespace that
// disk_bench.sh sets up (--namespace).
#include "agent/agent.h"
#include "groups/diskGroup.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::string make_report(int disks, int volumes)
{
    std::string text = "==== Script Version: 20140711 ====\n"
                       "====  BAY#  Status  Device  Temp  Hours  Realloc  Seek  Pending  Model  "
                       "Serial  Firmware  Capacity\n";
    char line[256];
    for (int i = 0; i < disks; i++) {
        snprintf(line, sizeof line,
                 "BAY%02d  o  %d sd%c%c %d (C) %d hrs 0 0 pend 0 realloc WDC WD40EFRX-68N32N0 "
                 "WD-WCC7K%07d 82.00A82 4.00 TB\n",
                 i + 1, i + 1, 'a' + i / 26, 'a' + i % 26, 30 + i % 10, 20000 + i, i);
        text += line;
    }
    text += "==========\n";
    for (int i = 0; i < volumes; i++) {
        snprintf(line, sizeof line, "RAID6 md%d (sda%d sdb%d sdc%d sdd%d) ++++ OK\n", i, i, i, i, i);
        text += line;
    }
    return text + "==========\n";
}

template <typename F>
double median_us(int runs, F &&once)
{
    std::vector<double> times;
    for (int i = 0; i < runs; i++) {
        auto start = std::chrono::steady_clock::now();
        once(i);
        auto end = std::chrono::steady_clock::now();
        times.push_back(std::chrono::duration<double, std::micro>(end - start).count());
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

bool write_file(const char *path, const std::string &text)
{
    FILE *file = fopen(path, "w");
    if (!file)
        return false;
    fwrite(text.data(), 1, text.size(), file);
    return fclose(file) == 0;
}

} // namespace

int main(int argc, char **argv)
{
    bool in_namespace = argc > 1 && strcmp(argv[1], "--namespace") == 0;
    reset_settings();
    char log_dir[] = "/tmp/disk-bench.XXXXXX";
    if (!mkdtemp(log_dir))
        return 1;
    snprintf(g_log_file, sizeof g_log_file, "%s/agent.log", log_dir);

    const std::string report = make_report(48, 8), report47 = make_report(47, 8);
    std::string path = std::string(log_dir) + "/report";
    write_file(path.c_str(), report);
    std::string path47 = std::string(log_dir) + "/report47";
    write_file(path47.c_str(), report47);

    auto parse = [](const std::string &file) {
        FILE *f = fopen(file.c_str(), "r");
        parse_disk_report(f);
        fclose(f);
    };
    g_disk_intf_found = 1;
    g_disk_detail_level = 4;
    parse(path);
    printf("disk_bench: 48 disks, 8 volumes, %zu-byte report\n", report.size());
    printf("  parse + swap, same counts (records copied and rewritten): %8.1f us\n",
           median_us(2000, [&](int) { parse(path); }));
    printf("  parse + swap, counts changed (new tables):                %8.1f us\n",
           median_us(2000, [&](int i) { parse(i % 2 ? path : path47); }));

    if (in_namespace) {
        if (!write_file(DISK_MON_REPORT, report))
            return 1;
        printf("  discover_disks reading %s:              %8.1f us\n", DISK_MON_REPORT,
               median_us(500, [](int) { discover_disks(); }));
        remove(DISK_MON_REPORT);
        if (!write_file("/var/tmp/bench_report", report))
            return 1;
        printf("  discover_disks running %s/%s\n", DISK_SCRIPT_DIR, DISK_SCRIPT);
        printf("    (a sh script that cats the report):                      %8.1f us\n",
               median_us(200, [](int) { discover_disks(); }));
        printf("  tables after the last pass: %d disks, %d volumes\n", get_physdisk_instances(),
               get_volume_instances());
    }
    std::remove(g_log_file);
    std::remove(path.c_str());
    std::remove(path47.c_str());
    std::remove(log_dir);
    return 0;
}
