"""End-to-end tests of the management information group (.1.6): the real
agent as subagent of a real snmpd, a real PostgreSQL (the agent needs its
database to start) and, for the full table, the simulated BMC (ipmi_sim,
tests/bmc) on 127.0.0.1:623 in a network namespace shared with the agent,
so that the ipmiutil FRU command reaches it too (bmcrig.py).

Each scenario is one agent with its own snmpd (every agent registers the
same subtree), all started once for the suite:

  full     BMC answers: 18 objects and the 4 numbers; asset file with
           leading blank lines
  silent   IpmiHost on a loopback port where nothing listens: 9 objects
           and the 4 numbers; no asset file
  inband   no IpmiHost and no /dev/ipmi0: 9 objects; empty asset file
  kxbin    mpstat not on the search path, so it is run from the
           installation's bin directory, whose name holds shell syntax;
           asset tag longer than 80 bytes

Expected values are derived from the BMC fixture (tests/bmc/README.md) and
from this machine (host name, kernel, /proc/meminfo, dmidecode, sysfs);
values re-read per request (memory in use and free, CPU use, BIOS) are
checked by shape.
"""

import os
import re
import shutil
import socket
import subprocess
import unittest
import warnings

import bmcrig
import rig
from rig import DEFAULT_CONFIG, DEFAULT_LOG, KX_INI, START_SUBAGENT

MGT = rig.ENTERPRISE_OID + ".6"
HERE = os.path.dirname(os.path.abspath(__file__))
ASSET_FILE = "/etc/corvantis-asset"

# Generous bounds: they catch hangs, not slowness.  The silent BMC costs
# the IPMI layer's session timeout (3 s) at start-up.
START_TIMEOUT = 30
SERVE_TIMEOUT = 30

ASSET_WITH_BLANK_LINES = "\n\n   \n  Rack 7 / Unit 12\nsecond line\n"
LONG_TAG = "CV-" + "0123456789" * 12  # 123 characters
ASSET_LONG = "   " + LONG_TAG + "\n"

# The kxbin scenario's installation directory: valid as a path, and a
# command list if it ever reaches the shell unquoted (${IFS} splits words).
INJECTED = "/tmp/kxbin-injected"
ODD_KXDIR = "/opt/k;/bin/touch${IFS}%s;:" % INJECTED
TOOLS_DIR = "/opt/kxtools"
# What the agent and its commands need, without mpstat.
TOOLS = ("awk", "cat", "cut", "dmidecode", "du", "grep", "head", "tail", "which")

STABLE = [n for n in range(1, 19) if n not in (5, 6, 7)]


# ------------------------------------------------------------- helpers

def oid_tuple(oid):
    return tuple(int(x) for x in oid.strip(".").split("."))


def string_value(text):
    """The text of an snmpwalk STRING value, or None for anything else."""
    if text == '""':
        return ""
    m = re.fullmatch(r'STRING: "(.*)"', text or "")
    return m.group(1) if m else None


def walk_values(result):
    """[(oid, value text)] of an snmpwalk -On."""
    return [(oid, value) for oid, _, value in (line.partition(" = ") for line in result.lines)]


def meminfo_mb(key):
    with open("/proc/meminfo") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1]) // 1024
    raise AssertionError("no %s in /proc/meminfo" % key)


def mem_total_mb():
    return meminfo_mb("MemTotal")


def platform_id():
    """The platform id by its rule: dmidecode's last "Product Name:" line,
    the text between its first and second colon, read as one line of at
    most 15 characters, leading spaces skipped, cut at the newline; "QPX"
    when there is none."""
    try:
        out = subprocess.run(["dmidecode"], capture_output=True, text=True, errors="replace",
                             stdin=subprocess.DEVNULL, timeout=30).stdout
    except FileNotFoundError:
        return "QPX"
    names = [line for line in out.splitlines() if "Product Name:" in line]
    if not names:
        return "QPX"
    line = (names[-1].split(":")[1] + "\n")[:15]
    return line.lstrip(" ").split("\n")[0][:15]


def bios_shape():
    """The BIOS version shape: "na" without the kernel's SMBIOS data."""
    try:
        with open("/sys/class/dmi/id/bios_version") as f:
            present = f.read().strip() != ""
    except OSError:
        present = False
    return r"[ -~]{1,63}" if present else r"na"


def exact_values():
    return {"HOSTNAME": socket.gethostname(), "KERNEL": os.uname().release,
            "MEM_TOTAL": str(mem_total_mb()), "PLATFORM": platform_id()}


