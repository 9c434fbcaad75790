#!/usr/bin/env python3
"""Delay from an API change's answer to the first changed audio packet at a receiver.

Runs the program headless on the built-in runtime to 127.0.0.1, receives its RTP audio on a
socket of its own, and toggles the level between EBU and SMPTE through PATCH /api/settings. For
each change: the time from the answer's arrival to the first packet whose right channel of pair
1-2 peaks at the new level. Prints median and max over the changes.

    python3 bench/control/api_latency.py build/ui/ndi-lirafon [changes]
"""
import json, os, re, select, socket, statistics, subprocess, sys, tempfile, time, urllib.request

program = sys.argv[1]
changes = int(sys.argv[2]) if len(sys.argv) > 2 else 100
CHANNELS = 8
# Peaks in 24-bit counts on the default smpte reference (+4 dBu = -20 dBFS).
PEAK = {"ebu": 0.63095737 * 0.1 * (1 << 23), "smpte": 0.1 * (1 << 23)}

rtp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
rtp.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 8 << 20)
rtp.bind(("127.0.0.1", 0))
port = rtp.getsockname()[1]
env = dict(os.environ, QT_QPA_PLATFORM="offscreen", XDG_RUNTIME_DIR=tempfile.mkdtemp(),
           LIRAFON_NDI_RUNTIME="builtin", LIRAFON_RTP_PORT=str(port),
           LIRAFON_SAP_DESTINATION="127.0.0.1:9")
child = subprocess.Popen([program, "--control-port", "0"], env=env, stderr=subprocess.PIPE,
                         text=True)
base = None
while base is None:
    line = child.stderr.readline()
    found = re.search(r"control panel: (http://127\.0\.0\.1:\d+)/", line)
    base = found.group(1) if found else None


def right_peak(packet):
    payload = packet[12:]
    peak = 0
    for at in range(3, len(payload) - 2, 3 * CHANNELS):  # channel 2 of each sample
        v = int.from_bytes(payload[at:at + 3], "big", signed=True)
        peak = max(peak, abs(v))
    return peak


def drain():
    while select.select([rtp], [], [], 0)[0]:
        rtp.recv(65536)


delays = []
level = "ebu"
time.sleep(1)
for i in range(changes):
    level = "smpte" if level == "ebu" else "ebu"
    drain()
    request = urllib.request.Request(base + "/api/settings", method="PATCH",
                                     data=json.dumps({"level": level}).encode(),
                                     headers={"Content-Type": "application/json"})
    urllib.request.urlopen(request).read()
    answered = time.monotonic()
    while True:
        packet = rtp.recv(65536)
        if abs(right_peak(packet) - PEAK[level]) < 0.02 * PEAK[level]:
            delays.append((time.monotonic() - answered) * 1000)
            break
    time.sleep(0.1)
child.terminate()
child.wait()
print(f"{len(delays)} changes: answer to first changed packet median {statistics.median(delays):.1f} ms,"
      f" p90 {sorted(delays)[int(len(delays) * 0.9)]:.1f} ms, max {max(delays):.1f} ms")
