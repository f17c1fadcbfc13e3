"""Drive tmux from Python: servers, sessions, windows and panes.

Only `Server`, the two exceptions `TmuxError` and `NotFoundError`, and `snapshot_all` are
module attributes at run time. The other classes are reached through the objects the module returns; they are
marked `type_check_only` so that annotations can name them (under `typing.TYPE_CHECKING` or
in string annotations) while an import of them fails as it does at run time. No class but
the exceptions can be subclassed.
"""

import re
from collections.abc import Awaitable, Iterable, Iterator, Mapping, MutableMapping, Sequence
from types import TracebackType
from typing import Any, ClassVar, Literal, TypeAlias, TypeVar, final, type_check_only

__all__ = ["Server", "TmuxError", "NotFoundError", "snapshot_all"]

class TmuxError(RuntimeError):
    """tmux reported a failure, or could not be started.

    The message is the member's own: a fixed prefix, mostly followed by tmux's error text.
    """

    command: list[str]
    """The tmux arguments from the subcommand on (chained commands joined by ";"); empty when
    the module answered without running tmux."""
    stderr: str
    """tmux's error output, as it wrote it."""
    returncode: int | None
    """tmux's exit code, minus the signal number when a signal ended it; None when tmux did not
    run (it could not be started, or the module answered for it) or its status was lost."""
    def __init__(
        self, message: str, command: Iterable[str] = (), stderr: str = "", returncode: int | None = None
    ) -> None: ...

class NotFoundError(TmuxError):
    """The session, window, pane or server that a call names was not there."""

@final
class Server:
    """One tmux server, named by its socket path; `None` means the user's default server.

    With `host` (anything ssh takes: "user@box", an alias of ~/.ssh/config) the server is on
    that host and every member runs tmux there through ssh, meaning what it means locally;
    `ssh_options` go to ssh before the host ("-p", "2222", "-o", "ConnectTimeout=3"). All calls
    to a host share one ssh connection. ssh's own failure (no connection, refused
    authentication, the connection lost) raises RuntimeError "ssh to HOST failed: ..." with
    ssh's message, from every member.
    """

    def __new__(
        cls,
        socket: str | None = None,
        *,
        config: str | None = None,
        host: str | None = None,
        ssh_options: Sequence[str] = (),
    ) -> Server: ...
    @property
    def host(self) -> str | None:
        """The host this server is on, as ssh takes it, or None for this machine."""
    @property
    def ssh_options(self) -> list[str]:
        """The options given to ssh before the host."""
    @property
    def is_running(self) -> bool:
        """Runs tmux: True when the server answers, False on any failure."""
    @property
    def sessions(self) -> list[Session]:
        """Runs tmux: the server's sessions, or an empty list on any failure."""
    @property
    def current_socket(self) -> str | None:
        """The socket path this server's commands reach, computed for the default server."""
    def start(self) -> bool:
        """Starts the server if none runs; False on any failure."""
    def kill(self) -> bool:
        """Kills the server; False on any failure."""
    def has_session(self, name: str) -> bool:
        """True when a session of exactly this name exists; False otherwise or on failure."""
    def new_session(
        self,
        name: str,
        command: str | None = None,
        *,
        start_directory: str | None = None,
        environment: Mapping[str, str] | None = None,
        width: int | None = None,
        height: int | None = None,
    ) -> Session:
        """Creates a detached session, named as tmux made it; raises TmuxError "new session failed: ..."."""
    def target_pane(self, target: str) -> Pane:
        """The pane tmux resolves `target` to (e.g. "=work:0.1"); raises NotFoundError when there is none."""
    def target_window(self, target: str) -> Window:
        """The window tmux resolves `target` to (e.g. "=work:0"); raises NotFoundError when there is none."""
    def connect(self) -> bool:
        """Opens a persistent channel to the server (False when it runs no session to attach to)."""
    def disconnect(self) -> None:
        """Closes the server's channel, if one is open, and waits for its client to exit."""
    def events(self) -> Events:
        """A stream of the server's changes, from a control client of its own attached where a
        command without a target would act; not counted in `attached` nor in `clients`.
        Raises RuntimeError when no session runs."""
    @property
    def connected(self) -> bool:
        """Whether a channel to this server is open."""
    def snapshot(self, *, commandlines: bool = False) -> Snapshot:
        """Every session, window and pane from one tmux process; empty when no server runs."""
    def cmd(self, *args: str, check: bool = False) -> CommandResult:
        """Runs a tmux command line as written (flags are flags, ";" chains commands); `check` raises TmuxError."""
    def session(self, name: str) -> Session | None:
        """The session of exactly this name, or None."""
    def display(self, format: str) -> str:
        """A tmux format evaluated by the server (server-wide variables); raises TmuxError."""
    @property
    def clients(self) -> list[ClientInfo]:
        """Runs tmux: the attached clients but the module's own, or an empty list on any failure."""
    @property
    def options(self) -> Options:
        """The server's options (-s)."""
    @property
    def global_options(self) -> Options:
        """The global session options (-g)."""
    @property
    def global_window_options(self) -> Options:
        """The global window and pane options (-gw)."""
    @property
    def environment(self) -> Environment:
        """The global environment (-g)."""
    @property
    def hooks(self) -> Hooks:
        """The global hooks of sessions, windows and panes."""
    def __enter__(self) -> Server: ...
    def __exit__(
        self, exc_type: type[BaseException] | None, exc: BaseException | None, traceback: TracebackType | None, /
    ) -> Literal[False]:
        """Kills the server, whatever ended the block."""
    def __reduce__(self) -> tuple[Any, ...]: ...

