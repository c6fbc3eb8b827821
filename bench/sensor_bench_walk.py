#!/usr/bin/python3
"""Cost of the IPMI sensor group (.1.3.6.1.4.1.47391.1.4) through AgentX.

Starts PostgreSQL, snmpd, the simulated BMC (ipmi_sim on 127.0.0.1:623 in a
private network namespace, bmcrig.py) and the agent beside it, then times
with mgt_bench.py's in-process SNMPv2c client:

* one GET of a column served from memory (temperature name, status, a
  threshold, an event log line, a count) beside one GET of a reading
  column, which asks the BMC (one Get Sensor Reading);
* a whole walk of the group with GETNEXT and with GETBULK: 11 reading
  cells among its varbinds;

and prints the median and 90th percentile wall time per request, the cost
per varbind of the walks, and the CPU time per request of the agent, of
ipmi_sim and of snmpd.  Needs root and a built agent (CORVANTIS_BINARY,
default build/corvantis-snmp).

    bench/sensor_bench_walk.py [RUNS [WALKS]]
"""
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
import bmcrig  # noqa: E402
import rig  # noqa: E402
from mgt_bench import GETBULK, GETNEXT, Client, measure, task_cpu_ns  # noqa: E402

SENSORS = "1.3.6.1.4.1.47391.1.4"
BULK = 24


def walk(client, bulk):
    """Varbinds of the group, GETNEXT by GETNEXT or GETBULK of BULK."""
    found, oid = [], SENSORS
    while True:
        batch = client.call(GETBULK, oid, BULK) if bulk else client.call(GETNEXT, oid)
        for name, tag, value in batch:
            if not name.startswith(SENSORS + ".") or tag in (0x80, 0x81, 0x82):
                return found
            found.append((name, value))
            oid = name


def main():
    runs = int(sys.argv[1]) if len(sys.argv) > 1 else 200
    walks = int(sys.argv[2]) if len(sys.argv) > 2 else 30
    if os.geteuid() != 0:
        sys.exit("sensor_bench_walk: run as root (network and mount namespaces)")
    pg = rig.Pg("kxext/schema.sql", "tests/fixtures/kxdb_fixture.sql")
    netns = bmc = snmpd = agent = None
    try:
        netns = bmcrig.NetNs()
        bmc = bmcrig.Bmc(netns)
        snmpd = rig.Snmpd()
        # No -v: request handling as in production, without trace lines.
        agent = bmcrig.NsAgent(netns, ["-f", "-x", snmpd.agentx], conninfo=pg.conninfo,
                               files={rig.DEFAULT_CONFIG: bmc.agent_config()})
        agent.start()
        if not bmcrig.wait_served(snmpd.target, "." + SENSORS + ".20.2.1.3.1", 30):
            sys.exit("sensor_bench_walk: the sensor group is not served:" + rig.describe(agent))
        client = Client(snmpd.port)
        size = len(walk(client, False))

        def cpu(pid_list):
            return sum(task_cpu_ns(p) for p in pid_list)

        print("sensor_bench_walk: %d CPUs; median and p90 wall time per request (us) of %d GETs,"
              " %d walks; CPU per request (us) of the agent, ipmi_sim, snmpd" % (os.cpu_count(), runs, walks))
        print("  %-40s %9s %9s  %9s %9s %9s" % ("request", "median", "p90", "agent", "ipmi_sim", "snmpd"))
        t = SENSORS + ".20.2.1"
        cases = [
            ("GET temperatureProbeCount", lambda: client.call(0xA0, SENSORS + ".20.1.0"), runs),
            ("GET temperature name (memory)", lambda: client.get(t + ".3.1"), runs),
            ("GET temperature status (memory)", lambda: client.get(t + ".4.1"), runs),
            ("GET temperature upper critical (memory)", lambda: client.get(t + ".7.1"), runs),
            ("GET event log line (memory)", lambda: client.get(SENSORS + ".40.2.1.2.1"), runs),
            ("GET temperature reading (BMC)", lambda: client.get(t + ".6.1"), runs),
            ("walk GETNEXT (%d varbinds)" % size, lambda: walk(client, False), walks),
            ("walk GETBULK %d (%d varbinds)" % (BULK, size), lambda: walk(client, True), walks),
        ]
        for name, fn, n in cases:
            # measure() counts the agent's children's CPU too: ipmi_sim is
            # no child of it, so its CPU is read here.
            before = task_cpu_ns(bmc.pid)
            median, p90, (agent_cpu, _, snmpd_cpu) = measure(fn, n, agent.pid, snmpd.pid)
            sim_cpu = (task_cpu_ns(bmc.pid) - before) / (n + 10) / 1000
            print("  %-40s %9.0f %9.0f  %9.0f %9.0f %9.0f" % (name, median, p90, agent_cpu, sim_cpu, snmpd_cpu))
            if name.startswith("walk"):
                print("  %-40s %9.1f" % ("  per varbind", median / size))
    finally:
        for part in (agent, snmpd, bmc, netns):
            if part is not None:
                if part is agent:
                    agent.terminate()
                part.close()
        pg.close()


if __name__ == "__main__":
    main()
