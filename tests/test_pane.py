"""Pane records: how is_alive reads the answer of tmux."""

import pytest


@pytest.mark.parametrize("stdout, alive", [
    (b"0\n", True), (b" 0 \r\n", True), (b"0", True), (b"1\n", False), (b"", False), (b"00\n", False),
    (b"0\n0\n", False), (b"\n", False), (b"+0\n", False),
])
def test_is_alive_answers(classes, fake_tmux, stdout, alive):
    fake_tmux.respond(stdout=stdout, stderr=b"noise\n")
    assert classes.Pane("work", 2, 1, "%7", "t", None).is_alive is alive
