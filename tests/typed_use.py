"""Every member of the everyday surface, as a user's typed script writes it: mypy --strict checks it
against the stubs (test_stubs.py), and the suite runs it on a real server (test_moving.py)."""

from __future__ import annotations

import os

import vordalin


def use(socket: str) -> list[str]:
    seen: list[str] = []
    with vordalin.Server(socket, config=os.devnull) as server:
        session = server.new_session("typed", width=100, height=30)
        found: vordalin.Session | None = server.session("typed")
        assert found is not None
        window: vordalin.Window = session.active_window
        pane: vordalin.Pane = window.active_pane
        right = pane.split(horizontal=True, select=False, size=30, start_directory=os.getcwd(), environment={"A": "1"})
        below = right.split(keep=False, command="sleep 100")
        window.select_layout("main-vertical")
        window.resize(width=90, height=25)

        options: vordalin.Options = session.options
        options["status"] = "off"
        options["@mine"] = "x"
        server.options["escape-time"] = 10
        server.global_options["update-environment"] = ["DISPLAY", "SSH_AUTH_SOCK"]
        server.global_window_options["mode-keys"] = "vi"
        window.options["monitor-activity"] = True
        pane.options["remain-on-exit"] = "on"
        flag = window.options.get("monitor-activity")
        if isinstance(flag, bool):
            seen.append(f"monitor-activity={flag}")
        seen.extend(f"{name}={value!r}" for name, value in sorted(options.items()))
        del options["@mine"]

        environment: vordalin.Environment = session.environment
        environment["EDITOR"] = "vi"
        server.environment["GLOBAL"] = "1"
        seen.append(environment["EDITOR"])
        del environment["EDITOR"]

        hooks: vordalin.Hooks = session.hooks
        hooks["after-new-window"] = "display-message hello"
        server.hooks["pane-exited"] = "display-message bye"
        window.hooks["window-renamed"] = "display-message renamed"
        pane.hooks["pane-focus-in"] = "display-message focus"
        seen.extend(sorted(hooks))

        other = session.new_window("other")
        window.swap(other)
        moved: vordalin.Window = other.move(index=9)
        below.swap(right)
        lone: vordalin.Window = below.break_out(name="lone", select=False)
        back: vordalin.Pane = below.join(window, horizontal=True, size=20)
        seen.append(f"{lone.name} {moved.index} {back.window.index} {back.window.session.name}")

        seen.append(server.display("#{version}"))
        seen.append(session.display("#{session_name}"))
        seen.append(window.display("#{window_panes}") + pane.display("#{pane_id}")[:1])
        clients: list[vordalin.ClientInfo] = server.clients
        seen.extend(f"{c.name} {c.tty} {c.session_name} {c.width} {c.height} {c.control}" for c in clients)
        text = pane.capture(escapes=True, join=True)
        seen.append("captured" if text is not None else "no capture")
    return seen
