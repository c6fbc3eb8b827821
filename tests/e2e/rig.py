"""End-to-end rig: real servers on loopback and the real agent binary.

Everything a suite starts lives below one temporary base directory of this
process (``base_dir()``) and carries the environment tag ``RIG_TAG_VAR`` with
its own directory as value, so leftovers can be found and killed even when a
test dies half-way.

The agent runs as root inside a private mount namespace:

* overlays over /etc, /usr, /opt and /var (upper dirs in the agent's temp dir), so
  /etc/default/kx.ini, /etc/corvantis-asset and /usr/kx can be laid without
  touching the host, and whatever the agent writes there can be read back
  from the upper dirs;
* its own /var/tmp and /tmp (bind mounts of empty temp dirs), with the base
  directory (sockets, databases) and the binary's directory still visible at
  their usual paths.

Python standard library only.
"""

import atexit
import ctypes
import os
import re
import shlex
import shutil
import signal
import socket
import stat
import subprocess
import sys
import tempfile
import time

PROGRAM = "corvantis-snmp"
ENTERPRISE_OID = ".1.3.6.1.4.1.47391.1"
SYS_UPTIME_OID = ".1.3.6.1.2.1.1.3.0"

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE_DIR = os.path.abspath(os.environ.get("CORVANTIS_SOURCE_DIR") or os.path.join(HERE, "..", ".."))
BINARY = os.path.abspath(os.environ.get("CORVANTIS_BINARY") or os.path.join(SOURCE_DIR, "build", PROGRAM))

RIG_TAG_VAR = "CORVANTIS_RIG_TAG"

# Default installation layout inside the namespace.
KX_DIRS = ("/usr/kx/bin", "/usr/kx/logs.dir", "/usr/kx/schema/snmp")
DEFAULT_LOG = "/usr/kx/logs.dir/corvantis-snmp.log"
DEFAULT_CONFIG = "/usr/kx/schema/snmp/corvantis-snmp.conf"
KX_INI = "/etc/default/kx.ini"

# Host directories the agent sees through a copy-on-write overlay (/var for
# net-snmp's defaults such as /var/agentx and /var/lib/snmp).
OVERLAID = ("/etc", "/usr", "/opt", "/var")

START_SUBAGENT = "corvantis-snmp version 1.6 agentx subagent started"
# The test database most suites start with.
KXDB_FIXTURE = ("kxext/schema.sql", "tests/fixtures/kxdb_fixture.sql")
# Bound on a start (agent, servers): catches hangs, not slowness.
START_TIMEOUT = 30

# "%F %T.mmm %z [level] message"
LOG_ENTRY = re.compile(r"^(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3} [+-]\d{4}) \[(-?\d+)\] (.*)$")

# Environment of the host that would leak into the agent or the clients.
_LEAKY_ENV = re.compile(r"^(KXDB_|PG|SNMP|MIB|MALLOC_TRACE$)")


class RigError(Exception):
    """A part of the rig could not be started or stopped."""


# ---------------------------------------------------------------- base dir

_base = None
_pgs = []


def base_dir():
    """This process's temp directory; removed at exit with every tagged process."""
    global _base
    if _base is None:
        # Directly under /tmp: the agent's private /tmp makes it visible again
        # at the same path.  Traversable so the postgres user reaches its dir.
        _base = tempfile.mkdtemp(prefix="corvantis-e2e-", dir="/tmp")
        os.chmod(_base, 0o711)
        atexit.register(_cleanup_all)
    return _base


def require_agent():
    """Refuses to run a suite that cannot work here: the agent's root check
    and its mount namespaces need root, and the binary must be built."""
    if os.geteuid() != 0:
        raise RuntimeError("the end-to-end suites run the agent as root: run them as root")
    if not os.access(BINARY, os.X_OK):
        raise RuntimeError("agent binary not found: %s (build it first)" % BINARY)


def make_dir(prefix):
    return tempfile.mkdtemp(prefix=prefix, dir=base_dir())


def _cleanup_all():
    for pg in list(_pgs):
        pg.close()
    if _base is not None:
        kill_tagged(_base)
        shutil.rmtree(_base, ignore_errors=True)


# --------------------------------------------------------------- processes

def clean_env(**extra):
    env = {k: v for k, v in os.environ.items() if not _LEAKY_ENV.match(k)}
    env.update(extra)
    return env


