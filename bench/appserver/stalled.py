#!/usr/bin/env python3
"""Stalled readers against a running krt-appserver: N connections that each ask
GetPrincipal("T", DAY) and read nothing (one address, or one each from
127.0.0.2 on), then for SECONDS a normal call of branch '0001' and a GET /health
every half second, each timed; the server's peak RSS and its spool files
(unlinked temporaries among its descriptors) while they stall and after they close.
Usage: stalled.py PORT SERVER_PID DAY N SECONDS one|many"""
import json, os, socket, sys, time, urllib.request

port, pid, day, n, seconds, mode = (int(sys.argv[1]), int(sys.argv[2]), sys.argv[3],
                                    int(sys.argv[4]), float(sys.argv[5]), sys.argv[6])
url = f"http://127.0.0.1:{port}"

def body(selector):
    return json.dumps({"jsonrpc": "2.0", "id": 1, "method": "GetPrincipal",
                       "params": [selector, day]}).encode()

def rss_kb():
    for line in open(f"/proc/{pid}/status"):
        if line.startswith("VmRSS"):
            return int(line.split()[1])

def spool_files():
    count = 0
    for fd in os.listdir(f"/proc/{pid}/fd"):
        try:
            target = os.readlink(f"/proc/{pid}/fd/{fd}")
        except OSError:
            continue
        count += target.endswith("(deleted)")
    return count

stalled = []
for i in range(n):
    s = socket.socket()
    s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    # The normal calls come from 127.0.0.1, so the per-address cap spares them.
    s.bind((f"127.0.0.{2 + i}" if mode == "many" else "127.0.0.2", 0))
    s.connect(("127.0.0.1", port))
    b = body("T")
    s.sendall(b"POST /rpc/Krt52410.rdmExportaDotz HTTP/1.1\r\nHost: x\r\nContent-Length: "
              + str(len(b)).encode() + b"\r\n\r\n" + b)
    stalled.append(s)
time.sleep(1)
worst = {"call": 0.0, "health": 0.0}
failed = {"call": 0, "health": 0}
peak = rss_kb()
files = 0
end = time.time() + seconds
while time.time() < end:
    for kind in ("call", "health"):
        t = time.time()
        try:
            req = (urllib.request.Request(url + "/rpc/Krt52410.rdmExportaDotz", body("'0001'"))
                   if kind == "call" else urllib.request.Request(url + "/health"))
            with urllib.request.urlopen(req, timeout=10) as r:
                r.read()
                ok = r.status == 200
        except Exception:
            ok = False
        took = time.time() - t
        worst[kind] = max(worst[kind], took)
        failed[kind] += (not ok) or took > 1.0
    peak = max(peak, rss_kb())
    files = max(files, spool_files())
    time.sleep(0.5)
for s in stalled:
    s.close()
closed = time.time()
while spool_files() and time.time() < closed + 60:
    time.sleep(0.2)
print(f"{n} stalled readers ({mode} address{'es' if mode == 'many' else ''}), {seconds:.0f} s: "
      f"slowest normal call {worst['call']:.3f} s, slowest /health {worst['health']:.3f} s, "
      f"over 1 s or failed: {failed['call']} calls, {failed['health']} health; "
      f"server peak RSS {peak / 1024:.0f} MB; spool files while stalled {files}, "
      f"after they closed {spool_files()} (within {time.time() - closed:.1f} s)")
