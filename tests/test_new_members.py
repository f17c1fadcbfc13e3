"""Windows, options on create, literal keys, waiting, pids, raw commands, equality and pickling."""

import copy
import os
import pickle
import re
import signal
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import vordalin
from helpers import escaped, free, needs_tmux, wait_for

pytestmark = needs_tmux
pytest_plugins = ["pytester"]


def shown(server, target, fmt):
    return server.cmd("display-message", "-p", "-t", target, fmt, check=True).stdout.rstrip("\n")


def test_config_goes_only_to_commands_that_may_start_the_server(classes, fake_tmux):
    server = classes.Server("/s", config="/etc/my.conf")
    fake_tmux.respond(stdout="w\n")
    server.new_session("w")
    server.start()
    server.has_session("w")
    server.cmd("list-sessions")
    assert [call[:4] for call in fake_tmux.calls] == [["-S", "/s", "-f", "/etc/my.conf"]] * 2 + [
        ["-S", "/s", "has-session", "-t"], ["-S", "/s", "-f", "/etc/my.conf"]]


def test_the_configuration_of_a_server_a_command_starts(tmux_server, tmp_path):
    config = tmp_path / "tmux.conf"
    config.write_text("set -g status-left 'from the config'\n")
    configured = vordalin.Server(os.path.dirname(tmux_server.current_socket) + "/other", config=str(config))
    try:
        configured.new_session("x")
        assert configured.cmd("show-options", "-gv", "status-left").stdout == "from the config\n"
    finally:
        configured.kill()
    tmux_server.new_session("x")  # the plugin's server, with an empty configuration
    assert tmux_server.cmd("show-options", "-gv", "status-left").stdout != "from the config\n"


def test_new_session_options(tmux_server, tmp_path):
    # Text tmux would read as formats, separators or flags reaches the program as written.
    directory = tmp_path / "-d;#{pid}"
    directory.mkdir()
    session = tmux_server.new_session("-s;", "echo \"$PWD|$A|$B\"; exec sleep 100", start_directory=str(directory),
                                      environment={"A": "#{pid};", "B": "-x"}, width=91, height=17)
    assert session.name == "-s;"
    pane = session.windows[0].panes[0]
    assert pane.wait_for(f"{directory}|#{{pid}};|-x\n", timeout=10)
    assert shown(tmux_server, pane.pane_id, "#{window_width}x#{window_height}") == "91x17"


def test_new_session_relative_directory_is_the_callers(tmux_server, tmp_path, monkeypatch):
    (tmp_path / "sub").mkdir()
    monkeypatch.chdir(tmp_path)
    session = tmux_server.new_session("rel", "pwd; exec sleep 100", start_directory="sub")
    assert session.windows[0].panes[0].wait_for(f"{tmp_path}/sub\n", timeout=10)


@pytest.mark.parametrize("kwargs, error, message", [
    ({"environment": {"": "x"}}, ValueError, 'environment variable names cannot be empty or hold "=": ""'),
    ({"environment": {"A=B": "x"}}, ValueError, 'environment variable names cannot be empty or hold "=": "A=B"'),
    ({"environment": [("A", "x")]}, TypeError, "argument 'environment': 'list' object cannot be cast as "
                                                "'Mapping[str, str]'"),
    ({"environment": {"A": 1}}, TypeError, "argument 'environment': 'int' object cannot be cast as 'str'"),
    ({"width": 0}, ValueError, "argument 'width': must be positive, not 0"),
    ({"height": -3}, ValueError, "argument 'height': must be positive, not -3"),
    ({"width": 2**32}, OverflowError, "out of range integral type conversion attempted"),
    ({"width": "80"}, TypeError, "argument 'width': 'str' object cannot be interpreted as an integer"),
    ({"start_directory": "/no/such/directory"}, FileNotFoundError, "/no/such/directory"),
    ({"start_directory": "/etc/hostname"}, NotADirectoryError, "/etc/hostname"),
])
def test_new_session_refuses_bad_options_before_running(classes, fake_tmux, kwargs, error, message):
    with pytest.raises(error) as info:
        classes.Server("/s").new_session("x", **kwargs)
    assert message in str(info.value) and fake_tmux.calls == []


