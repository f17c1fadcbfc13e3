"""The processes the benchmark drives: private tmux servers, the limit program that runs a
row's command lines in C, and a control-mode client of our own."""

import subprocess
import time

from bench.util import wait_for

DEVNULL = subprocess.DEVNULL
PIPE = subprocess.PIPE

HISTORY_LINES = 100_000
# A history line as wide as a typical log line. At 7.5 MB of text the peak-RSS figure is
# precise: VmHWM reads up to a couple of hundred KiB off the resident size here, which
# would swamp the 0.6 MB that 100,000 bare numbers make.
HISTORY_LINE = "line %06g: the quick brown fox jumps over the lazy dog 0123456789 abcdef"
# A detached session's screen is 24 rows; the last 23 lines printed stay on it, below them
# is the cursor's empty row, and everything above is history.
SCREEN_ROWS = 24
WINDOWS = 20
PANES = 8


class Tmux:
    """One private tmux server on a socket in our temporary directory."""

    def __init__(self, real_tmux, socket):
        self.real = real_tmux
        self.socket = socket
        # The sessions grow() has made since the server last stopped.
        self.grown = 0

    def argv(self, *args):
        """The command line every column runs: tmux looked up on PATH and told that its
        output is UTF-8, as the module does."""
        return ["tmux", "-u", "-S", self.socket, *args]

    def run(self, *args):
        done = subprocess.run(
            [self.real, "-S", self.socket, "-f", "/dev/null", *args],
            stdin=DEVNULL,
            stdout=PIPE,
            stderr=PIPE,
            check=False,
        )
        if done.returncode != 0:
            raise RuntimeError(f"tmux {' '.join(args)}: {done.stderr.decode(errors='replace').strip()}")
        return done.stdout.decode(errors="replace")

    def display(self, target, fmt):
        return self.run("display-message", "-p", "-t", target, fmt).strip()

    def pid(self):
        return int(self.run("display-message", "-p", "#{pid}"))

    def grow(self, count, session, batch=100):
        """Adds sessions up to the count a row asks for, in batches of one tmux client each;
        `session(i)` gives the commands that make the i-th (from 1). Every row that grows a
        server passes the same `session`."""
        for start in range(self.grown + 1, count + 1, batch):
            made = range(start, min(start + batch, count + 1))
            self.run(*chained([step for i in made for step in session(i)]))
        self.grown = max(self.grown, count)

    def kill(self):
        subprocess.run([self.real, "-S", self.socket, "kill-server"], stdin=DEVNULL, stdout=DEVNULL, stderr=DEVNULL)
        self.grown = 0


def chained(commands):
    """One tmux invocation running several commands: their argument lists joined by ";"."""
    argv = []
    for command in commands:
        if argv:
            argv.append(";")
        argv.extend(command)
    return argv


def screen_session():
    """The session whose visible screen the captures read: 40 numbered lines, the last 23 on it."""
    return [
        "new-session",
        "-d",
        "-s",
        "screen",
        "-x",
        "80",
        "-y",
        str(SCREEN_ROWS),
        "seq -f 'screen line %g: the quick brown fox jumps over the lazy dog' 1 40; exec cat",
    ]


def screen_ready(tmux):
    wait_for(lambda: "screen line 40:" in tmux.run("capture-pane", "-p", "-t", "=screen:"), "the screen pane")


