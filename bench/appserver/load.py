#!/usr/bin/env python3
"""Many stores at once against a running krt-appserver: each of N stores asks
GetPrincipal for its own branch's DAY, one call per connection, again and again
for SECONDS; meanwhile GET /health every 200 ms. Each store calls from its own
loopback address (127.1.0.1 on), or all from 127.0.0.1 (one: as from behind a
balancer). Prints calls a second, the calls' p50/p99 (connect to last byte),
errors by kind, /health's p50/p99/max and failures, the server's peak RSS and
its CPU over the run.
Usage: load.py PORT SERVER_PID DAY SECONDS one|many BRANCH...
The stores' own addresses need Linux (all of 127/8 is loopback there)."""
import json, os, socket, sys, threading, time

port, pid, day, seconds, mode = (int(sys.argv[1]), int(sys.argv[2]), sys.argv[3],
                                 float(sys.argv[4]), sys.argv[5])
branches = sys.argv[6:]


def whole(head, tail, size):
    """The reply came whole: all its Content-Length, or its chunks to the last."""
    end = head.find(b"\r\n\r\n") + 4
    fields = head[:end].lower()
    if b"transfer-encoding: chunked" in fields:
        return tail.endswith(b"}}\r\n0\r\n\r\n")
    at = fields.find(b"content-length:")
    return (end > 3 and at >= 0 and tail.endswith(b"}}") and
            size - end == int(fields[at + 15:fields.find(b"\r\n", at)]))


def exchange(source, request):
    """Sends request, reads to EOF; returns (status, head of the body, tail, bytes)."""
    s = socket.create_connection(("127.0.0.1", port), timeout=120, source_address=(source, 0))
    try:
        s.sendall(request)
        head, tail, size = bytearray(), b"", 0
        buf = bytearray(1 << 20)
        while True:
            n = s.recv_into(buf)
            if not n:
                break
            if len(head) < 4096:
                head += buf[:min(n, 4096 - len(head))]
            tail = (tail + bytes(buf[max(0, n - 16):n]))[-16:]
            size += n
    finally:
        s.close()
    status = int(head[9:12]) if head.startswith(b"HTTP/1.1 ") else 0
    return status, bytes(head), tail, size


def post(selector):
    body = json.dumps({"jsonrpc": "2.0", "id": 1, "method": "GetPrincipal",
                       "params": [selector, day]}).encode()
    return (b"POST /rpc/Krt52410.rdmExportaDotz HTTP/1.1\r\nHost: x\r\nConnection: close\r\n"
            b"Content-Type: application/json\r\nContent-Length: " + str(len(body)).encode() +
            b"\r\n\r\n" + body)


lock = threading.Lock()
latencies, errors, moved = [], {}, [0]
health, health_failed = [], [0]
start = threading.Event()
deadline = [0.0]


def store(i, branch):
    source = "127.0.0.1" if mode == "one" else f"127.1.{(i + 1) // 256}.{(i + 1) % 256}"
    request = post(f"'{branch}'")
    start.wait()
    while time.monotonic() < deadline[0]:
        t0 = time.monotonic()
        try:
            status, head, tail, size = exchange(source, request)
            kind = (None if status == 200 and b'"ok":true' in head and whole(head, tail, size)
                    else f"HTTP {status}" if status != 200
                    else "ok:false" if b'"ok":false' in head else "cut off")
        except OSError as e:
            kind, size = type(e).__name__, 0
        t = time.monotonic() - t0
        with lock:
            if kind is None:
                latencies.append(t)
                moved[0] += size
            else:
                errors[kind] = errors.get(kind, 0) + 1
        if kind is not None:
            time.sleep(0.2)  # as a client would before trying again


def poll_health():
    request = b"GET /health HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n"
    start.wait()
    while time.monotonic() < deadline[0]:
        t0 = time.monotonic()
        try:
            status, _, _, _ = exchange("127.0.0.1" if mode == "one" else "127.0.0.2", request)
        except OSError:
            status = 0
        health.append(time.monotonic() - t0)
        if status != 200:
            health_failed[0] += 1
        time.sleep(0.2)


def pct(values, p):
    v = sorted(values)
    return v[min(len(v) - 1, int(p / 100 * len(v)))] * 1000 if v else float("nan")


def cpu():
    fields = open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def rss(field):
    for line in open(f"/proc/{pid}/status"):
        if line.startswith(field):
            return int(line.split()[1]) // 1024


threads = [threading.Thread(target=store, args=(i, b)) for i, b in enumerate(branches)]
threads.append(threading.Thread(target=poll_health))
for t in threads:
    t.start()
cpu_before = cpu()
began = time.monotonic()
deadline[0] = began + seconds
start.set()
for t in threads:
    t.join()
wall = time.monotonic() - began  # calls under way at the deadline finish and count
server_cpu = cpu() - cpu_before
print(f"stores {len(branches)} ({mode} address{'' if mode == 'one' else 'es'}), {wall:.1f} s: "
      f"{len(latencies)} calls, {len(latencies) / wall:.1f} calls/s, "
      f"{moved[0] / wall / 1e6:.1f} MB/s; p50 {pct(latencies, 50):.0f} ms, "
      f"p99 {pct(latencies, 99):.0f} ms, max {pct(latencies, 100):.0f} ms; errors "
      f"{sum(errors.values())}{' ' + str(errors) if errors else ''}")
print(f"  /health: {len(health)} polls, p50 {pct(health, 50):.1f} ms, p99 {pct(health, 99):.1f} ms, "
      f"max {pct(health, 100):.1f} ms, failed {health_failed[0]}; "
      f"server peak RSS {rss('VmHWM')} MB (now {rss('VmRSS')} MB)")
print(f"  server CPU {server_cpu:.1f} s, {1000 * server_cpu / max(1, len(latencies)):.1f} ms a call; "
      f"client CPU {os.times().user + os.times().system:.1f} s")