def _proc_tag(pid):
    try:
        with open("/proc/%d/environ" % pid, "rb") as f:
            data = f.read()
    except OSError:
        return None
    prefix = RIG_TAG_VAR.encode() + b"="
    for item in data.split(b"\0"):
        if item.startswith(prefix):
            return item[len(prefix):].decode(errors="replace")
    return None


def _all_pids():
    for name in os.listdir("/proc"):
        if name.isdigit():
            yield int(name)


def is_alive(pid):
    """True while the process exists and is no zombie."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            data = f.read()
    except OSError:
        return False
    return data[data.rindex(")") + 2] != "Z"


def _ppid(pid):
    try:
        with open("/proc/%d/stat" % pid) as f:
            data = f.read()
    except OSError:
        return None
    return int(data[data.rindex(")") + 2:].split()[1])


def tagged_pids(tag):
    """Processes whose rig tag is tag or lies below it."""
    own = os.getpid()
    found = []
    for pid in _all_pids():
        if pid == own:
            continue
        t = _proc_tag(pid)
        if t is not None and (t == tag or t.startswith(tag.rstrip("/") + "/")):
            found.append(pid)
    return found


def _reap(pid):
    try:
        os.waitpid(pid, os.WNOHANG)
    except ChildProcessError:
        pass


def kill_tagged(tag, timeout=5.0):
    """SIGKILL every process carrying the tag and wait until they are gone."""
    pids = tagged_pids(tag)
    for pid in pids:
        try:
            os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
    deadline = time.monotonic() + timeout
    for pid in pids:
        while time.monotonic() < deadline:
            _reap(pid)
            if not is_alive(pid):
                break
            time.sleep(0.02)


def wait_for(predicate, timeout, interval=0.05):
    """Polls predicate until it returns something true; returns that, or None."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() >= deadline:
            return None
        time.sleep(interval)


def _set_child_subreaper(on):
    # Lets a daemonizing agent's child be re-parented to us, so its exit
    # status can be collected and it never lingers as a zombie.
    libc = ctypes.CDLL(None, use_errno=True)
    PR_SET_CHILD_SUBREAPER = 36
    if libc.prctl(PR_SET_CHILD_SUBREAPER, 1 if on else 0, 0, 0, 0) != 0:
        raise OSError(ctypes.get_errno(), "prctl(PR_SET_CHILD_SUBREAPER)")


def free_port(kind=socket.SOCK_DGRAM):
    """A loopback port that is free right now for the given socket type."""
    with socket.socket(socket.AF_INET, kind) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def free_tcp_port():
    return free_port(socket.SOCK_STREAM)


# ------------------------------------------------------------ SNMP clients

class SnmpResult:
    def __init__(self, returncode, stdout, stderr):
        self.returncode = returncode
        self.stdout = stdout
        self.stderr = stderr
        self.lines = [line for line in stdout.splitlines() if line.strip()]

    @property
    def answered(self):
        """The agent sent a response (whatever it said)."""
        return self.returncode == 0 and "Timeout" not in self.stderr and "Timeout" not in self.stdout

    def values(self):
        """{oid: value text} of "OID = TYPE: value" lines."""
        out = {}
        for line in self.lines:
            oid, sep, value = line.partition(" = ")
            if sep:
                out[oid] = value
        return out

    def __repr__(self):
        return "SnmpResult(rc=%r, stdout=%r, stderr=%r)" % (self.returncode, self.stdout, self.stderr)


_client_dir = None


def _client_env():
    # No MIB loading (warnings, slowness), no host client config, no state
    # written to /var/lib/snmp.
    global _client_dir
    if _client_dir is None:
        _client_dir = make_dir("snmpclient-")
        os.mkdir(os.path.join(_client_dir, "conf"))
        os.mkdir(os.path.join(_client_dir, "persist"))
    return clean_env(MIBS="", SNMPCONFPATH=os.path.join(_client_dir, "conf"),
                     SNMP_PERSISTENT_DIR=os.path.join(_client_dir, "persist"))


def _snmp_command(tool, target, oids, timeout, community, extra):
    cmd = [tool, "-v2c", "-c", community, "-On", "-t", str(timeout), "-r", "0"]
    cmd += list(extra) + [target] + list(oids)
    try:
        p = subprocess.run(cmd, env=_client_env(), stdin=subprocess.DEVNULL, capture_output=True,
                           text=True, timeout=timeout * 4 + 10)
    except subprocess.TimeoutExpired as e:
        return SnmpResult(-1, e.stdout or "", (e.stderr or "") + "\nTimeout: %s hung" % tool)
    return SnmpResult(p.returncode, p.stdout, p.stderr)


