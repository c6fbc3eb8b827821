// In-process costs of the sensor group against a BMC (bench/sensor_bench.sh
// starts the simulated one and fills its SEL):
//
//   sensor_bench HOST USER PASSWORD WORKAROUND RUNS
//
// Prints the median of RUNS timings of: one event log rebuild (get_sel_all
// over every entry; also per entry), one refresh pass with an unchanged
// entry count (discover_sensors: a Get Sensor Reading per full record and
// one Get SEL Info) beside the Get SEL Info alone, which was all a pass
// asked before it read the sensors, so the difference is the readings'
// cost per pass; the readings a pass takes, counted from its traces; one
// reading refresh (update_sensor_reading: one Get Sensor Reading) and the
// SDR walk's parts measured once at start.
#include "agent/agent.h"
#include "groups/ipmiGroup.h"

#include "agent/salog.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

template <typename F>
double median_us(int runs, F &&once)
{
    std::vector<double> times;
    for (int i = 0; i < runs; i++) {
        auto start = Clock::now();
        once();
        times.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

// Get Sensor Reading commands of one refresh pass, counted from the pass's
// per-reading traces (a verbose log of its own, removed after).
int readings_per_pass()
{
    char path[] = "/tmp/sensor-bench-log.XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0)
        return -1;
    close(fd);
    sa_log_set_file(path);
    g_verbose = 4;
    discover_sensors();
    g_verbose = 0;
    sa_log_set_file("/dev/null");
    std::ifstream in(path);
    std::string line;
    int n = 0;
    while (std::getline(in, line))
        if (line.find("discover_sensors: sensor[") != std::string::npos)
            n++;
    unlink(path);
    return n;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 6) {
        std::fprintf(stderr, "usage: %s HOST USER PASSWORD WORKAROUND RUNS\n", argv[0]);
        return 2;
    }
    int runs = std::atoi(argv[5]);
    std::snprintf(g_log_file, sizeof g_log_file, "%s", "/dev/null");
    g_verbose = 0;
    bmc::set_connection(argv[1], argv[2], argv[3], argv[4]);

    if (ipmi_support() != 0) {
        std::fprintf(stderr, "sensor_bench: no BMC at %s\n", argv[1]);
        return 1;
    }
    g_ipmi_intf_found = 1;
    auto start = Clock::now();
    discover_sensors();
    double first_us = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
    int entries = 0;
    if (get_sel_info(&entries) != 0 || entries < 1) {
        std::fprintf(stderr, "sensor_bench: the SEL is empty or unreadable\n");
        return 1;
    }
    std::shared_ptr<const sensor_tables> sensors = g_sensors.now();
    std::printf("first discovery (SDR cache of %d records, %d readings, SEL of %d): %.0f us\n",
                static_cast<int>(sensors->rows.size()),
                get_fan_instances() + get_temperature_instances() + get_voltage_instances(),
                entries, first_us);

    double rebuild = median_us(runs, [&] { get_sel_all(entries); });
    std::printf("event log rebuild, %d entries: %.0f us, %.1f us per entry\n", entries, rebuild,
                rebuild / entries);
    double refresh = median_us(runs, [] { discover_sensors(); });
    double sel_info = median_us(runs, [] {
        int count;
        get_sel_info(&count);
    });
    int readings = readings_per_pass();
    std::printf("refresh pass with an unchanged count (%d Get Sensor Reading, 1 Get SEL Info): "
                "%.0f us\n",
                readings, refresh);
    std::printf("the same without the readings (Get SEL Info alone): %.0f us\n", sel_info);
    std::printf("the readings' cost per pass: %.0f us, %.1f us per reading\n", refresh - sel_info,
                readings > 0 ? (refresh - sel_info) / readings : 0.0);
    double reading = median_us(runs, [] { update_sensor_reading(2); });
    std::printf("one reading (Get Sensor Reading and conversion): %.0f us\n", reading);
    double cached = median_us(runs, [&] {
        unsigned char sdr[bmc::kSdrMax];
        bmc::find_sdr_by_id(sdr, sensors->sdrlist.get(), 13);
        bmc::RawToFloat(sdr[36], sdr);
    });
    std::printf("record lookup and conversion, no IPMI: %.2f us\n", cached);
    sensors.reset();
    close_sensors();
    return 0;
}
