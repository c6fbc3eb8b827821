"""The simulated BMC in a private network namespace, and the agent beside it.

The ``ipmiutil`` command always talks to UDP port 623, so for the agent's FRU
date the BMC must answer on 127.0.0.1:623.  That port is taken on the host
(or needs a free one), so the BMC and the agent share a network namespace of
their own:

* ``NetNs``: a holder process started with ``unshare --net`` that brings up
  ``lo`` and sleeps; other processes join its namespace with
  ``nsenter --net=/proc/<pid>/ns/net``;
* ``Bmc``: ``tests/rig/bmc_start.sh`` run inside the namespace (ipmi_sim on
  127.0.0.1:623); its ``bmc.env`` values as attributes;
* ``NsAgent``: ``rig.Agent`` whose command is prefixed with that ``nsenter``.

snmpd stays on the host's loopback: the agent reaches it over its AgentX
unix socket, whose path works from any network namespace.  The host's ``ss``
does not see the agent's end of that connection, so ``Snmpd.has_client``
cannot tell whether an ``NsAgent`` is connected: wait for an answer instead
(``wait_served``).

Everything is tagged with ``rig.RIG_TAG_VAR`` like the rest of the rig and
stopped by PID in ``close()``.  Python standard library only.
"""

import os
import re
import shutil
import selectors
import signal
import subprocess
import tempfile

import rig

BMC_START = os.path.join(rig.SOURCE_DIR, "tests", "rig", "bmc_start.sh")
BMC_STOP = os.path.join(rig.SOURCE_DIR, "tests", "rig", "bmc_stop.sh")

# bmc_start.sh puts its directory into a shell command line of ipmi_sim's
# and refuses anything but these characters; mkdtemp may pick '_'.
_PLAIN_PATH = re.compile(r"^[A-Za-z0-9._/+@,-]+$")


def _plain_temp_dir(prefix):
    """A new directory (mkdtemp) whose path bmc_start.sh accepts."""
    parents = [rig.base_dir(), "/tmp"]
    for parent in parents:
        if not _PLAIN_PATH.match(parent):
            continue
        for _ in range(50):
            d = tempfile.mkdtemp(prefix=prefix, dir=parent)
            if _PLAIN_PATH.match(d):
                return d
            os.rmdir(d)
    raise rig.RigError("no temporary directory with a plain path could be made")


def _read_env(path):
    # NAME=value lines, never run through a shell.
    env = {}
    with open(path) as f:
        for line in f:
            key, sep, value = line.rstrip("\n").partition("=")
            if sep:
                env[key] = value
    return env


