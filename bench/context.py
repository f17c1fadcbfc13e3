"""One run's shared servers and tools, handed to every family."""

from bench.counting import Counter
from bench.servers import Tmux, start_main_server


class Bench:
    def __init__(self, real_tmux, directory, limit, scale, vordalin, libtmux):
        self.real_tmux = real_tmux
        # A short private directory: Unix socket paths are short.
        self.directory = directory
        self.limit = limit
        self.scale = scale
        # The modules, imported once by the runner: a family module imports neither, so that
        # a probe in a fresh process loads only the library it measures.
        self.vordalin = vordalin
        self.libtmux = libtmux
        self.counter = Counter(directory, real_tmux)
        self.built = {}
        self._tmux = {}
        self._servers = {}
        self._peers = {}

    def tmux(self, name, start=None):
        """The private server on the socket `name` in the run's directory, killed when the run
        ends; `start` fills it when first asked for. Command lines show its socket as the
        name in capitals."""
        if name not in self._tmux:
            self._tmux[name] = Tmux(self.real_tmux, str(self.directory / name))
            if start is not None:
                start(self._tmux[name])
        return self._tmux[name]

    @property
    def main(self):
        """The server most rows use (servers.start_main_server)."""
        return self.tmux("main", start_main_server)

    def server(self, name):
        """One vordalin.Server per socket, so that a row over the channel opens it on the
        very object its per-process row calls."""
        if name not in self._servers:
            self._servers[name] = self.vordalin.Server(self.tmux(name).socket)
        return self._servers[name]

    def peer(self, name):
        """One libtmux.Server per socket."""
        if name not in self._peers:
            self._peers[name] = self.libtmux.Server(socket_path=self.tmux(name).socket)
        return self._peers[name]

    def reps(self, n, least=20):
        """Enough for a stable median of a ~2 ms call, the whole run in a few minutes."""
        return max(least, int(n * self.scale))

    def row(self, key):
        """A row of another family (built before this one's), whether or not it runs."""
        return self.built[key]

    @property
    def sockets(self):
        return {name.upper(): tmux.socket for name, tmux in self._tmux.items()}

    def close(self):
        for tmux in self._tmux.values():
            tmux.kill()
