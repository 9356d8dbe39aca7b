#!/usr/bin/env python3
# Summarises a `perf trace -T` of one dotz-export run of the big day (tail.sh):
# times are from the reply's last byte, the end of the last read on the socket.
import re
import sys

events = []  # (start s, duration s, thread, call)
for line in open(sys.argv[1]):
    m = re.match(r'\s*(\d+\.\d+) \(\s*([\d.]*)\s*(?:ms)?\): \S+/(\d+)\s+(.*)$', line)
    if m:
        events.append((float(m.group(1)) / 1000, float(m.group(2) or 0) / 1000,
                       int(m.group(3)), m.group(4)))
start = events[0][0]
end = max(e[0] for e in events if e[3].startswith('exit_group'))
# The socket is the descriptor most read from.
reads = {}
for e in events:
    m = re.match(r'(?:recvfrom|read)\(fd: (\d+)', e[3])
    if m:
        reads[m.group(1)] = reads.get(m.group(1), 0) + 1
sock = max(reads, key=reads.get)
net = [e for e in events if re.match(r'(?:recvfrom|read)\(fd: %s,' % sock, e[3])]
last = max(e[0] + e[1] for e in net)


def ends(es):
    return max(e[0] + e[1] for e in es)


creates = [e for e in events if 'CREAT|EXCL' in e[3]]
renames = [e for e in events if e[3].startswith('rename')]
folders = [e for e in events if 'DIRECTORY' in e[3] and 'NONBLOCK' not in e[3]]
print("start -> last byte %.3f s; last byte -> end %.3f s; %d reads of the reply"
      % (last - start, end - last, len(net)))
rows = [("first file created", creates and creates[0][0]),
        ("first file in place (the day passed its checks)", renames and renames[0][0]),
        ("last file created", creates and ends(creates)),
        ("last file in place", renames and ends(renames)),
        ("folders flushed (%d), first" % len(folders), folders and folders[0][0]),
        ("folders flushed, last", folders and ends(folders)),
        ("end", end)]
for name, t in rows:
    print("  %-52s %s" % (name, "%+.3f s" % (t - last) if t else "-"))
print("  files created before the last byte: %d of %d"
      % (sum(1 for e in creates if e[0] < last), len(creates)))
