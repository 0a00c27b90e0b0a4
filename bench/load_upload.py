#!/usr/bin/env python3
"""Posts uploads to a CGI program through a web server, some at once, and
reports what came back (bench/load.sh runs it).

  load_upload.py --base http://127.0.0.1:PORT --path /cgi-bin/attachdesk \
      --windows 5001,5002 --count 1000 --concurrency 16 [--remove] [--check-page]

Each request is a multipart form for one window (taken in turn): "atid", with
--remove also "choice=0" (the window's oldest file goes first), and one small
file "newfile" named load-<window>-<n>.txt, of 1 to 16 KB. Every thread keeps
one connection open (HTTP/1.1 keep-alive) and opens a new one after an error.

A request fails when it gets no answer, a status other than 200, or, with
--check-page, a page that is not HTML, that shows an error message, or that
does not list the file just sent. Prints one JSON object: requests, failed,
seconds, per_second, p50_ms, p99_ms, max_ms and up to five failure reasons.
"""

import argparse
import base64
import http.client
import json
import math
import queue
import random
import threading
import time
import urllib.parse

BOUNDARY = "----loadUploadBoundary5c1e"


def body_for(window, number, remove, rng):
    size = rng.randint(1024, 16 * 1024)
    name = f"load-{window}-{number}.txt"
    line = f"{name} line of a load test upload\n".encode()
    data = (line * (size // len(line) + 1))[:size]
    parts = [("atid", None, str(window).encode())]
    if remove:
        parts.append(("choice", None, b"0"))
    parts.append(("newfile", name, data))
    out = bytearray()
    for field, filename, value in parts:
        out += f"--{BOUNDARY}\r\n".encode()
        if filename is None:
            out += f'Content-Disposition: form-data; name="{field}"\r\n\r\n'.encode()
        else:
            out += (f'Content-Disposition: form-data; name="{field}"; filename="{filename}"\r\n'
                    "Content-Type: text/plain\r\n\r\n").encode()
        out += value + b"\r\n"
    out += f"--{BOUNDARY}--\r\n".encode()
    return name, bytes(out)


def problem_in(page, name):
    """Why an answer page is not a good one, or None."""
    text = page.decode("utf-8", "replace")
    if "<html" not in text.lower():
        return "not an HTML page"
    # Error messages are "<p class=error role=alert>"; the page script's own
    # (hidden) line has an id and never matches.
    if "<p class=error role=alert>" in text:
        start = text.index("<p class=error role=alert>")
        return "error message: " + text[start:start + 160].split("</p>")[0]
    if name + "," not in text:
        return f"{name} is not listed"
    return None


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--base", required=True)
    parser.add_argument("--path", required=True)
    parser.add_argument("--windows", required=True)
    parser.add_argument("--count", type=int, default=1000)
    parser.add_argument("--concurrency", type=int, default=16)
    parser.add_argument("--first", type=int, default=0, help="number of the first file")
    parser.add_argument("--user", default="alice:alice")
    parser.add_argument("--remove", action="store_true")
    parser.add_argument("--check-page", action="store_true")
    parser.add_argument("--timeout", type=float, default=60.0)
    args = parser.parse_args()

    base = urllib.parse.urlsplit(args.base)
    windows = [w for w in args.windows.split(",") if w]
    auth = "Basic " + base64.b64encode(args.user.encode()).decode()
    rng = random.Random(1234)
    jobs = queue.Queue()
    for i in range(args.count):
        window = windows[i % len(windows)]
        number = args.first + i
        jobs.put(body_for(window, number, args.remove, rng))

    latencies = []
    failures = []
    lock = threading.Lock()

    def worker():
        connection = None
        while True:
            try:
                name, body = jobs.get_nowait()
            except queue.Empty:
                break
            started = time.perf_counter()
            problem = None
            try:
                if connection is None:
                    connection = http.client.HTTPConnection(base.hostname, base.port,
                                                            timeout=args.timeout)
                connection.request("POST", args.path, body, {
                    "Authorization": auth,
                    "Content-Type": f"multipart/form-data; boundary={BOUNDARY}",
                })
                response = connection.getresponse()
                page = response.read()
                if response.status != 200:
                    problem = f"status {response.status}"
                elif args.check_page:
                    problem = problem_in(page, name)
                if response.getheader("Connection", "").lower() == "close":
                    connection.close()
                    connection = None
            except (OSError, http.client.HTTPException) as e:
                problem = f"{type(e).__name__}: {e}"
                if connection is not None:
                    connection.close()
                connection = None
            elapsed = time.perf_counter() - started
            with lock:
                latencies.append(elapsed)
                if problem:
                    failures.append(f"{name}: {problem}")
        if connection is not None:
            connection.close()

    threads = [threading.Thread(target=worker) for _ in range(args.concurrency)]
    started = time.perf_counter()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    seconds = time.perf_counter() - started

    latencies.sort()

    def percentile(p):
        if not latencies:
            return 0.0
        # Nearest rank.
        index = min(len(latencies) - 1, max(0, math.ceil(p / 100 * len(latencies)) - 1))
        return latencies[index] * 1000

    print(json.dumps({
        "requests": len(latencies),
        "failed": len(failures),
        "seconds": round(seconds, 3),
        "per_second": round(len(latencies) / seconds, 1) if seconds > 0 else 0,
        "p50_ms": round(percentile(50), 2),
        "p99_ms": round(percentile(99), 2),
        "max_ms": round(latencies[-1] * 1000, 2) if latencies else 0,
        "failures": failures[:5],
    }))


if __name__ == "__main__":
    main()
