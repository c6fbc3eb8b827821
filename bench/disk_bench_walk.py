#!/usr/bin/python3
"""Full walk of the disk group (.1.3.6.1.4.1.47391.1.5) through AgentX.

Starts a throwaway PostgreSQL, an snmpd master and the agent (the rig of
tests/e2e) with a 48-disk, 8-volume report at "/var/tmp/disk_mon.out", then
times snmpwalk (GETNEXT) and snmpbulkwalk of the group, minus the cost of a
client process that walks an empty subtree.  Needs root and a built agent
(CORVANTIS_BINARY, default build/corvantis-snmp).

    bench/disk_bench_walk.py [RUNS]
"""
import os
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
import rig  # noqa: E402

DISK = ".1.3.6.1.4.1.47391.1.5"
EMPTY = ".1.3.6.1.4.1.47391.1.9"


def report(disks=48, volumes=8):
    lines = ["==== Script Version: 20140711 ====", "====  BAY#  Status  Device"]
    for i in range(disks):
        lines.append("BAY%02d  o  %d sd%s%s %d (C) %d hrs 0 0 pend 0 realloc WDC WD40EFRX-68N32N0 "
                     "WD-WCC7K%07d 82.00A82 4.00 TB" % (i + 1, i + 1, chr(97 + i // 26), chr(97 + i % 26),
                                                      30 + i % 10, 20000 + i, i))
    lines.append("=" * 10)
    for i in range(volumes):
        lines.append("RAID6 md%d (sda%d sdb%d) ++++ OK" % (i, i, i))
    lines.append("=" * 10)
    return "\n".join(lines) + "\n"


def timed(tool, target, oid, runs):
    env = rig._client_env()
    cmd = [tool, "-v2c", "-c", "public", "-On", "-t", "5", "-r", "0", target, oid]
    times, count = [], 0
    for _ in range(runs):
        start = time.perf_counter()
        p = subprocess.run(cmd, env=env, capture_output=True, text=True, check=True)
        times.append(time.perf_counter() - start)
        count = len([l for l in p.stdout.splitlines() if l.startswith(".")])
    return statistics.median(times), count


def main():
    runs = int(sys.argv[1]) if len(sys.argv) > 1 else 20
    pg = rig.Pg("kxext/schema.sql", "tests/fixtures/kxdb_fixture.sql")
    snmpd = rig.Snmpd()
    agent = rig.Agent(["-f", "-x", snmpd.agentx], files={"/var/tmp/disk_mon.out": report()},
                      conninfo=pg.conninfo)
    try:
        agent.start()
        ready = rig.wait_for(lambda: snmpd.get(DISK + ".10.1.0").values().get(DISK + ".10.1.0") == "INTEGER: 48", 30)
        if not ready:
            sys.exit("agent does not serve 48 disks:" + rig.describe(agent))
        base, _ = timed("snmpwalk", snmpd.target, EMPTY, runs)
        print("disk_bench_walk: %d CPUs, median of %d runs, client start-up %.1f ms subtracted"
              % (os.cpu_count(), runs, base * 1000))
        for tool in ("snmpwalk", "snmpbulkwalk"):
            t, n = timed(tool, snmpd.target, DISK, runs)
            print("  %-12s %d varbinds: %7.1f ms per walk, %6.1f us per varbind"
                  % (tool, n, (t - base) * 1000, (t - base) / n * 1e6))
    finally:
        agent.terminate()
        agent.close()
        snmpd.close()
        pg.close()


if __name__ == "__main__":
    main()
