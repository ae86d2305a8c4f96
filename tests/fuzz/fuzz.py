#!/usr/bin/env python3
"""Request fuzzer: many connections of generated and mutated requests against
one quorvel, each checked as it ends.

After every connection: the server is alive; its console block is the
announcement, then a prefix of the bytes sent that covers everything the
request's framing called for (or, when the header block never arrived, a
prefix of the bytes sent, a newline if there were any, and "socket close
fd=N"), then the closing newline; the reply is byte-exact when
the header block arrived and absent otherwise.

    fuzz.py BINARY [--seed S] [--count N] [--seconds T]
    fuzz.py BINARY --seed S --case K      # replay one case, verbosely

Every case draws from its own generator, seeded by (seed, case number), so a
failure prints the two numbers that replay it alone.
"""

import argparse
import os
import random
import socket
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from harness import REPLY, TIMEOUT, Server, announcement  # noqa: E402

METHODS = [b"GET", b"POST", b"PUT", b"DELETE", b"PATCH", b"OPTIONS", b"HEAD", b"BREW", b"g\0t"]
NAMES = [b"Host", b"Accept", b"User-Agent", b"X-Note", b"Cookie", b"Expect", b"Connection"]
SPECIAL = [b"\0", b"\r", b"\n", b"\r\n", b"\r\n\r\n", b"\xff", b"\x7f", b":", b" "]


# --- the framing the server is expected to follow ---------------------------

def head_end(data):
    i = data.find(b"\r\n\r\n")
    return -1 if i < 0 else i + 4


def atoi(text):
    """C's atoi over a field value, saturated to 64 bits."""
    text = text.lstrip(b" \t\v\f\r\n")
    sign = -1 if text[:1] == b"-" else 1
    if text[:1] in (b"-", b"+"):
        text = text[1:]
    digits = b""
    for c in text:
        if not 48 <= c <= 57:
            break
        digits += bytes([c])
    value = sign * int(digits or b"0")
    return max(-2**63, min(2**63 - 1, value))


def framing(head):
    """('none'|'length'|'chunked', content length) for a header block."""
    length = None
    chunked = False
    for line in head.split(b"\n")[1:]:
        line = line[:-1] if line.endswith(b"\r") else line
        if not line:
            break
        name, colon, value = line.partition(b":")
        if not colon:
            continue
        if name.lower() == b"content-length" and length is None:
            length = atoi(value)
        elif name.lower() == b"transfer-encoding":
            codings = [c.strip(b" \t").split(b";")[0].split(b" ")[0].split(b"\t")[0]
                       for c in value.split(b",")]
            codings = [c for c in codings if c]
            if codings:
                chunked = codings[-1].lower() == b"chunked"
    if chunked:
        return "chunked", 0
    if length is not None and length > 0:
        return "length", length
    return "none", 0


def chunked_end(body):
    """Bytes of a chunked body the server must read: up to its end, or up to
    the byte that shows it malformed; None while it is incomplete."""
    state, size = "size0", 0
    for i, c in enumerate(body):
        ch = bytes([c])
        if state in ("size0", "size") and ch.lower() in b"0123456789abcdef" and ch:
            size = size * 16 + int(ch, 16)
            if size > 2**63 - 1:
                return i + 1
            state = "size"
            continue
        if state == "size0":
            return i + 1
        if state in ("size", "ws"):
            state = {b" ": "ws", b"\t": "ws", b";": "ext", b"\r": "size-lf"}.get(ch)
        elif state == "ext":
            state = "size-lf" if ch == b"\r" else None if ch == b"\n" else "ext"
        elif state == "size-lf":
            state = None if ch != b"\n" else "data" if size else "trailer0"
            if state == "data":
                data_left = size
                continue
        elif state == "data":
            data_left -= 1
            if data_left == 0:
                state = "data-cr"
            continue
        elif state == "data-cr":
            state = "data-lf" if ch == b"\r" else None
        elif state == "data-lf":
            state, size = ("size0", 0) if ch == b"\n" else (None, 0)
        elif state in ("trailer0", "trailer"):
            if ch == b"\n":
                state = None
            elif ch == b"\r":
                state = "last-lf" if state == "trailer0" else "trailer-lf"
            else:
                state = "trailer"
        elif state in ("trailer-lf", "last-lf"):
            if ch != b"\n":
                return i + 1
            if state == "last-lf":
                return i + 1
            state = "trailer0"
        if state is None:
            return i + 1
    return None


def required(sent):
    """How many bytes the server must read before it replies, or None when
    it reads until the peer stops (the request is never complete)."""
    end = head_end(sent)
    kind, length = framing(sent[:end])
    if kind == "length":
        return end + length if len(sent) >= end + length else None
    if kind == "chunked":
        n = chunked_end(sent[end:])
        return None if n is None else end + n
    return end


