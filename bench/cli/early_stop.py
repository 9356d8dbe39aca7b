#!/usr/bin/env python3
"""SIGTERM to dotz-export at a random moment within its first SECONDS (default
0.005) after it is started, N times, against a port where nothing listens: how
many runs ended by the signal's default action (no message) and how many ended
as a stop or with their own failure.
Usage: bench/cli/early_stop.py DOTZ_EXPORT N [SECONDS]"""
import random, signal, subprocess, sys, time

exe, n = sys.argv[1], int(sys.argv[2])
window = float(sys.argv[3]) if len(sys.argv) > 3 else 0.005
killed = 0
codes = {}
for _ in range(n):
    p = subprocess.Popen([exe, "--config", "/dev/null", "--server", "127.0.0.1:9",
                          "--drive", "C=/tmp", "--from", "2024-03-15", "--to", "2024-03-15"],
                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    time.sleep(random.uniform(0, window))
    p.send_signal(signal.SIGTERM)
    p.wait()
    if p.returncode < 0:
        killed += 1
    else:
        codes[p.returncode] = codes.get(p.returncode, 0) + 1
print(f"{n} runs, SIGTERM within {window * 1000:.1f} ms: ended by the default action {killed}, "
      f"ended on their own {n - killed} (exit statuses {codes})")
