#!/usr/bin/env python3
"""A loopback live broadcast that cuts its first answers, for the gap a
rejoin leaves: every answer is chunked, with no length, no validator and
Cache-Control: no-cache, and starts at the word the broadcast's clock stands
at. Word i (eight bytes, little endian, i + 1) is due RATE bytes per second
from the start, and no word goes out before its time, so the words a stream
misses between its last before a cut and its first after the join are the
broadcast's time that passed meanwhile.

The first `cut_answers` answers are cut after `cut_at` bytes (the connection
closed without the last chunk); later ones send `size` bytes and end.

Used in-process by run_bench.py (Broadcast(...).start() ... stop()).
"""
import socket
import socketserver
import struct
import threading
import time


class Broadcast:
    def __init__(self, rate, cut_at, size, cut_answers=2):
        self.rate, self.cut_at, self.size, self.cut_answers = rate, cut_at, size, cut_answers
        self.answers = 0
        self.lock = threading.Lock()
        self.began = time.monotonic()
        owner = self

        class Handler(socketserver.BaseRequestHandler):
            def handle(self):
                owner._answer(self.request)

        self.server = socketserver.ThreadingTCPServer(("127.0.0.1", 0), Handler)
        self.server.daemon_threads = True
        self.port = self.server.server_address[1]

    def start(self):
        threading.Thread(target=self.server.serve_forever, daemon=True).start()
        return self

    def stop(self):
        self.server.shutdown()
        self.server.server_close()

    def url(self, path="/live"):
        return f"http://127.0.0.1:{self.port}{path}"

    def _answer(self, conn):
        conn.settimeout(10)
        head = b""
        while b"\r\n\r\n" not in head:
            data = conn.recv(4096)
            if not data:
                return
            head += data
        with self.lock:
            index = self.answers
            self.answers += 1
        limit = self.cut_at if index < self.cut_answers else self.size
        conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: audio/mpeg\r\n"
                     b"Cache-Control: no-cache\r\nTransfer-Encoding: chunked\r\n"
                     b"Connection: close\r\n\r\n")
        start = time.monotonic()
        first = int((start - self.began) * self.rate / 8)
        slice_words = max(1, self.rate // 8 // 1000)  # a slice a millisecond
        sent = 0
        try:
            while sent < limit:
                words = min(slice_words, (limit - sent) // 8)
                if words == 0:
                    break
                due = start + (sent + words * 8) / self.rate
                pause = due - time.monotonic()
                if pause > 0:
                    time.sleep(pause)
                at = first + sent // 8
                body = struct.pack(f"<{words}Q", *range(at + 1, at + 1 + words))
                conn.sendall(b"%x\r\n%s\r\n" % (len(body), body))
                sent += len(body)
            if index >= self.cut_answers:
                conn.sendall(b"0\r\n\r\n")
            conn.shutdown(socket.SHUT_WR)
        except OSError:
            pass  # the client went away