# --- generation -------------------------------------------------------------

def mutate_case(rng, name):
    return bytes(c ^ 0x20 if 65 <= (c & 0xDF) <= 90 and rng.random() < 0.5 else c for c in name)


def chunk_body(rng, data):
    out = b""
    while data:
        n = rng.randint(1, max(1, len(data)))
        size = b"%x" % n
        if rng.random() < 0.3:
            size = size.upper()
        ext = rng.choice([b"", b"", b";a=b", b" ;x", b";q=\"v\""])
        out += size + ext + b"\r\n" + data[:n] + b"\r\n"
        data = data[n:]
    out += b"0\r\n"
    if rng.random() < 0.3:
        out += b"X-Trailer: " + mutate_case(rng, b"yes") + b"\r\n"
    return out + b"\r\n"


def generate(rng):
    method = rng.choice(METHODS) if rng.random() < 0.95 else rng.randbytes(3)
    path = b"/" + bytes(rng.choice(b"abcxyz/?=&%.0123456789") for _ in range(rng.randint(0, 40)))
    version = rng.choice([b"HTTP/1.1", b"HTTP/1.0", b"HTTP/9", b""])
    lines = [method + b" " + path + b" " + version]
    body = bytes(rng.randrange(256) for _ in range(rng.choice([0, 0, 5, 100, 511, 512, 3000])))
    for _ in range(rng.randint(0, 6)):
        name = mutate_case(rng, rng.choice(NAMES))
        lines.append(name + rng.choice([b": ", b":", b" : "]) + rng.randbytes(rng.randint(0, 8)).hex().encode())
    style = rng.choice(["none", "exact", "longer", "shorter", "negative", "huge", "garbage",
                        "twice", "chunked", "chunked+length", "chunked-bad"])
    cl = mutate_case(rng, b"Content-Length")
    te = mutate_case(rng, b"Transfer-Encoding") + b": " + mutate_case(rng, b"chunked")
    if style == "exact":
        lines.append(cl + b": %d" % len(body))
    elif style == "longer":  # announces more than is sent: the peer's close ends it
        lines.append(cl + b": %d" % (len(body) + rng.randint(1, 100)))
    elif style == "shorter":
        lines.append(cl + b": %d" % rng.randint(0, max(0, len(body) - 1)))
    elif style == "negative":
        lines.append(cl + b": -%d" % rng.randint(1, 10**12))
    elif style == "huge":
        lines.append(cl + b": " + b"9" * rng.randint(10, 700))
    elif style == "garbage":
        lines.append(cl + b": " + rng.choice([b"abc", b"", b" \t12x", b"0x10", b"+-3"]))
    elif style == "twice":
        lines.append(cl + b": %d" % rng.randint(0, len(body)))
        lines.append(cl + b": %d" % rng.randint(0, 5000))
    elif style.startswith("chunked"):
        lines.append(te)
        if style == "chunked+length":
            lines.append(cl + b": %d" % rng.randint(0, 50))
        body = chunk_body(rng, body)
        if style == "chunked-bad":
            at = rng.randrange(len(body))
            body = body[:at] + rng.choice([b"Z", b"\n", b"\r", b"-"]) + body[at + 1:]
        elif rng.random() < 0.3:
            body = body[:rng.randrange(len(body))]  # cut short
    data = b"\r\n".join(lines) + b"\r\n\r\n" + body
    # Stray bytes anywhere: they may break, move or create the blank line.
    for _ in range(rng.choice([0, 0, 0, 1, 2, 4])):
        at = rng.randrange(len(data) + 1)
        data = data[:at] + rng.choice(SPECIAL) + data[at:]
    if rng.random() < 0.1:
        data += b"GET /pipelined HTTP/1.1\r\n\r\n"
    return data


def split(rng, data):
    cuts = sorted(rng.sample(range(1, len(data)), min(len(data) - 1, rng.choice([0, 0, 1, 2, 5]))))
    edges = [0] + cuts + [len(data)]
    return [data[a:b] for a, b in zip(edges, edges[1:])]


# --- one connection ---------------------------------------------------------

class Failure(Exception):
    pass


