"""The dashboard: a whole workload rather than one call. Every session's metadata, every
window's metadata and every pane's title, command and command line, on a server of sessions
with two panes each: Server.snapshot, the same walk through the per-object members, and
libtmux, against the limit running the snapshot's tmux command line and then its ps."""

import subprocess

from bench.counting import Counter
from bench.family import Family, register
from bench.report import fmt_count, fmt_ratio, limit_verdict, table
from bench.row import Row
from bench.servers import DEVNULL, PIPE
from bench.util import wait_for

NAME = "dashboard"
# The dashboard's sessions: one window of two panes, each running a program whose command
# line differs from its name.
DASH_SESSIONS = (50, 500)
DASH_PANES = 2
DASH_PROGRAM = "sleep"
DASH_COMMANDLINE = "sleep infinity"
# How many times faster than libtmux the snapshot's dashboard should be.
PEER_SPEEDUP = 50
# The metadata the dashboard shows, as vordalin names it and as libtmux does.
SESSION_FIELDS = ("id", "name", "created", "attached", "width", "height", "windows")
WINDOW_FIELDS = ("index", "name", "active", "layout", "width", "height", "flags")
WALKS = ("snapshot", "members", "libtmux")


def dash_session(i):
    hold = f"exec {DASH_COMMANDLINE}"
    return [["new-session", "-d", "-s", f"d{i}", hold]] + [
        ["split-window", "-d", "-t", f"=d{i}:", hold] for _ in range(DASH_PANES - 1)
    ]


def dash_server(bench, count):
    """The dashboard's server at `count` sessions, every pane running its program."""
    # ps reads every process on the machine, so the listing server's idle sessions would slow
    # the snapshot's one ps and libtmux's hundred alike; no dashboard needs them.
    bench.tmux("list").kill()
    dash = bench.tmux("dash")
    dash.grow(count, dash_session, batch=50)
    wait_for(
        lambda: dash.run("list-panes", "-a", "-F", "#{pane_current_command}").split()
        == [DASH_PROGRAM] * (count * DASH_PANES),
        f"{count * DASH_PANES} dashboard panes",
    )


def fields_of(record, names, prefix=""):
    """The named fields of one record; libtmux leaves out what its tmux does not report."""
    return tuple(getattr(record, prefix + name, None) for name in names)


def snapshot_dashboard(server):
    snapshot = server.snapshot(commandlines=True)
    return (
        [fields_of(session, SESSION_FIELDS) for session in snapshot.sessions],
        [fields_of(window, WINDOW_FIELDS) for window in snapshot.windows],
        [(pane.title, pane.current_command, pane.commandline) for pane in snapshot.panes],
    )


def members_dashboard(server, commandlines=True):
    sessions, windows, panes = [], [], []
    for session in server.sessions:
        sessions.append(fields_of(session.metadata(), SESSION_FIELDS))
        for window in session.windows:
            windows.append(fields_of(window.metadata, WINDOW_FIELDS))
            for pane in window.panes:
                shown = (pane.title, pane.current_command)
                panes.append(shown + (pane.current_commandline,) if commandlines else shown)
    return sessions, windows, panes


def ps_commandline(pid):
    """A pane's command line as a libtmux user reads it, having no member for it: ps."""
    done = subprocess.run(["ps", "-o", "args=", "-p", pid], stdin=DEVNULL, stdout=PIPE, stderr=DEVNULL, text=True)
    return done.stdout.strip() or None


def libtmux_dashboard(server):
    sessions, windows, panes = [], [], []
    for session in server.sessions:
        sessions.append(fields_of(session, SESSION_FIELDS, "session_"))
        for window in session.windows:
            windows.append(fields_of(window, WINDOW_FIELDS, "window_"))
            for pane in window.panes:
                panes.append((pane.pane_title, pane.pane_current_command, ps_commandline(pane.pane_pid)))
    return sessions, windows, panes


def dashboard_check(count, commandlines=True):
    program = (DASH_PROGRAM, DASH_COMMANDLINE) if commandlines else (DASH_PROGRAM,)

    def check(value):
        sessions, windows, panes = value
        programs = [pane[1:] for pane in panes]
        return len(sessions) == count and len(windows) == count and programs == [program] * (count * DASH_PANES)

    return check


