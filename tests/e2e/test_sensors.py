"""End-to-end tests of the IPMI sensor group (.1.4): the real agent as
subagent of a real snmpd, a real PostgreSQL (the agent needs its database
to start) and the simulated BMC (ipmi_sim, tests/bmc) reached over IPMI 2.0
LAN through the agent's Ipmi* settings.  The BMC listens on 127.0.0.1:623
in a network namespace shared with the agent (bmcrig.py), because the
management group's FRU command (ipmiutil) always uses that port; the tests
reach the BMC's console and FreeIPMI's tools through the same namespace.

Scenarios, each with its own BMC, snmpd and agent:

  SensorWalk     the fixture as it starts: golden walk, start-up log lines
  SensorChanges  the BMC changed while the agent runs, in this order: a
                 reading pushed over its critical threshold, SEL entries
                 added, the SEL cleared, the BMC stopped
  NoBmc          nothing answers at the configured address

The refresh interval is 10 s; the agent runs with -v -M so that each pass
of the refresh thread leaves a "mallinfo after_sensors" line right after
the sensor group's discovery, which tells the tests that a pass is over.
Expected values are derived from tests/bmc/README.md; the SEL time stamps
(the BMC's clock, set at its start) are checked by shape.
"""

import os
import re
import signal
import subprocess
import time
import unittest

import bmcrig
import rig
from rig import DEFAULT_CONFIG, describe

HERE = os.path.dirname(os.path.abspath(__file__))
GOLDEN = os.path.join(HERE, "golden", "sensor_walk.txt")

SENSORS = rig.ENTERPRISE_OID + ".4"
FAN_COUNT = SENSORS + ".10.1.0"
TEMP_COUNT = SENSORS + ".20.1.0"
VOLT_COUNT = SENSORS + ".30.1.0"
SEL_COUNT = SENSORS + ".40.1.0"
SHUTTING_DOWN = "corvantis-snmp shutting down"
PASS_DONE = "mallinfo after_sensors:"

# Generous bounds: they catch hangs, not slowness.
REFRESH_TIMEOUT = 60
STOP_TIMEOUT = 30

# The BMC's date and time in a decoded SEL line ("Dec-08-2026 23:20:32").
STAMP = re.compile(r"\b[A-Z][a-z]{2}-\d{2}-\d{4} \d{2}:\d{2}:\d{2}\b")
STAMP_PLACEHOLDER = "Mon-DD-YYYY hh:mm:ss"


def temp(column, row):
    return "%s.20.2.1.%d.%d" % (SENSORS, column, row)


def fan(column, row):
    return "%s.10.2.1.%d.%d" % (SENSORS, column, row)


def volt(column, row):
    return "%s.30.2.1.%d.%d" % (SENSORS, column, row)


def sel_text(row):
    return "%s.40.2.1.2.%d" % (SENSORS, row)


def free_udp_address():
    return "127.0.0.1:%d" % rig.free_port()