class NetNs:
    """A private network namespace with only ``lo``, up, held by a sleeping process."""

    def __init__(self, timeout=10):
        self.dir = rig.make_dir("netns-")
        self.proc = subprocess.Popen(
            ["unshare", "--net", "--", "sh", "-c", 'ip link set lo up || exit 1; echo up; exec sleep infinity'],
            env=rig.clean_env(**{rig.RIG_TAG_VAR: self.dir}), stdin=subprocess.DEVNULL,
            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.pid = self.proc.pid
        try:
            line = self._first_line(timeout)
            if line != b"up\n":
                raise rig.RigError("network namespace not set up: %r %r" % (line, self._stderr()))
        except Exception:
            self.close()
            raise
        self.path = "/proc/%d/ns/net" % self.pid
        if os.stat(self.path).st_ino == os.stat("/proc/self/ns/net").st_ino:
            self.close()
            raise rig.RigError("unshare --net left the holder in the host's namespace")

    def _first_line(self, timeout):

        with selectors.DefaultSelector() as sel:
            sel.register(self.proc.stdout, selectors.EVENT_READ)
            if not sel.select(timeout):
                raise rig.RigError("network namespace holder did not start within %ss" % timeout)
        return self.proc.stdout.readline()

    def _stderr(self):
        if self.proc.poll() is None:
            return b""
        return self.proc.stderr.read()

    def enter(self, command):
        """command (argv) run inside this namespace."""
        return ["nsenter", "--net=" + self.path, "--"] + list(command)

    def close(self):
        if self.proc is not None:
            if self.proc.poll() is None:
                self.proc.send_signal(signal.SIGTERM)
                try:
                    self.proc.wait(5)
                except subprocess.TimeoutExpired:
                    self.proc.kill()
                    self.proc.wait()
            self.proc.stdout.close()
            self.proc.stderr.close()
            self.proc = None
        rig.kill_tagged(self.dir)
        shutil.rmtree(self.dir, ignore_errors=True)


class Bmc:
    """ipmi_sim (tests/bmc) on 127.0.0.1:623 inside a NetNs, for as long as the object lives.

    Attributes from bmc.env: host ("127.0.0.1:623"), user, password,
    workaround, pid, console.
    """

    def __init__(self, netns, address="127.0.0.1:623", timeout=60):
        self.netns = netns
        self.parent = _plain_temp_dir("bmc-")
        self.dir = os.path.join(self.parent, "run")  # bmc_stop.sh removes it
        env = rig.clean_env(**{rig.RIG_TAG_VAR: self.parent})
        p = subprocess.run(netns.enter([BMC_START, self.dir, address]), env=env, stdin=subprocess.DEVNULL,
                           capture_output=True, text=True, timeout=timeout)
        if p.returncode != 0:
            self.close()
            raise rig.RigError("bmc_start.sh failed (%d): %s%s" % (p.returncode, p.stdout, p.stderr))
        self.env = _read_env(os.path.join(self.dir, "bmc.env"))
        self.host = self.env["BMC_HOST"]
        self.user = self.env["BMC_USER"]
        self.password = self.env["BMC_PASSWORD"]
        self.workaround = self.env["BMC_WORKAROUND"]
        self.console = self.env["BMC_CONSOLE"]
        self.pid = int(self.env["BMC_PID"])

    def agent_config(self, host=None):
        """The agent configuration file's lines that point it at this BMC."""
        return "IpmiHost=%s\nIpmiUser=%s\nIpmiPassword=%s\nIpmiWorkaround=%s\n" % (
            host or self.host, self.user, self.password, self.workaround)

    def close(self):
        subprocess.run([BMC_STOP, self.dir], env=rig.clean_env(), stdin=subprocess.DEVNULL,
                       capture_output=True, timeout=30)
        rig.kill_tagged(self.parent)
        shutil.rmtree(self.parent, ignore_errors=True)


class NsAgent(rig.Agent):
    """rig.Agent run inside a NetNs (so it reaches the BMC there on 127.0.0.1)."""

    def __init__(self, netns, args=(), **kw):
        self.netns = netns
        super().__init__(args, **kw)

    def _build_command(self):
        return self.netns.enter(super()._build_command())


# Kept here too for the benches and suites that took it from this module.
wait_served = rig.wait_served


# A client of the BMC's command console (a telnet-like TCP port inside the
# namespace): sends one line, prints what came back up to the next prompt.
CONSOLE_CLIENT = r"""
import socket, sys
host, port = sys.argv[1].rsplit(":", 1)
def prompt(s):
    data = b""
    while not data.endswith(b"> "):
        chunk = s.recv(4096)
        if not chunk:
            sys.exit("console closed: %r" % data)
        data += chunk
    return data
with socket.create_connection((host, int(port)), timeout=10) as s:
    prompt(s)
    s.sendall(sys.argv[2].encode() + b"\r\n")
    sys.stdout.write(prompt(s).decode(errors="replace"))
"""


def console(netns, bmc, line):
    """One command on the BMC's console, run inside its namespace."""
    return subprocess.run(netns.enter(["/usr/bin/python3", "-c", CONSOLE_CLIENT, bmc.console, line]),
                          env=rig.clean_env(), stdin=subprocess.DEVNULL, capture_output=True, text=True,
                          timeout=60)


if __name__ == "__main__":
    raise SystemExit("bmcrig.py is a library for the end-to-end suites")
