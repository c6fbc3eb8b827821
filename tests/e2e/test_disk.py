"""End-to-end tests of the disk group: the real agent as an AgentX subagent
of a real snmpd, with the disk monitor's fixed paths ("/usr/kx/bin" and
"/var/tmp/disk_mon.out") laid in its private mount namespace.

The stand-in script (fixtures/disk/test_disk_monitoring.py, installed under
the script names the agent looks for) takes its report, exit status and
delay from a state directory that the test changes while the agent runs.
"""

import os
import shutil
import signal
import unittest

import rig
from rig import describe

HERE = os.path.dirname(os.path.abspath(__file__))
FIXTURES = os.path.join(HERE, "fixtures", "disk")
GOLDEN = os.path.join(HERE, "golden", "disk_walk.txt")

SHUTTING_DOWN = "corvantis-snmp shutting down"

DISK = ".1.3.6.1.4.1.47391.1.5"
DISK_COUNT = DISK + ".10.1.0"
VOLUME_COUNT = DISK + ".20.1.0"
SCRIPT_DIR = "/usr/kx/bin"
REPORT_FILE = "/var/tmp/disk_mon.out"

# Bounds that catch hangs; a refresh comes every 10 seconds.
REFRESH_TIMEOUT = 45
STOP_TIMEOUT = 30


def fixture(name):
    with open(os.path.join(FIXTURES, name)) as f:
        return f.read()


def disk(column, row):
    return "%s.10.2.1.%d.%d" % (DISK, column, row)


def volume(column, row):
    return "%s.20.2.1.%d.%d" % (DISK, column, row)


def disk_line(token, name, num1):
    return "DISK0 %s  1 %s %d (C) 100 hrs 0 SER: 0) MODEL-%s SN-%s FW1 1.00 TB\n" % (
        token, name, num1, name, name)


def old_report(names):
    text = "====  DEV  disks\n"
    for i, name in enumerate(names):
        text += disk_line(" o", name, 30 + i)
    return text + "==========\nRAID1 md0 (sda1 sdb1) ++++ OK\n==========\n"


