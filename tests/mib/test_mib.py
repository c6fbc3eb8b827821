"""The MIB module against the tools that load it and the walks the agent
serves.

  Lint         smilint at its most thorough level prints nothing
  Conformance  pysmi compiles the module for pysnmp, and every varbind of
               the golden walks is a readable object of the module with
               the wire type of its SYNTAX and a value its SYNTAX allows
               (the accessible-for-notify object in none); each
               notification names, in order, the objects whose instances
               the agent sends with it
  NetSnmpJs    npm net-snmp's parser loads the same objects and
               notifications at the same OIDs as pysmi
  BadInput     the checks above fail, naming the object, on a module that
               does not parse, lacks a served object, has the wrong SYNTAX
               or too narrow an enumeration

Needs smitools, python3-pysmi, python3-pysnmp4, node, and the base
modules that base_modules.sh installs.
"""

import glob
import json
import os
import re
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.environ.get("CORVANTIS_SOURCE_DIR", os.path.dirname(os.path.dirname(HERE)))
MODULE = "CORVANTIS-SNMP-MIB"
MIB_FILE = os.path.join(SOURCE, "mib", MODULE + ".txt")
GOLDEN = sorted(p for pattern in ("*.txt", "*.walk")
                for p in glob.glob(os.path.join(SOURCE, "tests", "e2e", "golden", pattern)))
ROOT = (1, 3, 6, 1, 4, 1, 47391, 1)

# The variables the agent sends with each notification .1.7.0.n: the
# object of each, under ROOT, in the order it sends them.  A sensor's come
# from its own table; the module names the fans' columns.
NOTIFICATIONS = {
    1: ["4.10.2.1.3", "7.20", "4.10.2.1.5", "4.10.2.1.9"],
    2: ["5.10.2.1.3", "7.20", "5.10.2.1.5"],
    3: ["5.20.2.1.3", "7.20", "5.20.2.1.5"],
    4: ["4.40.2.1.2"],
    5: ["3.10.2.1.3", "3.10.2.1.2", "3.10.2.1.7"],
    6: ["7.10.2.1.2", "7.20", "7.10.2.1.3"],
    7: ["7.1"],
}

# Column 1 of the disk, event log and appliance tables serves the row's
# own index, as the agent always has, so those INDEX objects are readable;
# libsmi wants INDEX objects not-accessible and warns about exactly that.
SMILINT = ["smilint", "-s", "-l", "6", "-i", "index-element-accessible"]

_base_dirs = {}


def base_modules(*args):
    key = args or ("mibs",)
    if key not in _base_dirs:
        _base_dirs[key] = subprocess.run(
            [os.path.join(HERE, "base_modules.sh"), *args], check=True, text=True,
            stdout=subprocess.PIPE).stdout.strip()
    return _base_dirs[key]


def with_module(text, action):
    """Runs action(directory) with text saved as the module in a fresh directory."""
    with tempfile.TemporaryDirectory(prefix="corvantis-mib-") as directory:
        with open(os.path.join(directory, MODULE + ".txt"), "w") as f:
            f.write(text)
        return action(directory)


def lint(text):
    """smilint's output for the module; it exits 0 even after errors, so
    any output at all is the failure."""
    def run(directory):
        p = subprocess.run(SMILINT + [os.path.join(directory, MODULE + ".txt")],
                           env=dict(os.environ, SMIPATH=base_modules()),
                           capture_output=True, text=True, timeout=60)
        return (p.stdout + p.stderr).strip()
    return with_module(text, run)


class CompileError(Exception):
    pass