@final
@type_check_only
class Session:
    def __new__(cls, name: str, socket: str | None = None) -> Session: ...
    @property
    def name(self) -> str: ...
    @name.setter
    def name(self, new_name: str) -> None:
        """Renames the session; raises TmuxError "rename session failed: ..."."""
    @property
    def socket(self) -> str | None: ...
    @property
    def host(self) -> str | None:
        """The host its server is on (reached with ssh), or None for this machine."""
    @property
    def windows(self) -> list[Window]:
        """Runs tmux: the session's windows, or an empty list on any failure."""
    def kill(self) -> bool:
        """Kills the session; False on any failure."""
    def metadata(self) -> SessionMetadata:
        """A snapshot of the session; raises NotFoundError when it is gone, TmuxError on other failures."""
    def new_window(
        self,
        name: str | None = None,
        command: str | None = None,
        *,
        start_directory: str | None = None,
        environment: Mapping[str, str] | None = None,
        select: bool = False,
    ) -> Window:
        """Creates a window in the session and returns it as tmux made it; raises TmuxError."""
    @property
    def active_window(self) -> Window:
        """Runs tmux: the session's current window; raises TmuxError when the session is gone."""
    def display(self, format: str) -> str:
        """A tmux format evaluated for this session; raises TmuxError when it is gone."""
    def events(self, *, output: bool = False) -> Events:
        """A stream of the server's changes from a client attached to this session; with
        `output`, also what its panes' programs write (kind "output"), paused with an event of
        kind "pause" while the reader falls behind. Raises NotFoundError when the session is
        gone."""
    @property
    def options(self) -> Options:
        """The session's own options."""
    @property
    def environment(self) -> Environment:
        """The session's environment."""
    @property
    def hooks(self) -> Hooks:
        """The session's own hooks."""
    # Equal when they name the same session on the same socket (compared as the path it names);
    # a name can change, so no hash.
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __reduce__(self) -> tuple[Any, ...]: ...
    def __repr__(self) -> str: ...

# SessionMetadata, WindowMetadata, LastCommand, CommandResult, Mark and RunResult are made only by the module: calling
# their classes raises TypeError, so the stub declares no constructor for them.
@final
@type_check_only
class SessionMetadata:
    @property
    def id(self) -> str: ...
    @property
    def name(self) -> str: ...
    @property
    def created(self) -> int: ...
    @property
    def attached(self) -> bool: ...
    @property
    def width(self) -> int | None: ...
    @property
    def height(self) -> int | None: ...
    @property
    def windows(self) -> int: ...
    # A value: equal to another when every field is; hashable.
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...
    def __reduce__(self) -> tuple[Any, ...]: ...
    def __repr__(self) -> str: ...

