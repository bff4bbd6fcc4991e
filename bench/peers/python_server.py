#!/usr/bin/env python3
"""Reference peer: a straightforward asyncio server with the same framing (4-byte
little-endian length, then the payload) that writes one log line per message into a file.
It stops after --messages messages or --max-seconds, and prints messages/s."""
import argparse
import asyncio
import struct
import time


async def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, default=10001)
    parser.add_argument("--messages", type=int, required=True)
    parser.add_argument("--out", default="/dev/null")
    parser.add_argument("--max-seconds", type=float, default=120)
    args = parser.parse_args()

    out = open(args.out, "w", buffering=1 << 20)
    count = 0
    first = None
    done = asyncio.Event()

    async def serve(reader, writer):
        nonlocal count, first
        peer = "%s:%d" % writer.get_extra_info("peername")[:2]
        try:
            while True:
                header = await reader.readexactly(4)
                (length,) = struct.unpack("<I", header)
                body = await reader.readexactly(length)
                if first is None:
                    first = time.perf_counter()
                text = body.split(b"\0", 1)[0].decode("utf-8", "replace")
                out.write("%s -> %s\n" % (peer, text))
                count += 1
                if count >= args.messages:
                    done.set()
        except (asyncio.IncompleteReadError, ConnectionError):
            pass

    server = await asyncio.start_server(serve, "127.0.0.1", args.port)
    print("listening", flush=True)
    try:
        await asyncio.wait_for(done.wait(), args.max_seconds)
    except asyncio.TimeoutError:
        pass
    elapsed = time.perf_counter() - (first or time.perf_counter())
    server.close()
    out.flush()
    print("python: %d messages in %.3f s (%.0f messages/s)" % (count, elapsed, count / elapsed if elapsed else 0))


asyncio.run(main())
