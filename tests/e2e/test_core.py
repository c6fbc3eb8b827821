"""End-to-end tests of the agent core: start-up, command line, configuration,
log, roles (AgentX subagent, master), daemonizing and shutdown.

One PostgreSQL cluster (schema and fixture) and one snmpd master serve the
whole suite; every test runs the real binary as root in its own private mount
namespace (see rig.py), so /etc, /usr, /opt and /var of the host stay as they
were.
"""

import datetime
import os
import shutil
import signal
import socket
import time
import unittest

import rig
from rig import DEFAULT_CONFIG, DEFAULT_LOG, ENTERPRISE_OID, KX_DIRS, KX_INI, START_SUBAGENT, START_TIMEOUT, describe

START_MASTER = "corvantis-snmp version 1.6 agentx master_agent started"
SHUTTING_DOWN = "corvantis-snmp shutting down"

USAGE = (
    "corvantis-snmp usage: [cfilmstvx]\n"
    "     -c file  = specify custom corvantis-snmp.conf file\n"
    "     -f       = run in foreground.  Default is background\n"
    "     -i       = interval in seconds. Default is 300 from config\n"
    "     -l file  = specify custom log filename\n"
    "     -m       = run as master agent. Default is subagent\n"
    "     -s       = write log messages to syslog also\n"
    "     -v       = Verbose. Show debug log messages\n"
    "     -x ADDR  = set AgentAddress to ADDR\n"
)

NOWHERE = "unix:/nonexistent/agentx.sock"

# Generous bounds: they catch hangs, not slowness.
STOP_TIMEOUT = 10
CONNECT_TIMEOUT = 20


