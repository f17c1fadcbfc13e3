"""The coroutines behind the module's awaitable forms. The module runs this source on the first
awaitable call, so importing vordalin never imports asyncio."""

import asyncio


async def readable(fd):
    """Returns once `fd` polls readable. Waits on the running loop, with no thread, and leaves
    nothing registered on the loop when it returns or is cancelled."""
    loop = asyncio.get_running_loop()
    ready = loop.create_future()

    def wake():
        if not ready.done():
            ready.set_result(None)

    loop.add_reader(fd, wake)
    try:
        await ready
    finally:
        loop.remove_reader(fd)


async def pane_wait(step, fd, timeout, interval):
    """Drives one wait on a pane (Pane.await_for and the others). `step(expired)` looks at the
    pane once and gives (done, result, again), raising the wait's TimeoutError when `expired`
    and not done; between two steps the coroutine waits for `fd` to poll readable (tmux's events
    for the pane), or for `interval` seconds when fd is -1, and never past `again` seconds nor
    the deadline, so the last step is taken at it."""
    loop = asyncio.get_running_loop()
    deadline = None if timeout is None else loop.time() + timeout
    while True:
        done, result, again = step(deadline is not None and loop.time() >= deadline)
        if done:
            return result
        pause = interval if fd < 0 else None
        for limit in (again, None if deadline is None else deadline - loop.time()):
            if limit is not None:
                pause = limit if pause is None else min(pause, limit)
        await _readable_within(loop, fd, pause)


async def _readable_within(loop, fd, seconds):
    """Returns once `fd` (unless -1) polls readable or `seconds` (unless None) have passed,
    whichever comes first, leaving nothing registered on the loop however it ends."""
    ready = loop.create_future()

    def wake():
        if not ready.done():
            ready.set_result(None)

    timer = None if seconds is None else loop.call_later(max(seconds, 0.0), wake)
    if fd >= 0:
        loop.add_reader(fd, wake)
    try:
        await ready
    finally:
        if fd >= 0:
            loop.remove_reader(fd)
        if timer is not None:
            timer.cancel()


async def next_event(events):
    """The next event of an Events stream for `async for`: takes what is queued, and otherwise
    waits on the running loop until the stream's descriptor says something has come."""
    while True:
        event = events._take()
        if event is not None:
            return event
        await readable(events._descriptor)
