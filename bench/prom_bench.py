#!/usr/bin/python3
"""Cost of one Prometheus scrape of the whole "corvantis" module.

Starts the rig of tests/prometheus (a throwaway PostgreSQL with the test
database, an snmpd master on loopback, the simulated BMC on 127.0.0.1:623 in
a private network namespace with the agent beside it, the disk report
fixture) and prometheus-snmp-exporter with contrib/prometheus/snmp.yml, then
times RUNS scrapes of the agent through snmpd (after WARM_UP): the median and
90th percentile wall time of the HTTP request, the varbinds the exporter
received (its snmp_scrape_pdus_returned) and the series it made, the wall
time per varbind, and the CPU time per scrape of the agent (its threads and
the commands it runs), snmpd, ipmi_sim and the exporter.  Needs root, a
built agent (CORVANTIS_BINARY, default build/corvantis-snmp) and
prometheus-snmp-exporter.

    bench/prom_bench.py [RUNS]
"""
import contextlib
import os
import statistics
import sys
import time
import types

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "prometheus"))
import rig  # noqa: E402
from mgt_bench import children_cpu_ns, task_cpu_ns  # noqa: E402
from test_prometheus import ANCHORS, SNMP_YML, Exporter, agent_files, parse_exposition  # noqa: E402

WARM_UP = 2


def main():
    runs = int(sys.argv[1]) if len(sys.argv) > 1 else 20
    if os.geteuid() != 0:
        sys.exit("prom_bench: run as root (network and mount namespaces)")
    with contextlib.ExitStack() as stack:
        # The scrape test's servers; no -v: requests handled as in production.
        s = rig.servers(types.SimpleNamespace(), cleanup=stack.callback, bmc=True, agent=[], files=agent_files(),
                        served=ANCHORS)
        agent, snmpd, bmc = s.agent, s.snmpd, s.bmc
        stack.callback(agent.terminate)
        exporter = Exporter(SNMP_YML)
        stack.callback(exporter.close)

        def cpu():
            return (task_cpu_ns(agent.pid), children_cpu_ns(agent.pid), task_cpu_ns(snmpd.pid),
                    task_cpu_ns(bmc.pid), task_cpu_ns(exporter.proc.pid))

        for _ in range(WARM_UP):
            exporter.scrape(snmpd.target)
        times, varbinds, series = [], set(), set()
        before = cpu()
        for _ in range(runs):
            start = time.perf_counter_ns()
            text = exporter.scrape(snmpd.target)
            times.append(time.perf_counter_ns() - start)
            samples = parse_exposition(text)
            varbinds.update(int(v) for name, _labels, v in samples if name == "snmp_scrape_pdus_returned")
            series.add(sum(1 for name, _labels, _v in samples if not name.startswith("snmp_")))
        after = cpu()
        times.sort()
        median, p90 = statistics.median(times) / 1e6, times[int(len(times) * 0.9) - 1] / 1e6
        per_scrape = [(b - a) / runs / 1e6 for a, b in zip(before, after)]

        print("prom_bench: %d CPUs; %d scrapes of module corvantis after %d warm-up" % (
            os.cpu_count(), runs, WARM_UP))
        print("  varbinds per scrape %s, series %s" % (
            "/".join(map(str, sorted(varbinds))), "/".join(map(str, sorted(series)))))
        print("  wall time per scrape (ms): median %.1f, p90 %.1f; per varbind (us): median %.0f" % (
            median, p90, median * 1000 / max(varbinds)))
        print("  CPU per scrape (ms): agent %.2f, its commands %.2f, snmpd %.2f, ipmi_sim %.2f, exporter %.2f"
              % tuple(per_scrape))


if __name__ == "__main__":
    main()