class AgentCoreTest(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        rig.servers(cls)

    # -- helpers

    def agent(self, args, **kw):
        kw.setdefault("conninfo", self.pg.conninfo)
        a = rig.Agent(args, **kw)
        self.addCleanup(a.close)
        return a

    def scratch_dir(self):
        d = rig.make_dir("scratch-")
        self.addCleanup(shutil.rmtree, d, True)
        return d

    def start(self, args, start_line=START_SUBAGENT, log=DEFAULT_LOG, **kw):
        """A foreground agent, once its start line is in the log."""
        kw.setdefault("conninfo", self.pg.conninfo)
        return rig.start_agent(rig.Agent(args, **kw), self.addCleanup, start_line, log=log)

    def assertConnected(self, a, snmpd=None):
        snmpd = snmpd or self.snmpd
        self.assertTrue(rig.wait_for(lambda: snmpd.has_client(a.pid), CONNECT_TIMEOUT),
                        "agent %s has no AgentX connection to %s%s" % (a.pid, snmpd.agentx, describe(a)))

    def assertStops(self, a, sig=signal.SIGTERM, log=DEFAULT_LOG):
        status = a.terminate(sig, STOP_TIMEOUT)
        self.assertEqual(status, 0, "exit status after %s%s" % (signal.Signals(sig).name, describe(a)))
        if log is not None:
            self.assertTrue(a.has_log(SHUTTING_DOWN, path=log, level=1), describe(a))

    def assertMasterAnswers(self, timeout=5):
        for oid in (rig.SYS_UPTIME_OID, ENTERPRISE_OID + ".0"):
            r = self.snmpd.get(oid, timeout=timeout)
            self.assertTrue(r.answered, "GET %s through the master: %r" % (oid, r))
        r = self.snmpd.walk(ENTERPRISE_OID, timeout=timeout)
        self.assertTrue(r.answered, "walk of %s: %r" % (ENTERPRISE_OID, r))
        for line in r.lines:
            self.assertTrue(line.startswith(ENTERPRISE_OID), "walk left the subtree: %r" % r)

    # -- roles and life cycle

    def test_subagent_serves_through_master_and_stops_on_sigterm(self):
        a = self.start(["-f", "-x", self.snmpd.agentx])
        self.assertConnected(a)
        self.assertMasterAnswers()

        self.assertTrue(a.has_log("DebugEnabled = 0, RefreshInterval = 300", level=1), describe(a))
        # Level 4 lines stay out of the log unless verbose.
        self.assertFalse(any(lvl >= 4 for _s, lvl, _m in a.log_entries()), describe(a))
        # Every entry starts with a stamp in local time; only the further
        # lines of multi-line messages (indented) do not.
        lines = a.log_text().splitlines()
        self.assertRegex(lines[0], rig.LOG_ENTRY)
        for line in lines:
            if not line.startswith("\t"):
                self.assertRegex(line, rig.LOG_ENTRY)
        stamp = datetime.datetime.strptime(a.log_entries()[0][0], "%Y-%m-%d %H:%M:%S.%f %z")
        self.assertLess(abs((datetime.datetime.now().astimezone() - stamp).total_seconds()), 600)

        self.assertStops(a)
        self.assertEqual(a.stdout(), "corvantis-snmp AgentAddress = %s\n" % self.snmpd.agentx)
        self.assertFalse(self.snmpd.has_client(a.pid))
        # The master serves on without its subagent.
        self.assertTrue(self.snmpd.get(rig.SYS_UPTIME_OID).answered)

    def test_master_mode_serves_its_own_port_without_smux(self):
        port = rig.free_port()
        conf = "agentaddress udp:127.0.0.1:%d\nrocommunity public 127.0.0.1\n" % port
        a = self.start(["-f", "-m"], start_line=START_MASTER, snmp_conf=conf)
        target = "127.0.0.1:%d" % port
        r = rig.wait_for(lambda: rig.snmpget(target, ENTERPRISE_OID + ".0", timeout=2).answered, 10)
        self.assertTrue(r, "no answer on %s%s" % (target, describe(a)))
        self.assertTrue(rig.snmpwalk(target, ENTERPRISE_OID).answered)

        listening = rig.listening_sockets(a.pid)
        self.assertIn(("udp", target), listening)
        # No SMUX (TCP 199) or any other TCP listener.
        self.assertEqual([s for s in listening if s[0] == "tcp"], [], listening)
        self.assertNotIn(a.pid, self.snmpd.clients())

        self.assertStops(a, signal.SIGINT)

    def test_daemonizes_and_the_child_serves_until_sigterm(self):
        a = self.agent(["-x", self.snmpd.agentx])
        self.assertEqual(a.start_daemon(timeout=10), 0, describe(a))
        self.assertIsNotNone(a.pid, "no daemon child found" + describe(a))
        self.assertNotEqual(a.pid, a.proc.pid)
        self.assertTrue(a.wait_log(START_SUBAGENT, START_TIMEOUT, level=1), describe(a))
        self.assertConnected(a)
        self.assertMasterAnswers()
        self.assertStops(a)
        # Messages printed before the fork appear once, not once per process.
        self.assertEqual(a.stdout(), "corvantis-snmp AgentAddress = %s\n" % self.snmpd.agentx)

    def test_missing_log_directory_does_not_stop_the_agent(self):
        a = self.agent(["-f", "-x", self.snmpd.agentx], dirs=("/usr/kx/bin", "/usr/kx/schema/snmp")).start()
        self.assertConnected(a)
        self.assertMasterAnswers()
        self.assertStops(a, log=None)
        self.assertFalse(a.exists("/usr/kx/logs.dir"))
        self.assertEqual([f for f in a.upper_files() if f.endswith(".log")], [])

    # -- refusals

    def test_refuses_to_run_without_root(self):
        r = self.agent(["-f", "-x", self.snmpd.agentx], as_user=65534).run()
        self.assertEqual((r.returncode, r.stdout), (1, "corvantis-snmp requires root privileges.\n"), r)

    def test_refuses_to_run_without_database(self):
        unreachable = {
            "no server on the port": "host=127.0.0.1 port=%d dbname=kxdb user=postgres" % rig.free_tcp_port(),
            "no such database": self.pg.conninfo_with(dbname="nosuch"),
        }
        for case, conninfo in unreachable.items():
            with self.subTest(case):
                a = self.agent(["-f", "-x", self.snmpd.agentx], conninfo=conninfo)
                r = a.run(timeout=20)
                self.assertEqual((r.returncode, r.stdout),
                                 (1, "corvantis-snmp: Cannot find kxdb database, exiting\n"), r)
                self.assertLess(r.elapsed, 10, r)
                self.assertFalse(a.has_log(START_SUBAGENT), describe(a))

    def test_bad_options_print_usage(self):
        for args in (["-q"], ["-f", "-c"], ["-?"]):
            with self.subTest(args=args):
                a = self.agent(args)
                r = a.run()
                self.assertEqual((r.returncode, r.stdout), (1, USAGE), r)
                self.assertEqual(a.log_text(), "")

    # -- command line

    def test_log_file_name_limit(self):
        d = self.scratch_dir()

        def name(length):
            path = os.path.join(d, "")
            return path + "l" * (length - len(path))

        too_long = name(80)
        a = self.start(["-f", "-x", self.snmpd.agentx, "-l", too_long])
        self.assertStops(a)
        self.assertIn("Error: log filename 80 chars > 80 max\n", a.stdout())
        self.assertFalse(os.path.exists(too_long))

        longest = name(79)
        a = self.start(["-f", "-x", self.snmpd.agentx, "-l", longest], log=longest)
        self.assertStops(a, log=longest)
        self.assertNotIn("Error", a.stdout())
        self.assertFalse(a.exists(DEFAULT_LOG))

    def test_interval_that_is_no_number_reads_as_zero(self):
        a = self.start(["-f", "-x", self.snmpd.agentx, "-i", "abc"])
        self.assertTrue(a.has_log("DebugEnabled = 0, RefreshInterval = 0", level=1), describe(a))
        self.assertStops(a)

    def test_verbose_reports_missing_config_file_and_goes_on(self):
        a = self.start(["-v", "-c", "/missing", "-f", "-x", self.snmpd.agentx])
        self.assertConnected(a)
        self.assertTrue(a.has_log("DebugEnabled = 4, RefreshInterval = 300", level=1), describe(a))
        self.assertTrue(a.has_log("LogFile = " + DEFAULT_LOG, level=4), describe(a))
        self.assertStops(a)
        out = a.stdout().splitlines()
        self.assertEqual(out[0], "corvantis-snmp: cannot open /missing, ret=-1", out)
        self.assertIn("kxdb_intf_found = 1", out)
        self.assertIn("before daemonize, syslog=0", out)
        self.assertTrue(any(line.startswith("g_platform_id = ") for line in out), out)

    # -- configuration files

    def test_kx_ini_moves_config_and_log(self):
        alt_config = "/opt/kxalt/schema/snmp/corvantis-snmp.conf"
        alt_log = "/opt/kxalt/logs.dir/corvantis-snmp.log"
        files = {
            KX_INI: "# appliance settings\nKXDIR=/opt/kxalt and more text\nKXDIR=/usr/kx\n",
            alt_config: "AgentAddress=%s\nRefreshInterval=45\n" % self.snmpd.agentx,
            # Must not be read: the installation directory is elsewhere.
            DEFAULT_CONFIG: "AgentAddress=%s\nRefreshInterval=99\n" % NOWHERE,
        }
        a = self.start(["-f"], log=alt_log, files=files, dirs=KX_DIRS + ("/opt/kxalt/logs.dir",))
        self.assertConnected(a)
        self.assertTrue(a.has_log("DebugEnabled = 0, RefreshInterval = 45", path=alt_log, level=1),
                        a.log_text(alt_log))
        self.assertStops(a, log=alt_log)
        self.assertFalse(a.exists(DEFAULT_LOG))
        self.assertEqual(a.stdout(), "corvantis-snmp AgentAddress = %s\n" % self.snmpd.agentx)

    def test_config_keys_with_odd_spacing_and_case(self):
        log = os.path.join(self.scratch_dir(), "custom.log")
        conf = (
            "# agent settings\n"
            "   AgentAddress   =   %s   \n"
            "\tlogfile = %s\n"
            "  refreshinterval = 60\n"
            "DebugEnabled=2\n"
            "# RefreshInterval = 5\n"
            "#AgentAddress = %s\n"
            "SomeOtherKey = 1\n"
            "a line without the sign\n"
        ) % (self.snmpd.agentx, log, NOWHERE)
        a = self.start(["-f"], log=log, files={DEFAULT_CONFIG: conf})
        # The address, without the blanks, is the one the agent connects to.
        self.assertConnected(a)
        self.assertTrue(a.has_log("DebugEnabled = 2, RefreshInterval = 60", path=log, level=1), a.log_text(log))
        self.assertTrue(a.has_log("LogFile = " + log, path=log, level=4), a.log_text(log))
        self.assertStops(a, log=log)
        self.assertFalse(a.exists(DEFAULT_LOG))
        # DebugEnabled also makes start-up talkative.
        out = a.stdout().splitlines()
        self.assertIn("corvantis-snmp AgentAddress = %s" % self.snmpd.agentx, out)
        self.assertIn("kxdb_intf_found = 1", out)

    def test_later_address_setting_wins(self):
        d = self.scratch_dir()
        good, bad = os.path.join(d, "good.conf"), os.path.join(d, "bad.conf")
        with open(good, "w") as f:
            f.write("AgentAddress = %s\n" % self.snmpd.agentx)
        with open(bad, "w") as f:
            f.write("AgentAddress = %s\n" % NOWHERE)
        orders = {
            "-x then -c": ["-f", "-x", NOWHERE, "-c", good],
            "-c then -x": ["-f", "-c", bad, "-x", self.snmpd.agentx],
        }
        for case, args in orders.items():
            with self.subTest(case):
                a = self.start(args)
                self.assertConnected(a)
                self.assertStops(a)
                self.assertEqual(a.stdout(), "corvantis-snmp AgentAddress = %s\n" % self.snmpd.agentx)


    # -- reload and systemd readiness

    def test_sighup_reloads_log_file_and_level_and_keeps_settings_without_file(self):
        d = self.scratch_dir()
        conf = os.path.join(d, "agent.conf")
        old_log, new_log = os.path.join(d, "old.log"), os.path.join(d, "new.log")

        def write_conf(log, level):
            with open(conf, "w") as f:
                f.write("AgentAddress=%s\nLogFile=%s\nDebugEnabled=%d\n" % (self.snmpd.agentx, log, level))

        write_conf(old_log, 0)
        a = self.start(["-f", "-c", conf], log=old_log)
        self.assertConnected(a)
        write_conf(new_log, 4)
        a.send(signal.SIGHUP)
        changed = "configuration reloaded: LogFile %s -> %s, DebugEnabled 0 -> 4" % (old_log, new_log)
        self.assertTrue(a.wait_log(changed, 10, path=new_log, level=1), a.log_text(old_log) + a.log_text(new_log) + describe(a))
        # Still serving, its requests traced at level 4 in the new log only.
        self.assertMasterAnswers()
        self.assertTrue(any(lvl == 4 for _s, lvl, _m in a.log_entries(new_log)), a.log_text(new_log))
        self.assertFalse(any(lvl == 4 for _s, lvl, _m in a.log_entries(old_log)), a.log_text(old_log))
        self.assertNotIn("reload", a.log_text(old_log))

        os.unlink(conf)
        a.send(signal.SIGHUP)
        kept = "reload: cannot read %s: No such file or directory; running settings kept" % conf
        self.assertTrue(a.wait_log(kept, 10, path=new_log, level=1), a.log_text(new_log))
        before = len(a.log_entries(new_log))
        self.assertMasterAnswers()
        self.assertTrue(any(lvl == 4 for _s, lvl, _m in a.log_entries(new_log)[before:]), a.log_text(new_log))
        self.assertEqual([m for _s, _l, m in a.log_entries(new_log) if "reload" in m], [changed, kept])
        self.assertStops(a, log=new_log)

    def test_systemd_notifications_ready_status_and_stopping(self):
        up = "STATUS=AgentX session to the master agent is up"
        down = "STATUS=AgentX session to the master agent is down, reconnecting"
        for case, address, status in (("master up", self.snmpd.agentx, up), ("master absent", NOWHERE, down)):
            with self.subTest(case):
                d = self.scratch_dir()
                path = os.path.join(d, "notify.sock")
                sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
                self.addCleanup(sock.close)
                sock.bind(path)
                received = []

                def wait_message(line, timeout):
                    deadline = time.monotonic() + timeout
                    while not any(line in m.split("\n") for m in received):
                        left = deadline - time.monotonic()
                        if left <= 0:
                            return False
                        sock.settimeout(left)
                        try:
                            received.append(sock.recv(4096).decode())
                        except socket.timeout:
                            return False
                    return True

                a = self.start(["-f", "-x", address], env={"NOTIFY_SOCKET": path})
                self.assertTrue(wait_message("READY=1", START_TIMEOUT), "%r%s" % (received, describe(a)))
                # Ready only once the groups are registered, after the start line.
                self.assertTrue(a.has_log(START_SUBAGENT, level=1), describe(a))
                self.assertTrue(wait_message(status, CONNECT_TIMEOUT), received)
                self.assertNotIn("Cannot find module", a.stderr())
                a.send(signal.SIGTERM)
                self.assertTrue(wait_message("STOPPING=1", STOP_TIMEOUT), received)
                self.assertStops(a)


if __name__ == "__main__":
    unittest.main(verbosity=2)