class SensorTestBase(unittest.TestCase):
    """One BMC (None: none at all), one snmpd and one agent for the class."""

    with_bmc = True
    bmc = None

    @classmethod
    def setUpClass(cls):
        files = None
        if not cls.with_bmc:
            # Nothing listens there: every IPMI call times out.
            files = {DEFAULT_CONFIG: "IpmiHost=%s\nIpmiUser=admin\nIpmiPassword=password\nIpmiWorkaround=opensesspriv\n"
                     % free_udp_address()}
        rig.servers(cls, bmc=cls.with_bmc, agent=["-v", "-M", "-i", "10"], files=files, served=[FAN_COUNT])

    # -- helpers

    def get(self, oid, timeout=5):
        r = self.snmpd.get(oid, timeout=timeout)
        self.assertTrue(r.answered, r)
        return r.values().get(oid, "")

    def walk(self):
        r = self.snmpd.walk(SENSORS, timeout=10)
        self.assertTrue(r.answered, r)
        return r.lines

    def passes(self):
        return self.agent.log_text().count(PASS_DONE)

    def wait_passes(self, n):
        """Waits until n more refresh passes have finished their sensor part."""
        start = self.passes()
        self.assertTrue(rig.wait_for(lambda: self.passes() >= start + n, REFRESH_TIMEOUT, interval=0.25),
                        "no refresh pass%s" % describe(self.agent))

    def wait_value(self, oid, value):
        self.assertTrue(rig.wait_for(lambda: self.get(oid) == value, REFRESH_TIMEOUT, interval=0.25),
                        "%s never became %r (last %r)%s" % (oid, value, self.get(oid), describe(self.agent)))

    def assertNoValue(self, oid):
        value = self.get(oid)
        self.assertTrue(value.startswith("No Such"), "%s = %r" % (oid, value))

    def ipmi_tool(self, *args):
        """A FreeIPMI tool against this class's BMC."""
        cmd = list(args) + ["-h", self.bmc.host, "-u", self.bmc.user, "-p", self.bmc.password,
                            "-W", self.bmc.workaround]
        return subprocess.run(self.netns.enter(cmd), env=rig.clean_env(), stdin=subprocess.DEVNULL,
                              capture_output=True, text=True, timeout=60)

    def console(self, line):
        """One command on the BMC's console; what it answered."""
        p = bmcrig.console(self.netns, self.bmc, line)
        self.assertEqual(p.returncode, 0, p.stdout + p.stderr)
        return p.stdout

    def stop_agent(self):
        self.assertEqual(self.agent.terminate(signal.SIGTERM, STOP_TIMEOUT), 0, describe(self.agent))
        self.assertNotIn("AddressSanitizer", self.agent.stderr())
        self.assertNotIn("ThreadSanitizer", self.agent.stderr())
        self.assertTrue(self.agent.has_log(SHUTTING_DOWN, level=1), describe(self.agent))


class SensorWalk(SensorTestBase):

    def test_walk_matches_golden(self):
        with open(GOLDEN) as f:
            golden = f.read().splitlines()
        lines = self.walk()
        stamps = [m.group(0) for line in lines for m in STAMP.finditer(line)]
        self.assertEqual(len(stamps), 3, lines)
        shown = [STAMP.sub(STAMP_PLACEHOLDER, line) for line in lines]
        self.assertEqual(shown, golden, describe(self.agent))

        # The entries were stamped by the BMC when its start script added
        # them, which was shortly before this test.
        for stamp in stamps:
            when = time.mktime(time.strptime(stamp, "%b-%d-%Y %H:%M:%S"))
            self.assertLess(abs(time.time() - when), 30 * 60, stamp)

    def test_rows_past_the_counts_and_unserved_objects(self):
        self.assertEqual(self.get(fan(3, 2)), 'STRING: "FAN2"')
        self.assertNoValue(fan(3, 3))
        self.assertNoValue(temp(1, 6))
        self.assertNoValue(volt(6, 5))
        self.assertNoValue(sel_text(4))
        self.assertNoValue(SENSORS + ".10.2.1.13.1")  # column 13 only names the instance
        self.assertNoValue(SENSORS + ".10.1.1")       # a count's instance is 0

    def test_start_up_logs_the_walk_and_the_summary_once(self):
        a = self.agent
        self.assertTrue(a.has_log("sensor[2]: 0003 sensor 1 CPU Temp  \t= 45.00 degrees C", level=3),
                        describe(a))
        self.assertTrue(a.has_log("sensor[5]: 0006 sensor 11 12V Aux  \t= 12.50 Volts", level=3))
        self.assertTrue(a.has_log("discover_ipmi: 13 SDRs, 2 fans, 5 temp, 4 volt, 3 SEL", level=3))
        self.assertFalse(a.has_log("No IPMI interface found"))
        self.assertFalse(a.has_log("discover_sensors error"))
        # The compact record takes a row but is not read.
        self.assertFalse(a.has_log("sensor[8]:"))
        self.wait_passes(1)
        self.assertEqual(a.log_text().count("discover_ipmi:"), 1, "summary only when the SEL changed")


