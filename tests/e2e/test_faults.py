"""End-to-end tests of the agent while a data source hangs: PostgreSQL
frozen with SIGSTOP, the simulated BMC frozen, a slow `du`, a per-request
command whose children ignore SIGTERM, a disk monitoring script that never
ends.  Every request must come back within 1 s (a bound that catches a
request waiting on the source, not a benchmark), the last good data is
served meanwhile, values recover once the fault clears, and SIGTERM ends the
agent while a source is stuck.

One database, BMC (bmcrig.py), snmpd and agent for the suite; the steps run
in the order of their names and the last one stops the agent.  The refresh
interval is 10 s.

`Faults` holds the stand-ins: `du` and `head` first on the agent's PATH,
and the disk monitoring script.  Each behaves like the real command until
its hold flag exists in the fault directory, then hangs until the flag goes.
bench/worst_request uses the same helpers.
"""

import os
import shlex
import signal
import subprocess
import sys
import threading
import time
import unittest

import rig
from rig import describe

HERE = os.path.dirname(os.path.abspath(__file__))
DISK_FIXTURE = os.path.join(HERE, "fixtures", "disk", "disk_monitoring.py")
DISK_SCRIPT = "/usr/kx/bin/disk_monitoring.py"

BACKUP_CLIENT = rig.ENTERPRISE_OID + ".3.10.2.1.3.1"
TEMP_READING = rig.ENTERPRISE_OID + ".4.20.2.1.6.1"
DISK_NAME = rig.ENTERPRISE_OID + ".5.10.2.1.3.1"
ASSET_TAG = rig.ENTERPRISE_OID + ".6.1.0"
MEM_USED = rig.ENTERPRISE_OID + ".6.5.0"

# The backup group's pass logs this line last.
KXL_CACHE = 30

# Bounds that catch hangs only.
ANSWER_WITHIN = 1
SERVED_TIMEOUT = 45
RECOVER_TIMEOUT = 45
STOP_TIMEOUT = 10


# ------------------------------------------------------------------ faults

STAND_IN = """#!/bin/sh
# Stand-in for {name}: hangs while {flag} exists, then {then}.
d={dir}
if [ -e "$d/{flag}" ]; then
    echo $$ >>"$d/{name}.pids"
{body}
fi
{tail}
"""

# Loops until the flag goes (or the process is killed).
SLOW = '    while [ -e "$d/{flag}" ]; do sleep 0.1; done'
# The same in a child, with SIGTERM ignored by both: only a kill of the
# whole process group with SIGKILL ends it early.
CHILDREN_IGNORE_TERM = """    trap '' TERM
    (while [ -e "$d/{flag}" ]; do sleep 0.1; done) &
    echo $! >>"$d/{name}.pids"
    wait"""


class Faults:
    """Stand-ins for the commands the agent runs, switched by flag files.

    The directory lies below the rig's base directory, which the agent's
    namespace sees at the same path.  Faults (flag names):
      du     `du` is slow (the backup group's capacity collection);
      head   `head` forks a child, both ignore SIGTERM (the memory command);
      disk   the disk monitoring script does the same.
    """

    def __init__(self, disk_report):
        self.dir = rig.make_dir("faults-")
        self.bin = os.path.join(self.dir, "bin")
        os.mkdir(self.bin)
        self._write(os.path.join(self.bin, "du"), "du", SLOW, "exec %s \"$@\"" % self._real("du"),
                    "the real du")
        self._write(os.path.join(self.bin, "head"), "head", CHILDREN_IGNORE_TERM,
                    "exec %s \"$@\"" % self._real("head"), "the real head")
        with open(os.path.join(self.dir, "disk.report"), "w") as f:
            f.write(disk_report)
        self.disk_script = self._text("disk", CHILDREN_IGNORE_TERM, 'exec cat -- "$d/disk.report"',
                                      "prints the report")

    @staticmethod
    def _real(command):
        for d in ("/usr/bin", "/bin"):
            path = os.path.join(d, command)
            if os.access(path, os.X_OK):
                return shlex.quote(path)
        raise rig.RigError("no %s in /usr/bin or /bin" % command)

    def _text(self, name, body, tail, then):
        flag = name + ".hold"
        return STAND_IN.format(name=name, flag=flag, dir=shlex.quote(self.dir), then=then,
                               body=body.format(flag=flag, name=name), tail=tail)

    def _write(self, path, name, body, tail, then):
        with open(path, "w") as f:
            f.write(self._text(name, body, tail, then))
        os.chmod(path, 0o755)

    def agent_files(self):
        """Files to lay in the agent's namespace."""
        return {DISK_SCRIPT: (self.disk_script, 0o755)}

    def agent_env(self):
        return {"PATH": self.bin + ":" + os.environ.get("PATH", "/usr/bin:/bin")}

    def hold(self, name):
        open(os.path.join(self.dir, name + ".hold"), "w").close()

    def release(self, name):
        try:
            os.unlink(os.path.join(self.dir, name + ".hold"))
        except FileNotFoundError:
            pass

    def pids(self, name):
        """Pids of the stand-in's hanging processes so far."""
        try:
            with open(os.path.join(self.dir, name + ".pids")) as f:
                return [int(w) for w in f.read().split()]
        except FileNotFoundError:
            return []

    def forget(self, name):
        try:
            os.unlink(os.path.join(self.dir, name + ".pids"))
        except FileNotFoundError:
            pass


