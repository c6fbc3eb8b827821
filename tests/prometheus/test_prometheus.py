"""The Prometheus module of contrib/prometheus against the generator that
makes it and the exporter that scrapes with it.

  Generated  prometheus-snmp-generator makes, from generator.yml and the
             MIB, the very snmp.yml that is checked in; its metrics are
             numbers only (texts appear as lookup labels)
  Scrape     prometheus-snmp-exporter on loopback scrapes the real agent
             through a real snmpd (PostgreSQL with the test database, the
             simulated BMC, the disk report fixture) with that module:
             every metric of the module is there, and the samples of each
             are exactly the varbinds a walk of its OID gives, with the
             same values (those that move, within a bound) and with
             labels that the walk of the lookup columns gives

Needs prometheus-snmp-exporter and the base modules (scripts/install-deps.sh);
the scrape runs the agent as root like the end-to-end suites (tests/e2e).
"""

import os
import re
import subprocess
import sys
import tempfile
import unittest
import urllib.request

import yaml

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))

import rig  # noqa: E402
from rig import START_TIMEOUT  # noqa: E402

CONTRIB = os.path.join(rig.SOURCE_DIR, "contrib", "prometheus")
SNMP_YML = os.path.join(CONTRIB, "snmp.yml")
GENERATE = os.path.join(CONTRIB, "generate.sh")
MODULE = "corvantis"
DISK_REPORT = os.path.join(rig.SOURCE_DIR, "tests", "e2e", "fixtures", "disk", "report_walk.txt")

# One object of each group: the scrape starts once all of them answer.
ANCHORS = [rig.ENTERPRISE_OID + suffix
           for suffix in (".3.10.1.0", ".4.10.1.0", ".5.10.1.0", ".6.1.0", ".7.10.1.0")]

# Generous bounds: they catch hangs, not slowness.
SCRAPE_TIMEOUT = 60

# Objects that move between a walk and a scrape a moment apart (measured
# for each request, or renewed by a source's pass, the backup group's
# every 30 s): how far they may (memory in MB, as a share of the total; CPU
# in hundredths of a percent; ages in seconds; pass durations in ms).  A
# wrong scale or a wrong object is far outside.
MEMORY_SHARE = 0.25
MEMORY_TOTAL = "mgtMemoryTotalValue"
MOVING = {
    "mgtMemoryUsedValue": None,  # MEMORY_SHARE of the total
    "mgtMemoryFreeValue": None,
    "mgtCpuUsedValue": 1000,
    "sourceHealthLastSuccess": 120,
    "sourceHealthSecondsSinceSuccess": 120,
    "sourceHealthLastPassMs": 10000,
}


def load_module(path=SNMP_YML):
    with open(path) as f:
        return yaml.safe_load(f)[MODULE]


class Generated(unittest.TestCase):

    def test_generator_makes_the_checked_in_module(self):
        with tempfile.TemporaryDirectory(prefix="corvantis-prom-") as d:
            out = os.path.join(d, "snmp.yml")
            p = subprocess.run(["bash", GENERATE, out], capture_output=True, text=True, timeout=120)
            self.assertEqual(p.returncode, 0, p.stdout + p.stderr)
            with open(out) as f:
                made = f.read()
            with open(SNMP_YML) as f:
                kept = f.read()
            if made != kept:
                diff = subprocess.run(["diff", "-u", SNMP_YML, out], capture_output=True, text=True).stdout
                self.fail("contrib/prometheus/snmp.yml is not what generator.yml and the MIB make; "
                          "run contrib/prometheus/generate.sh\n" + diff)

        # Numbers only: a text column belongs in a lookup, not in a series.
        texts = [m["name"] for m in load_module()["metrics"] if m["type"] not in ("gauge", "counter")]
        self.assertEqual(texts, [])


# ------------------------------------------------------------ exposition

_SAMPLE = re.compile(r'^([A-Za-z_:][A-Za-z0-9_:]*)(?:\{(.*)\})? (\S+)$')
_LABEL = re.compile(r'([A-Za-z_][A-Za-z0-9_]*)="((?:[^"\\]|\\.)*)",?')
_UNESCAPE = {"\\\\": "\\", '\\"': '"', "\\n": "\n"}


def parse_exposition(text):
    """[(name, {label: value}, float)] of Prometheus text format."""
    samples = []
    for line in text.splitlines():
        if not line or line.startswith("#"):
            continue
        m = _SAMPLE.match(line)
        if not m:
            raise ValueError("not a sample line: %r" % line)
        labels = {}
        for lm in _LABEL.finditer(m.group(2) or ""):
            labels[lm.group(1)] = re.sub(r"\\.", lambda e: _UNESCAPE.get(e.group(0), e.group(0)), lm.group(2))
        samples.append((m.group(1), labels, float(m.group(3))))
    return samples


def walk_value(text):
    """A number or a text of snmpwalk -On's value part, None for anything else."""
    kind, sep, value = text.partition(": ")
    if text == '""':
        return ""
    if not sep:
        return None
    if kind in ("INTEGER", "Gauge32", "Counter32", "Counter64"):
        return int(value)
    if kind == "STRING" and len(value) >= 2 and value[0] == value[-1] == '"':
        return re.sub(r'\\(.)', r"\1", value[1:-1])
    return None