def snmpget(target, *oids, timeout=5, community="public", extra=()):
    return _snmp_command("snmpget", target, oids, timeout, community, extra)


def snmpgetnext(target, *oids, timeout=5, community="public", extra=()):
    return _snmp_command("snmpgetnext", target, oids, timeout, community, extra)


def snmpwalk(target, oid, timeout=5, community="public", extra=()):
    return _snmp_command("snmpwalk", target, [oid], timeout, community, extra)


def snmpbulkwalk(target, oid, timeout=5, community="public", extra=()):
    return _snmp_command("snmpbulkwalk", target, [oid], timeout, community, extra)


# ----------------------------------------------------------------- sockets

def _ss(args):
    p = subprocess.run(["ss", "-H"] + args, capture_output=True, text=True, timeout=20)
    if p.returncode != 0:
        raise RigError("ss %s failed: %s" % (" ".join(args), p.stderr))
    return p.stdout.splitlines()


def _pids_of(users_field):
    return {int(m) for m in re.findall(r"pid=(\d+),", users_field)}


def listening_sockets(pid):
    """[(proto, 'addr:port')] of TCP and UDP sockets the process listens on."""
    found = []
    for line in _ss(["-lntup"]):
        fields = line.split()
        if len(fields) >= 7 and pid in _pids_of(line):
            found.append((fields[0], fields[4]))
    return found


def unix_stream_peers(path):
    """Pids connected to the listening unix stream socket at path."""
    rows = []
    for line in _ss(["-xpn"]):
        fields = line.split()
        # Netid State Recv-Q Send-Q Local Inode Peer PeerInode [users]
        if len(fields) < 8 or fields[0] != "u_str":
            continue
        rows.append((fields[1], fields[4], fields[5], fields[7], _pids_of(line)))
    # The server end of an accepted connection names the path; its peer
    # inode is the client's end.
    client_inodes = {peer for state, local, _inode, peer, _p in rows if state == "ESTAB" and local == path}
    pids = set()
    for state, _local, inode, _peer, owners in rows:
        if state == "ESTAB" and inode in client_inodes:
            pids |= owners
    return pids


# -------------------------------------------------------------- PostgreSQL