def compile_module(text):
    """(objects, mib) of the module: objects maps each name to pysmi's JSON
    description (oid, nodetype, maxaccess, indices); mib is a pysnmp
    MibBuilder with the module loaded, whose objects carry the SYNTAX with
    its tag and constraints.  A module that does not compile raises CompileError with
    pysmi's message (line and nearby name)."""
    from pysmi.codegen.jsondoc import JsonCodeGen
    from pysmi.codegen.pysnmp import PySnmpCodeGen
    from pysmi.compiler import MibCompiler
    from pysmi.parser.dialect import smiV2
    from pysmi.parser.smi import parserFactory
    from pysmi.reader.localfile import FileReader
    from pysmi.searcher.stub import StubSearcher
    from pysmi.writer.callback import CallbackWriter
    from pysmi.writer.pyfile import PyFileWriter
    from pysnmp.smi import builder

    def run(directory):
        out = os.path.join(directory, "out")
        json_text = {}
        for codegen, writer in (
                (JsonCodeGen(), CallbackWriter(lambda name, data, ctx: json_text.update({name: data}))),
                (PySnmpCodeGen(), PyFileWriter(out))):
            compiler = MibCompiler(parserFactory(**smiV2)(), codegen, writer)
            compiler.addSources(FileReader(base_modules()), FileReader(directory))
            compiler.addSearchers(StubSearcher(*codegen.baseMibs))
            status = compiler.compile(MODULE, rebuild=True, genTexts=True)[MODULE]
            if status != "compiled":
                error = getattr(status, "error", status)
                raise CompileError("%s line %s: %s" % (
                    MODULE, getattr(error, "lineno", "?"), getattr(error, "msg", error)))
        mib = builder.MibBuilder()
        mib.addMibSources(builder.DirMibSource(out))
        mib.loadModules(MODULE)
        objects = {name: entry for name, entry in json.loads(json_text[MODULE]).items()
                   if isinstance(entry, dict) and "oid" in entry}
        return objects, mib
    return with_module(text, run)


# ---------------------------------------------------------------- walks

# net-snmp's type words (snmpwalk -On without MIBs) and the pysnmp type
# whose tag they stand for.  Unsigned32 shares Gauge32's tag.
WIRE_TYPES = {
    "INTEGER": "Integer32", "STRING": "OctetString", "Hex-STRING": "OctetString",
    "Gauge32": "Gauge32", "Counter32": "Counter32", "Counter64": "Counter64",
    "Timeticks": "TimeTicks", "IpAddress": "IpAddress", "OID": "ObjectIdentifier",
}
# What a golden walk holds where a run's own value goes: @NAME@ in a text,
# N for a number that changes from run to run (a time, an age).
PLACEHOLDER = re.compile(r"@[A-Z_]+@|^N$")


def read_walk(path):
    """[(where, oid tuple, type word, value text)] of a golden walk; a line
    that does not start with an OID continues the previous value."""
    varbinds = []
    with open(path) as f:
        for number, line in enumerate(f.read().splitlines(), 1):
            m = re.fullmatch(r"(\.[0-9.]+) = (?:([A-Za-z0-9-]+): )?(.*)", line)
            if m:
                oid = tuple(int(x) for x in m.group(1).strip(".").split("."))
                where = "%s:%d" % (os.path.relpath(path, SOURCE), number)
                varbinds.append([where, oid, m.group(2) or "STRING", m.group(3)])
            elif varbinds:
                varbinds[-1][3] += "\n" + line
    return [tuple(v) for v in varbinds]


def golden_varbinds():
    return [v for path in GOLDEN for v in read_walk(path)]


def wire_value(type_word, text):
    """The value as pyasn1 takes it: an int or the octets."""
    if type_word == "Hex-STRING":
        return bytes.fromhex(text.replace("\n", " "))
    if WIRE_TYPES.get(type_word) == "OctetString":
        quoted = re.fullmatch(r'"(.*)"', text, re.S)
        body = quoted.group(1) if quoted else text
        return re.sub(r'\\(["\\])', r"\1", body).encode("latin-1")
    return int(text)


