"""A notification receiver for the end-to-end suites: Debian's snmptrapd on a
free loopback UDP port, in the foreground, with its own configuration and
state directory, writing one line per notification to a file.

Each notification becomes one line "TRAP" followed by its variable bindings
(numeric OIDs, the way snmpwalk -On shows them) joined by SEPARATOR, so
``notifications()`` can read back what arrived in order: the trap OID and
the other bindings, sysUpTime.0 and snmpTrapOID.0 left out.

Tagged with ``rig.RIG_TAG_VAR`` like the rest of the rig and stopped by its
pid in ``close()``.  Python standard library only.
"""

import os
import shutil
import subprocess

import rig

SYS_UPTIME = ".1.3.6.1.2.1.1.3.0"
SNMP_TRAP_OID = ".1.3.6.1.6.3.1.1.4.1.0"
LINE_PREFIX = "TRAP"
# Between bindings; no value the agent sends holds it.
SEPARATOR = "<|>"
# snmptrapd's own line once its port is open.
READY_LINE = "NET-SNMP version"


class TrapReceiver:
    """snmptrapd on 127.0.0.1:<port> for as long as the object lives.

    address: "127.0.0.1:<port>", for trap2sink / trapsess lines.
    """

    def __init__(self, community="public", start_timeout=15):
        if shutil.which("snmptrapd") is None:
            raise rig.RigError("snmptrapd not found: install the snmptrapd package (scripts/install-deps.sh)")
        self.dir = rig.make_dir("snmptrapd-")
        self.port = rig.free_port()
        self.address = "127.0.0.1:%d" % self.port
        self.log_path = os.path.join(self.dir, "traps.log")
        self.out_path = os.path.join(self.dir, "snmptrapd.out")
        conf = os.path.join(self.dir, "snmptrapd.conf")
        persist = os.path.join(self.dir, "persist")
        os.mkdir(persist)
        with open(conf, "w") as f:
            # Only the test's own community is taken, and logged.
            f.write("authCommunity log %s\n" % community)
            f.write("doNotRetainNotificationLogs yes\n")
        env = rig.clean_env(MIBS="", SNMPCONFPATH=self.dir, SNMP_PERSISTENT_DIR=persist,
                            **{rig.RIG_TAG_VAR: self.dir})
        # -C -c: this configuration only; -n: no name lookups; -On: numeric
        # OIDs; -F: one line per notification.
        cmd = ["snmptrapd", "-f", "-C", "-c", conf, "-n", "-On", "-Lf", self.log_path,
               "-F", LINE_PREFIX + SEPARATOR + "%V" + SEPARATOR + "%v\n", "udp:" + self.address]
        with open(self.out_path, "ab") as out:
            self.proc = subprocess.Popen(cmd, env=env, stdin=subprocess.DEVNULL, stdout=out,
                                         stderr=subprocess.STDOUT)
        self.pid = self.proc.pid

        def ready():
            if self.proc.poll() is not None:
                raise rig.RigError("snmptrapd exited with %d: %s%s" % (
                    self.proc.returncode, self._read(self.out_path), self._read(self.log_path)))
            return READY_LINE in self._read(self.log_path)

        try:
            if not rig.wait_for(ready, start_timeout):
                raise rig.RigError("snmptrapd did not start on %s: %s" % (self.address, self.output()))
        except Exception:
            self.close()
            raise

    @staticmethod
    def _read(path):
        try:
            with open(path, errors="replace") as f:
                return f.read()
        except OSError:
            return ""

    def output(self):
        """Everything snmptrapd wrote, for assertion messages."""
        return self._read(self.out_path) + self._read(self.log_path)

    def notifications(self):
        """[(trap_oid, [(oid, value text)])] in the order they arrived."""
        found = []
        for line in self._read(self.log_path).splitlines():
            if not line.startswith(LINE_PREFIX + SEPARATOR):
                continue
            trap_oid, bindings = None, []
            for item in line[len(LINE_PREFIX + SEPARATOR):].split(SEPARATOR):
                oid, _sep, value = item.partition(" = ")
                if oid == SNMP_TRAP_OID:
                    trap_oid = value[len("OID: "):] if value.startswith("OID: ") else value
                elif oid != SYS_UPTIME:
                    bindings.append((oid, value))
            found.append((trap_oid, bindings))
        return found

    def wait_for(self, predicate, timeout):
        """Waits until predicate(notifications()) is true; returns that value, or None."""
        return rig.wait_for(lambda: predicate(self.notifications()), timeout, interval=0.1)

    def close(self):
        if self.proc is not None:
            if self.proc.poll() is None:
                self.proc.terminate()
                try:
                    self.proc.wait(10)
                except subprocess.TimeoutExpired:
                    self.proc.kill()
                    self.proc.wait()
            self.proc = None
        rig.kill_tagged(self.dir)
        shutil.rmtree(self.dir, ignore_errors=True)


if __name__ == "__main__":
    raise SystemExit("traprig.py is a library for the end-to-end suites")
