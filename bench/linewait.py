#!/usr/bin/env python3
"""Watches a log file and measures how long each line took to be written.

    linewait.py FILE IDLE HOST=SENT...

Reads FILE every millisecond from where it left off.  Each line
"Mmm dd hh:mm:ss HOST bench seq=N t=MICROS ..." (loadgen -t) gets two waits:
written, the time the line was first seen in the file minus its send time
(an upper bound of the real wait, within about 1 ms plus any delay of this
process), and stamp, the daemon's stamp (UTC, whole seconds) plus one
second minus its send time (an upper bound good to one second).  Ends once
every sent line is there, or nothing new came for IDLE seconds after the
first line, and prints per sender: sent, lost (sequence numbers missing),
the longest waits.
"""
import calendar
import os
import sys
import time

path, idle = sys.argv[1], float(sys.argv[2])
sent = {h: int(n) for h, n in (a.split("=") for a in sys.argv[3:])}
seen = {h: set() for h in sent}
wait = {h: 0.0 for h in sent}
stampwait = {h: 0.0 for h in sent}
stamps = {}

while not os.path.exists(path):
    time.sleep(0.001)
fd = os.open(path, os.O_RDONLY)
print("watching", path, flush=True)
rest = b""
last = None
while True:
    data = os.read(fd, 1 << 20)
    now = time.time()
    if not data:
        if last is not None and now - last > idle:
            break
        time.sleep(0.001)
        continue
    last = now
    lines = (rest + data).split(b"\n")
    rest = lines.pop()
    for line in lines:
        f = line.split(b" ")
        if len(f) < 8 or not f[6].startswith(b"t=") or f[3].decode() not in seen:
            continue
        host = f[3].decode()
        sendtime = int(f[6][2:]) / 1e6
        seen[host].add(f[5])
        wait[host] = max(wait[host], now - sendtime)
        stamp = b" ".join(f[0:3])
        if stamp not in stamps:
            year = time.gmtime(sendtime).tm_year
            t = time.strptime(f"{year} {stamp.decode()}", "%Y %b %d %H:%M:%S")
            stamps[stamp] = calendar.timegm(t)
        stampwait[host] = max(stampwait[host], stamps[stamp] + 1 - sendtime)
    if sum(len(s) for s in seen.values()) >= sum(sent.values()):
        break

print(f"{'sender':<12} {'sent':>7} {'lost':>7} {'max wait written':>17} {'by stamp':>9}")
for h in sent:
    print(f"{h:<12} {sent[h]:>7} {sent[h] - len(seen[h]):>7} "
          f"{wait[h] * 1000:>14.1f} ms {stampwait[h]:>7.1f} s")
