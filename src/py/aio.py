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
