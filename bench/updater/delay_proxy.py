#!/usr/bin/env python3
"""A loopback TCP proxy that makes 127.0.0.1 look like a wide-area link: every
byte is held back a fixed one-way delay in each direction, and every new
connection first waits one round trip (the TCP handshake of a real link).

    delay_proxy.py --listen-port N --target-port M --one-way-ms 25

Listens on 127.0.0.1 only (port 0: any free port) and prints "PORT <n>" once
it does. Runs until it is killed.
"""
import argparse
import asyncio
import sys
import time

CHUNK = 256 * 1024
# Chunks held in one direction at once; with the delay this bounds the
# bytes in flight like a TCP window would.
QUEUE_CHUNKS = 512


class Line:
    """One direction of a link of a given rate (bytes per second; 0: no cap):
    when each piece has gone through it."""

    def __init__(self, rate):
        self.rate = rate
        self.free = 0.0  # when the line has sent everything handed to it so far

    def sent_at(self, now, size):
        if not self.rate:
            return now
        self.free = max(self.free, now) + size / self.rate
        return self.free


async def _pump(reader, writer, delay, line):
    # With a cap the bytes held back stay near what a TCP window would hold:
    # about half a second at the line's rate.
    chunks = QUEUE_CHUNKS if not line.rate else max(4, int(line.rate * 0.5 / CHUNK))
    queue = asyncio.Queue(chunks)

    async def receive():
        try:
            while True:
                data = await reader.read(CHUNK)
                await queue.put((line.sent_at(time.monotonic(), len(data)) + delay, data))
                if not data:
                    return
        except (ConnectionError, OSError):
            await queue.put((time.monotonic() + delay, b""))

    async def deliver():
        try:
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
        except (ConnectionError, OSError):
            pass

    await asyncio.gather(receive(), deliver())


async def _serve(client_reader, client_writer, target_port, delay, up, down):
    try:
        # The handshake of a new connection costs one round trip.
        await asyncio.sleep(2 * delay)
        server_reader, server_writer = await asyncio.open_connection("127.0.0.1", target_port)
    except OSError:
        client_writer.close()
        return
    try:
        await asyncio.gather(_pump(client_reader, server_writer, delay, up),
                             _pump(server_reader, client_writer, delay, down))
    finally:
        for writer in (client_writer, server_writer):
            writer.close()


async def _main(args):
    delay = args.one_way_ms / 1000.0
    rate = args.mbit * 1e6 / 8
    up, down = Line(rate), Line(rate)
    server = await asyncio.start_server(lambda r, w: _serve(r, w, args.target_port, delay, up, down), "127.0.0.1",
                                        args.listen_port, backlog=1024)
    print("PORT %d" % server.sockets[0].getsockname()[1], flush=True)
    async with server:
        await server.serve_forever()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--listen-port", type=int, default=0)
    parser.add_argument("--target-port", type=int, required=True)
    parser.add_argument("--one-way-ms", type=float, default=25.0)
    parser.add_argument("--mbit", type=float, default=0.0, help="bandwidth cap in Mbit/s per direction (0: none)")
    try:
        asyncio.run(_main(parser.parse_args()))
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