def start_main_server(tmux):
    """The server most rows use: a 20-window session, an 8-pane window, panes to type into
    and to read, and a pane holding 100,000 lines of history."""
    hold = "exec cat"
    tmux.run(
        *chained(
            [
                ["new-session", "-d", "-s", "wins", "-x", "120", "-y", "40", hold],
                # Panes made from here on keep the history the big capture needs, and the
                # sessions the pair row makes start a process that costs the server little.
                ["set", "-g", "history-limit", str(HISTORY_LINES + 100)],
                ["set", "-g", "default-shell", "/bin/sh"],
                ["set", "-g", "default-command", hold],
            ]
            + [["new-window", "-d", "-t", "=wins:", hold] for _ in range(WINDOWS - 1)]
        )
    )
    tmux.run(
        *chained(
            [["new-session", "-d", "-s", "panes", "-x", "200", "-y", "60", hold]]
            + [
                step
                for _ in range(PANES - 1)
                for step in (["split-window", "-d", "-t", "=panes:0", hold], ["select-layout", "-t", "=panes:0", "tiled"])
            ]
        )
    )
    tmux.run(
        *chained(
            [
                # Raw mode and no echo: typed keys vanish instead of piling up on the screen.
                ["new-session", "-d", "-s", "keys", "-x", "80", "-y", str(SCREEN_ROWS), "stty raw -echo; exec cat >/dev/null"],
                screen_session(),
                [
                    "new-session",
                    "-d",
                    "-s",
                    "big",
                    "-x",
                    "80",
                    "-y",
                    str(SCREEN_ROWS),
                    f"seq -f '{HISTORY_LINE}' 1 {HISTORY_LINES + SCREEN_ROWS - 1}; exec cat",
                ],
            ]
        )
    )
    screen_ready(tmux)
    wait_for(
        lambda: int(tmux.display("=big:", "#{history_size}")) >= HISTORY_LINES
        and f"line {HISTORY_LINES + SCREEN_ROWS - 1:06d}:" in tmux.run("capture-pane", "-p", "-t", "=big:"),
        "100,000 lines of history",
    )
    wait_for(lambda: tmux.display("=keys:", "#{pane_current_command}") == "cat", "the keys pane")
    assert len(tmux.run("list-panes", "-t", "=panes:0").splitlines()) == PANES


class LimitRunner:
    """The limit program (limit.c): a row's command lines run in C with posix_spawnp."""

    def __init__(self, program):
        self.program = program

    def command_line(self, row, options):
        argv = [self.program, *options]
        if any(mode in ("quiet", "checked") for _, mode in row.commands):
            argv.append("-o")
        argv.append("--")
        for i, (command, _) in enumerate(row.commands):
            if i:
                argv.append("---")
            argv.extend(command)
        return argv

    @staticmethod
    def read_block(lines, count):
        samples = [int(line) for line in lines[:count]]
        summary = {key: int(value) for key, value in (item.split("=") for item in lines[count].split())}
        return samples, summary

    def run(self, row, count, peak=False):
        """One fresh limit process running `count` calls."""
        options = ["-n", str(count)] + (["-m"] if peak else [])
        done = subprocess.run(self.command_line(row, options), stdin=DEVNULL, stdout=PIPE, check=True, text=True)
        return self.read_block(done.stdout.split("\n"), count)

    def serve(self, row):
        """A limit process that stays warm and runs a block whenever asked."""
        return LimitServer(self.command_line(row, ["-s", "-w", "1"]))


class LimitServer:
    def __init__(self, argv):
        self.process = subprocess.Popen(argv, stdin=PIPE, stdout=PIPE, text=True, bufsize=1)

    def block(self, count):
        self.process.stdin.write(f"{count}\n")
        self.process.stdin.flush()
        lines = [self.process.stdout.readline() for _ in range(count + 1)]
        samples, summary = LimitRunner.read_block(lines, count)
        return samples, summary["cpu_ns"]

    def close(self):
        self.process.stdin.close()
        self.process.wait()


class ControlClient:
    """A control-mode client of our own, for what the channel does not do: commands sent
    many at once, or captures printed to the client. Each batch of commands ends with one
    that prints a token, read back once everything before it has answered."""

    def __init__(self, tmux):
        self.process = subprocess.Popen(
            [tmux.real, "-u", "-S", tmux.socket, "-C", "attach-session", "-f", "no-output,ignore-size"],
            stdin=PIPE,
            stdout=PIPE,
            stderr=DEVNULL,
        )

    def batch(self, command, count):
        token = f"vordalin-bench-{time.monotonic_ns()}".encode()
        self.process.stdin.write((command + "\n").encode() * count + b"display-message -p " + token + b"\n")
        self.process.stdin.flush()
        for line in self.process.stdout:
            if line.rstrip(b"\n") == token:
                return
        raise RuntimeError("the control client ended")

    def close(self):
        self.process.stdin.close()
        self.process.wait()
