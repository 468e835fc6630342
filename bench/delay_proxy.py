#!/usr/bin/python3
"""A TCP relay on 127.0.0.1 that stands for the distance to a real site: each connection's
set-up waits DELAY milliseconds before the relay connects onwards, and every piece of data,
in either direction, is passed on DELAY milliseconds after it arrived (order kept, the end
of a direction too). Nothing is held back beyond that, so a client that keeps several
requests in flight overlaps their waits as it would over a slow link.

    delay_proxy.py LISTEN_PORT TARGET_PORT DELAY_MS

LISTEN_PORT 0 picks a free port; the port taken is printed on the first line of standard
output. Runs until killed.
"""
import asyncio
import sys
import time


async def pipe(reader, writer, delay):
    """Copies reader to writer, each piece DELAY after it arrived."""
    queue = asyncio.Queue()

    async def take():
        while True:
            data = await reader.read(65536)
            queue.put_nowait((time.monotonic() + delay, data))
            if not data:
                return

    async def give():
        while True:
            due, data = await queue.get()
            wait = due - time.monotonic()
            if wait > 0:
                await asyncio.sleep(wait)
            if not data:
                if writer.can_write_eof():
                    writer.write_eof()
                return
            writer.write(data)
            await writer.drain()

    try:
        await asyncio.gather(take(), give())
    except (ConnectionError, OSError):
        pass


async def serve(client_reader, client_writer, target_port, delay):
    try:
        await asyncio.sleep(delay)  # the connection's set-up crosses the distance
        upstream_reader, upstream_writer = await asyncio.open_connection("127.0.0.1", target_port)
    except OSError:
        client_writer.close()
        return
    await asyncio.gather(pipe(client_reader, upstream_writer, delay),
                         pipe(upstream_reader, client_writer, delay))
    for w in (client_writer, upstream_writer):
        try:
            w.close()
        except OSError:
            pass


async def main():
    listen_port, target_port, delay_ms = int(sys.argv[1]), int(sys.argv[2]), float(sys.argv[3])
    delay = delay_ms / 1000.0
    server = await asyncio.start_server(
        lambda r, w: serve(r, w, target_port, delay), "127.0.0.1", listen_port, backlog=256)
    print(server.sockets[0].getsockname()[1], flush=True)
    async with server:
        await server.serve_forever()


if __name__ == "__main__":
    if len(sys.argv) != 4:
        sys.stderr.write(__doc__)
        sys.exit(2)
    asyncio.run(main())