def conformance_problems(objects, mib, varbinds):
    """One line per varbind that the module does not describe, each naming
    the object (or, for an OID the module lacks, its nearest named node)."""
    from pyasn1.error import PyAsn1Error
    from pysnmp.proto import rfc1902

    symbols = mib.mibSymbols[MODULE]
    by_oid = {tuple(int(x) for x in entry["oid"].split(".")): name
              for name, entry in objects.items()}
    problems = []
    for where, oid, type_word, text in varbinds:
        prefix = next((oid[:k] for k in range(len(oid) - 1, 0, -1) if oid[:k] in by_oid), ())
        name = by_oid.get(prefix, "outside the module")
        entry = objects.get(name, {})
        instance = oid[len(prefix):]

        def fail(problem):
            problems.append("%s .%s: %s: %s" % (
                where, ".".join(map(str, oid)),
                name if entry.get("nodetype") in ("scalar", "column")
                else "%s.%s" % (name, ".".join(map(str, instance))), problem))

        if entry.get("nodetype") not in ("scalar", "column"):
            fail("no object of the module at this OID")
            continue
        if entry.get("maxaccess") not in ("read-only", "read-write", "read-create"):
            fail("served, but %s in the module" % entry.get("maxaccess"))
        if entry["nodetype"] == "scalar" and instance != (0,):
            fail("instance %s of a scalar (only .0 exists)" % (instance,))
        if entry["nodetype"] == "column":
            row = objects[by_oid[prefix[:-1]]]
            indices = [index["object"] for index in row.get("indices", [])]
            if len(indices) != 1 or len(instance) != 1:
                fail("instance %s does not fit INDEX %s" % (instance, indices))
            else:
                try:
                    symbols[indices[0]].getSyntax().clone(instance[0])
                except PyAsn1Error:
                    fail("instance %d outside the range of INDEX %s" % (instance[0], indices[0]))

        syntax = symbols[name].getSyntax()
        wire = WIRE_TYPES.get(type_word)
        if wire is None or syntax.tagSet != getattr(rfc1902, wire).tagSet:
            fail("wire type %s, but SYNTAX %s" % (type_word, type(syntax).__name__))
            continue
        if PLACEHOLDER.search(text):
            continue  # a value the e2e rig fills in: only its type is known
        try:
            value = wire_value(type_word, text)
        except ValueError as e:
            fail("value %r unreadable: %s" % (text, e))
            continue
        try:
            syntax.clone(value)
        except PyAsn1Error:
            shown = ("%d-character text %r" % (len(value), value.decode("latin-1"))
                     if isinstance(value, bytes) else "value %d" % value)
            fail("%s outside SYNTAX %s%s" % (shown, type(syntax).__name__,
                                             describe_constraints(syntax)))
    return problems


def describe_constraints(syntax):
    named = getattr(syntax, "namedValues", None)
    if named and len(named):
        return " {%s}" % ", ".join("%s(%d)" % item for item in named.items())
    bounds = re.findall(r"(ValueSizeConstraint|ValueRangeConstraint) object, consts (-?\d+), (-?\d+)",
                        repr(syntax.subtypeSpec))
    return " (%s)" % ", ".join("%s %s..%s" % ("SIZE" if kind.startswith("ValueSize") else "range",
                                              low, high) for kind, low, high in bounds[-1:])


def read_mib():
    with open(MIB_FILE) as f:
        return f.read()


# ---------------------------------------------------------------- tests

class Lint(unittest.TestCase):
    def test_smilint_prints_nothing(self):
        self.assertEqual(lint(read_mib()), "")


_compiled = None


def compiled():
    global _compiled
    if _compiled is None:
        _compiled = compile_module(read_mib())
    return _compiled


