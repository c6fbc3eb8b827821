#!/usr/bin/python3
"""Cost of the management information group (.1.3.6.1.4.1.47391.1.6) through AgentX.

Starts a throwaway PostgreSQL, an snmpd master on loopback, the simulated BMC
(ipmi_sim on 127.0.0.1:623 in a private network namespace) and the agent in
that namespace (the rig of tests/e2e, bmcrig.py), so the full table of 18
objects is served.  Then, with an in-process SNMPv2c client (a UDP socket and
a few lines of BER, so that no client start-up or library cost is counted),
times:

* one GET of the objects re-read per request: 5 and 6 (memory: a shell
  command), 7 (CPU: two shell commands, mpstat), 9 (BIOS: a sysfs file);
* one GET of a stored object (1, asset tag), and one of snmpd's own
  sysUpTime (no AgentX) for the master's share;
* a whole walk of the group with GETNEXT and with GETBULK.

For each: the median and 90th percentile of the wall time of RUNS requests
(walks: WALKS), and the CPU time per request of the agent (its own threads),
of the commands it runs (their shells and children) and of snmpd.  Needs root
and a built agent (CORVANTIS_BINARY, default build/corvantis-snmp).

    bench/mgt_bench.py [RUNS [WALKS]]
"""
import os
import socket
import statistics
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
import bmcrig  # noqa: E402
import rig  # noqa: E402

MGT = "1.3.6.1.4.1.47391.1.6"
SYS_UPTIME = "1.3.6.1.2.1.1.3.0"
WARM_UP = 10
TICK = os.sysconf("SC_CLK_TCK")

GET, GETNEXT, RESPONSE, GETBULK = 0xA0, 0xA1, 0xA2, 0xA5


# ------------------------------------------------------------ BER, SNMPv2c

