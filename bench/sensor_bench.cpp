// In-process costs of the sensor group against a BMC (bench/sensor_bench.sh
// starts the simulated one and fills its SEL):
//
//   sensor_bench HOST USER PASSWORD WORKAROUND RUNS
//
// Prints the median of RUNS timings of: one event log rebuild (get_sel_all
// over every entry; also per entry), one refresh with an unchanged entry
// count (discover_sensors: one Get SEL Info), one reading refresh
// (update_sensor_reading: one Get Sensor Reading) and the SDR walk's parts
// measured once at start.
#include "agent/agent.h"
#include "groups/ipmiGroup.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
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
    std::printf("refresh with an unchanged count (Get SEL Info): %.0f us\n", refresh);
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