def run_case(server, rng, verbose=False):
    """One connection. Returns (client port, bytes sent) for the block check."""
    data = generate(rng)
    parts = split(rng, data)
    ending = rng.choices(["half-close", "close", "reset"], [90, 5, 5])[0]
    if ending != "half-close":
        parts = parts[:rng.randint(1, len(parts))]
    pause = rng.choice([0, 0, 0, 0.001, 0.002])
    sent = b""
    reply = b""
    with socket.create_connection(("127.0.0.1", server.port), timeout=TIMEOUT) as sock:
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        port = sock.getsockname()[1]
        try:
            for i, part in enumerate(parts):
                if i and pause:
                    time.sleep(pause)
                sent += part  # counted before: a failed send may have sent some
                sock.sendall(part)
        except (BrokenPipeError, ConnectionResetError):
            ending = "half-close"  # the server has replied and closed: read it
        if ending == "reset":
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\0\0\0\0\0\0\0")
        elif ending == "half-close":
            try:
                sock.shutdown(socket.SHUT_WR)
            except OSError:
                pass
            try:
                while True:
                    chunk = sock.recv(65536)
                    if not chunk:
                        break
                    reply += chunk
            except ConnectionResetError:
                pass  # after the reply, when the server left bytes unread
    if verbose:
        print("parts %r\nending %s\nreply %r" % (parts, ending, reply))
    if ending == "half-close":
        want = REPLY if head_end(sent) >= 0 else b""
        if reply != want:
            raise Failure("reply %r" % reply)
    return port, sent


def check_block(block, sent):
    """A finished console block (after its announcement) against what was
    sent: when no header block was sent, what arrived of it (a prefix), a
    newline if anything did, and "socket close"; otherwise a prefix of the
    bytes sent, covering at least what the framing called for."""
    if head_end(sent) < 0:
        at = block.rfind(b"socket close fd=")
        shown = block[:at]
        if shown:
            shown = shown[:-1] if shown.endswith(b"\n") else b"missing newline"
        if not (at >= 0 and block.endswith(b"\n\n") and block[at + 16:-2].isdigit()
                and sent.startswith(shown)):
            raise Failure("expected an early close, got %r" % block)
        return
    need = required(sent)
    if need is None:
        need = len(sent)  # read until the peer was gone: all of it
    n = len(block) - 1
    if not block.endswith(b"\n") or not need <= n <= len(sent) or block[:n] != sent[:n]:
        raise Failure("echo of %d bytes (needed %d of %d) differs: %r"
                      % (n, need, len(sent), block[:2000]))


def next_block(server, port):
    """Waits for the announcement of the connection from port; returns the
    output between the last checked point and it (the previous block)."""
    head = announcement(port)
    data = server.out.wait(lambda d: d.find(head, server.mark) >= 0, TIMEOUT, "announcement")
    at = data.find(head, server.mark)
    block = bytes(data[server.mark:at])
    server.mark = at + len(head)
    return block


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("binary")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--count", type=int, default=20000)
    ap.add_argument("--seconds", type=float, default=600)
    ap.add_argument("--case", type=int, default=None)
    args = ap.parse_args()

    server = Server("-l", "0", binary=args.binary)
    cases = [args.case] if args.case is not None else range(args.count)
    started = time.monotonic()
    done = 0
    previous = None  # (case, bytes sent): its block ends where the next begins

    def schedule():
        for k in cases:
            yield k
            if time.monotonic() - started > args.seconds:
                break
        yield None  # a plain request delimits the last block

    def failed(k, e):
        rng = random.Random(args.seed * 1_000_003 + k)
        print("FAILED: seed %d case %d: %s" % (args.seed, k, e))
        print("request: %r" % generate(rng))
        print("replay: %s %s --seed %d --case %d" % (sys.argv[0], args.binary, args.seed, k))
        return 1

    try:
        for k in schedule():
            try:
                if k is None:
                    with socket.create_connection(("127.0.0.1", server.port), TIMEOUT) as sock:
                        sock.sendall(b"GET /end HTTP/1.1\r\n\r\n")
                        port, sent = sock.getsockname()[1], None
                        while sock.recv(4096):
                            pass
                else:
                    rng = random.Random(args.seed * 1_000_003 + k)
                    port, sent = run_case(server, rng, verbose=args.case is not None)
                block = next_block(server, port)
                if not server.alive():
                    raise Failure("the server died")
            except (Failure, AssertionError, OSError) as e:
                return failed(k if k is not None else previous[0], e)
            try:
                if previous is not None:
                    check_block(block, previous[1])
                elif block:
                    raise Failure("output before the first connection: %r" % block)
            except Failure as e:
                return failed(previous[0], e)
            previous = (k, sent)
            server.trim()
            done += 1
    finally:
        server.stop()
    done -= 1  # the delimiter
    elapsed = time.monotonic() - started
    print("fuzz: %d connections in %.1f s (seed %d), all checked" % (done, elapsed, args.seed))
    return 0


if __name__ == "__main__":
    sys.exit(main())
