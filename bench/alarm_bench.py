#!/usr/bin/python3
"""How fast a change in a source reaches a trap receiver, and the cost of a
walk of the status branch (.1.3.6.1.4.1.47391.1.7).

Starts the rig of tests/e2e/test_alarms.py: a throwaway PostgreSQL, snmptrapd
on loopback (traprig.py) as the trap2sink of an snmpd master, the simulated
BMC on 127.0.0.1:623 in a private network namespace with the agent beside it
(-i 10, the shortest refresh interval) and a disk report.  Then measures:

* the time from a change in a source to the notification's line at the
  receiver: FAN1 set below its lower critical threshold on the BMC's console
  and set back (REPS times each, at random moments of the pass cycle; the
  goal is one refresh interval plus the pass), and the database stopped and
  started again (DB_REPS times; its passes come every 30 s);
* the wall time of a whole walk of .1.7 through snmpd with an in-process
  SNMPv2c client (GETNEXT and GETBULK), per walk and per varbind, and the CPU
  time per walk of the agent and snmpd;
* the CPU time of the agent and ipmi_sim per refresh pass while nothing
  changes.

Needs root and a built agent (CORVANTIS_BINARY, default build/corvantis-snmp).

    bench/alarm_bench.py [REPS [DB_REPS [WALKS]]]
"""
import contextlib
import os
import random
import statistics
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
import bmcrig  # noqa: E402
import rig  # noqa: E402
import traprig  # noqa: E402
from mgt_bench import GETBULK, GETNEXT, Client, task_cpu_ns  # noqa: E402
from test_alarms import REPORT_FILE, disk_report  # noqa: E402

STATUS = "1.3.6.1.4.1.47391.1.7"
SENSOR_TRAP = "." + STATUS + ".0.1"
SOURCE_TRAP = "." + STATUS + ".0.6"
LAST_SUCCESS_BMC = "." + STATUS + ".10.2.1.4.1"
WARM_UP = 5
TIMEOUT = 120


def walk(client, bulk):
    found, oid = [], STATUS
    while True:
        batch = client.call(GETBULK, oid, 20) if bulk else client.call(GETNEXT, oid)
        for name, tag, _value in batch:
            if not name.startswith(STATUS + ".") or tag in (0x80, 0x81, 0x82):
                return len(found)
            found.append(name)
            oid = name


class Rig:
    """The alarm suite's servers and agent (no -v: passes as in production)."""

    def __init__(self, stack):
        self.receiver = traprig.TrapReceiver()
        stack.callback(self.receiver.close)
        self.snmpd = rig.Snmpd(extra_conf="trap2sink %s public\n" % self.receiver.address)
        stack.callback(self.snmpd.close)
        rig.servers(self, cleanup=stack.callback, bmc=True, snmpd=self.snmpd, agent=["-i", "10"],
                    files={REPORT_FILE: disk_report()}, served=["." + STATUS + ".10.1.0"])
        stack.callback(self.agent.terminate)

    def console(self, line):
        p = bmcrig.console(self.netns, self.bmc, line)
        if p.returncode != 0:
            raise RuntimeError(p.stdout + p.stderr)

    def last_success(self):
        value = self.snmpd.get(LAST_SUCCESS_BMC).values().get(LAST_SUCCESS_BMC, "")
        return int(value.split(": ", 1)[1]) if value.startswith("Gauge32: ") else 0

    def wait_pass(self):
        after = int(time.time()) + 2
        if not rig.wait_for(lambda: self.last_success() >= after, TIMEOUT, interval=0.25):
            raise SystemExit("alarm_bench: no refresh pass" + rig.describe(self.agent))

    def latency(self, trap, change):
        """Seconds from change() to the next notification of this kind at the receiver."""
        seen = sum(1 for t, _b in self.receiver.notifications() if t == trap)
        start = time.monotonic()
        change()
        if not self.receiver.wait_for(lambda n: sum(1 for t, _b in n if t == trap) > seen, TIMEOUT):
            raise SystemExit("alarm_bench: no %s%s" % (trap, rig.describe(self.agent)))
        return time.monotonic() - start