class Pg:
    """A throwaway PostgreSQL cluster (tests/rig/pg_start.sh) loaded with SQL files.

    stop_server() and start_server() take the same cluster down and up again
    on the same port while the agent runs; close() removes it for good.
    """

    def __init__(self, *sql_files, source_dir=SOURCE_DIR):
        self.source_dir = source_dir
        self.dir = make_dir("pg-")
        self.closed = False
        _pgs.append(self)
        sql = [os.path.join(source_dir, f) if not os.path.isabs(f) else f for f in sql_files]
        p = subprocess.run([os.path.join(source_dir, "tests/rig/pg_start.sh"), self.dir] + sql,
                           env=clean_env(**{RIG_TAG_VAR: self.dir}), stdin=subprocess.DEVNULL,
                           capture_output=True, text=True, timeout=180)
        if p.returncode != 0:
            self.close()
            raise RigError("pg_start.sh failed (%d): %s%s" % (p.returncode, p.stdout, p.stderr))
        self.env = self._read_env(os.path.join(self.dir, "pg.env"))
        self.conninfo = self.env["KXDB_CONNINFO"]
        self.port = int(self.env["PG_PORT"])
        self.pid = int(self.env["PG_PID"])
        self.data = self.env["PG_DATA"]
        self.bin = self.env["PG_BIN"]

    @staticmethod
    def _read_env(path):
        # Shell assignments, split like the shell would, never executed.
        env = {}
        with open(path) as f:
            for line in f:
                for word in shlex.split(line, comments=True):
                    key, sep, value = word.partition("=")
                    if sep:
                        env[key] = value
        return env

    def conninfo_with(self, **overrides):
        """The connection string with some keywords replaced (dbname='nosuch')."""
        words = dict(w.split("=", 1) for w in self.conninfo.split())
        words.update({k: str(v) for k, v in overrides.items()})
        return " ".join("%s=%s" % kv for kv in words.items())

    def _pg_ctl(self, *args):
        cmd = ["runuser", "-u", "postgres", "--", os.path.join(self.bin, "pg_ctl"), "-D", self.data] + list(args)
        if os.getuid() != 0:
            cmd = cmd[4:]
        p = subprocess.run(cmd, cwd="/", env=clean_env(**{RIG_TAG_VAR: self.dir}), stdin=subprocess.DEVNULL,
                           capture_output=True, text=True, timeout=120)
        if p.returncode != 0:
            raise RigError("pg_ctl %s failed: %s%s" % (args[0], p.stdout, p.stderr))

    def stop_server(self):
        """Takes the database down; the cluster stays for start_server()."""
        self._pg_ctl("stop", "-m", "fast", "-w", "-t", "60")

    def start_server(self):
        self._pg_ctl("start", "-w", "-t", "60", "-l", os.path.join(self.env.get("PG_HOST", self.dir), "postgres.log"),
                     "-o", "-p %d" % self.port)
        with open(os.path.join(self.data, "postmaster.pid")) as f:
            self.pid = int(f.readline())

    def psql(self, sql):
        """Runs SQL in kxdb; returns the rows as tab-separated lines."""
        cmd = [os.path.join(self.bin, "psql"), "-X", "-q", "-A", "-t", "-F", "\t", "-v", "ON_ERROR_STOP=1",
               "-h", self.env.get("PG_HOST", self.dir), "-p", str(self.port), "-U", "postgres", "-d", "kxdb",
               "-c", sql]
        p = subprocess.run(cmd, env=clean_env(), stdin=subprocess.DEVNULL, capture_output=True,
                           text=True, timeout=60)
        if p.returncode != 0:
            raise RigError("psql failed: %s" % p.stderr)
        return p.stdout.splitlines()

    def close(self):
        if self.closed:
            return
        self.closed = True
        if self in _pgs:
            _pgs.remove(self)
        subprocess.run([os.path.join(self.source_dir, "tests/rig/pg_stop.sh"), self.dir],
                       env=clean_env(), stdin=subprocess.DEVNULL, capture_output=True, timeout=120)
        kill_tagged(self.dir)
        shutil.rmtree(self.dir, ignore_errors=True)


# ------------------------------------------------------------ SNMP master

class Snmpd:
    """A net-snmp master agent on a loopback UDP port with an AgentX socket."""

    def __init__(self, start_timeout=15, extra_conf=""):
        self.dir = make_dir("snmpd-")
        self.port = free_port()
        self.target = "127.0.0.1:%d" % self.port
        self.socket_path = os.path.join(self.dir, "agentx.sock")
        self.agentx = "unix:" + self.socket_path
        self.conf = os.path.join(self.dir, "snmpd.conf")
        self.pidfile = os.path.join(self.dir, "snmpd.pid")
        self.out_path = os.path.join(self.dir, "snmpd.out")
        persist = os.path.join(self.dir, "persist")
        os.mkdir(persist)
        with open(self.conf, "w") as f:
            f.write("agentaddress udp:127.0.0.1:%d\n" % self.port)
            f.write("rocommunity public 127.0.0.1\n")
            f.write("master agentx\n")
            f.write("agentXSocket %s\n" % self.agentx)
            f.write("dontLogTCPWrappersConnects yes\n")
            f.write(extra_conf)
        self.proc = None
        self._start(persist, start_timeout)

    def _start(self, persist, start_timeout):
        if os.path.lexists(self.socket_path):
            os.unlink(self.socket_path)
        env = clean_env(MIBS="", SNMP_PERSISTENT_DIR=persist, SNMPCONFPATH=self.dir,
                        **{RIG_TAG_VAR: self.dir})
        with open(self.out_path, "ab") as out:
            self.proc = subprocess.Popen(["snmpd", "-f", "-Lo", "-C", "-c", self.conf, "-I", "-smux",
                                          "-p", self.pidfile],
                                         env=env, stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT)
        self.pid = self.proc.pid

        def ready():
            if self.proc.poll() is not None:
                raise RigError("snmpd exited with %d: %s" % (self.proc.returncode, self.output()))
            return snmpget(self.target, SYS_UPTIME_OID, timeout=1).answered

        try:
            if not wait_for(ready, start_timeout, interval=0.1):
                raise RigError("snmpd does not answer on %s: %s" % (self.target, self.output()))
        except Exception:
            self.stop()
            raise

    def restart(self, start_timeout=15):
        self.stop()
        self._start(os.path.join(self.dir, "persist"), start_timeout)

    def output(self):
        try:
            with open(self.out_path, errors="replace") as f:
                return f.read()
        except OSError:
            return ""

    def clients(self):
        """Pids with an open AgentX connection to this master."""
        return unix_stream_peers(self.socket_path)

    def has_client(self, pid):
        return pid in self.clients()

    def get(self, *oids, timeout=5):
        return snmpget(self.target, *oids, timeout=timeout)

    def walk(self, oid=ENTERPRISE_OID, timeout=5):
        return snmpwalk(self.target, oid, timeout=timeout)

    def stop(self, timeout=10):
        if self.proc is None:
            return
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.proc = None

    def close(self):
        self.stop()
        kill_tagged(self.dir)
        shutil.rmtree(self.dir, ignore_errors=True)