def test_new_session_arguments_are_keyword_only(classes, fake_tmux):
    with pytest.raises(TypeError, match=r"^Server.new_session\(\) takes from 1 to 2 positional arguments but 3 were"):
        classes.Server().new_session("x", None, "/tmp")


def test_new_window(tmux_server, tmp_path):
    session = tmux_server.new_session("work")
    (first,) = session.windows
    logs = session.new_window("logs#{pid}", "echo \"$V $PWD\"; exec sleep 100", start_directory=str(tmp_path),
                              environment={"V": "v;"})
    assert (logs.name, logs.index, logs.session_name) == ("logs#{pid}", 1, "work")
    assert logs in session.windows and logs == tmux_server.target_window("work:1")
    assert first.metadata.active  # select=False leaves the current window alone
    assert logs.panes[0].wait_for(f"v; {tmp_path}", timeout=10)
    picked = session.new_window(select=True)
    assert picked.metadata.active and picked == session.windows[-1]  # its name follows its program
    with pytest.raises(RuntimeError, match="^new window failed: can't find session: gone$"):
        type(session)("gone", tmux_server.current_socket).new_window()
    with pytest.raises(RuntimeError, match="^new window failed: can't find session: a:b$"):
        type(session)("a:b", tmux_server.current_socket).new_window()


def test_new_window_hostile_names_come_back_exactly(tmux_server):
    session = tmux_server.new_session("work")
    for name in ["-n", "a|b", "x;", ";", " sp ", "#(echo hi)"]:
        made = session.new_window(name)
        assert made.name == name and made in session.windows


def test_send_keys_literally(classes, fake_tmux):
    pane = classes.Pane("s", 0, 0, "%7", "t", "/s")
    pane.send_keys("Enter", literal=True)
    pane.send_keys("C-c", True, literal=True)
    assert fake_tmux.calls == [["-S", "/s", "send-keys", "-t", "%7", "-l", "--", "Enter"],
                               ["-S", "/s", "send-keys", "-t", "%7", "-l", "--", "C-c", ";", "send-keys", "-t", "%7",
                                "Enter"]]
    with pytest.raises(TypeError, match=r"takes from 1 to 3 positional arguments but 4 were given$"):
        pane.send_keys("x", False, False, True)


def test_send_keys_literally_types_key_names(tmux_pane):
    tmux_pane.send_keys("cat", enter=True)
    tmux_pane.send_keys("Enter C-c", literal=True)
    tmux_pane.send_keys("Enter", enter=True, literal=True)
    assert re.search(r"^Enter C-cEnter$", tmux_pane.wait_for(re.compile("^Enter C-cEnter$", re.M)), re.M)
    tmux_pane.send_keys("C-c")  # a key name, not literal: interrupts cat


def test_wait_for(tmux_pane):
    tmux_pane.send_keys("seq 1 200", enter=True)
    assert re.search(r"^199\n200$", tmux_pane.wait_for(re.compile(r"^200$", re.M)), re.M)
    assert "\n1\n" not in tmux_pane.wait_for("200")  # the visible screen only
    assert "\n1\n" in tmux_pane.wait_for("\n1\n", full=True, timeout=5)
    started = time.monotonic()
    with pytest.raises(TimeoutError) as info:
        tmux_pane.wait_for("never shown", timeout=0.3, interval=0.1)
    assert str(info.value) == f"'never shown' did not appear in pane {tmux_pane.pane_id} within 0.3 seconds"
    assert time.monotonic() - started >= 0.3


@pytest.mark.parametrize("args, kwargs, error, message", [
    ((1,), {}, TypeError, "argument 'pattern': 'int' object cannot be cast as 'str | re.Pattern[str]'"),
    ((re.compile(b"x"),), {}, TypeError, "argument 'pattern': a bytes pattern cannot search text"),
    (("x", -1), {}, ValueError, "argument 'timeout': must be zero or more, not -1"),
    (("x", float("nan")), {}, ValueError, "argument 'timeout': must be zero or more, not nan"),
    (("x",), {"interval": 0}, ValueError, "argument 'interval': must be positive, not 0"),
    (("x", 1, True), {}, TypeError, "takes from 1 to 2 positional arguments but 3 were given"),
])
def test_wait_for_refuses_bad_arguments(classes, fake_tmux, args, kwargs, error, message):
    with pytest.raises(error) as info:
        classes.Pane("s", 0, 0, "%7", "t", None).wait_for(*args, **kwargs)
    assert message in str(info.value) and fake_tmux.calls == []


