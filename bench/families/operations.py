"""Single operations, each one tmux process (or two) per call: vordalin, subprocess.run of the
same command line and libtmux's closest call, beside the limit."""

from bench.family import Family, register
from bench.report import fmt_count, fmt_ratio, limit_verdict, table
from bench.row import COLUMNS, PEERS, Row
from bench.servers import HISTORY_LINES, PANES, SCREEN_ROWS, WINDOWS

NAME = "operations"
KEYS = "echo hello world"
MISSING = "no-such-session"


def first_window(value):
    """Whether an answer describes the window at index 0: vordalin's metadata, libtmux's
    window, or the text tmux printed."""
    if isinstance(value, str):
        return value.split("|")[0] == "0"
    return str(getattr(value, "index", None)) == "0"


def line_count(value):
    """Lines in a capture whatever its shape: one text, or libtmux's list of lines."""
    if isinstance(value, list):
        return len(value)
    return len(value.splitlines())


def counted(count):
    """Checks an answer of `count` items: objects, or the lines tmux printed."""
    return lambda value: (line_count(value) if isinstance(value, str) else len(value)) == count


def free_text(variable):
    """A field of free text as the module asks for it: one evaluation, escaped so that neither
    the separator nor a line end can occur inside it."""
    return "#{s/\n/\\\\n/:#{q:" + variable + "}}"


def fields(tmux, target, fmt):
    """One object's fields as vordalin reads them: a list-panes of the target that prints
    nothing, then display-message."""
    return tmux.argv("list-panes", "-t", target, "-f", "0", ";", "display-message", "-p", "-t", target, fmt)


def rows(bench):
    main = bench.main
    listing = bench.tmux("list")
    v_main, v_list = bench.server("main"), bench.server("list")
    l_main, l_list = bench.peer("main"), bench.peer("list")
    libtmux = bench.libtmux

    v_wins = next(s for s in v_main.sessions if s.name == "wins")
    v_window = v_wins.windows[0]
    v_panes_window = next(s for s in v_main.sessions if s.name == "panes").windows[0]
    key_pane_id = main.display("=keys:", "#{pane_id}")
    screen_pane_id = main.display("=screen:", "#{pane_id}")
    big_pane_id = main.display("=big:", "#{pane_id}")
    target_id = main.display("=panes:0.3", "#{pane_id}")
    v_keys = v_main.target_pane(key_pane_id)
    v_screen = v_main.target_pane(screen_pane_id)
    v_big = v_main.target_pane(big_pane_id)

    l_wins = l_main.sessions.get(session_name="wins")
    l_window = l_wins.windows[0]
    l_panes_window = l_main.sessions.get(session_name="panes").windows[0]
    l_keys = libtmux.Pane.from_pane_id(server=l_main, pane_id=key_pane_id)
    l_screen = libtmux.Pane.from_pane_id(server=l_main, pane_id=screen_pane_id)
    l_big = libtmux.Pane.from_pane_id(server=l_main, pane_id=big_pane_id)

    def v_pair():
        session = v_main.new_session("pair")
        return session.kill()

    def l_pair():
        session = l_main.new_session(session_name="pair")
        session.kill()
        return True

    def sessions_row(count):
        return Row(
            f"sessions_{count}",
            f"sessions ({count} session{'s' if count > 1 else ''})",
            [(listing.argv("list-sessions", "-F", "#{session_name}"), "quiet")],
            lambda: v_list.sessions,
            lambda: l_list.sessions,
            counted(count),
            bench.reps(600),
            target=1.03 if count == 500 else 1.02,
            prepare=lambda row: listing.grow(count, lambda i: [["new-session", "-d", "-s", f"s{i}", "exec cat"]]),
        )

    big_lines = HISTORY_LINES + SCREEN_ROWS
    return [
        Row(
            "has_session",
            "has_session (existing)",
            [(main.argv("has-session", "-t", "=wins"), "status")],
            lambda: v_main.has_session("wins"),
            lambda: l_main.has_session("wins"),
            lambda value: value is True,
            bench.reps(600),
        ),
        Row(
            "has_session_missing",
            "has_session (missing)",
            [(main.argv("has-session", "-t", "=" + MISSING), "status")],
            lambda: v_main.has_session(MISSING),
            lambda: l_main.has_session(MISSING),
            lambda value: value is False,
            bench.reps(600),
            limit_failures=1,
        ),
        sessions_row(1),
        sessions_row(100),
        sessions_row(500),
        Row(
            "windows",
            f"windows ({WINDOWS}-window session)",
            [
                (
                    main.argv("list-windows", "-t", "=wins", "-F", "#{window_index}|" + free_text("window_name")),
                    "quiet",
                )
            ],
            lambda: v_wins.windows,
            lambda: l_wins.windows,
            counted(WINDOWS),
            bench.reps(600),
        ),
        Row(
            "window_metadata",
            "window metadata",
            [
                (
                    fields(
                        main,
                        "=wins:=0",
                        "#{window_index}|" + free_text("window_name") + "|#{window_active}|#{window_layout}"
                        "|#{window_width}|#{window_height}|#{window_flags}",
                    ),
                    "quiet",
                )
            ],
            lambda: v_window.metadata,
            lambda: (l_window.refresh(), l_window)[1],
            first_window,
            bench.reps(600),
        ),
        Row(
            "panes",
            f"panes ({PANES}-pane window)",
            [
                (
                    main.argv(
                        "list-panes", "-t", "=panes:=0", "-F", "#{pane_index}|#{pane_id}|" + free_text("pane_title")
                    ),
                    "quiet",
                )
            ],
            lambda: v_panes_window.panes,
            lambda: l_panes_window.panes,
            counted(PANES),
            bench.reps(600),
        ),
        Row(
            "send_keys",
            "send_keys (short text)",
            [(main.argv("send-keys", "-t", key_pane_id, "--", KEYS), "raising")],
            lambda: v_keys.send_keys(KEYS),
            lambda: l_keys.send_keys(KEYS, enter=False),
            lambda value: value in (True, None),
            bench.reps(600),
        ),
        Row(
            "capture",
            "capture (visible screen)",
            [(main.argv("capture-pane", "-p", "-t", screen_pane_id), "quiet")],
            lambda: v_screen.capture(),
            lambda: l_screen.capture_pane(),
            lambda value: "screen line 40:" in "\n".join(value) if isinstance(value, list) else "screen line 40:" in value,
            bench.reps(600),
        ),
        Row(
            "capture_full",
            f"capture(full=True), {HISTORY_LINES:,} lines",
            [(main.argv("capture-pane", "-p", "-t", big_pane_id, "-S", "-"), "quiet")],
            lambda: v_big.capture(full=True),
            lambda: l_big.capture_pane(start="-"),
            lambda value: line_count(value) >= big_lines - 1,
            bench.reps(150, least=10),
            target=1.05,
        ),
        Row(
            "pair",
            "new_session + kill",
            [
                (main.argv("new-session", "-d", "-P", "-F", "#{session_name}", "-s", "pair"), "checked"),
                (main.argv("kill-session", "-t", "=pair"), "status"),
            ],
            v_pair,
            l_pair,
            lambda value: value is True or value == ["pair\n", True],
            bench.reps(300),
            minimum=2,
        ),
        Row(
            "target_pane",
            "target_pane",
            [
                (
                    fields(
                        main, target_id, "#{session_name}\t#{window_index}\t#{pane_index}\t#{pane_id}\t#{pane_title}"
                    ),
                    "checked",
                )
            ],
            lambda: v_main.target_pane(target_id),
            lambda: libtmux.Pane.from_pane_id(server=l_main, pane_id=target_id),
            lambda value: target_id in (value if isinstance(value, str) else value.pane_id),
            bench.reps(600),
        ),
    ]


