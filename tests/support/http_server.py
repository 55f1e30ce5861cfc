#!/usr/bin/env python3
"""A small HTTP(S) server for the download tests and the bench: it serves the files of one
folder on 127.0.0.1 with the headers a real server sends (ETag, Last-Modified, Range and
If-Range, 206 with Content-Range), and does on request what real networks and hostile servers
do: drop the connection at a byte, stall, throttle, ignore Range, answer a resume with another
version of the file, send more or fewer bytes than it announced, trickle, never end, redirect
or answer with an error status. It writes its port to --port-file once it listens, one line per
request to --log ("GET PATH range=... if-range=... status=N first=N sent=N"), and stops by
itself after --lifetime seconds, so no test or bench can leave it running.

  http_server.py --root DIR --port-file F --log F [--tls CERT KEY] [fault options]
"""

import argparse
import hashlib
import http.server
import os
import socket
import ssl
import sys
import threading
import time

# Faults that happen once each: offsets are removed from these lists as they fire.
lock = threading.Lock()


def parse_args():
    p = argparse.ArgumentParser()
    p.add_argument("--root", required=True)
    p.add_argument("--port-file", required=True)
    p.add_argument("--log", required=True)
    p.add_argument("--tls", nargs=2, metavar=("CERT", "KEY"))
    p.add_argument("--lifetime", type=float, default=600)
    p.add_argument("--drop-at", type=int, action="append", default=[],
                   help="close the connection once the bytes before this offset are sent (once each)")
    p.add_argument("--stall-at", type=int, help="at this offset send nothing for --stall-seconds (once)")
    p.add_argument("--stall-seconds", type=float, default=0)
    p.add_argument("--replace-at", type=int, help="at this offset drop, and serve --replacement from then on")
    p.add_argument("--replacement")
    p.add_argument("--rate", type=int, default=0, help="bytes a second; 0: as fast as it goes")
    p.add_argument("--ignore-range", action="store_true", help="answer every request with 200 and the whole file")
    p.add_argument("--no-validators", action="store_true", help="send neither ETag nor Last-Modified")
    p.add_argument("--range-off-by", type=int, default=0, help="a 206 starts this many bytes from where asked")
    p.add_argument("--extra", type=int, default=0, help="bytes of junk sent behind the announced length")
    p.add_argument("--content-length", help="the Content-Length header sent, whatever the file's length")
    p.add_argument("--no-length", action="store_true", help="no Content-Length: the body ends as the connection closes")
    p.add_argument("--endless", action="store_true", help="no length; the file, then junk until the client goes")
    p.add_argument("--trickle", type=float, default=0, help="one byte every this many seconds, forever")
    p.add_argument("--status", type=int, default=0, help="answer every request with this status and no body")
    p.add_argument("--fail-resumes", type=int, default=0, help="answer this many range requests with 503")
    p.add_argument("--redirect", help="answer every request with 302 to this URL + the path")
    p.add_argument("--faults-per-download", action="store_true",
                   help="a request without Range starts a new download: the one-time faults are armed again")
    return p.parse_args()


args = parse_args()
replaced = False
armed = (list(args.drop_at), args.stall_at)


def current_file(path):
    name = os.path.join(args.root, path.lstrip("/").split("?")[0])
    if replaced and path.split("?")[0].endswith(".velk") and args.replacement:
        name = args.replacement
    return name