@final
@type_check_only
class Window:
    def __new__(cls, session_name: str, index: int, socket: str | None, name: str) -> Window: ...
    @property
    def session_name(self) -> str: ...
    @property
    def index(self) -> int: ...
    @property
    def socket(self) -> str | None: ...
    @property
    def host(self) -> str | None:
        """The host its server is on (reached with ssh), or None for this machine."""
    @property
    def name(self) -> str: ...
    @name.setter
    def name(self, new_name: str) -> None:
        """Renames the window; raises ValueError "failed to rename window to '...'"."""
    @property
    def select(self) -> bool:
        """Runs tmux: selects the window; False on any failure."""
    @property
    def panes(self) -> list[Pane]:
        """Runs tmux: the window's panes, or an empty list on any failure."""
    @property
    def metadata(self) -> WindowMetadata:
        """Runs tmux: a snapshot of the window; raises NotFoundError when it is gone, TmuxError on other failures."""
    @property
    def next(self) -> Window | None:
        """Runs tmux: selects the session's next window and returns it; None on failure."""
    @property
    def previous(self) -> Window | None:
        """Runs tmux: selects the session's previous window and returns it; None on failure."""
    def kill(self) -> bool:
        """Kills the window; False on any failure."""
    def select_layout(self, layout: str) -> None:
        """One of the five layout names or a layout string with a matching checksum; else ValueError."""
    def resize(self, width: int | None = None, height: int | None = None) -> None:
        """Resizes the window (its window-size becomes manual); raises ValueError or TmuxError."""
    def swap(self, other: Window) -> None:
        """Swaps the two windows' places; raises TmuxError."""
    def move(self, *, index: int | None = None, session: Session | None = None) -> Window:
        """Moves the window and returns where it went; raises TmuxError."""
    @property
    def active_pane(self) -> Pane:
        """Runs tmux: the window's active pane; raises TmuxError when the window is gone."""
    @property
    def session(self) -> Session:
        """Runs tmux: the window's session; raises TmuxError when the window is gone."""
    def display(self, format: str) -> str:
        """A tmux format evaluated for this window; raises TmuxError when it is gone."""
    @property
    def options(self) -> Options:
        """The window's own options."""
    @property
    def hooks(self) -> Hooks:
        """The window's own hooks."""
    # Equal when they name the same window (session name and index) on the same socket.
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...
    def __reduce__(self) -> tuple[Any, ...]: ...
    def __repr__(self) -> str: ...

@final
@type_check_only
class WindowMetadata:
    @property
    def index(self) -> int: ...
    @property
    def name(self) -> str: ...
    @property
    def active(self) -> bool: ...
    @property
    def layout(self) -> str: ...
    @property
    def width(self) -> int | None: ...
    @property
    def height(self) -> int | None: ...
    @property
    def flags(self) -> str: ...
    # A value: equal to another when every field is; hashable.
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...
    def __reduce__(self) -> tuple[Any, ...]: ...
    def __repr__(self) -> str: ...

