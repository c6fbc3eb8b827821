"""End-to-end tests of the backup appliance group (.1.3): the real agent as
subagent of a real snmpd, reading a real PostgreSQL loaded with the group's
fixture (tests/fixtures/kxl_fixture.sql).

The fixture's times are fixed, so the agent runs with its clock started at
2026-01-08 00:00:00 UTC through libfaketime; the clock then runs at its
normal pace, so the 30-second cache is waited out in real time.
"""

import os
import time
import unittest

import rig

KXL = rig.ENTERPRISE_OID + ".3"
MGT = rig.ENTERPRISE_OID + ".6"
HERE = os.path.dirname(os.path.abspath(__file__))
FAKETIME_LIB = "/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1"
FIXTURE = ("kxext/schema.sql", "tests/fixtures/kxl_fixture.sql")
PASS_LINE = "discover_kxl: backup  rv="

CACHE_WAIT = 32  # past the 30-second cache, counted from the first pass
# A GET must come back inside one AgentX timeout of the master (1 s).
QUICK = ("-t", "1", "-r", "0")


def fixture_clock():
    env = {"LD_PRELOAD": FAKETIME_LIB, "FAKETIME": "@2026-01-08 00:00:00", "TZ": "UTC", "PGTZ": "UTC"}
    # A sanitizer build refuses a preloaded library ahead of its runtime.
    asan = os.environ.get("ASAN_OPTIONS", "")
    env["ASAN_OPTIONS"] = (asan + ":" if asan else "") + "verify_asan_link_order=0"
    return env


class Setup:
    """One database, one snmpd master and one agent of a scenario."""

    def __init__(self, test, prepare_sql=None):
        pg = rig.Pg(*FIXTURE)
        test.addCleanup(pg.close)
        if prepare_sql:
            pg.psql(prepare_sql)
        rig.servers(self, cleanup=test.addCleanup, pg=pg, agent=["-v"], env=fixture_clock())
        self.started = time.monotonic()
        test.assertTrue(rig.wait_for(lambda: self.snmpd.has_client(self.agent.pid), 15),
                        "no AgentX connection" + rig.describe(self.agent))

    def wait_answer(self, oid, timeout=15):
        def answered():
            got = self.snmpd.get(oid)
            return got.answered and "No Such" not in got.stdout
        return rig.wait_for(answered, timeout)

    def get(self, *oids):
        return rig.snmpget(self.snmpd.target, *oids, timeout=2)

    def value(self, oid):
        return self.get(oid).values().get(oid)

    def passes(self):
        return self.agent.log_text().count(PASS_LINE)


class KxlGroupTest(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        if not os.path.exists(FAKETIME_LIB):
            raise RuntimeError("libfaketime missing: install the faketime package")

    def test_walk_matches_the_golden_file_and_answers_single_columns(self):
        s = Setup(self)
        self.assertTrue(s.wait_answer(KXL + ".10.1.0"), rig.describe(s.agent))
        walk = s.snmpd.walk(KXL, timeout=20)
        self.assertEqual(walk.returncode, 0, walk.stderr)
        with open(os.path.join(HERE, "golden", "kxl_walk.txt")) as f:
            expected = f.read().splitlines()
        self.assertEqual(walk.stdout.splitlines(), expected)

        # Replication column 8 is registered but never answered.
        got = s.get(KXL + ".30.2.1.8.1", KXL + ".30.2.1.7.1").lines
        self.assertIn("No Such", got[0])
        self.assertIn('"complete"', got[1])
        # Status texts: backup 1 succeeded, 10 failed, 7 is in another state.
        got = s.get(KXL + ".10.2.1.4.1", KXL + ".10.2.1.4.9", KXL + ".10.2.1.4.6")
        self.assertEqual(list(got.values().values()),
                         ['STRING: "Success"', 'STRING: "FAILURE"', 'STRING: "Unknown"'])
        # Rows past the counts are not there.
        got = s.get(KXL + ".10.2.1.2.51", KXL + ".40.2.1.2.51", KXL + ".20.2.1.3.10")
        self.assertTrue(all("No Such" in line for line in got.lines), got.stdout)
        # The walk and these GETs came within 30 s of the first pass: no pass since.
        self.assertEqual(s.passes(), 1, rig.describe(s.agent))

    def test_refresh_after_thirty_seconds_and_a_database_that_went_away(self):
        # Two scenarios of their own databases wait out the cache together.
        shrink = Setup(self)
        down = Setup(self)
        for s in (shrink, down):
            self.assertTrue(s.wait_answer(KXL + ".40.1.0"), rig.describe(s.agent))
        shrink.pg.psql("DELETE FROM archives WHERE archive_id > 10;"
                       "UPDATE archives SET error_string = 'renewed' WHERE archive_id = 1")
        down.pg.stop_server()
        time.sleep(max(0.0, max(shrink.started, down.started) + CACHE_WAIT - time.monotonic()))

        # The next pass, started by a request or by the agent on its own
        # once the data is over 30 s old, serves what the database holds now.
        # (What a request that starts it answers is the unit test's.)
        self.assertTrue(rig.wait_for(lambda: shrink.value(KXL + ".40.1.0") == "INTEGER: 10", 20, interval=0.5),
                        rig.describe(shrink.agent))
        self.assertEqual(shrink.passes(), 2)
        self.assertIn("No Such", shrink.get(KXL + ".40.2.1.10.20").stdout)
        self.assertEqual(shrink.value(KXL + ".40.2.1.10.1"), 'STRING: "renewed"')

        # The database is down: answers still come at once, from the last pass.
        got = rig.snmpget(down.snmpd.target, KXL + ".10.1.0", KXL + ".10.2.1.3.1", timeout=1, extra=QUICK)
        self.assertTrue(got.answered, got)
        self.assertEqual(list(got.values().values()), ["INTEGER: 50", 'STRING: "fileserver01"'])
        # The library's line names the cause at level 0, once a minute; the
        # pass's own line within that minute is a trace.
        entries = down.agent.log_entries()
        self.assertTrue(any(m.startswith("kxext: ") and lvl == 0 for _s, lvl, m in entries),
                        rig.describe(down.agent))
        self.assertTrue(any(m.startswith("pgOpen error ") for _s, _lvl, m in entries),
                        rig.describe(down.agent))
        walk = down.snmpd.walk(KXL, timeout=5)
        with open(os.path.join(HERE, "golden", "kxl_walk.txt")) as f:
            self.assertEqual(walk.stdout.splitlines(), f.read().splitlines())
        # Back again: the next pass after the cache reads it.
        down.pg.start_server()

    def test_database_without_system_one_leaves_the_group_unregistered(self):
        s = Setup(self, prepare_sql="DELETE FROM systems WHERE system_id = 1")
        self.assertTrue(s.agent.wait_log("discover_kxl interface not found", 10, level=0),
                        rig.describe(s.agent))
        self.assertTrue(s.agent.has_log("discover_kxl error -2", level=0))
        self.assertTrue(s.agent.has_log(
            "Could not retrieve information for system id 1 from database", level=0))
        got = s.get(KXL + ".10.1.0", rig.SYS_UPTIME_OID)
        self.assertTrue(got.answered, got)
        self.assertIn("No Such Object", got.lines[0])
        # The agent itself still serves: net-snmp's master answers for it and
        # the management group is there.
        self.assertTrue(rig.wait_for(lambda: "No Such" not in s.get(MGT + ".2.0").stdout, 15),
                        s.get(MGT + ".2.0"))


if __name__ == "__main__":
    unittest.main()