def validators(data):
    if args.no_validators:
        return {}
    tag = '"' + hashlib.sha256(data).hexdigest()[:16] + '"'
    return {"ETag": tag, "Last-Modified": "Thu, 01 Jan 2026 00:00:00 GMT"}


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *_):
        pass

    def note(self, status, first, sent):
        line = "%s %s range=%s if-range=%s status=%d first=%d sent=%d\n" % (
            self.command, self.path.split("?")[0], self.headers.get("Range", "-"),
            self.headers.get("If-Range", "-"), status, first, sent)
        with lock, open(args.log, "a") as log:
            log.write(line)

    def do_GET(self):
        if args.redirect:
            return self.answer_only(302, {"Location": args.redirect + self.path})
        if args.status:
            return self.answer_only(args.status, {})
        try:
            with open(current_file(self.path), "rb") as f:
                data = f.read()
        except OSError:
            return self.answer_only(404, {})
        first = self.range_start()
        if first is None and args.faults_per_download:
            with lock:
                args.drop_at, args.stall_at = list(armed[0]), armed[1]
        if first is not None and args.fail_resumes > 0:
            args.fail_resumes -= 1
            return self.answer_only(503, {})
        tags = validators(data)
        asked = self.headers.get("If-Range")
        if first is None or args.ignore_range or (asked is not None and asked not in tags.values()) \
                or first >= len(data):
            return self.send_body(200, data, 0, tags)
        return self.send_body(206, data, max(0, first + args.range_off_by), tags)

    def range_start(self):
        value = self.headers.get("Range", "")
        if not value.startswith("bytes=") or not value.endswith("-"):
            return None
        return int(value[6:-1])

    def answer_only(self, status, headers):
        self.send_response(status)
        for name, value in headers.items():
            self.send_header(name, value)
        self.send_header("Content-Length", "0")
        self.end_headers()
        self.note(status, 0, 0)

    def send_body(self, status, data, first, tags):
        self.send_response(status)
        for name, value in tags.items():
            self.send_header(name, value)
        if args.endless or args.trickle or args.no_length:
            self.send_header("Connection", "close")
            self.close_connection = True
        elif args.content_length is not None:
            self.send_header("Content-Length", args.content_length)
        else:
            self.send_header("Content-Length", str(len(data) - first))
        if status == 206:
            self.send_header("Content-Range", "bytes %d-%d/%d" % (first, len(data) - 1, len(data)))
        self.end_headers()
        sent = 0
        try:
            sent = self.stream(data, first)
        except (BrokenPipeError, ConnectionResetError):
            pass
        self.note(status, first, sent)

    # Sends data[first:] in pieces, firing the faults at their offsets; the bytes sent.
    def stream(self, data, first):
        global replaced
        at = first
        end = len(data)
        if args.trickle:
            return self.trickle(data, at)
        while at < end:
            stop = min(end, at + 16384)
            with lock:
                drops = [d for d in args.drop_at if at <= d < stop] + \
                        ([args.replace_at] if args.replace_at is not None and not replaced
                         and at <= args.replace_at < stop else [])
            cut = min(drops) if drops else None
            if args.stall_at is not None and at <= args.stall_at < stop:
                self.write(data[at:args.stall_at])
                at = args.stall_at
                args.stall_at = None
                time.sleep(args.stall_seconds)
                continue
            if cut is not None:
                self.write(data[at:cut])
                with lock:
                    if cut in args.drop_at:
                        args.drop_at.remove(cut)
                    else:
                        replaced = True
                self.close_now()
                return cut - first
            self.write(data[at:stop])
            at = stop
        if args.extra:
            self.write(b"J" * args.extra)
        if args.endless:
            deadline = time.monotonic() + args.lifetime
            while time.monotonic() < deadline:
                self.write(b"\0junk" * 4096)
        return at - first

    def trickle(self, data, at):
        deadline = time.monotonic() + args.lifetime
        sent = 0
        while time.monotonic() < deadline:
            self.wfile.write(data[at:at + 1] if at < len(data) else b"\0")
            self.wfile.flush()
            at += 1
            sent += 1
            time.sleep(args.trickle)
        return sent

    def write(self, piece):
        if args.rate:
            step = max(1, args.rate // 20)
            for i in range(0, len(piece), step):
                self.wfile.write(piece[i:i + step])
                time.sleep(len(piece[i:i + step]) / args.rate)
        else:
            self.wfile.write(piece)
        self.wfile.flush()

    # An abrupt end: the client sees the connection close before the announced length.
    def close_now(self):
        self.wfile.flush()
        self.connection.shutdown(socket.SHUT_RDWR)
        self.close_connection = True


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True


def main():
    server = Server(("127.0.0.1", 0), Handler)
    if args.tls:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(args.tls[0], args.tls[1])
        server.socket = context.wrap_socket(server.socket, server_side=True)
    threading.Timer(args.lifetime, lambda: os._exit(0)).start()
    tmp = args.port_file + ".tmp"
    with open(tmp, "w") as f:
        f.write(str(server.server_address[1]))
    os.rename(tmp, args.port_file)
    server.serve_forever()


if __name__ == "__main__":
    sys.exit(main())
