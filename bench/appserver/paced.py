#!/usr/bin/env python3
"""One reader of GetPrincipal("T", DAY) that takes RATE bytes a second (from its
own loopback address): prints what it got, how long it took and whether the
reply came whole or the server cut it off.
Usage: paced.py PORT DAY RATE FROM"""
import json, socket, sys, time

port, day, rate, source = int(sys.argv[1]), sys.argv[2], int(sys.argv[3]), sys.argv[4]
body = json.dumps({"jsonrpc": "2.0", "id": 1, "method": "GetPrincipal",
                   "params": ["T", day]}).encode()
s = socket.socket()
s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 16384)
s.bind((source, 0))
s.connect(("127.0.0.1", port))
s.sendall(b"POST /rpc/Krt52410.rdmExportaDotz HTTP/1.1\r\nHost: x\r\nConnection: close\r\n"
          b"Content-Length: " + str(len(body)).encode() + b"\r\n\r\n" + body)
start = time.time()
got = bytearray()
step = max(1024, rate // 20)
while True:
    try:
        piece = s.recv(step)
    except ConnectionResetError:
        break
    if not piece:
        break
    got += piece
    behind = len(got) / rate - (time.time() - start)
    if behind > 0:
        time.sleep(behind)
whole = bytes(got).endswith(b"]}]}}\r\n0\r\n\r\n")
print(f"reader at {rate} B/s: {len(got)} bytes in {time.time() - start:.1f} s, "
      f"{'the whole reply' if whole else 'cut off by the server'}")