class Exporter:
    """prometheus-snmp-exporter on a free loopback port with one config file."""

    def __init__(self, config, timeout=START_TIMEOUT):
        self.dir = rig.make_dir("exporter-")
        self.port = rig.free_tcp_port()
        self.out_path = os.path.join(self.dir, "exporter.out")
        with open(self.out_path, "ab") as out:
            self.proc = subprocess.Popen(
                ["prometheus-snmp-exporter", "--config.file=" + config,
                 "--web.listen-address=127.0.0.1:%d" % self.port],
                env=rig.clean_env(**{rig.RIG_TAG_VAR: self.dir}), cwd=self.dir,
                stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT)
        if not rig.wait_for(self._ready, timeout, interval=0.1):
            self.close()
            raise rig.RigError("exporter does not answer on port %d" % self.port)

    def _ready(self):
        if self.proc.poll() is not None:
            raise rig.RigError("exporter exited with %d: %s" % (self.proc.returncode, self.output()))
        try:
            with urllib.request.urlopen("http://127.0.0.1:%d/" % self.port, timeout=1) as r:
                return r.status == 200
        except OSError:
            return False

    def scrape(self, target, module=MODULE, timeout=SCRAPE_TIMEOUT):
        url = "http://127.0.0.1:%d/snmp?module=%s&target=%s" % (self.port, module, target)
        with urllib.request.urlopen(url, timeout=timeout) as r:
            return r.read().decode()

    def output(self):
        with open(self.out_path, errors="replace") as f:
            return f.read()

    def close(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        rig.kill_tagged(self.dir)


def agent_files():
    """The disk report fixture where the agent reads the disk monitor's report."""
    with open(DISK_REPORT) as f:
        return {"/var/tmp/disk_mon.out": f.read()}


class Scrape(unittest.TestCase):
    """One database, BMC, snmpd, agent and exporter for the class."""

    @classmethod
    def setUpClass(cls):
        rig.servers(cls, bmc=True, agent=[], files=agent_files(), served=ANCHORS)
        cls.exporter = Exporter(SNMP_YML)
        cls.addClassCleanup(cls.exporter.close)

    def walk(self, module):
        """{oid: value} of what the module asks for, as snmpwalk and snmpget see it."""
        values = {}
        for oid in module["walk"]:
            r = rig.snmpwalk(self.snmpd.target, "." + oid, timeout=10)
            self.assertTrue(r.answered, r)
            values.update(r.values())
        if module.get("get"):
            r = rig.snmpget(self.snmpd.target, *("." + oid for oid in module["get"]), timeout=10)
            self.assertTrue(r.answered, r)
            values.update(r.values())
        return {oid: walk_value(v) for oid, v in values.items() if not v.startswith("No Such")}

    def test_every_metric_matches_the_walk(self):
        module = load_module()
        metrics = {m["name"]: m for m in module["metrics"]}
        walked = self.walk(module)
        text = self.exporter.scrape(self.snmpd.target)
        samples = [s for s in parse_exposition(text) if not s[0].startswith("snmp_")]

        # Each sample is the varbind of its metric's OID and index labels.
        scraped = {}
        for name, labels, value in samples:
            self.assertIn(name, metrics, "a series the module does not define")
            metric = metrics[name]
            index = [labels.get(i["labelname"], "?") for i in metric.get("indexes", [])]
            oid = "." + ".".join([metric["oid"]] + (index or ["0"]))
            self.assertNotIn(oid, scraped, "%s twice in the scrape" % oid)
            scraped[oid] = (name, labels, value)
            with self.subTest(oid=oid, metric=name):
                self.assertIn(oid, walked, "scraped but not walked")
                want = walked[oid]
                if name in MOVING:
                    slack = MOVING[name]
                    if slack is None:
                        slack = MEMORY_SHARE * self.memory_total(walked, metrics)
                    self.assertLessEqual(abs(value - want), slack, "%s vs %s" % (value, want))
                else:
                    self.assertEqual(value, want)
                for lookup in metric.get("lookups", []):
                    source = ".".join(labels.get(label, "?") for label in lookup["labels"])
                    self.assertEqual(labels.get(lookup["labelname"]), walked.get("." + lookup["oid"] + "." + source),
                                     lookup["labelname"])

        # Each varbind of a metric's OID is a sample.
        for name, metric in metrics.items():
            prefix = "." + metric["oid"] + "."
            for oid in walked:
                if oid.startswith(prefix):
                    self.assertIn(oid, scraped, "%s walked but not scraped as %s" % (oid, name))

        # Every metric of the module, so every column it names is served:
        # an object the agent does not serve yet is missing here by name.
        present = {name for name, _labels, _value in samples}
        self.assertEqual(sorted(set(metrics) - present), [], "metrics without a series")

    @staticmethod
    def memory_total(walked, metrics):
        return walked.get("." + metrics[MEMORY_TOTAL]["oid"] + ".0") or 0


if __name__ == "__main__":
    unittest.main()