class Conformance(unittest.TestCase):
    def test_golden_walks_are_present(self):
        names = {os.path.basename(p) for p in GOLDEN}
        for group in ("mgt_walk_full.txt", "sensor_walk.txt", "disk_walk.txt", "kxl_walk.txt",
                      "status_walk.txt"):
            self.assertIn(group, names)

    def test_every_golden_varbind_conforms_to_the_module(self):
        objects, mib = compiled()
        varbinds = golden_varbinds()
        self.assertGreater(len(varbinds), 1000)
        self.assertEqual(conformance_problems(objects, mib, varbinds), [])

    def test_pysnmp_names_every_golden_oid_as_pysmi_does(self):
        # pysnmp's own tree (what a pysnmp manager shows), not the JSON one.
        from pysnmp.proto import rfc1902
        from pysnmp.smi import view
        objects, mib = compiled()
        names = view.MibViewController(mib)
        wrong = []
        for where, oid, _, _ in golden_varbinds():
            _, label, suffix = names.getNodeName(rfc1902.ObjectName(oid))
            expected = objects[label[-1]]["oid"] + "." + ".".join(map(str, suffix))
            if expected != ".".join(map(str, oid)) or objects[label[-1]]["nodetype"] not in (
                    "scalar", "column"):
                wrong.append("%s: %s" % (where, label[-1]))
        self.assertEqual(wrong, [])

    def test_each_notification_names_the_objects_the_agent_sends(self):
        objects, _ = compiled()
        root = ".".join(map(str, ROOT)) + "."
        named = {}
        for name, entry in objects.items():
            if entry.get("class") == "notificationtype":
                self.assertTrue(entry["oid"].startswith(root + "7.0."), name)
                named[int(entry["oid"].rsplit(".", 1)[1])] = [
                    objects[o["object"]]["oid"][len(root):] for o in entry["objects"]]
        self.assertEqual(named, NOTIFICATIONS)


class NetSnmpJs(unittest.TestCase):
    def test_loads_the_objects_pysmi_loads_at_the_same_oids(self):
        p = subprocess.run(["node", os.path.join(HERE, "net_snmp_load.cjs"),
                            base_modules("--package"), MIB_FILE, MODULE],
                           capture_output=True, text=True, timeout=60)
        self.assertEqual(p.returncode, 0, p.stderr)
        loaded = json.loads(p.stdout)
        objects, _ = compiled()
        expected = {
            "objects": {name: entry["oid"] for name, entry in objects.items()
                        if entry.get("class") == "objecttype"},
            "notifications": {name: {"oid": entry["oid"],
                                     "objects": [o["object"] for o in entry["objects"]]}
                              for name, entry in objects.items()
                              if entry.get("class") == "notificationtype"},
        }
        self.assertGreater(len(expected["objects"]), 150)
        self.assertEqual(len(expected["notifications"]), len(NOTIFICATIONS))
        self.assertEqual(loaded, expected)


def replace_in_object(text, name, old, new):
    """text with old replaced by new inside the definition of name."""
    m = re.search(r"^%s OBJECT-TYPE\n.*?^    ::= \{[^}]*\}\n" % re.escape(name), text, re.M | re.S)
    assert m and old in m.group(0), (name, old)
    return text[:m.start()] + m.group(0).replace(old, new) + text[m.end():]


class BadInput(unittest.TestCase):
    # Each fault, and a text the first failure message must hold: one per
    # way a walk can disagree with the module (where, wire type, value).
    CASES = [
        ("the served column has no object",
         lambda t: replace_in_object(t, "temperatureProbeReading", "temperatureProbeEntry 6 }",
                                     "temperatureProbeEntry 60 }"),
         "temperatureProbeEntry.6.1: no object of the module"),
        ("a text column declared an integer",
         lambda t: replace_in_object(t, "voltageProbeName", "DisplayString (SIZE(0..16))",
                                     "Integer32"),
         "voltageProbeName: wire type STRING, but SYNTAX Integer32"),
        ("a served status code left out of its enumeration",
         lambda t: t.replace("                     warnHi(4),\n", ""),
         "temperatureProbeStatusCode: value 4 outside SYNTAX CorvantisSensorStatus"),
    ]

    def test_each_fault_fails_the_walk_with_the_object_named(self):
        varbinds = golden_varbinds()
        for fault, mutate, message in self.CASES:
            with self.subTest(fault):
                problems = conformance_problems(*compile_module(mutate(read_mib())), varbinds)
                self.assertTrue(problems, "no failure")
                self.assertIn(message, problems[0])

    def test_a_module_that_does_not_parse_fails_lint_and_compile_naming_the_place(self):
        broken = replace_in_object(read_mib(), "temperatureProbeReading",
                                   "    ::= { temperatureProbeEntry 6 }\n", "")
        self.assertIn("syntax error", lint(broken))
        with self.assertRaisesRegex(CompileError, r"line \d+: .*temperatureProbeUpperCritical"):
            compile_module(broken)


if __name__ == "__main__":
    sys.exit(unittest.main())