def disk_report():
    """The demo disk monitoring script's report (4 disks, 2 volumes)."""
    return subprocess.run([sys.executable, DISK_FIXTURE], capture_output=True, text=True, check=True,
                          timeout=30).stdout


def _title(pid):
    try:
        with open("/proc/%d/cmdline" % pid, "rb") as f:
            return f.read().replace(b"\0", b" ").decode(errors="replace").strip()
    except OSError:
        return ""


def child_pids(pid):
    try:
        with open("/proc/%d/task/%d/children" % (pid, pid)) as f:
            return [int(w) for w in f.read().split()]
    except OSError:
        return []


# A session's backend until it is ready for its first statement.
_CONNECTING = ("startup", "authentication", "initializing")


class FrozenBackends:
    """SIGSTOP to every session's backend of the database as soon as it has
    connected, until thaw(): the server then hangs inside a session, where
    no connect timeout applies.  The postmaster keeps accepting."""

    def __init__(self, pg):
        self.pg = pg
        self.pids = []
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._watch, daemon=True)
        self._thread.start()

    def _watch(self):
        while not self._stop.is_set():
            for pid in child_pids(self.pg.pid):
                if pid in self.pids:
                    continue
                title = _title(pid)
                if " kxdb [local] " in title and not title.endswith(_CONNECTING):
                    os.kill(pid, signal.SIGSTOP)
                    self.pids.append(pid)
            time.sleep(0.001)

    def thaw(self):
        self._stop.set()
        self._thread.join()
        thaw(self.pids)


def thaw(pids):
    for pid in reversed(pids):
        try:
            os.kill(pid, signal.SIGCONT)
        except ProcessLookupError:
            pass


# ------------------------------------------------------------------- suite