# ------------------------------------------------------------------ agent

class RunResult:
    def __init__(self, returncode, stdout, stderr, elapsed):
        self.returncode = returncode
        self.stdout = stdout
        self.stderr = stderr
        self.elapsed = elapsed

    def __repr__(self):
        return "RunResult(rc=%r, %.1fs, stdout=%r, stderr=%r)" % (self.returncode, self.elapsed,
                                                                    self.stdout, self.stderr)


class Agent:
    """The agent binary in a private mount namespace.

    args:      command line after the program name (the rig adds nothing).
    files:     {path in the namespace: text | bytes | (text | bytes, mode)}
               laid below /etc, /usr, /opt, /var/tmp or /tmp before the start.
    dirs:      directories to create in the namespace (default: the /usr/kx
               layout with its log directory).
    conninfo:  KXDB_CONNINFO (None: unset).
    snmp_conf: text of net-snmp's own corvantis-snmp.conf, read through
               SNMPCONFPATH (master mode needs agentaddress and rocommunity).
    env:       more environment variables.
    as_user:   run as this uid (and gid) instead of root, through setpriv.
    """

    def __init__(self, args=(), *, files=None, dirs=KX_DIRS, conninfo=None, snmp_conf=None, env=None,
                 as_user=None, binary=BINARY):
        self.args = [str(a) for a in args]
        self.files = dict(files or {})
        self.dirs = list(dirs)
        self.binary = binary
        self.as_user = as_user
        self.dir = make_dir("agent-")
        for ch in ",:\\ \n":
            if ch in self.dir:
                raise RigError("temp dir unusable as overlay option: %r" % self.dir)
        if as_user is not None:
            # The build tree may lie below a directory only root can enter
            # (a clone in /root): the other user runs a copy of the binary.
            os.chmod(self.dir, 0o711)
            copy = os.path.join(self.dir, PROGRAM)
            shutil.copy(binary, copy)
            os.chmod(copy, 0o755)
            self.binary = copy
        self.snmpconf_dir = os.path.join(self.dir, "snmpconf")
        self.persist_dir = os.path.join(self.dir, "persist")
        os.mkdir(self.snmpconf_dir)
        os.mkdir(self.persist_dir)
        if snmp_conf is not None:
            with open(os.path.join(self.snmpconf_dir, PROGRAM + ".conf"), "w") as f:
                f.write(snmp_conf)
        self.env = clean_env(SNMPCONFPATH=self.snmpconf_dir, SNMP_PERSISTENT_DIR=self.persist_dir,
                             **{RIG_TAG_VAR: self.dir})
        if conninfo is not None:
            self.env["KXDB_CONNINFO"] = conninfo
        self.env.update(env or {})
        self.stdout_path = os.path.join(self.dir, "stdout")
        self.stderr_path = os.path.join(self.dir, "stderr")
        self.proc = None
        self.pid = None
        self.daemon_parent_rc = None
        self._adopted = False
        self._status = None
        self.command = self._build_command()

    # -- namespace

    def _upper(self, root):
        return os.path.join(self.dir, "ns", root.strip("/").replace("/", "_") + ".upper")

    def host_path(self, path):
        """Where a path written inside the namespace ends up on the host."""
        path = os.path.normpath(path)
        base = base_dir()
        if path == base or path.startswith(base + "/"):
            return path
        for root, sub in (("/var/tmp", "vartmp"), ("/tmp", "tmp")):
            if path == root or path.startswith(root + "/"):
                return os.path.join(self.dir, "ns", sub, os.path.relpath(path, root))
        for root in OVERLAID:
            if path == root or path.startswith(root + "/"):
                return os.path.join(self._upper(root), os.path.relpath(path, root))
        raise ValueError("%s is not private to the agent's namespace" % path)

    def _kept_visible(self, root):
        # Host paths below root that the agent must still reach behind its
        # private root: the rig's base dir and the binary's directory.
        keep = [base_dir(), os.path.dirname(os.path.realpath(self.binary))]
        keep = sorted({os.path.normpath(k) for k in keep if k.startswith(root + "/")})
        kept = []
        for k in keep:
            if not any(k == o or k.startswith(o + "/") for o in kept):
                kept.append(k)
        return kept

    def _build_command(self):
        ns = os.path.join(self.dir, "ns")
        staged = os.path.join(self.dir, "staged")
        os.makedirs(staged)
        q = shlex.quote
        script = ["set -e"]
        for root in OVERLAID:
            if not os.path.isdir(root):
                continue
            upper, work = self._upper(root), self._upper(root)[:-len(".upper")] + ".work"
            os.makedirs(upper)
            os.makedirs(work)
            script.append("mount -t overlay overlay -o %s %s" % (
                q("lowerdir=%s,upperdir=%s,workdir=%s" % (root, upper, work)), q(root)))
        vartmp, tmp = os.path.join(ns, "vartmp"), os.path.join(ns, "tmp")
        for d in (vartmp, tmp):
            os.makedirs(d)
            os.chmod(d, 0o1777)
        for root, private in (("/var/tmp", vartmp), ("/tmp", tmp)):
            for keep in self._kept_visible(root):
                mountpoint = os.path.join(private, os.path.relpath(keep, root))
                os.makedirs(mountpoint)
                script.append("mount --bind %s %s" % (q(keep), q(mountpoint)))
            script.append("mount --rbind %s %s" % (q(private), q(root)))
        for d in self.dirs:
            self.host_path(d)  # refuses host paths
            script.append("mkdir -p %s" % q(d))
        for i, (path, content) in enumerate(sorted(self.files.items())):
            self.host_path(path)
            mode = 0o644
            if isinstance(content, tuple):
                content, mode = content
            if isinstance(content, str):
                content = content.encode()
            src = os.path.join(staged, "%d" % i)
            with open(src, "wb") as f:
                f.write(content)
            script.append("mkdir -p %s" % q(os.path.dirname(path)))
            script.append("cp %s %s" % (q(src), q(path)))
            script.append("chmod %o %s" % (mode, q(path)))
        if self.as_user is not None:
            script.append('exec setpriv --reuid=%d --regid=%d --clear-groups -- "$@"' % (self.as_user, self.as_user))
        else:
            script.append('exec "$@"')
        return (["unshare", "--mount", "--propagation", "private", "sh", "-c", "\n".join(script), "sh",
                 self.binary] + self.args)

    # -- running

    def _popen(self):
        if self.proc is not None:
            raise RigError("agent already started")
        with open(self.stdout_path, "ab") as out, open(self.stderr_path, "ab") as err:
            self.proc = subprocess.Popen(self.command, env=self.env, cwd=self.dir, stdin=subprocess.DEVNULL,
                                         stdout=out, stderr=err)
        self.pid = self.proc.pid
        return self.proc

    def run(self, timeout=20):
        """Runs to exit; kills it and raises when it outlives the timeout."""
        start = time.monotonic()
        self._popen()
        try:
            rc = self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.kill()
            raise AssertionError("agent did not exit within %ss; stdout=%r stderr=%r" % (
                timeout, self.stdout(), self.stderr()))
        self._status = rc
        return RunResult(rc, self.stdout(), self.stderr(), time.monotonic() - start)

    def start(self, timeout=10):
        """Starts a foreground run (-f in args) and waits until the binary runs."""
        self._popen()
        if not wait_for(self._exec_done, timeout):
            raise RigError("agent did not start: rc=%r stdout=%r stderr=%r" % (
                self.proc.poll(), self.stdout(), self.stderr()))
        return self

    def _exec_done(self):
        # An early exit counts as done: the caller sees it in running().
        return self.proc.poll() is not None or self._is_binary(self.pid)

    def start_daemon(self, timeout=10):
        """Starts without -f: waits for the parent's exit, then finds the child.

        Returns the parent's exit status; self.pid becomes the child's pid
        (None when no child turned up).
        """
        _set_child_subreaper(True)
        try:
            self._popen()
            parent = self.pid
            try:
                self.daemon_parent_rc = self.proc.wait(timeout)
            except subprocess.TimeoutExpired:
                return None

            # The daemon is re-parented to us; its own short-lived forks
            # (commands it runs) are not.  Daemonizing may fork twice, and
            # the middle process is re-parented to us too until it exits:
            # take a pid only once it is the one candidate and still alive
            # a moment later.
            def candidates():
                return [p for p in tagged_pids(self.dir)
                        if p != parent and _ppid(p) == os.getpid() and self._is_binary(p)]

            def child():
                pids = candidates()
                if len(pids) != 1:
                    return None
                time.sleep(0.2)
                return pids[0] if candidates() == pids else None

            self.pid = wait_for(child, timeout)
            self._adopted = self.pid is not None
        finally:
            _set_child_subreaper(False)
        return self.daemon_parent_rc

    def _is_binary(self, pid):
        try:
            return os.path.realpath("/proc/%d/exe" % pid) == os.path.realpath(self.binary)
        except OSError:
            return False

    def running(self):
        if self.pid is None or self._status is not None:
            return False
        if self.proc is not None and self.pid == self.proc.pid:
            return self.proc.poll() is None
        return is_alive(self.pid)

    def wait(self, timeout):
        """Exit status (negative signal number for a signal), or None on timeout."""
        if self._status is not None:
            return self._status
        if self.proc is not None and self.pid == self.proc.pid:
            try:
                self._status = self.proc.wait(timeout)
            except subprocess.TimeoutExpired:
                return None
            return self._status
        deadline = time.monotonic() + timeout
        while True:
            try:
                pid, status = os.waitpid(self.pid, os.WNOHANG)
            except ChildProcessError:
                # Not ours to reap: only its disappearance can be seen.
                if not is_alive(self.pid):
                    return None
                pid, status = 0, 0
            if pid:
                self._status = os.waitstatus_to_exitcode(status)
                return self._status
            if time.monotonic() >= deadline:
                return None
            time.sleep(0.02)

    def send(self, sig):
        os.kill(self.pid, sig)

    def terminate(self, sig=signal.SIGTERM, timeout=10):
        """Sends sig and waits; returns the exit status or None (then killed)."""
        if self.pid is None:
            return None
        if self.running():
            self.send(sig)
        status = self.wait(timeout)
        if status is None and self.running():
            self.kill()
        return status

    def kill(self):
        kill_tagged(self.dir)
        if self.proc is not None and self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()

    def close(self):
        """Kills whatever is left and removes every file of this run."""
        self.kill()
        if self.proc is not None:
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                pass
        if self._adopted and self.pid is not None:
            _reap(self.pid)
        shutil.rmtree(self.dir, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    # -- what it left behind

    def _read(self, path):
        try:
            with open(path, errors="replace") as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def stdout(self):
        return self._read(self.stdout_path)

    def stderr(self):
        return self._read(self.stderr_path)

    def exists(self, path):
        """Whether path exists in the namespace (as far as the agent wrote or was given it)."""
        return os.path.lexists(self.host_path(path)) and not _is_whiteout(self.host_path(path))

    def log_text(self, path=DEFAULT_LOG):
        """The agent's log (a namespace path, or a host path below the base dir)."""
        return self._read(self.host_path(path))

    def log_entries(self, path=DEFAULT_LOG):
        """[(stamp, level, message)]; a message's further lines (those that
        start without a stamp) are joined to it with newlines."""
        entries = []
        for line in self.log_text(path).splitlines():
            m = LOG_ENTRY.match(line)
            if m:
                entries.append([m.group(1), int(m.group(2)), m.group(3)])
            elif entries:
                entries[-1][2] += "\n" + line
        return [tuple(e) for e in entries]

    def has_log(self, message, path=DEFAULT_LOG, level=None):
        return any(msg == message and (level is None or lvl == level)
                   for _stamp, lvl, msg in self.log_entries(path))

    def wait_log(self, message, timeout=10, path=DEFAULT_LOG, level=None):
        """Waits for a log entry with exactly this message (and level).

        Gives up early when the agent has exited without writing it.
        """
        deadline = time.monotonic() + timeout
        while not self.has_log(message, path, level):
            if time.monotonic() >= deadline or not self.running():
                return self.has_log(message, path, level)
            time.sleep(0.05)
        return True

    def upper_files(self):
        """Every file the namespace's overlays and private temp dirs hold."""
        found = []
        ns = os.path.join(self.dir, "ns")
        for root, dirs, files in os.walk(ns):
            dirs[:] = [d for d in dirs if not d.endswith(".work")]
            for name in files:
                found.append(os.path.join(root, name))
        return found


def _is_whiteout(path):
    # Overlayfs marks a deletion with a 0:0 character device in the upper dir.
    try:
        st = os.lstat(path)
    except OSError:
        return False
    return stat.S_ISCHR(st.st_mode) and st.st_rdev == 0


def describe(agent):
    """Context for assertion messages."""
    return "\n--- stdout:\n%s--- stderr:\n%s--- log:\n%s" % (agent.stdout(), agent.stderr(), agent.log_text())


def wait_served(target, oid, timeout=15):
    """Waits until a GET of oid at target answers with a value; returns the result or None."""
    def served():
        got = snmpget(target, oid, timeout=1)
        return got if got.answered and "No Such" not in got.stdout else None
    return wait_for(served, timeout, interval=0.1)


# ------------------------------------------------------------ a suite's set

def start_agent(agent, cleanup, start_line=START_SUBAGENT, log=DEFAULT_LOG, target=None, served=(),
                timeout=START_TIMEOUT):
    """Starts agent (foreground) with cleanup(agent.close) registered.
    Returns once start_line (level 1) is in its log and each OID of served
    has a value at target; raises AssertionError otherwise."""
    cleanup(agent.close)
    agent.start()
    if start_line is not None and not agent.wait_log(start_line, timeout, path=log, level=1):
        raise AssertionError("no start line in %s%s" % (log, describe(agent)))
    for oid in served:
        if not wait_served(target, oid, timeout):
            raise AssertionError("%s not served%s" % (oid, describe(agent)))
    return agent


def servers(owner, *, pg=KXDB_FIXTURE, bmc=False, snmpd=True, agent=None, files=None, served=(),
            start_line=START_SUBAGENT, cleanup=None, **agent_kw):
    """Starts what a suite needs, once, as attributes of owner; returns owner.

    owner:   a TestCase class (stopped by addClassCleanup), a test
             (addCleanup) or, with cleanup(fn) given, any object.
    pg:      SQL files of a new database, a running Pg, or None  -> owner.pg
    bmc:     the simulated BMC in a network namespace of its own
             (bmcrig.py); the agent then runs in it, pointed at the BMC
                                                  -> owner.netns, owner.bmc
    snmpd:   True for a new master, a running Snmpd, or None -> owner.snmpd
    agent:   None, the arguments after "-f -x <the master's AgentX socket>",
             or a function of owner that returns an unstarted Agent
                                                  -> owner.agent
    files, agent_kw: Agent's keywords (conninfo: the database's by default);
             files go over the BMC's configuration lines.
    served, start_line: what start_agent() waits for.

    Cleanup runs in the reverse order of the start: the agent first, the
    database last.
    """
    require_agent()
    if cleanup is None:
        cleanup = owner.addClassCleanup if isinstance(owner, type) else owner.addCleanup
    if pg is not None and not isinstance(pg, Pg):
        pg = Pg(*pg)
        cleanup(pg.close)
    if pg is not None:
        owner.pg = pg
    if bmc:
        import bmcrig  # here: it imports this module
        owner.netns = bmcrig.NetNs()
        cleanup(owner.netns.close)
        owner.bmc = bmcrig.Bmc(owner.netns)
        cleanup(owner.bmc.close)
    if snmpd is True:
        snmpd = Snmpd()
        cleanup(snmpd.close)
    if snmpd is not None:
        owner.snmpd = snmpd
    if agent is None:
        return owner
    if callable(agent):
        a = agent(owner)
    else:
        args = ["-f", "-x", snmpd.agentx] + list(agent)
        if pg is not None:
            agent_kw.setdefault("conninfo", pg.conninfo)
        if bmc:
            a = bmcrig.NsAgent(owner.netns, args, files={DEFAULT_CONFIG: owner.bmc.agent_config(), **(files or {})},
                               **agent_kw)
        else:
            a = Agent(args, files=files, **agent_kw)
    owner.agent = start_agent(a, cleanup, start_line, target=snmpd.target if snmpd else None, served=served)
    return owner


if __name__ == "__main__":
    sys.exit("rig.py is a library for the end-to-end suites")