def parts(results):
    ran = results.of(NAME)
    out = []
    out.append(
        "Generated by `make bench`. Medians per operation in milliseconds, with the ratio to the limit in "
        "brackets; every column of a row ran in the same interleaved blocks, after warm-up, against a private "
        "tmux server. *limit* is a C program that runs the same tmux command line with posix_spawnp (reading "
        "standard output through a pipe when the operation reads it); *subprocess* runs that same command line "
        "with `subprocess.run`; *libtmux* is its closest equivalent call. *processes* counts the tmux processes "
        "one operation starts (vordalin / subprocess / libtmux), counted with a shim first on PATH after "
        "warm-up, and *stdout bytes* what they write.\n"
    )
    lines = []
    for row in ran:
        m = results.measured[row.key]
        procs = " / ".join(fmt_count(m.processes[c]) for c in PEERS)
        outputs = " / ".join(f"{m.output[c]:,.0f}" for c in PEERS)
        times = [fmt_ratio(m, c) for c in PEERS]
        lines.append((row.label, len(m.samples("vordalin")), f"{m.median_ms('limit'):.3f}", *times, procs, outputs))
    header = ("operation", "samples", "limit", "vordalin", "subprocess.run", "libtmux", "processes", "stdout bytes")
    out.extend(table(header, "<>>>>>^>", lines))
    out.append(
        "The caller's own processor time per operation in microseconds (median over blocks; the tmux "
        "processes' time is not in it). Wall time on a shared machine is noisy; this shows the cost each "
        "caller adds by itself.\n"
    )
    lines = [(row.label, *(f"{results.measured[row.key].cpu_us(c):,.0f}" for c in COLUMNS)) for row in ran]
    out.extend(table(("operation", "limit", "vordalin", "subprocess.run", "libtmux"), "<>>>>", lines))
    return [(None, out)]


def targets(results):
    """Each target of the single operations, with whether this run met it."""
    ran = [(row, results.measured[row.key]) for row in results.of(NAME)]
    lines = [limit_verdict(f"{row.label}: vordalin / limit", m, "vordalin", row.target) for row, m in ran]
    for row, m in ran:
        v, s = m.median_ms("vordalin"), m.median_ms("subprocess")
        lines.append((f"{row.label}: at or below subprocess.run", v <= s, f"{v:.3f} vs {s:.3f} ms"))
    for row, m in ran:
        if m.processes["libtmux"] > 1 or m.output["libtmux"] > m.output["vordalin"]:
            v, lt = m.median_ms("vordalin"), m.median_ms("libtmux")
            lines.append((f"{row.label}: faster than libtmux", v < lt, f"{v:.3f} vs {lt:.3f} ms"))
    for row, m in ran:
        got = m.processes["vordalin"]
        lines.append((f"{row.label}: at most {row.minimum} tmux process(es)", got <= row.minimum, fmt_count(got)))
    return lines


register(Family(NAME, 10, rows=rows, parts=parts, targets=targets, chart=True))