def test_wait_for_a_pane_that_disappears(tmux_server, tmux_pane):
    doomed = tmux_pane.split()
    # The wait releases the interpreter lock, so this thread gets to kill the pane meanwhile.
    killer = threading.Timer(0.3, lambda: subprocess.run(["tmux", "-S", tmux_server.current_socket, "kill-pane", "-t",
                                                          doomed.pane_id], check=True))
    killer.start()
    started = time.monotonic()
    with pytest.raises(RuntimeError, match=f"^wait for pane {doomed.pane_id} failed: can't find pane: "):
        doomed.wait_for("never", timeout=60)
    killer.join()
    assert time.monotonic() - started < 30
    with pytest.raises(RuntimeError, match=f"{doomed.pane_id}"):
        doomed.wait_for("never", timeout=None)


def test_ctrl_c_ends_a_wait(tmux_server, tmux_pane):
    code = textwrap.dedent(f"""
        import vordalin
        pane = vordalin.Server({tmux_server.current_socket!r}).target_pane({tmux_pane.pane_id!r})
        print("waiting", flush=True)
        try:
            pane.wait_for("never shown", timeout=None, interval=5)
        except KeyboardInterrupt:
            print("interrupted", flush=True)
    """)
    child = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline() == "waiting\n"
        # Signal it once it sleeps between two captures, where the wait spends its time.
        wait_for(lambda: "poll" in open(f"/proc/{child.pid}/wchan").read(), message="the wait's sleep")
        child.send_signal(signal.SIGINT)
        assert child.communicate(timeout=10)[0] == "interrupted\n"
    finally:
        child.kill()


def test_pid(tmux_server, tmux_pane):
    assert tmux_pane.pid == int(shown(tmux_server, tmux_pane.pane_id, "#{pane_pid}"))
    os.kill(tmux_pane.pid, 0)
    other = tmux_pane.split()
    other.kill()
    assert other.pid is None and type(other)("s", 0, 0, "%999", "", None).pid is None


def test_cmd(tmux_server, tmux_session):
    result = tmux_server.cmd("display-message", "-p", "-t", "=test:", "#{session_name}", ";", "display", "-p", "two")
    assert (result.returncode, result.stdout, result.stderr) == (0, "test\ntwo\n", "")
    assert repr(result) == str(result) == 'CommandResult(returncode=0, stdout="test\\ntwo\\n", stderr="")'
    failed = tmux_server.cmd("kill-session", "-t", "=nope")
    assert (failed.returncode, failed.stdout, failed.stderr) == (1, "", "can't find session: nope\n")
    with pytest.raises(RuntimeError, match="^tmux command failed: can't find session: nope$"):
        tmux_server.cmd("kill-session", "-t", "=nope", check=True)
    assert tmux_server.cmd("set-option", "-g", "@mine", "-x;", check=True).returncode == 0
    assert tmux_server.cmd("show-options", "-gv", "@mine").stdout == "-x\n"  # a command line: ";" separates


def test_cmd_arguments_are_a_command_never_the_clients_options(tmux_server, tmux_session, spare_socket):
    other = vordalin.Server(spare_socket)
    other.new_session("elsewhere")
    for args in (["-S", spare_socket, "list-sessions"], ["-L", "x", "list-sessions"], ["-f/dev/null", "ls"]):
        result = tmux_server.cmd(*args)
        assert result.returncode == 1 and result.stdout == "" and result.stderr.startswith("unknown command: -")


def test_cmd_arguments_and_results(classes, fake_tmux):
    server = classes.Server("/s")
    for call, message in [(lambda: server.cmd(), "Server.cmd() needs at least one argument: the tmux command"),
                          (lambda: server.cmd("x", 1), "argument 'args': 'int' object cannot be cast as 'str'"),
                          (lambda: server.cmd("x", chek=True), "Server.cmd() got an unexpected keyword argument 'chek'"),
                          (lambda: server.cmd("x", check=1), "argument 'check': 'int' object cannot be cast as 'bool'")]:
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == message
    fake_tmux.respond(stdout=b" out \xff\n", stderr=b" err \n", code=3)
    fake_tmux.respond(signal=signal.SIGTERM)
    assert [(r.returncode, r.stdout, r.stderr) for r in (server.cmd("a;", "-b"), server.cmd("x"))] == [
        (3, " out \ufffd\n", " err \n"), (-signal.SIGTERM, "", "")]
    assert fake_tmux.calls == [["-S", "/s", "--", "a;", "-b"], ["-S", "/s", "--", "x"]]