@final
@type_check_only
class Pane:
    def __new__(
        cls,
        session_name: str,
        window_index: int,
        pane_index: int,
        pane_id: str,
        title: str,
        socket: str | None,
    ) -> Pane: ...
    @property
    def session_name(self) -> str: ...
    @property
    def window_index(self) -> int: ...
    @property
    def pane_index(self) -> int: ...
    @property
    def pane_id(self) -> str: ...
    @property
    def socket(self) -> str | None: ...
    @property
    def host(self) -> str | None:
        """The host its server is on (reached with ssh), or None for this machine."""
    @property
    def title(self) -> str: ...
    @title.setter
    def title(self, title: str) -> None:
        """Sets the pane title; raises TmuxError "tmux select-pane -T failed: ..."."""
    @property
    def select(self) -> bool:
        """Runs tmux: selects the pane and gives True; raises TmuxError on failure."""
    @property
    def clear(self) -> bool:
        """Runs tmux: clears the pane's history and gives True; raises TmuxError on failure."""
    @property
    def is_alive(self) -> bool:
        """Runs tmux: whether the pane's program still runs; raises NotFoundError when the pane is gone."""
    @property
    def pid(self) -> int | None:
        """Runs tmux: the pid of the pane's process, or None when the pane is gone."""
    @property
    def current_command(self) -> str | None:
        """Runs tmux: the name of the program in the pane (a str), or None on failure."""
    @property
    def current_commandline(self) -> str | None:
        """Runs tmux and ps: the pane program's command line (a str), or None on failure."""
    @property
    def last_command(self) -> LastCommand:
        """Reads or reruns the last command of the pane's shell; runs nothing itself."""
    def kill(self) -> bool:
        """Kills the pane and gives True; raises TmuxError on failure."""
    def split(
        self,
        horizontal: bool = False,
        command: str | None = None,
        keep: bool = True,
        *,
        select: bool = True,
        size: int | None = None,
        start_directory: str | None = None,
        environment: Mapping[str, str] | None = None,
    ) -> Pane:
        """Splits the pane and returns the new one; raises TmuxError on failure."""
    def swap(self, other: Pane) -> None:
        """Swaps the two panes' places; raises TmuxError."""
    def join(self, window: Window, *, horizontal: bool = False, size: int | None = None) -> Pane:
        """Moves the pane into the window and returns where it went; raises TmuxError."""
    def break_out(self, *, name: str | None = None, select: bool = False) -> Window:
        """Moves the pane into a new window of its session and returns it; raises TmuxError."""
    @property
    def window(self) -> Window:
        """Runs tmux: the pane's window now; raises TmuxError when the pane is gone."""
    def display(self, format: str) -> str:
        """A tmux format evaluated for this pane; raises TmuxError when it is gone."""
    @property
    def options(self) -> Options:
        """The pane's own options."""
    @property
    def hooks(self) -> Hooks:
        """The pane's own hooks."""
    def resize(self, direction: str, amount: int) -> bool:
        """Moves an edge ("left", "right", "up" or "down"); raises TmuxError on failure."""
    def respawn(self, command: str | None = None, kill: bool = False) -> bool:
        """Restarts the pane's program; raises TmuxError on failure."""
    def send_keys(self, keys: str, enter: bool = False, clear_first: bool = False, *, literal: bool = False) -> bool:
        """Types keys into the pane and gives True; `literal` types key names as text; raises TmuxError."""
    def wait_for(
        self,
        pattern: str | re.Pattern[str],
        timeout: float | None = 10.0,
        *,
        full: bool = False,
        interval: float = 0.05,
        since: Mark | None = None,
    ) -> str:
        """Captures until the pattern appears and returns that capture; raises TimeoutError or TmuxError.

        With `since`, looks only at the lines below the mark's line (history included) and returns them.
        Sleeps on tmux's events while the server's channel is open, else captures every `interval`."""
    async def await_for(
        self,
        pattern: str | re.Pattern[str],
        timeout: float | None = 10.0,
        *,
        full: bool = False,
        interval: float = 0.05,
        since: Mark | None = None,
    ) -> str:
        """wait_for() without blocking the event loop; cancelling the task ends the wait."""
    def mark(self) -> Mark:
        """Where the cursor line is now (history size + cursor row), for wait_for(since=...)."""
    def wait_quiet(self, quiet: float = 0.5, timeout: float | None = 10.0) -> str:
        """The visible capture once the pane has printed nothing for `quiet` seconds; TimeoutError otherwise."""
    async def await_quiet(self, quiet: float = 0.5, timeout: float | None = 10.0) -> str:
        """wait_quiet() without blocking the event loop."""
    def wait_exit(self, timeout: float | None = 10.0) -> int | None:
        """The exit status (minus the signal) of the pane's program when tmux keeps the pane
        (remain-on-exit), None once the pane is gone; TimeoutError while it still runs."""
    async def await_exit(self, timeout: float | None = 10.0) -> int | None:
        """wait_exit() without blocking the event loop."""
    def run(self, command: str, timeout: float | None = 60.0) -> RunResult:
        """Types the command at the shell's prompt and waits until it has finished: its output
        and exit status. On TimeoutError the command keeps running."""
    async def arun(self, command: str, timeout: float | None = 60.0) -> RunResult:
        """run() without blocking the event loop."""
    def capture(
        self,
        trim: bool = False,
        scroll_back: int | None = None,
        full: bool = False,
        *,
        escapes: bool = False,
        join: bool = False,
    ) -> str | None:
        """The pane's text (a str), or None on failure; `full` includes all history."""
    def bash_shell(self, respawn: bool = False) -> bool:
        """Replaces the pane's program by bash; raises TmuxError on failure."""
    # Equal when they name the same pane (its id) on the same socket.
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...
    def __reduce__(self) -> tuple[Any, ...]: ...
    def __repr__(self) -> str: ...

