#!/usr/bin/env python3
# The folders' flushes of an export alone: renames every DOTZ file of OUT (a
# dotz-export output folder), then flushes the folders one after another; renames
# again, then flushes them 16 side by side. Usage: bench/cli/dirsync.py OUT
import glob
import os
import sys
import time
from concurrent.futures import ThreadPoolExecutor

root = sys.argv[1]
dirs = sorted(set(os.path.dirname(p) for p in glob.glob(root + '/DOTZ/*/DOTZ/*.txt')))


def rename_all(tag):
    for d in dirs:
        for f in os.listdir(d):
            if f.endswith('.txt'):
                base = f.split('.txt')[0].split('~')[0]
                os.rename(os.path.join(d, f), os.path.join(d, base + '~' + tag + '.txt'))


def sync(d):
    fd = os.open(d, os.O_RDONLY | os.O_DIRECTORY)
    os.fsync(fd)
    os.close(fd)


for rnd in range(3):
    rename_all('a%d' % rnd)
    t = time.time()
    for d in dirs:
        sync(d)
    seq = time.time() - t
    rename_all('b%d' % rnd)
    t = time.time()
    with ThreadPoolExecutor(16) as ex:
        list(ex.map(sync, dirs))
    par = time.time() - t
    print("%d folders: one after another %.3f s, 16 side by side %.3f s" % (len(dirs), seq, par))
