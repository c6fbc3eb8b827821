"""End-to-end tests of the status branch (.1.7) and the notifications: the
real agent as subagent of a real snmpd whose trap2sink is a real receiver
(snmptrapd, traprig.py), with a real PostgreSQL, the simulated BMC in a
network namespace shared with the agent (bmcrig.py) and a disk report in
the agent's /var/tmp.  Once more as master agent, sending on its own.

The sources are changed while the agent runs, one step after the other in
the order of the tests' names; each step checks which notifications came
and that a further pass of the source sent no repeat.  The refresh interval
is 10 s (the minimum); the backup group's passes come every 30 s.
"""

import os
import signal
import time
import unittest

import bmcrig
import rig
import traprig
from rig import DEFAULT_CONFIG, ENTERPRISE_OID, describe

HERE = os.path.dirname(os.path.abspath(__file__))
GOLDEN = os.path.join(HERE, "golden", "status_walk.txt")

START_MASTER = "corvantis-snmp version 1.6 agentx master_agent started"
REPORT_FILE = "/var/tmp/disk_mon.out"

STATUS = ENTERPRISE_OID + ".7"
OVERALL = STATUS + ".1.0"
SOURCES = STATUS + ".4.0"
HEALTH_COUNT = STATUS + ".10.1.0"
PREVIOUS = STATUS + ".20.0"
BMC, DATABASE, DISK_REPORT = 1, 2, 3

# The notifications, .1.7.0.n.
SENSOR, DISK, VOLUME, EVENT_LOG, BACKUP, SOURCE, TEST = (STATUS + ".0.%d" % n for n in range(1, 8))

# Bounds that catch hangs: a refresh pass comes every 10 s, a backup-group
# pass every 30 s.
PASS_TIMEOUT = 45
BACKUP_TIMEOUT = 90


def health(column, row):
    return "%s.10.2.1.%d.%d" % (STATUS, column, row)


def fan(column, row):
    return "%s.4.10.2.1.%d.%d" % (ENTERPRISE_OID, column, row)


def disk(column, row):
    return "%s.5.10.2.1.%d.%d" % (ENTERPRISE_OID, column, row)


def volume(column, row):
    return "%s.5.20.2.1.%d.%d" % (ENTERPRISE_OID, column, row)


def backup(column, row):
    return "%s.3.10.2.1.%d.%d" % (ENTERPRISE_OID, column, row)


def disk_report(failed=(), volume_state="OK"):
    """A disk monitor report of sda, sdb and sdc ("F": failed) and one volume."""
    text = "====  DEV  disks\n"
    for i, name in enumerate(("sda", "sdb", "sdc")):
        text += "DISK%d %s  %d %s 30 (C) 100 hrs 0 SER: 0) MODEL-%s SN-%s FW1 1.00 TB\n" % (
            i, " F" if name in failed else " o", i + 1, name, name, name)
    return text + "==========\nRAID1 md0 (sda1 sdb1) ++++ %s\n==========\n" % volume_state


def number(value):
    """The number of an "INTEGER: 3" or "Gauge32: 3" answer."""
    return int(value.split(": ", 1)[1])




