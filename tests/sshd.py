"""A private OpenSSH server on 127.0.0.1 for the tests, and an ssh configuration that names it.

Everything lives in one temporary directory: a host key, the user keys, the server's configuration
and an ssh configuration with four host names:

- HOST: the server, logged in with a key it accepts;
- NO_TMUX_HOST: the same server with a key whose sessions get a PATH without tmux;
- WRONG_KEY_HOST: the same server with a key it refuses;
- CLOSED_HOST: a port of 127.0.0.1 where nothing listens.

Its sessions get a private HOME (no start-up file of the user's runs) and TMUX_TMPDIR (a default
tmux server there is the test's own). Run as a script, it starts the server and prints the options
to pass to vordalin (``ssh_options``) until Ctrl-C.
"""

import contextlib
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time
from pathlib import Path

SSHD = shutil.which("sshd") or next((p for p in ("/usr/sbin/sshd", "/sbin/sshd") if os.access(p, os.X_OK)), None)
SSH_KEYGEN = shutil.which("ssh-keygen")
SSH = shutil.which("ssh")
HOST, NO_TMUX_HOST, WRONG_KEY_HOST, CLOSED_HOST = "vordalin-test", "vordalin-no-tmux", "vordalin-wrong-key", \
    "vordalin-closed"
# sshd run by root needs its privilege separation directory, which the package's service makes.
PRIVSEP_DIR = "/run/sshd"


class Sshd:
    def __init__(self, directory, port, process):
        self.directory, self.port, self.process = Path(directory), port, process
        self.config = str(self.directory / "ssh_config")
        self.home = str(self.directory / "home")
        self.tmux_tmpdir = str(self.directory / "tmux")

    @property
    def options(self):
        """The ssh options that reach the server's hosts."""
        return ("-F", self.config)

    def connections(self):
        """Pids of the server's children: one per connection."""
        return [pid for pid in _pids() if _parent(pid) == self.process.pid]

    def drop_connections(self):
        for pid in self.connections():
            with contextlib.suppress(ProcessLookupError):
                os.kill(pid, signal.SIGKILL)


def _pids():
    return [int(entry) for entry in os.listdir("/proc") if entry.isdigit()]


def _parent(pid):
    try:
        with open(f"/proc/{pid}/stat", "rb") as f:
            data = f.read()
    except OSError:
        return None
    return int(data[data.rindex(b")") + 2:].split()[1])


def _free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def _keygen(path):
    subprocess.run([SSH_KEYGEN, "-q", "-t", "ed25519", "-N", "", "-f", str(path)], check=True, timeout=30)
    return Path(f"{path}.pub").read_text().strip()


def _host_block(name, port, key):
    return (f"Host {name}\n  HostName 127.0.0.1\n  Port {port}\n  User {_user()}\n  IdentityFile {key}\n"
            "  IdentitiesOnly yes\n  StrictHostKeyChecking no\n  UserKnownHostsFile /dev/null\n"
            f"  GlobalKnownHostsFile /dev/null\n  PreferredAuthentications publickey\n  LogLevel ERROR\n")


def _user():
    import pwd

    return pwd.getpwuid(os.getuid()).pw_name


def unavailable():
    """Why no test server can run here, or None."""
    missing = [name for name, found in (("sshd", SSHD), ("ssh", SSH), ("ssh-keygen", SSH_KEYGEN)) if not found]
    if missing:
        return f"OpenSSH is not installed ({', '.join(missing)} missing; Debian's openssh-server has them)"
    if os.geteuid() == 0 and not os.path.isdir(PRIVSEP_DIR):
        try:
            os.makedirs(PRIVSEP_DIR, mode=0o755, exist_ok=True)
        except OSError as error:
            return f"sshd needs {PRIVSEP_DIR}: {error}"
    return None


@contextlib.contextmanager
def running_sshd():
    """Starts the server, waits until it accepts connections, and stops it and its connections after."""
    if reason := unavailable():
        raise RuntimeError(reason)
    directory = Path(tempfile.mkdtemp(prefix="vdssh", dir="/tmp"))
    process = None
    try:
        os.chmod(directory, 0o700)
        (directory / "home").mkdir()
        (directory / "tmux").mkdir(mode=0o700)
        good, no_tmux = _keygen(directory / "key"), _keygen(directory / "no_tmux_key")
        _keygen(directory / "wrong_key")
        _keygen(directory / "host_key")
        (directory / "authorized_keys").write_text(f'{good}\nenvironment="PATH=/nonexistent" {no_tmux}\n')
        port, closed = _free_port(), _free_port()
        (directory / "sshd_config").write_text(
            f"ListenAddress 127.0.0.1\nPort {port}\nHostKey {directory}/host_key\n"
            f"AuthorizedKeysFile {directory}/authorized_keys\nPidFile none\nStrictModes no\nUsePAM no\n"
            "PasswordAuthentication no\nKbdInteractiveAuthentication no\nPermitRootLogin prohibit-password\n"
            "PermitUserEnvironment PATH\nMaxStartups 100\nMaxSessions 100\nLogLevel ERROR\n"
            f"SetEnv HOME={directory}/home TMUX_TMPDIR={directory}/tmux\n")
        (directory / "ssh_config").write_text(
            _host_block(HOST, port, directory / "key")
            + _host_block(NO_TMUX_HOST, port, directory / "no_tmux_key")
            + _host_block(WRONG_KEY_HOST, port, directory / "wrong_key")
            + _host_block(CLOSED_HOST, closed, directory / "key"))
        with open(directory / "sshd.log", "wb") as log:
            process = subprocess.Popen([SSHD, "-D", "-e", "-f", str(directory / "sshd_config")],
                                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=log)
        server = Sshd(directory, port, process)
        deadline = time.monotonic() + 10
        while True:
            probe = subprocess.run([SSH, "-F", server.config, "-o", "BatchMode=yes", HOST, "true"],
                                   stdin=subprocess.DEVNULL, capture_output=True, timeout=30)
            if probe.returncode == 0:
                break
            if process.poll() is not None or time.monotonic() > deadline:
                log = (directory / "sshd.log").read_text(errors="replace")
                raise RuntimeError(f"sshd did not start: {probe.stderr.decode(errors='replace').strip()} {log}")
            time.sleep(0.05)
        yield server
    finally:
        if process is not None:
            Sshd(directory, 0, process).drop_connections()
            process.kill()
            process.wait(timeout=10)
        shutil.rmtree(directory, ignore_errors=True)


if __name__ == "__main__":
    with running_sshd() as sshd:
        print(f"host {HOST!r}, ssh_options {list(sshd.options)!r}; Ctrl-C stops it", flush=True)
        with contextlib.suppress(KeyboardInterrupt):
            signal.pause()