def rows(bench):
    v_dash, l_dash = bench.server("dash"), bench.peer("dash")

    def dashboard_row(count, reps, walks):
        def prepare(row):
            dash_server(bench, count)
            # The limit runs what one snapshot ran: its tmux command line, then its ps.
            ran = bench.counter.count(lambda n: snapshot_dashboard(v_dash), 1)
            row.commands = [([program, *argv], "quiet") for program in Counter.PROGRAMS for argv in ran[program].argvs]

        columns = {"snapshot": lambda: snapshot_dashboard(v_dash)}
        if walks:
            columns["members"] = lambda: members_dashboard(v_dash)
            columns["libtmux"] = lambda: libtmux_dashboard(l_dash)
        return Row(
            f"dashboard_{count}",
            f"dashboard ({count} sessions × {DASH_PANES} panes)",
            commands=[],
            vordalin=None,
            libtmux=None,
            check=dashboard_check(count),
            reps=reps,
            minimum=2,
            target=None if walks else 1.10,
            prepare=prepare,
            columns=columns,
            mirror="snapshot",
            blocks={"members": 1, "libtmux": 1},
            count_repeats=1,
        )

    # The walks take seconds a call: they run one call per round of blocks, and at 500
    # sessions not at all. The family runs after the single operations, as it stops the
    # listing server.
    return [
        dashboard_row(DASH_SESSIONS[0], bench.reps(30), walks=True),
        dashboard_row(DASH_SESSIONS[1], bench.reps(100), walks=False),
    ]


def parts(results):
    dashboards = results.of(NAME)
    if not dashboards:
        return []
    out = []
    out.append(
        "A workload rather than one call: every session's metadata, every window's metadata, and every pane's "
        f"title, command and command line, on a server whose sessions each hold one window of {DASH_PANES} panes "
        f"running `{DASH_COMMANDLINE}`. Medians per dashboard in milliseconds, ratio to the limit in brackets. "
        "*snapshot* is one `Server.snapshot(commandlines=True)`, read field by field. *members* walks "
        "`server.sessions`, `session.metadata()`, `session.windows`, `window.metadata`, `window.panes` and each "
        "pane's `title`, `current_command` and `current_commandline`. *libtmux* walks `server.sessions`, "
        "`session.windows` and `window.panes`, reads their attributes, and runs `ps -o args= -p PID` for each "
        "pane's command line, having no member for it. *limit* runs, in one C process per call, the tmux command "
        "line the snapshot runs and then the ps it runs (the pids of every pane), reading both through a pipe: "
        "the two command lines, taken from the shims' log of one snapshot, are below. The walks take seconds "
        "per call, so they run once per round of blocks (the samples column counts the snapshot's "
        f"calls), and at {DASH_SESSIONS[1]} sessions not at all. ps reads every process on the machine, so the "
        "listing server's idle sessions are gone before these rows. *processes* counts tmux + ps processes per "
        "dashboard.\n"
    )
    lines = []
    for row in dashboards:
        m = results.measured[row.key]
        cells = [fmt_ratio(m, c) if c in m.columns else "—" for c in WALKS]
        procs = " / ".join(
            f"{fmt_count(m.processes[c])} + {fmt_count(m.ps[c])}" if c in m.columns else "—" for c in WALKS
        )
        lines.append((row.label, len(m.samples("snapshot")), f"{m.median_ms('limit'):.3f}", *cells, procs))
    header = ("workload", "samples", "limit", *WALKS, "processes (snapshot / members / libtmux)")
    out.extend(table(header, "<>>>>>^", lines))
    return [("Dashboard", out)]


def targets(results):
    lines = []
    for row in results.of(NAME):
        m = results.measured[row.key]
        if "libtmux" in m.columns:
            snapshot, peer = m.median_ms("snapshot"), m.median_ms("libtmux")
            lines.append(
                (
                    f"{row.label}: snapshot ≥ {PEER_SPEEDUP}× faster than libtmux",
                    peer >= PEER_SPEEDUP * snapshot,
                    f"{peer / snapshot:.1f}× ({snapshot:.2f} vs {peer:.1f} ms)",
                )
            )
        tmux, ps = m.processes["snapshot"], m.ps["snapshot"]
        lines.append(
            (
                f"{row.label}: snapshot runs at most {row.minimum} processes (tmux and ps)",
                tmux + ps <= row.minimum,
                f"{fmt_count(tmux)} tmux + {fmt_count(ps)} ps",
            )
        )
        if row.target is not None:
            lines.append(limit_verdict(f"{row.label}: snapshot / limit", m, "snapshot", row.target))
    return lines


register(Family(NAME, 30, rows=rows, parts=parts, targets=targets))