class AlarmTest(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        rig.require_agent()
        cls.receiver = traprig.TrapReceiver()
        cls.addClassCleanup(cls.receiver.close)
        cls.snmpd = rig.Snmpd(extra_conf="trap2sink %s public\n" % cls.receiver.address)
        cls.addClassCleanup(cls.snmpd.close)
        # Notifications as by default (1).
        rig.servers(cls, bmc=True, snmpd=cls.snmpd, agent=["-v", "-i", "10"], files={REPORT_FILE: disk_report()},
                    served=[HEALTH_COUNT])
        cls.started = int(time.time())
        # Changes are seen against a previous pass: one refresh pass after
        # start-up's before any step.
        for row in (BMC, DISK_REPORT):
            if not rig.wait_for(lambda: cls._last_success(row) > cls.started, PASS_TIMEOUT, interval=0.25):
                raise AssertionError("no refresh pass of source %d%s" % (row, describe(cls.agent)))

    # -- helpers

    @classmethod
    def _last_success(cls, row):
        value = cls.snmpd.get(health(4, row)).values().get(health(4, row), "")
        return number(value) if value.startswith("Gauge32: ") else 0

    def get(self, oid):
        r = self.snmpd.get(oid)
        self.assertTrue(r.answered, r)
        # The whole value: a database's error text may run over lines.
        name, _sep, value = r.stdout.rstrip("\n").partition(" = ")
        self.assertEqual(name, oid, r)
        return value

    def wait_pass(self, row):
        """Waits for a success of the source from a pass that started after this call."""
        after = int(time.time()) + 2
        self.assertTrue(rig.wait_for(lambda: self._last_success(row) >= after, PASS_TIMEOUT, interval=0.25),
                        "no pass of source %d%s" % (row, describe(self.agent)))

    def ours(self, start=0):
        """The agent's notifications from the start'th received on (snmpd sends its own too)."""
        return [(t, b) for t, b in self.receiver.notifications()[start:] if t and t.startswith(STATUS + ".0.")]

    def mark(self):
        return len(self.receiver.notifications())

    def of(self, trap, start, timeout=PASS_TIMEOUT, count=1):
        """The bindings of the notifications of this kind since start, once
        there are count of them (fails after timeout)."""
        def found():
            got = [b for t, b in self.ours(start) if t == trap]
            return got if len(got) >= count else None
        got = self.receiver.wait_for(lambda _n: found(), timeout)
        self.assertTrue(got, "not %d of %s: %r\n%s%s" % (count, trap, self.ours(start), self.receiver.output(),
                                                        describe(self.agent)))
        return found()

    def kinds(self, start):
        return {t for t, _b in self.ours(start)}

    def console(self, line):
        p = bmcrig.console(self.netns, self.bmc, line)
        self.assertEqual(p.returncode, 0, p.stdout + p.stderr)
        return p.stdout

    def set_fan1(self, raw, event=0):
        # FAN1 is sensor 0x30: 50 RPM per raw unit, lower critical 800 RPM.
        self.console("sensor_set_value 0x20 0 0x30 %d %d" % (raw, event))

    def write_report(self, text):
        # Whole files only: the agent may read at any moment.
        path = self.agent.host_path(REPORT_FILE)
        with open(path + ".new", "w") as f:
            f.write(text)
        os.replace(path + ".new", path)

    # -- steps

    def test_1_walk_matches_golden(self):
        r = self.snmpd.walk(STATUS, timeout=10)
        self.assertTrue(r.answered, r)
        now = time.time()
        shown = []
        for line in r.lines:
            oid, _sep, value = line.partition(" = ")
            column = oid[len(STATUS + ".10.2.1."):].split(".")[0] if oid.startswith(STATUS + ".10.2.1.") else ""
            if column in ("4", "5", "8"):
                kind, n = value.split(": ", 1)
                n = int(n)
                if column == "4":
                    # The last success: a recent pass.
                    self.assertTrue(now - 600 < n <= now + 1, line)
                    since = self.get(health(5, int(oid.rsplit(".", 1)[1])))
                    self.assertLessEqual(abs(now - n - number(since)), 5, (line, since))
                elif column == "5":
                    self.assertLess(n, 120, line)
                else:
                    self.assertLess(n, 10000, line)  # ms
                value = "%s: N" % kind
            shown.append("%s = %s" % (oid, value))
        with open(GOLDEN) as f:
            self.assertEqual(shown, f.read().splitlines(), describe(self.agent))

    def test_2_failures_and_returns_in_the_sources(self):
        # Changed together, so that one refresh pass sees the fan, the disk
        # and the volume, and the backup group's next pass runs meanwhile.
        start = self.mark()
        self.pg.psql("INSERT INTO backups (backup_no, node_no, type, start_time, status, size_mb, files) "
                     "VALUES (7, 1, 1, EXTRACT(EPOCH FROM now())::bigint - 60, 2, 0, 0)")
        # FAN1 at 750 RPM, with the BMC's events for the crossing in its log.
        self.set_fan1(15, event=1)
        try:
            self.write_report(disk_report(failed=("sdb",), volume_state="degraded"))
            for kind in (SENSOR, DISK, VOLUME):
                self.of(kind, start)
            # A further pass that sees the same statuses sends nothing.
            self.wait_pass(BMC)
        finally:
            self.set_fan1(96)
            self.write_report(disk_report())
        for kind in (SENSOR, DISK, VOLUME):
            self.of(kind, start, count=2)
        self.wait_pass(BMC)

        def sent(kind):
            return [b for t, b in self.ours(start) if t == kind]

        fan1 = [(fan(3, 1), 'STRING: "FAN1"')]
        self.assertEqual(sent(SENSOR), [
            fan1 + [(PREVIOUS, "INTEGER: 0"), (fan(5, 1), "INTEGER: 2"), (fan(9, 1), "INTEGER: 750000")],
            fan1 + [(PREVIOUS, "INTEGER: 2"), (fan(5, 1), "INTEGER: 0"), (fan(9, 1), "INTEGER: 4800000")]])
        sdb = [(disk(3, 2), 'STRING: "sdb"')]
        self.assertEqual(sent(DISK), [sdb + [(PREVIOUS, "INTEGER: 1"), (disk(5, 2), "INTEGER: 5")],
                                      sdb + [(PREVIOUS, "INTEGER: 5"), (disk(5, 2), "INTEGER: 1")]])
        md0 = [(volume(3, 1), 'STRING: "1 md0"')]
        self.assertEqual(sent(VOLUME), [md0 + [(PREVIOUS, "INTEGER: 1"), (volume(5, 1), "INTEGER: 5")],
                                        md0 + [(PREVIOUS, "INTEGER: 5"), (volume(5, 1), "INTEGER: 1")]])
        # Of the crossing's two event-log entries only the major one.
        [[(oid, text)]] = sent(EVENT_LOG)
        self.assertRegex(oid, r"^%s\.4\.40\.2\.1\.2\.\d+$" % ENTERPRISE_OID.replace(".", r"\."))
        self.assertRegex(text, r'^STRING: ".* \| MAJ \| .* \| FAN1 \| Lower Critical - going low')

        [got] = self.of(BACKUP, start, timeout=BACKUP_TIMEOUT)
        row = int(got[0][0].rsplit(".", 1)[1])
        self.assertEqual(got, [(backup(3, row), 'STRING: "fileserver01"'), (backup(2, row), "INTEGER: 7"),
                               (backup(7, row), 'STRING: "master"')])
        # The pass publishes its tables after it queued the notification.
        self.assertTrue(rig.wait_for(lambda: self.get(backup(2, row)) == "INTEGER: 7", 15),
                        describe(self.agent))
        self.assertEqual(self.kinds(start), {SENSOR, DISK, VOLUME, EVENT_LOG, BACKUP})

    def test_3_database_stopped_and_restarted(self):
        start = self.mark()
        self.pg.stop_server()
        try:
            [down] = self.of(SOURCE, start, timeout=BACKUP_TIMEOUT)
            self.assertEqual(down, [(health(2, DATABASE), 'STRING: "database"'), (PREVIOUS, "INTEGER: 1"),
                                    (health(3, DATABASE), "INTEGER: 3")])
            self.assertEqual(self.get(health(3, DATABASE)), "INTEGER: 3")
            self.assertEqual(self.get(OVERALL), "INTEGER: 3")
            self.assertEqual(self.get(SOURCES), "INTEGER: 3")
            self.assertGreaterEqual(number(self.get(health(6, DATABASE))), 1)
            error = self.get(health(7, DATABASE))
            self.assertRegex(error, r'(?s)^STRING: ".+"$')
            # The cause the log carries, on one line (snmpget escapes its quotes).
            text = error[len('STRING: "'):-1].replace('\\"', '"')
            self.assertNotIn("\n", text)
            self.assertTrue(text in " ".join(self.agent.log_text().split()),
                            "%r not in the log%s" % (text, describe(self.agent)))
            age = number(self.get(health(5, DATABASE)))
            self.assertTrue(rig.wait_for(lambda: number(self.get(health(5, DATABASE))) > age, 10),
                            "the age does not grow")
        finally:
            self.pg.start_server()
        up = self.of(SOURCE, start, timeout=BACKUP_TIMEOUT, count=2)[1]
        self.assertEqual(up, [(health(2, DATABASE), 'STRING: "database"'), (PREVIOUS, "INTEGER: 3"),
                              (health(3, DATABASE), "INTEGER: 1")])
        self.assertEqual(self.get(health(3, DATABASE)), "INTEGER: 1")
        self.assertEqual(self.get(health(6, DATABASE)), "Gauge32: 0")
        self.assertEqual(self.kinds(start), {SOURCE})
        # The pass after the outage saw the failed backup as before: no repeat.
        self.assertEqual(len([t for t, _b in self.ours() if t == BACKUP]), 1, self.ours())

    def test_4_signal_sends_the_test_notification(self):
        start = self.mark()
        overall = self.get(OVERALL)
        self.agent.send(signal.SIGRTMIN + 1)
        self.assertEqual(self.of(TEST, start), [[(OVERALL, overall)]])
        self.assertIn("catchNotify called", self.agent.stderr())
        self.assertEqual(self.kinds(start), {TEST})

    def test_5_notifications_off_sends_none(self):
        def reloaded():
            return [m for _s, _l, m in self.agent.log_entries()
                    if m.startswith("configuration reloaded:") and "Notifications" in m]

        with open(self.agent.host_path(DEFAULT_CONFIG), "w") as f:  # in place: an overlay's upper file
            f.write(self.bmc.agent_config() + "Notifications=0\n")
        self.agent.send(signal.SIGHUP)
        self.assertTrue(rig.wait_for(reloaded, 20), describe(self.agent))
        start = self.mark()
        self.agent.send(signal.SIGRTMIN + 1)
        self.set_fan1(15, event=1)
        try:
            self.wait_pass(BMC)
            self.assertEqual(self.get(fan(5, 1)), "INTEGER: 2")  # the pass saw the change
        finally:
            self.set_fan1(96)
        self.assertEqual(self.ours(start), [])

    def test_6_master_mode_sends_to_its_own_destinations(self):
        port = rig.free_port()
        target = "127.0.0.1:%d" % port
        conf = "agentaddress udp:%s\nrocommunity public 127.0.0.1\ntrap2sink %s public\n" % (
            target, self.receiver.address)
        a = rig.start_agent(rig.Agent(["-f", "-m"], conninfo=self.pg.conninfo, snmp_conf=conf), self.addCleanup,
                            START_MASTER, target=target, served=[OVERALL])
        overall = rig.snmpget(target, OVERALL).values()[OVERALL]
        start = self.mark()
        a.send(signal.SIGRTMIN + 1)
        self.assertEqual(self.of(TEST, start), [[(OVERALL, overall)]], describe(a))
        self.assertEqual(a.terminate(signal.SIGTERM, 30), 0, describe(a))

if __name__ == "__main__":
    unittest.main()