class DiskGroupTest(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        rig.servers(cls)

    # -- helpers

    def state_dir(self, report=None, exit_status=None):
        """The stand-in script's state directory (visible in the namespace)."""
        d = rig.make_dir("diskstate-")
        self.addCleanup(shutil.rmtree, d, True)
        if report is not None:
            self.set_state(d, "report", report)
        if exit_status is not None:
            self.set_state(d, "exit", str(exit_status))
        return d

    @staticmethod
    def set_state(d, name, text):
        # Whole files only: the script may read at any moment.
        tmp = os.path.join(d, "." + name)
        with open(tmp, "w") as f:
            f.write(text)
        os.replace(tmp, os.path.join(d, name))

    @staticmethod
    def script(name="disk_monitoring.py"):
        with open(os.path.join(FIXTURES, "test_disk_monitoring.py")) as f:
            return {os.path.join(SCRIPT_DIR, name): (f.read(), 0o755)}

    def start(self, files, state=None, args=("-i", "10")):
        env = {"DISK_TEST_STATE": state} if state else None
        a = rig.Agent(["-f", "-v", "-x", self.snmpd.agentx] + list(args), files=files,
                      conninfo=self.pg.conninfo, env=env)
        # Registration reaches the master asynchronously.
        return rig.start_agent(a, self.addCleanup, target=self.snmpd.target, served=[DISK_COUNT])

    def get(self, oid):
        r = self.snmpd.get(oid)
        self.assertTrue(r.answered, r)
        return r.values().get(oid, "")

    def walk(self):
        r = self.snmpd.walk(DISK)
        self.assertTrue(r.answered, r)
        return r.lines

    def wait_value(self, oid, value, agent, timeout=REFRESH_TIMEOUT):
        self.assertTrue(rig.wait_for(lambda: self.get(oid) == value, timeout, interval=0.25),
                        "%s never became %r (last %r)%s" % (oid, value, self.get(oid), describe(agent)))

    def assertNoValue(self, oid):
        value = self.get(oid)
        self.assertTrue(value.startswith("No Such"), "%s = %r" % (oid, value))

    def stop(self, a):
        self.assertEqual(a.terminate(signal.SIGTERM, STOP_TIMEOUT), 0, describe(a))
        self.assertNotIn("AddressSanitizer", a.stderr())
        self.assertTrue(a.has_log(SHUTTING_DOWN, level=1), describe(a))

    # -- tests

    def test_walk_matches_golden_and_unserved_columns_give_nothing(self):
        a = self.start({REPORT_FILE: fixture("report_walk.txt")})
        with open(GOLDEN) as f:
            golden = f.read().splitlines()
        self.assertEqual(self.walk(), golden, describe(a))

        self.assertNoValue(disk(2, 1))
        self.assertEqual(self.get(disk(3, 1)), 'STRING: "sda"')
        self.assertNoValue(disk(3, 4))
        self.assertNoValue(volume(2, 1))
        self.assertNoValue(volume(6, 1))
        self.assertNoValue(volume(7, 1))
        self.assertNoValue(DISK + ".10.1.1")

        # Read in place and left there; no script ran.
        self.assertTrue(a.exists(REPORT_FILE))
        self.assertFalse(a.has_log("discover_disks command error 32512"), describe(a))
        self.stop(a)
        self.assertTrue(a.exists(REPORT_FILE))

    def test_report_of_64_bytes_is_ignored_and_65_read(self):
        base = old_report(["sda"])
        small = "#" * 63 + "\n"
        self.assertEqual(len(small), 64)
        state = self.state_dir(report=base)
        files = dict(self.script())
        files[REPORT_FILE] = small
        a = self.start(files, state)
        self.assertEqual(self.get(disk(3, 1)), 'STRING: "sda"', describe(a))
        self.assertTrue(a.exists(REPORT_FILE))
        self.stop(a)

        # 65 bytes: a report of its own (no section header, so no disks),
        # read instead of running the script.
        files[REPORT_FILE] = small + "x"
        state = self.state_dir(report=base)
        a = self.start(files, state)
        self.assertEqual(self.get(DISK_COUNT), "INTEGER: 0", describe(a))
        self.assertFalse(os.path.exists(os.path.join(state, "runs")))
        self.assertTrue(a.exists(REPORT_FILE))
        self.stop(a)

    def test_logger_script_runs_without_the_monitoring_script(self):
        state = self.state_dir(report=old_report(["sdq", "sdr"]))
        a = self.start(self.script("disk_monitoring_logger.py"), state)
        self.assertEqual(self.get(DISK_COUNT), "INTEGER: 2", describe(a))
        self.assertEqual(self.get(disk(3, 2)), 'STRING: "sdr"')
        self.assertEqual(self.get(VOLUME_COUNT), "INTEGER: 1")
        # The capture file is gone after each run.
        leftovers = [p for p in a.upper_files() if "snmp_disk.out" in p]
        self.assertEqual(leftovers, [])
        self.stop(a)

    def test_report_changes_are_served_after_the_next_pass(self):
        a = self.start({REPORT_FILE: old_report(["sda", "sdb", "sdc"])})
        self.assertEqual(self.get(DISK_COUNT), "INTEGER: 3")
        report = a.host_path(REPORT_FILE)

        # One disk more: new tables, the new row complete.
        self.set_state(os.path.dirname(report), os.path.basename(report),
                       old_report(["sda", "sdb", "sdc", "sdd"]))
        self.wait_value(DISK_COUNT, "INTEGER: 4", a)
        self.assertEqual(self.get(disk(3, 4)), 'STRING: "sdd"')
        self.assertEqual(self.get(disk(6, 4)), 'STRING: "MODEL-sdd"')
        self.assertEqual(self.get(disk(10, 4)), "INTEGER: 33")
        self.assertTrue(a.has_log("count_disks: found 4 physdisks, 1 volumes", level=2), describe(a))

        # One less, and another disk's name changed.
        self.set_state(os.path.dirname(report), os.path.basename(report),
                       old_report(["sda", "sdx", "sdc"]))
        self.wait_value(DISK_COUNT, "INTEGER: 3", a)
        self.assertNoValue(disk(3, 4))
        self.assertEqual(self.get(disk(3, 2)), 'STRING: "sdx"')
        # Two counts, 12 served disk columns, 4 served volume columns.
        self.assertEqual(len(self.walk()), 2 + 12 * 3 + 4 * 1)
        self.stop(a)

    def test_failed_or_empty_start_is_served_once_a_later_pass_reads_a_report(self):
        # The first run fails or prints nothing; the refresh runs the script
        # again until a run gets a report through, then serves its rows.
        good = old_report(["sda", "sdb", "sdc"])
        cases = (
            ({"report": good, "exit_status": 3}, "exit",
             [("discover_disks command error 768", 1), ("discover_disks error 768", 0)]),
            ({"report": ""}, "report",
             [("discover_disks count_disks found no disks", 1), ("discover_disks error -1", 0)]),
        )
        for state_args, mend, start_lines in cases:
            with self.subTest(mend):
                state = self.state_dir(**state_args)
                a = self.start(self.script(), state)
                for message, level in start_lines:
                    self.assertTrue(a.has_log(message, level=level), describe(a))
                self.assertEqual(self.walk(), [DISK_COUNT + " = INTEGER: 0", VOLUME_COUNT + " = INTEGER: 0"])

                if mend == "exit":
                    os.unlink(os.path.join(state, "exit"))
                else:
                    self.set_state(state, "report", good)
                self.wait_value(disk(3, 1), 'STRING: "sda"', a)
                self.assertEqual(self.get(DISK_COUNT), "INTEGER: 3")
                self.assertEqual(self.get(volume(3, 1)), 'STRING: "1 md0"')
                self.assertEqual(len(self.walk()), 2 + 12 * 3 + 4 * 1)
                self.assertTrue(a.has_log("discover_disks: disk tables served from now on", level=1), describe(a))
                self.stop(a)

    def test_sample_script_of_the_demo_is_served(self):
        files = {os.path.join(SCRIPT_DIR, "disk_monitoring.py"): (fixture("disk_monitoring.py"), 0o755)}
        a = self.start(files)
        self.assertEqual(self.get(DISK_COUNT), "INTEGER: 4", describe(a))
        self.assertEqual(self.get(VOLUME_COUNT), "INTEGER: 2")
        self.assertEqual(self.get(disk(6, 1)), 'STRING: "WDC WD40EFRX-68N32N0"')
        self.assertEqual(self.get(disk(4, 3)), 'STRING: "Pending Sectors"')
        self.assertEqual(self.get(disk(12, 3)), "INTEGER: 2")
        self.assertEqual(self.get(disk(13, 3)), "INTEGER: 3")
        self.assertEqual(self.get(disk(4, 4)), 'STRING: "Rebuilding"')
        self.assertEqual(self.get(volume(3, 2)), 'STRING: "5 md1"')
        self.assertEqual(self.get(volume(5, 2)), "INTEGER: 3")
        self.stop(a)

    def test_shutdown_kills_the_script_of_a_running_refresh(self):
        state = self.state_dir(report=old_report(["sda", "sdb"]))
        a = self.start(self.script(), state)
        self.assertEqual(self.get(DISK_COUNT), "INTEGER: 2")
        self.set_state(state, "delay", "600")
        running = os.path.join(state, "running")
        self.assertTrue(rig.wait_for(lambda: os.path.exists(running), REFRESH_TIMEOUT, interval=0.02),
                        "no refresh started%s" % describe(a))
        self.stop(a)
        # Not waited for: killed with its process group, nothing of it left.
        self.assertEqual(rig.tagged_pids(a.dir), [], describe(a))
        messages = [m for _s, _l, m in a.log_entries()]
        self.assertTrue(any(m.startswith("command killed at shutdown: %s/disk_monitoring.py >" % SCRIPT_DIR)
                            for m in messages[messages.index(SHUTTING_DOWN):]), describe(a))


if __name__ == "__main__":
    unittest.main()