SHAPES = {"MEM_USED": r"\d+", "MEM_FREE": r"\d+", "CPU": r"\d+(?:\.\d+)?", "CPU_VALUE": r"\d+",
          "BIOS": None}


def match_template(template, actual):
    """Matches lines against a template with @NAME@ placeholders.

    Returns (expected, fields): expected is the template with exact values
    filled in, each line that matched its shape replaced by the actual line,
    so that assertEqual(actual, expected) shows only the lines that are wrong;
    fields holds the shaped values that matched.
    """
    exact = exact_values()
    shapes = dict(SHAPES, BIOS=bios_shape())
    expected, fields = [], {}
    for i, line in enumerate(template):
        pattern, filled = re.escape(line), line
        for name, value in exact.items():
            pattern = pattern.replace("@%s@" % name, re.escape(value))
            filled = filled.replace("@%s@" % name, value)
        for name, shape in shapes.items():
            pattern = pattern.replace("@%s@" % name, "(?P<%s>%s)" % (name, shape))
        m = re.fullmatch(pattern, actual[i]) if i < len(actual) else None
        if m:
            expected.append(actual[i])
            fields.update(m.groupdict())
        else:
            expected.append(filled)
    return expected, fields


def read_golden(name):
    with open(os.path.join(HERE, "golden", name)) as f:
        return f.read().splitlines()


def host_tool(name):
    path = shutil.which(name, path="/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin")
    if path is None:
        raise RuntimeError("%s not installed" % name)
    return path


def tool_wrappers():
    """Files for a search path with the usual tools but no mpstat."""
    return {"%s/%s" % (TOOLS_DIR, t): ('#!/bin/sh\nexec %s "$@"\n' % host_tool(t), 0o755) for t in TOOLS}


class PathAgent(rig.Agent):
    """rig.Agent whose binary (only) runs with another PATH, so that the
    rig's own set-up commands still find theirs."""

    def __init__(self, args=(), *, path, **kw):
        self.exec_path = path
        super().__init__(args, **kw)

    def _build_command(self):
        command = super()._build_command()
        i = len(command) - len(self.args) - 1
        if command[i] != self.binary:
            raise rig.RigError("unexpected agent command layout: %r" % command)
        return command[:i] + ["/usr/bin/env", "PATH=" + self.exec_path] + command[i:]


class Scenario:
    """An snmpd and an agent of their own (rig.servers() adds them)."""

    def __init__(self, name, log):
        self.name = name
        self.log = log

    def get(self, *oids):
        return rig.snmpget(self.snmpd.target, *oids, timeout=5)

    def getnext(self, *oids):
        return rig.snmpgetnext(self.snmpd.target, *oids, timeout=5)

    def walk(self):
        return rig.snmpwalk(self.snmpd.target, MGT, timeout=5)

    def value(self, n):
        return self.get("%s.%d.0" % (MGT, n)).values().get("%s.%d.0" % (MGT, n))

    def describe(self):
        return "\n[scenario %s]\n--- stdout:\n%s--- stderr:\n%s--- log:\n%s" % (
            self.name, self.agent.stdout(), self.agent.stderr(), self.agent.log_text(self.log))


# --------------------------------------------------------------- suite