def ber_len(n):
    if n < 0x80:
        return bytes([n])
    body = n.to_bytes((n.bit_length() + 7) // 8, "big")
    return bytes([0x80 | len(body)]) + body


def tlv(tag, body):
    return bytes([tag]) + ber_len(len(body)) + body


def ber_int(v):
    return tlv(0x02, v.to_bytes(max(1, (v.bit_length() + 8) // 8), "big", signed=True))


def ber_oid(oid):
    arcs = [int(x) for x in oid.strip(".").split(".")]
    body = bytearray([40 * arcs[0] + arcs[1]])
    for arc in arcs[2:]:
        chunk = [arc & 0x7F]
        arc >>= 7
        while arc:
            chunk.append(0x80 | (arc & 0x7F))
            arc >>= 7
        body += bytes(reversed(chunk))
    return tlv(0x06, bytes(body))


def parse_oid(body):
    arcs = [body[0] // 40, body[0] % 40]
    value = 0
    for b in body[1:]:
        value = (value << 7) | (b & 0x7F)
        if not b & 0x80:
            arcs.append(value)
            value = 0
    return ".".join(map(str, arcs))


def read_tlv(buf, pos):
    """(tag, start of value, end of value)"""
    tag, n = buf[pos], buf[pos + 1]
    pos += 2
    if n & 0x80:
        k = n & 0x7F
        n = int.from_bytes(buf[pos:pos + k], "big")
        pos += k
    return tag, pos, pos + n


def request(pdu, request_id, oid, max_repetitions=0):
    # For GETBULK the two zero fields are non-repeaters and max-repetitions.
    varbinds = tlv(0x30, tlv(0x30, ber_oid(oid) + b"\x05\x00"))
    body = ber_int(request_id) + ber_int(0) + ber_int(max_repetitions) + varbinds
    return tlv(0x30, ber_int(1) + tlv(0x04, b"public") + tlv(pdu, body))


def parse_response(buf):
    """(request id, error status, [(oid, value tag, value bytes)])"""
    _, pos, _ = read_tlv(buf, 0)
    pos = read_tlv(buf, pos)[2]  # version
    pos = read_tlv(buf, pos)[2]  # community
    tag, pos, _ = read_tlv(buf, pos)
    if tag != RESPONSE:
        raise ValueError("not a response PDU: %#x" % tag)
    _, s, e = read_tlv(buf, pos)
    request_id = int.from_bytes(buf[s:e], "big", signed=True)
    _, s, pos = read_tlv(buf, e)
    error = int.from_bytes(buf[s:pos], "big", signed=True)
    pos = read_tlv(buf, pos)[2]  # error index
    _, pos, end = read_tlv(buf, pos)
    varbinds = []
    while pos < end:
        _, inner, next_vb = read_tlv(buf, pos)
        _, s, e = read_tlv(buf, inner)
        tag, vs, ve = read_tlv(buf, e)
        varbinds.append((parse_oid(buf[s:e]), tag, bytes(buf[vs:ve])))
        pos = next_vb
    return request_id, error, varbinds


class Client:
    def __init__(self, port, timeout=5.0):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.connect(("127.0.0.1", port))
        self.sock.settimeout(timeout)
        self.request_id = 1000

    def call(self, pdu, oid, max_repetitions=0):
        self.request_id += 1
        self.sock.send(request(pdu, self.request_id, oid, max_repetitions))
        while True:
            request_id, error, varbinds = parse_response(self.sock.recv(65535))
            if request_id == self.request_id:
                if error:
                    raise RuntimeError("error status %d for %s" % (error, oid))
                return varbinds

    def get(self, oid):
        (name, tag, value), = self.call(GET, oid)
        if tag != 0x04 and oid != SYS_UPTIME:
            raise RuntimeError("GET %s answered tag %#x" % (oid, tag))
        return value

    def walk(self, bulk):
        """Varbinds of the group, GETNEXT by GETNEXT or GETBULK of 18."""
        found, oid = [], MGT
        while True:
            batch = self.call(GETBULK, oid, 18) if bulk else self.call(GETNEXT, oid)
            for name, tag, value in batch:
                if not name.startswith(MGT + ".") or tag in (0x80, 0x81, 0x82):
                    return found
                found.append((name, value))
                oid = name


# ---------------------------------------------------------- measurement

def task_cpu_ns(pid):
    """On-CPU time of every thread of pid (schedstat, ns)."""
    total = 0
    for tid in os.listdir("/proc/%d/task" % pid):
        try:
            with open("/proc/%d/task/%s/schedstat" % (pid, tid)) as f:
                total += int(f.read().split()[0])
        except OSError:
            pass
    return total


def children_cpu_ns(pid):
    """CPU time of pid's waited-for children (cutime + cstime)."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[13]) + int(fields[14])) * 1_000_000_000 // TICK


def measure(fn, runs, agent_pid, snmpd_pid):
    for _ in range(WARM_UP):
        fn()
    times = []
    cpu0 = (task_cpu_ns(agent_pid), children_cpu_ns(agent_pid), task_cpu_ns(snmpd_pid))
    for _ in range(runs):
        start = time.perf_counter_ns()
        fn()
        times.append(time.perf_counter_ns() - start)
    cpu1 = (task_cpu_ns(agent_pid), children_cpu_ns(agent_pid), task_cpu_ns(snmpd_pid))
    times.sort()
    cpu = [(b - a) / runs / 1000 for a, b in zip(cpu0, cpu1)]
    return statistics.median(times) / 1000, times[int(len(times) * 0.9) - 1] / 1000, cpu


def main():
    runs = int(sys.argv[1]) if len(sys.argv) > 1 else 200
    walks = int(sys.argv[2]) if len(sys.argv) > 2 else 50
    if os.geteuid() != 0:
        sys.exit("mgt_bench: run as root (network and mount namespaces)")
    pg = rig.Pg("kxext/schema.sql", "tests/fixtures/kxdb_fixture.sql")
    netns = bmc = snmpd = agent = None
    try:
        netns = bmcrig.NetNs()
        bmc = bmcrig.Bmc(netns)
        snmpd = rig.Snmpd()
        # No -v: request handling as in production, without trace lines.
        agent = bmcrig.NsAgent(netns, ["-f", "-x", snmpd.agentx], conninfo=pg.conninfo, env={"TZ": "UTC"},
                               files={rig.DEFAULT_CONFIG: bmc.agent_config(),
                                      "/etc/corvantis-asset": "bench-0001\n"})
        agent.start()
        if not bmcrig.wait_served(snmpd.target, "." + MGT + ".18.0", 30):
            sys.exit("mgt_bench: the full table is not served:" + rig.describe(agent))
        client = Client(snmpd.port)
        size = len(client.walk(False))

        print("mgt_bench: %d CPUs; median and p90 wall time per request (us) of %d GETs, %d walks,"
              " after %d warm-up" % (os.cpu_count(), runs, walks, WARM_UP))
        print("  CPU per request (us): agent's threads, the commands it runs, snmpd")
        print("  %-34s %9s %9s  %9s %9s %9s" % ("request", "median", "p90", "agent", "commands", "snmpd"))
        cases = [
            ("GET sysUpTime (snmpd, no AgentX)", lambda: client.get(SYS_UPTIME), runs),
            ("GET .1 asset tag (stored)", lambda: client.get(MGT + ".1.0"), runs),
            ("GET .5 memory used", lambda: client.get(MGT + ".5.0"), runs),
            ("GET .6 memory free", lambda: client.get(MGT + ".6.0"), runs),
            ("GET .7 CPU use", lambda: client.get(MGT + ".7.0"), runs),
            ("GET .9 BIOS version", lambda: client.get(MGT + ".9.0"), runs),
            ("walk GETNEXT (%d varbinds)" % size, lambda: client.walk(False), walks),
            ("walk GETBULK 18 (%d varbinds)" % size, lambda: client.walk(True), walks),
        ]
        for name, fn, n in cases:
            median, p90, cpu = measure(fn, n, agent.pid, snmpd.pid)
            print("  %-34s %9.0f %9.0f  %9.0f %9.0f %9.0f" % (name, median, p90, *cpu))
        print("  value of .7 at the end: %r" % client.get(MGT + ".7.0").decode(errors="replace"))
    finally:
        for part in (agent, snmpd, bmc, netns):
            if part is not None:
                if part is agent:
                    agent.terminate()
                part.close()
        pg.close()


if __name__ == "__main__":
    main()