def test_cmd_start_failure(no_tmux):
    with pytest.raises(RuntimeError, match="^failed to run tmux: No such file or directory"):
        vordalin.Server().cmd("list-sessions")


def test_records_compare_by_what_they_name(tmux_server, tmux_session):
    server = tmux_server
    (window,) = tmux_session.windows
    (pane,) = window.panes
    assert tmux_session == server.sessions[0] == type(tmux_session)("test", server.current_socket)
    assert tmux_session != type(tmux_session)("test", None) and tmux_session != "test"
    assert window == server.target_window("test:0") == tmux_session.windows[0]
    assert window != type(window)("test", 1, server.current_socket, window.name)
    assert type(window)("test", 0, server.current_socket, "another name") == window  # names are not identity
    assert pane == server.target_pane("test:0.0") == type(pane)("other", 9, 9, pane.pane_id, "t", server.current_socket)
    assert pane.split() != pane
    assert {pane: 1}[server.target_pane(pane.pane_id)] == 1 and len({window, server.target_window("test:0")}) == 1
    with pytest.raises(TypeError, match="unhashable"):
        hash(tmux_session)


@pytest.mark.parametrize("protocol", [0, pickle.HIGHEST_PROTOCOL])
def test_pickle_and_copy(classes, fake_tmux, protocol):
    fake_tmux.respond(stdout=f"$1|{escaped('w')}|17|1|80|24|2\n")
    fake_tmux.respond(stdout=f"0|{escaped('ed')}|1|L|80||*\n")
    fake_tmux.respond(stdout="out", stderr="err", code=2)
    pane = classes.Pane("w", 0, 1, "%3", "t\u0301", "/s")
    objects = [classes.Session("w", "/s"), classes.Window("w", 0, None, "é"), pane, pane.last_command,
               classes.Session("w", "/s").metadata(), classes.Window("w", 0, "/s", "x").metadata,
               classes.Server("/s").cmd("x")]
    for original in objects:
        for made in (pickle.loads(pickle.dumps(original, protocol)), copy.copy(original), copy.deepcopy(original)):
            assert type(made) is type(original) and made is not original and repr(made) == repr(original)
    server = pickle.loads(pickle.dumps(classes.Server("/x", config="/c")))
    server.start()
    assert fake_tmux.calls[-1] == ["-S", "/x", "-f", "/c", "start-server"]
    assert type(copy.copy(classes.Server())) is classes.Server


def test_restore_checks_what_it_is_given():
    with pytest.raises(TypeError, match="knows no class Nope"):
        vordalin._restore("Nope")
    with pytest.raises(TypeError, match="takes 2 fields of Session, not 1"):
        vordalin._restore("Session", "x")
    with pytest.raises(TypeError, match="argument 'name'"):
        vordalin._restore("Session", 1, None)


def test_the_plugin_fixtures(pytester):
    pytester.makepyfile(test_tui="""
        import vordalin

        def test_prompt(tmux_server, tmux_session, tmux_pane):
            assert isinstance(tmux_server, vordalin.Server) and tmux_server.sessions == [tmux_session]
            assert tmux_session.name == "test" and tmux_pane in tmux_session.windows[0].panes
            assert tmux_pane.capture().strip()  # the prompt is showing
            tmux_pane.send_keys("echo $((6*7))", enter=True)
            tmux_pane.wait_for("42")
            with open("socket", "w") as out:
                out.write(tmux_server.current_socket)
    """)
    result = pytester.runpytest_subprocess("-p", "no:cacheprovider", "-p", "no:hypothesispytest")
    result.assert_outcomes(passed=1)
    socket = (pytester.path / "socket").read_text()
    assert not vordalin.Server(socket).is_running and not os.path.exists(socket)