class MgtInfoGroupTest(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        rig.servers(cls, bmc=True, snmpd=None)
        cls.has_ipmi_device = os.path.exists("/dev/ipmi0")
        cls.host_has_asset_file = os.path.lexists(ASSET_FILE)
        cls.scenarios = {}

        # TZ: ipmiutil prints the FRU's time (UTC) in local time.
        env = {"TZ": "UTC"}
        cls._start("full", lambda s: bmcrig.NsAgent(
            cls.netns, ["-f", "-v", "-x", s.snmpd.agentx], conninfo=cls.pg.conninfo, env=env,
            files={DEFAULT_CONFIG: cls.bmc.agent_config(), ASSET_FILE: ASSET_WITH_BLANK_LINES}))
        silent_host = "127.0.0.1:%d" % rig.free_port()
        cls._start("silent", lambda s: rig.Agent(
            ["-f", "-v", "-x", s.snmpd.agentx], conninfo=cls.pg.conninfo, env=env,
            files={DEFAULT_CONFIG: cls.bmc.agent_config(host=silent_host)}))
        if not cls.has_ipmi_device:
            cls._start("inband", lambda s: rig.Agent(
                ["-f", "-v", "-x", s.snmpd.agentx], conninfo=cls.pg.conninfo, env=env,
                files={ASSET_FILE: ""}))
        files = tool_wrappers()
        files.update({KX_INI: "KXDIR=%s\n" % ODD_KXDIR,
                      ODD_KXDIR + "/bin/mpstat": ('#!/bin/sh\nexec %s "$@"\n' % host_tool("mpstat"), 0o755),
                      ASSET_FILE: ASSET_LONG})
        cls._start("kxbin", lambda s: PathAgent(
            ["-f", "-v", "-x", s.snmpd.agentx], path=TOOLS_DIR, conninfo=cls.pg.conninfo, env=env, files=files,
            dirs=[ODD_KXDIR + "/bin", ODD_KXDIR + "/logs.dir"]), log=ODD_KXDIR + "/logs.dir/corvantis-snmp.log")

        for s in cls.scenarios.values():
            if not s.agent.wait_log(START_SUBAGENT, START_TIMEOUT, path=s.log, level=1):
                raise rig.RigError("no start line" + s.describe())
            if not rig.wait_served(s.snmpd.target, MGT + ".1.0", SERVE_TIMEOUT):
                raise rig.RigError("group not served" + s.describe())

    @classmethod
    def _start(cls, name, make_agent, log=DEFAULT_LOG):
        # Started side by side; setUpClass then waits for them all.
        s = rig.servers(Scenario(name, log), cleanup=cls.addClassCleanup, pg=None, agent=make_agent,
                        start_line=None)
        cls.addClassCleanup(s.agent.terminate)
        cls.scenarios[name] = s

    def scenario(self, name):
        if name not in self.scenarios:
            self.skipTest("scenario %s not run on this host (/dev/ipmi0 present)" % name)
        return self.scenarios[name]

    def assertMatchesGolden(self, s, walk, golden):
        self.assertEqual(walk.returncode, 0, walk)
        expected, fields = match_template(read_golden(golden), walk.lines)
        self.assertEqual(walk.lines, expected, s.describe())
        total = mem_total_mb()
        self.assertLessEqual(int(fields["MEM_USED"]), total)
        self.assertLessEqual(int(fields["MEM_FREE"]), total)
        self.assertLessEqual(float(fields["CPU"]), 100.0)
        self.assertLessEqual(int(fields["CPU_VALUE"]), 10000)

    # -- the full table

    def test_full_table_walk_matches_the_golden_file(self):
        s = self.scenario("full")
        self.assertMatchesGolden(s, s.walk(), "mgt_walk_full.txt")

    def test_full_table_gets_agree_with_the_walk_and_the_group_ends_at_24(self):
        s = self.scenario("full")
        walked = dict(walk_values(s.walk()))
        got = s.get(*["%s.%d.0" % (MGT, n) for n in range(1, 19)])
        self.assertEqual(got.returncode, 0, got)
        values = got.values()
        self.assertEqual(len(values), 18, got)
        for n in STABLE:
            oid = "%s.%d.0" % (MGT, n)
            self.assertEqual(values[oid], walked[oid], oid)
        # Only scalar instances .n.0 of 1 to 18 and 21 to 24 exist.
        for oid in (MGT + ".19.0", MGT + ".20.0", MGT + ".25.0", MGT + ".0.0", MGT + ".1",
                    MGT + ".1.0.0", MGT + ".10.1"):
            line = s.get(oid).lines[0]
            self.assertRegex(line, r"No Such (Object|Instance)", oid)
        self.assertEqual(s.getnext(MGT + ".18.0").lines[0].partition(" = ")[0], MGT + ".21.0")
        self.assertLeavesTheGroup(s.getnext(MGT + ".24.0"))

    def test_bmc_discovery_log(self):
        s = self.scenario("full")
        a = s.agent
        # The simulated BMC answers the OEM LAN-port command with 0xC1
        # (invalid command): object 17 reads "unknown" and one level-1 line.
        self.assertTrue(a.has_log("get_smc_lan_port error 193", level=1), s.describe())
        self.assertEqual(s.value(17), 'STRING: "unknown"')
        # The gateway MAC answer ff:00:.. is read again; the second answer is kept.
        self.assertTrue(a.has_log("get_ipmi_lan_gwymac rv=0, buf ff:00:00:00:00:00", level=2), s.describe())
        self.assertTrue(a.has_log("discover_mgtInfo complete for %s, rv = 0" % socket.gethostname(), level=3),
                        s.describe())
        # Every LAN parameter was read; no other IPMI failure at discovery.
        messages = [m for _t, _l, m in a.log_entries()]
        self.assertFalse([m for m in messages if m.startswith(("get_ipmi_lan_config(", "discover_mgtInfo: "))],
                         s.describe())

    def test_password_file_others_can_read_is_named_at_start(self):
        # The rig lays the configuration file with mode 644.  (The FRU date
        # of the golden walk is read with the password off the command line.)
        s = self.scenario("full")
        self.assertTrue(s.agent.has_log(
            "%s holds IpmiPassword and is readable by group or others (mode 644)" % DEFAULT_CONFIG,
            level=1), s.describe())

    def test_independent_client_agrees_with_snmpwalk(self):
        s = self.scenario("full")
        try:
            import pysnmp  # noqa: F401  (Debian python3-pysnmp4, for /usr/bin/python3)
        except ImportError:
            self.fail("pysnmp missing: install the Debian package python3-pysnmp4")
        walk = walk_values(s.walk())
        for bulk in (False, True):
            with self.subTest(bulk=bulk):
                other = pysnmp_walk(s.snmpd.port, MGT, bulk)
                self.assertEqual([oid for oid, _ in other], [oid for oid, _ in walk])
                texts = dict(other)
                for oid, value in walk:
                    if oid_tuple(oid)[-2] in STABLE:
                        self.assertEqual(texts[oid].decode(errors="replace"), string_value(value), oid)

    # -- the basic table

    def assertLeavesTheGroup(self, result):
        self.assertTrue(result.answered, result)
        line = result.lines[0]
        if "No more variables left in this MIB View" in line:
            return
        oid = line.partition(" = ")[0]
        self.assertFalse(oid.startswith(MGT + "."), line)
        self.assertGreater(oid_tuple(oid), oid_tuple(MGT + ".24.0"), line)

    def test_basic_table_when_the_bmc_is_silent(self):
        s = self.scenario("silent")
        if self.host_has_asset_file:
            self.skipTest("this host has %s: the missing-file case cannot be laid" % ASSET_FILE)
        self.assertMatchesGolden(s, s.walk(), "mgt_walk_basic.txt")
        # The host's numbers follow its objects, in the basic table too.
        self.assertEqual(s.getnext(MGT + ".9.0").lines[0].partition(" = ")[0], MGT + ".21.0")
        self.assertLeavesTheGroup(s.getnext(MGT + ".24.0"))
        got = s.get(*["%s.%d.0" % (MGT, n) for n in range(10, 19)])
        self.assertEqual(len(got.lines), 9, got)
        self.assertTrue(all("No Such Object" in line for line in got.lines), got)
        a = s.agent
        self.assertTrue(any(lvl == 1 and re.fullmatch(r"discover_mgtInfo: ipmi_getdeviceid error -?\d+", m)
                            for _t, lvl, m in a.log_entries()), s.describe())
        self.assertTrue(a.has_log("fopen(/etc/corvantis-asset) error errno=2", level=1), s.describe())
        self.assertTrue(a.has_log("discover_mgtInfo complete for %s, rv = 0" % socket.gethostname(), level=3))
        self.assertFalse(a.has_log("get_smc_lan_port error 193"))

    def test_basic_table_in_band_without_a_driver(self):
        s = self.scenario("inband")
        walk = s.walk()
        # The asset file is empty: an empty tag; the rest as with a silent BMC.
        self.assertEqual(walk.lines[:1], ['%s.1.0 = ""' % MGT], s.describe())
        golden = read_golden("mgt_walk_basic.txt")
        rest = walk.lines[1:]
        expected, _ = match_template(golden[1:], rest)
        self.assertEqual(rest, expected, s.describe())
        self.assertLeavesTheGroup(s.getnext(MGT + ".24.0"))
        self.assertTrue(any(lvl == 1 and m.startswith("discover_mgtInfo: ipmi_getdeviceid error ")
                            for _t, lvl, m in s.agent.log_entries()), s.describe())

    # -- asset tag, memory, CPU

    def test_asset_file_cases(self):
        cases = [
            ("full", "leading blank lines and spaces", 'STRING: "Rack 7 / Unit 12"'),
            ("silent", "missing", 'STRING: "unknown"'),
            ("inband", "empty", '""'),
            # More than 80 bytes: at most 79 characters after the blanks.
            ("kxbin", "longer than 80 bytes", 'STRING: "%s"' % LONG_TAG[:79]),
        ]
        for name, case, expected in cases:
            with self.subTest(case):
                if name == "silent" and self.host_has_asset_file:
                    self.skipTest("this host has %s" % ASSET_FILE)
                s = self.scenario(name)
                self.assertEqual(s.value(1), expected, s.describe())

    def test_memory_objects_follow_proc_meminfo(self):
        s = self.scenario("full")
        total = mem_total_mb()
        for _ in range(3):
            got = s.get(MGT + ".4.0", MGT + ".5.0", MGT + ".6.0")
            texts = [string_value(v) for v in got.values().values()]
            self.assertEqual(texts[0], "%d MB" % total, got)
            used = int(re.fullmatch(r"(\d+) MB", texts[1]).group(1))
            free = int(re.fullmatch(r"(\d+) MB", texts[2]).group(1))
            self.assertLessEqual(used, total)
            self.assertLessEqual(free, total)
            # Each is measured at its own request: equal to the host's figures
            # up to what changed in between (a tenth of the memory is plenty).
            self.assertLess(abs(used + free - total), total // 10, got)
            self.assertLess(abs(free - meminfo_mb("MemFree")), total // 10, got)

    def test_numbers_agree_with_their_texts_in_one_request(self):
        # One GET measures once: the numbers are those of the texts beside them.
        for name in ("full", "silent"):
            with self.subTest(name):
                s = self.scenario(name)
                oids = ["%s.%d.0" % (MGT, n) for n in (4, 5, 6, 7, 21, 22, 23, 24)]
                values = list(s.get(*oids).values().values())
                self.assertEqual(len(values), 8, values)
                for text, number in zip(values[:3], values[4:7]):
                    self.assertEqual(text, 'STRING: "%s MB"' % number.partition("Gauge32: ")[2], values)
                percent = re.fullmatch(r'STRING: "(\d+(?:\.\d+)?) %"', values[3])
                self.assertIsNotNone(percent, values)
                self.assertEqual(values[7], "Gauge32: %d" % round(float(percent.group(1)) * 100), values)

    def test_cpu_use_reads_a_percentage(self):
        # mpstat prints 24-hour times in the agent's locale, so the time takes
        # one column: the CPU column must be found wherever it stands.
        for name in ("full", "silent"):
            with self.subTest(name):
                s = self.scenario(name)
                value = s.value(7)
                self.assertRegex(value or "", r'^STRING: "\d+(\.\d+)? %"$', s.describe())

    # -- configured text and the shell

    def test_installation_directory_reaches_the_shell_as_one_word(self):
        s = self.scenario("kxbin")
        s.value(7)  # one more measurement through the fallback
        self.assertFalse(s.agent.exists(INJECTED),
                         "the bin directory's name was run as commands" + s.describe())

    def test_cpu_use_from_the_installation_bin_directory(self):
        # mpstat is not on the search path: the one in kxbin measures.
        s = self.scenario("kxbin")
        self.assertRegex(s.value(7) or "", r'^STRING: "\d+(\.\d+)? %"$', s.describe())


def pysnmp_walk(port, oid, bulk):
    """[(oid, bytes)] of a walk of the subtree by pysnmp (GETNEXT or GETBULK)."""
    with warnings.catch_warnings():
        # pysnmp's MIB compiler still imports the deprecated imp module.
        warnings.simplefilter("ignore", DeprecationWarning)
        from pysnmp.hlapi import (CommunityData, ContextData, ObjectIdentity, ObjectType, SnmpEngine,
                                  UdpTransportTarget, bulkCmd, nextCmd)
        from pyasn1.type.univ import Integer, Null
    args = (SnmpEngine(), CommunityData("public", mpModel=1),
            UdpTransportTarget(("127.0.0.1", port), timeout=5, retries=0), ContextData())
    start = ObjectType(ObjectIdentity(oid.strip(".")))
    if bulk:
        rows = bulkCmd(*args, 0, 10, start, lexicographicMode=False, lookupMib=False)
    else:
        rows = nextCmd(*args, start, lexicographicMode=False, lookupMib=False)
    out = []
    for error_indication, error_status, _index, var_binds in rows:
        if error_indication or error_status:
            raise AssertionError("pysnmp: %s %s" % (error_indication, error_status))
        for name, value in var_binds:
            if isinstance(value, Null) or not str(name).startswith(oid.strip(".") + "."):
                continue  # end-of-MIB marker of a bulk walk, or past the subtree
            # Texts as their bytes, numbers (Gauge32) as their decimal digits.
            shown = str(int(value)).encode() if isinstance(value, Integer) else bytes(value)
            out.append(("." + str(name), shown))
    return out


if __name__ == "__main__":
    unittest.main()