class FaultsTest(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls.faults = Faults(disk_report())
        rig.servers(cls, bmc=True, agent=["-i", "10"], env=cls.faults.agent_env(),
                    files={"/etc/corvantis-asset": "fault-0001\n", **cls.faults.agent_files()})

    def setUp(self):
        # Each step starts from an agent that serves everything again.
        probes = (ASSET_TAG, DISK_NAME, TEMP_READING, MEM_USED, BACKUP_CLIENT)

        def served():
            got = rig.snmpget(self.snmpd.target, *probes, timeout=2).values()
            return all(got.get(oid, "").startswith("STRING:") for oid in probes)
        self.assertTrue(rig.wait_for(served, SERVED_TIMEOUT, interval=0.2),
                        "not served before the fault%s" % describe(self.agent))

    # -- helpers

    def quick_get(self, oid):
        """A GET that must be answered, with a value, within ANSWER_WITHIN."""
        r = rig.snmpget(self.snmpd.target, oid, timeout=ANSWER_WITHIN)
        self.assertTrue(r.answered, "%s: no answer within %d s: %r" % (oid, ANSWER_WITHIN, r))
        value = r.values().get(oid, "")
        self.assertTrue(value.startswith("STRING:"), "%s = %r" % (oid, value))
        return value

    def ask_for(self, seconds, expected):
        """GETs each object of expected ({oid: value or None}) in turn for
        the given time; each is answered in time, with the value when given."""
        deadline = time.monotonic() + seconds
        while True:
            for oid, value in expected.items():
                got = self.quick_get(oid)
                if value is not None:
                    self.assertEqual(got, value, oid)
            if time.monotonic() >= deadline:
                return

    def wait_value(self, oid, value, timeout=RECOVER_TIMEOUT):
        def current():
            return rig.snmpget(self.snmpd.target, oid, timeout=2).values().get(oid)
        self.assertTrue(rig.wait_for(lambda: current() == value, timeout, interval=0.25),
                        "%s never became %r (last %r)%s" % (oid, value, current(), describe(self.agent)))

    def gone(self, pids, timeout=5):
        return rig.wait_for(lambda: not any(rig.is_alive(p) for p in pids), timeout)

    # -- steps

    def test_1_frozen_bmc(self):
        reading = self.quick_get(TEMP_READING)
        self.assertEqual(reading, 'STRING: "45.00 degrees C"')
        os.kill(self.bmc.pid, signal.SIGSTOP)
        self.addCleanup(thaw, [self.bmc.pid])
        # Across a refresh pass, which asks the BMC too.  The reading itself
        # may fail meanwhile; the stored objects keep their values.
        self.ask_for(11, {TEMP_READING: None, ASSET_TAG: 'STRING: "fault-0001"', DISK_NAME: 'STRING: "sda"',
                          MEM_USED: None})
        thaw([self.bmc.pid])
        self.wait_value(TEMP_READING, reading)

    def test_2_per_request_command_with_children_that_ignore_sigterm(self):
        self.faults.forget("head")
        self.faults.hold("head")
        self.addCleanup(self.faults.release, "head")
        self.ask_for(1, {MEM_USED: None, ASSET_TAG: 'STRING: "fault-0001"'})
        pids = self.faults.pids("head")
        self.assertTrue(pids, "the memory command did not run head%s" % describe(self.agent))
        # Killed with its process group, though the flag is still there.
        self.assertTrue(self.gone(pids), "left running: %s" % pids)
        self.faults.release("head")
        self.assertRegex(self.quick_get(MEM_USED), r'^STRING: "\d+ MB"$')

    def test_3_frozen_database_then_slow_du_in_one_backup_pass(self):
        old, new = 'STRING: "fileserver01"', 'STRING: "fileserver02"'
        self.assertEqual(self.quick_get(BACKUP_CLIENT), old)
        # Only the next pass can see this.
        self.pg.psql("UPDATE nodes SET node_name = 'fileserver02' WHERE node_no = 1")
        self.addCleanup(self.pg.psql, "UPDATE nodes SET node_name = 'fileserver01' WHERE node_no = 1")

        # The faults are in place before the next pass, which starts once the
        # last one is more than 30 s old: on a request, or on its own.
        self.faults.forget("du")
        self.faults.hold("du")
        self.addCleanup(self.faults.release, "du")
        frozen = FrozenBackends(self.pg)
        self.addCleanup(frozen.thaw)
        expected = {BACKUP_CLIENT: old, ASSET_TAG: 'STRING: "fault-0001"', TEMP_READING: None}

        def in_session():
            self.ask_for(0, expected)
            return frozen.pids
        self.assertTrue(rig.wait_for(in_session, KXL_CACHE + RECOVER_TIMEOUT, interval=0.1),
                        "the pass opened no session%s" % describe(self.agent))
        # It hangs in its session briefly, so that no database deadline runs out.
        self.ask_for(2, expected)
        frozen.thaw()

        # The pass goes on to du and hangs there.
        def in_du():
            self.ask_for(0, expected)
            return self.faults.pids("du")
        self.assertTrue(rig.wait_for(in_du, RECOVER_TIMEOUT, interval=0.1),
                        "the pass never reached du%s" % describe(self.agent))
        self.ask_for(2, expected)
        self.faults.release("du")
        self.wait_value(BACKUP_CLIENT, new)

    def test_4_sigterm_while_the_disk_script_hangs(self):
        self.faults.forget("disk")
        self.faults.hold("disk")
        self.addCleanup(self.faults.release, "disk")
        self.assertTrue(rig.wait_for(lambda: self.faults.pids("disk"), 30, interval=0.1),
                        "the disk script did not run%s" % describe(self.agent))
        self.ask_for(0, {DISK_NAME: 'STRING: "sda"', TEMP_READING: None, ASSET_TAG: 'STRING: "fault-0001"'})

        pids = self.faults.pids("disk")
        started = time.monotonic()
        status = self.agent.terminate(signal.SIGTERM, STOP_TIMEOUT)
        self.assertEqual(status, 0, "no exit %.1f s after SIGTERM%s" % (time.monotonic() - started,
                                                                         describe(self.agent)))
        # Its commands went with it, though the flag is still there.
        self.assertTrue(self.gone(pids), "left running: %s" % pids)


if __name__ == "__main__":
    unittest.main()