def summary(values):
    return "median %.2f, min %.2f, max %.2f (%s)" % (
        statistics.median(values), min(values), max(values), ", ".join("%.2f" % v for v in values))


def main():
    reps = int(sys.argv[1]) if len(sys.argv) > 1 else 5
    db_reps = int(sys.argv[2]) if len(sys.argv) > 2 else 2
    walks = int(sys.argv[3]) if len(sys.argv) > 3 else 50
    if os.geteuid() != 0:
        sys.exit("alarm_bench: run as root (network and mount namespaces)")
    with contextlib.ExitStack() as stack:
        r = Rig(stack)
        r.wait_pass()  # a previous pass to compare with

        # Idle passes first, before anything changes, with no request
        # meanwhile (polling would count AgentX work).
        passes = 3
        cpu0 = (task_cpu_ns(r.agent.pid), task_cpu_ns(r.bmc.pid))
        time.sleep(passes * 10)
        cpu1 = (task_cpu_ns(r.agent.pid), task_cpu_ns(r.bmc.pid))

        # Each change at a random moment of the pass cycle: a change made
        # right after the notification of the last would always wait a
        # whole interval.
        rng = random.Random(14)
        down, up = [], []
        for _ in range(reps):
            time.sleep(rng.uniform(0, 10))
            down.append(r.latency(SENSOR_TRAP, lambda: r.console("sensor_set_value 0x20 0 0x30 15 0")))
            time.sleep(rng.uniform(0, 10))
            up.append(r.latency(SENSOR_TRAP, lambda: r.console("sensor_set_value 0x20 0 0x30 96 0")))
        db_down, db_up = [], []
        for _ in range(db_reps):
            time.sleep(rng.uniform(0, 30))
            db_down.append(r.latency(SOURCE_TRAP, r.pg.stop_server))
            time.sleep(rng.uniform(0, 30))
            db_up.append(r.latency(SOURCE_TRAP, r.pg.start_server))

        client = Client(r.snmpd.port)
        for bulk in (False, True):
            for _ in range(WARM_UP):
                walk(client, bulk)
        results = []
        for bulk in (False, True):
            times = []
            c0 = (task_cpu_ns(r.agent.pid), task_cpu_ns(r.snmpd.pid))
            for _ in range(walks):
                start = time.perf_counter_ns()
                size = walk(client, bulk)
                times.append(time.perf_counter_ns() - start)
            c1 = (task_cpu_ns(r.agent.pid), task_cpu_ns(r.snmpd.pid))
            results.append((bulk, size, statistics.median(times) / 1000,
                            [(b - a) / walks / 1000 for a, b in zip(c0, c1)]))

        print("alarm_bench: %d CPUs; refresh interval 10 s, backup-group passes every 30 s" % os.cpu_count())
        print("  change to notification at the receiver (s):")
        print("    FAN1 below lower critical  %s" % summary(down))
        print("    FAN1 back to normal        %s" % summary(up))
        print("    database stopped           %s" % summary(db_down))
        print("    database started again     %s" % summary(db_up))
        print("  walk of .1.7 through snmpd, %d walks after %d warm-up:" % (walks, WARM_UP))
        for bulk, size, median, (agent_cpu, snmpd_cpu) in results:
            print("    %-14s %3d varbinds: median %7.0f us per walk, %5.0f us per varbind;"
                  " CPU per walk: agent %.0f us, snmpd %.0f us" % (
                      "GETBULK 20" if bulk else "GETNEXT", size, median, median / size, agent_cpu, snmpd_cpu))
        print("  idle refresh pass (every 10 s, with a backup-group pass every third): CPU agent %.2f ms,"
              " ipmi_sim %.2f ms" % ((cpu1[0] - cpu0[0]) / passes / 1e6, (cpu1[1] - cpu0[1]) / passes / 1e6))


if __name__ == "__main__":
    main()