@final
@type_check_only
class LastCommand:
    @property
    def pane_id(self) -> str: ...
    @property
    def socket(self) -> str | None: ...
    @property
    def host(self) -> str | None:
        """The host its server is on (reached with ssh), or None for this machine."""
    def read(self) -> str:
        """Types a line that prints the shell's last command and reads it back; raises TmuxError or RuntimeError."""
    def run(self) -> bool:
        """Makes the pane's shell rerun its last command; raises TmuxError on failure."""
    def __reduce__(self) -> tuple[Any, ...]: ...
    def __repr__(self) -> str: ...

@final
@type_check_only
class CommandResult:
    """What Server.cmd gave: the exit code (minus the signal number), and both streams untrimmed."""

    @property
    def returncode(self) -> int: ...
    @property
    def stdout(self) -> str: ...
    @property
    def stderr(self) -> str: ...
    # A value: equal to another when every field is; hashable.
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...
    def __reduce__(self) -> tuple[Any, ...]: ...
    def __repr__(self) -> str: ...

@final
@type_check_only
class Mark:
    """Where a pane's cursor line was (Pane.mark()): the line counted from the top of the history."""

    @property
    def pane_id(self) -> str: ...
    @property
    def line(self) -> int: ...
    @property
    def history_size(self) -> int: ...
    @property
    def above(self) -> str:
        """The rows right above the line then, by which a wait finds it in a full history."""
    @property
    def socket(self) -> str | None: ...
    @property
    def host(self) -> str | None: ...
    # A value: equal to another when every field is; hashable.
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...
    def __reduce__(self) -> tuple[Any, ...]: ...
    def __repr__(self) -> str: ...

@final
@type_check_only
class RunResult:
    """What Pane.run gave: the command's output (without the typed line and the prompt) and exit status."""

    @property
    def output(self) -> str: ...
    @property
    def status(self) -> int: ...
    # A value: equal to another when every field is; hashable.
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...
    def __reduce__(self) -> tuple[Any, ...]: ...
    def __repr__(self) -> str: ...

@final
@type_check_only
class Snapshot:
    """A whole server as one tmux client saw it at one moment."""

    @property
    def sessions(self) -> list[SessionMetadata]: ...
    @property
    def windows(self) -> list[WindowInfo]: ...
    @property
    def panes(self) -> list[PaneInfo]: ...
    # A value: equal to another when every field is; hashable.
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...
    def __reduce__(self) -> tuple[Any, ...]: ...
    def __repr__(self) -> str: ...

@final
@type_check_only
class WindowInfo:
    @property
    def session_name(self) -> str: ...
    @property
    def id(self) -> str: ...
    @property
    def pane_count(self) -> int: ...
    @property
    def index(self) -> int: ...
    @property
    def name(self) -> str: ...
    @property
    def active(self) -> bool: ...
    @property
    def layout(self) -> str: ...
    @property
    def width(self) -> int | None: ...
    @property
    def height(self) -> int | None: ...
    @property
    def flags(self) -> str: ...
    @property
    def socket(self) -> str | None: ...
    @property
    def host(self) -> str | None:
        """The host its server is on (reached with ssh), or None for this machine."""
    @property
    def window(self) -> Window:
        """The Window record of this window; runs nothing."""
    # A value: equal to another when every field is; hashable.
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...
    def __reduce__(self) -> tuple[Any, ...]: ...
    def __repr__(self) -> str: ...

@final
@type_check_only
class PaneInfo:
    @property
    def session_name(self) -> str: ...
    @property
    def window_index(self) -> int: ...
    @property
    def pane_index(self) -> int: ...
    @property
    def pane_id(self) -> str: ...
    @property
    def title(self) -> str: ...
    @property
    def pid(self) -> int | None: ...
    @property
    def current_command(self) -> str: ...
    @property
    def current_path(self) -> str: ...
    @property
    def active(self) -> bool: ...
    @property
    def dead(self) -> bool: ...
    @property
    def width(self) -> int | None: ...
    @property
    def height(self) -> int | None: ...
    @property
    def commandline(self) -> str | None: ...
    @property
    def socket(self) -> str | None: ...
    @property
    def host(self) -> str | None:
        """The host its server is on (reached with ssh), or None for this machine."""
    @property
    def pane(self) -> Pane:
        """The Pane record of this pane; runs nothing."""
    # A value: equal to another when every field is; hashable.
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...
    def __reduce__(self) -> tuple[Any, ...]: ...
    def __repr__(self) -> str: ...

