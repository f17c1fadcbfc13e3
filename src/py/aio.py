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


async def next_event(events):
    """The next event of an Events stream for `async for`: takes what is queued, and otherwise
    waits on the running loop until the stream's descriptor says something has come."""
    while True:
        event = events._take()
        if event is not None:
            return event
        await readable(events._descriptor)