class SensorChanges(SensorTestBase):
    """Steps that change the BMC, run in the order of their names."""

    def test_1_reading_over_the_critical_threshold(self):
        self.assertEqual(self.get(temp(4, 1)), 'STRING: "OK"')
        self.console("sensor_set_value 0x20 0 0x01 96 0")
        try:
            # The status columns show the last reading taken, so they change
            # only once the reading column has been read.
            self.assertEqual(self.get(temp(4, 1)), 'STRING: "OK"')
            self.assertEqual(self.get(temp(6, 1)), 'STRING: "96.00 degrees C"')
            self.assertEqual(self.get(temp(4, 1)), 'STRING: "Crit-hi"')
            self.assertEqual(self.get(temp(5, 1)), "INTEGER: 5")
            # Above the non-recoverable threshold too.
            self.console("sensor_set_value 0x20 0 0x01 101 0")
            self.assertEqual(self.get(temp(6, 1)), 'STRING: "101.00 degrees C"')
            self.assertEqual(self.get(temp(4, 1)), 'STRING: "AboveCrit"')
            # Below the lower critical one of a voltage (12V Aux: 11.45 V).
            self.console("sensor_set_value 0x20 0 0x11 179 0")
            self.assertEqual(self.get(volt(6, 2)), 'STRING: "11.45 Volts"')
            self.assertEqual(self.get(volt(4, 2)), 'STRING: "Crit-lo"')
            self.assertEqual(self.get(volt(5, 2)), "INTEGER: 2")
        finally:
            self.console("sensor_set_value 0x20 0 0x01 45 0")
            self.console("sensor_set_value 0x20 0 0x11 200 0")
        self.assertEqual(self.get(temp(6, 1)), 'STRING: "45.00 degrees C"')
        self.assertEqual(self.get(temp(4, 1)), 'STRING: "OK"')

    def test_2_added_entries_are_in_the_table_after_the_next_refresh(self):
        self.assertEqual(self.get(SEL_COUNT), "INTEGER: 3")
        # System Temp upper critical going high; -12V lower non-recoverable.
        self.assertIn("Added record 4",
                      self.console("sel_add 0x20 0x02 0 0 0 0 0x20 0x00 0x04 0x01 0x02 0x01 0x59 0x57 0x55"))
        self.assertIn("Added record 5",
                      self.console("sel_add 0x20 0x02 0 0 0 0 0x20 0x00 0x04 0x02 0x12 0x01 0x54 0xb8 0xba"))
        self.wait_value(SEL_COUNT, "INTEGER: 5")
        row4 = self.get(sel_text(4))
        self.assertRegex(row4, r'^STRING: "0004 \| .* \| MAJ \| BMC \| Temperature \| System Temp \| '
                               r'Upper Critical - going high')
        self.assertRegex(self.get(sel_text(5)), r'^STRING: "0005 \| .* \| CRT \| BMC \| Voltage \| -12V \| '
                                                r'Lower Non-recoverable - going low')
        self.assertRegex(self.get(sel_text(1)), r'^STRING: "0001 \| ')
        self.assertTrue(self.agent.has_log("discover_ipmi: 13 SDRs, 2 fans, 5 temp, 4 volt, 5 SEL", level=3))
        self.assertFalse(self.agent.has_log("get_sel_all: n_selrecs("), describe(self.agent))

    def test_3_a_cleared_log_keeps_its_rows_until_the_count_changes(self):
        before = [self.get(sel_text(n)) for n in range(1, 6)]
        self.assertEqual(self.get(SEL_COUNT), "INTEGER: 5")
        p = self.ipmi_tool("ipmi-sel", "--clear")
        self.assertEqual(p.returncode, 0, p.stdout + p.stderr)
        p = self.ipmi_tool("ipmi-raw", "0", "0x0a", "0x40")
        self.assertRegex(p.stdout, r"^rcvd: 40 00 51 00 00 ", "the SEL is empty")

        self.wait_passes(2)
        self.assertEqual(self.get(SEL_COUNT), "INTEGER: 5")
        self.assertEqual([self.get(sel_text(n)) for n in range(1, 6)], before)

        # One new entry: a different count, so the table is rebuilt.
        self.console("sel_add 0x20 0x02 0 0 0 0 0x20 0x00 0x04 0x04 0x31 0x01 0x52 0x0f 0x10")
        self.wait_value(SEL_COUNT, "INTEGER: 1")
        self.assertRegex(self.get(sel_text(1)), r' \| MAJ \| BMC \| Fan \| FAN2 \| Lower Critical - going low')
        self.assertNoValue(sel_text(2))

    def test_4_bmc_stopped_readings_fail_requests_still_answer(self):
        self.bmc.close()
        self.bmc = None
        # Each reading fails: 0.00 with the unit found at start, status Init.
        # The first failure may cost the IPMI session timeout (3 s), then
        # the IPMI layer holds new attempts off and answers at once.
        started = time.monotonic()
        self.assertEqual(self.get(temp(6, 1), timeout=15), 'STRING: "0.00 degrees C"')
        self.assertLess(time.monotonic() - started, 12)
        self.assertEqual(self.get(temp(4, 1)), 'STRING: "Init"')
        self.assertEqual(self.get(temp(5, 1)), "INTEGER: 7")

        slowest = 0.0
        for oid, value in ((fan(6, 1), "0.00 RPM"), (volt(6, 2), "0.00 Volts"), (temp(6, 2), "0.00 degrees C")):
            started = time.monotonic()
            self.assertEqual(self.get(oid, timeout=15), 'STRING: "%s"' % value)
            slowest = max(slowest, time.monotonic() - started)
        self.assertLess(slowest, 12)

        # A whole walk answers; the other columns come from memory.
        started = time.monotonic()
        r = self.snmpd.walk(SENSORS, timeout=15)
        self.assertTrue(r.answered, r)
        self.assertLess(time.monotonic() - started, 60)
        values = r.values()
        self.assertEqual(values[temp(3, 1)], 'STRING: "CPU Temp"')
        self.assertEqual(values[temp(7, 1)], 'STRING: "95.00 degrees C"')
        self.assertEqual(values[SEL_COUNT], "INTEGER: 1")
        self.assertEqual(values[FAN_COUNT], "INTEGER: 2")

        # A refresh pass against the silent BMC changes nothing.
        self.wait_passes(1)
        self.assertEqual(self.get(SEL_COUNT), "INTEGER: 1")
        self.assertTrue(self.agent.running(), describe(self.agent))
        self.stop_agent()
        self.assertTrue(self.agent.has_log("close_sensors called, intf=1", level=0))


class NoBmc(SensorTestBase):
    with_bmc = False

    def test_no_interface_zero_counts_and_empty_tables(self):
        a = self.agent
        self.assertTrue(a.has_log("No IPMI interface found", level=0), describe(a))
        self.assertEqual(self.walk(), [
            "%s = INTEGER: 0" % FAN_COUNT,
            "%s = INTEGER: 0" % TEMP_COUNT,
            "%s = INTEGER: 0" % VOLT_COUNT,
            "%s = INTEGER: 0" % SEL_COUNT,
        ])
        self.assertNoValue(temp(1, 1))
        self.assertNoValue(sel_text(1))
        self.assertFalse(a.has_log("discover_ipmi:"))
        self.wait_passes(1)
        self.assertEqual(self.get(FAN_COUNT), "INTEGER: 0")
        self.stop_agent()
        self.assertTrue(a.has_log("close_sensors called, intf=0", level=0))


if __name__ == "__main__":
    unittest.main()