# What an option reads as: a flag, a number, an array option's elements, or text.
_OptionValue: TypeAlias = bool | int | str | list[str]

_Value = TypeVar("_Value")

# Options, Hooks and Environment are registered as collections.abc.MutableMapping; every access asks tmux.
@type_check_only
class _ScopedMapping(MutableMapping[str, _Value]):
    @property
    def scope(self) -> str: ...
    @property
    def target(self) -> str: ...
    @property
    def socket(self) -> str | None: ...
    @property
    def host(self) -> str | None:
        """The host its server is on (reached with ssh), or None for this machine."""
    def __getitem__(self, key: str, /) -> _Value: ...
    def __setitem__(self, key: str, value: _Value, /) -> None: ...
    def __delitem__(self, key: str, /) -> None: ...
    def __iter__(self) -> Iterator[str]: ...
    def __len__(self) -> int: ...
    def __reduce__(self) -> tuple[Any, ...]: ...

@final
@type_check_only
class Options(_ScopedMapping[_OptionValue]):
    """The options set at exactly one scope; a name not set there is a KeyError, tmux's refusal a ValueError."""

    def __setitem__(self, key: str, value: _OptionValue | tuple[str, ...], /) -> None: ...

@final
@type_check_only
class Hooks(_ScopedMapping[str]):
    """Hooks by "name[N]" to the tmux command each runs, in tmux's normal form."""

@final
@type_check_only
class Environment(_ScopedMapping[str]):
    """The environment tmux gives new programs; a variable marked removed reads as missing."""

@final
@type_check_only
class ClientInfo:
    """A client attached to the server: a control client has no tty and no size."""

    @property
    def name(self) -> str: ...
    @property
    def tty(self) -> str: ...
    @property
    def session_name(self) -> str | None: ...
    @property
    def width(self) -> int | None: ...
    @property
    def height(self) -> int | None: ...
    @property
    def control(self) -> bool: ...
    def __reduce__(self) -> tuple[Any, ...]: ...
    def __repr__(self) -> str: ...

@final
@type_check_only
class Event:
    """One of tmux's notifications: compares by value, read-only."""

    @property
    def kind(self) -> str:
        """tmux's notification name without "%": "output", "window-add", "window-close",
        "window-renamed", "unlinked-window-add", "unlinked-window-close",
        "unlinked-window-renamed", "session-renamed", "sessions-changed", "layout-change",
        "pane-mode-changed", "pause", "continue", "exit", and the others tmux sends."""
    @property
    def session_id(self) -> str | None: ...
    @property
    def window_id(self) -> str | None: ...
    @property
    def pane_id(self) -> str | None: ...
    @property
    def name(self) -> str | None:
        """The new name of a rename."""
    @property
    def text(self) -> str | None:
        """For "output": what the pane's program wrote, decoded as UTF-8."""
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...
    def __reduce__(self) -> tuple[Any, ...]: ...
    def __repr__(self) -> str: ...

@final
@type_check_only
class Events:
    """A stream of tmux's events from a control client of its own; iterate, `async for`, or get()."""

    def get(self, timeout: float | None = None) -> Event | None:
        """The next event within `timeout` seconds (None: no limit); None at the timeout, and
        at once once the stream has ended."""
    def close(self) -> None:
        """Ends the stream and waits for its client to exit."""
    def __enter__(self) -> Events: ...
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        traceback: TracebackType | None,
        /,
    ) -> None: ...
    def __iter__(self) -> Events: ...
    def __next__(self) -> Event: ...
    def __aiter__(self) -> Events: ...
    def __anext__(self) -> Awaitable[Event]: ...

def snapshot_all(
    servers: Iterable[Server], *, commandlines: bool = False, timeout: float = 30.0
) -> dict[Server, Snapshot | Exception]:
    """One snapshot of each server, all taken at once, in about the time of the slowest.

    Each server maps to its Snapshot (empty when no server runs there), or to the exception its
    snapshot() raised (RuntimeError "ssh to HOST failed: ..." for an unreachable host), or to a
    TimeoutError when it was not done within `timeout` seconds; nothing is raised for one
    server's failure.
    """
