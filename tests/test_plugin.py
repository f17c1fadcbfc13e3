"""The pytest plugin's servers are hermetic: no user configuration, a private HOME, a known shell."""

import os
from pathlib import Path

import pytest

from helpers import BASH, needs_tmux

pytestmark = needs_tmux
pytest_plugins = ["pytester"]

REPORT = """
    import os, re

    def test_report(tmux_server, tmux_pane):
        tmux_pane.send_keys('echo "home=$HOME shell=$0 rc=$RC"', enter=True)
        (line,) = re.findall(r"^home=.*$", tmux_pane.wait_for(re.compile(r"^home=.*rc=", re.M)), re.M)
        probe = tmux_server.cmd("show-options", "-gqv", "@probe").stdout.strip()
        files = len(os.listdir(line.split()[0].split("=", 1)[1]))
        with open("report", "w") as out:
            out.write(f"{line} probe={probe} files={files} socket={tmux_server.current_socket}")
"""


def run(pytester, *args):
    # Hypothesis's plugin takes seconds at every session's end, and these sessions need none of it.
    return pytester.runpytest("-p", "no:cacheprovider", "-p", "no:hypothesispytest", *args)


def report(pytester, *args, ini=""):
    if ini:
        pytester.makeini("[pytest]\n" + ini)
    pytester.makepyfile(test_report=REPORT)
    result = run(pytester, *args)
    result.assert_outcomes(passed=1)
    return dict(item.split("=", 1) for item in (pytester.path / "report").read_text().split())


def test_nothing_of_the_user_reaches_the_server(pytester, monkeypatch):
    home = pytester.path / "user-home"
    home.mkdir()
    (home / ".tmux.conf").write_text("set -g @probe from-home\n")
    (home / ".profile").write_text("export RC=ran\n")
    monkeypatch.setenv("HOME", str(home))
    monkeypatch.setenv("SHELL", BASH)
    found = report(pytester)
    assert (found["shell"], found["probe"], found["rc"]) == ("-sh", "", "")  # a login /bin/sh, no config read
    assert (found["home"], found["files"]) == (str(Path(found["socket"]).parent / "home"), "0")


def test_the_ini_names_a_configuration_and_a_shell(pytester):
    (pytester.path / "conf").mkdir()
    # The plugin's own settings come after the configuration: the shell is still the ini's.
    (pytester.path / "conf" / "my tmux.conf").write_text("set -g @probe from-ini\nset -g default-shell /bin/false\n")
    found = report(pytester, ini=f"vordalin_config = conf/my tmux.conf\nvordalin_shell = {os.path.basename(BASH)}\n")
    assert (found["probe"], found["shell"]) == ("from-ini", "-bash")


def test_a_shell_that_shows_no_prompt_is_named(pytester):
    slow = pytester.path / "slow" / "bash"
    slow.parent.mkdir()
    slow.write_text("#!/bin/sh\nexec sleep 30\n")
    slow.chmod(0o755)
    pytester.makeini(f"[pytest]\nvordalin_shell = {slow}\nvordalin_prompt_timeout = 0.5\n")
    pytester.makepyfile(test_prompt="def test_prompt(tmux_pane):\n    pass\n")
    result = run(pytester)
    result.assert_outcomes(errors=1)
    result.stdout.fnmatch_lines([f"*TimeoutError: the shell {slow} showed no prompt in pane %0 within 0.5 seconds.*"
                                 "~/.bash_profile*vordalin_prompt_timeout*"])


@pytest.mark.parametrize("ini, message", [
    ("vordalin_prompt_timeout = soon", "vordalin_prompt_timeout: 'soon' is no number of seconds above 0"),
    ("vordalin_shell = no-such-shell", "vordalin_shell: 'no-such-shell' is no program that can be run"),
    ("vordalin_config = missing.conf", "vordalin_config: no such file: */missing.conf"),
])
def test_bad_ini_values_are_named(pytester, ini, message):
    pytester.makeini(f"[pytest]\n{ini}\n")
    pytester.makepyfile(test_prompt="def test_prompt(tmux_pane):\n    pass\n")
    result = run(pytester)
    result.assert_outcomes(errors=1)
    result.stdout.fnmatch_lines([f"*{message}*"])


def test_the_plugin_can_be_turned_off(pytester):
    pytester.makepyfile(test_off="def test_off(tmux_server):\n    pass\n")
    result = run(pytester, "-p", "no:vordalin_pytest")
    result.assert_outcomes(errors=1)
    result.stdout.fnmatch_lines(["*fixture 'tmux_server' not found*"])


def test_each_xdist_worker_starts_servers_of_its_own(pytester):
    pytest.importorskip("xdist", reason="pytest-xdist is not installed")
    pytester.makepyfile(test_many="""
        import os, pytest

        @pytest.mark.parametrize("n", range(6))
        def test_one(tmux_server, tmux_pane, n):
            tmux_pane.send_keys(f"echo ran-{n}", enter=True)
            tmux_pane.wait_for(f"ran-{n}")
            with open(f"ran-{n}", "w") as out:
                out.write(f"{os.environ['PYTEST_XDIST_WORKER']} {tmux_server.current_socket}")
    """)
    result = pytester.runpytest_subprocess("-p", "no:cacheprovider", "-p", "no:hypothesispytest", "-n", "2")
    result.assert_outcomes(passed=6)
    ran = [(pytester.path / f"ran-{n}").read_text().split() for n in range(6)]
    assert len({worker for worker, _ in ran}) == 2 and len({socket for _, socket in ran}) == 6
    assert not any(os.path.exists(socket) for _, socket in ran)  # each server went with its test
