#!/usr/bin/env python3
"""The built-in runtime and GStreamer's rtpL24pay side by side, in one run, on 127.0.0.1: the same
48 kHz L24 stream (16 channels at 0.125 ms packets, then 8 channels at 1 ms), received by the
project's rtp_timing. For each sender: the deviation of each packet's arrival from its own packet
time (p99) and the sender's CPU per second of audio; then both ratios, and each sender's CPU over
the per-packet floor (a bare sleep-to-deadline-and-send loop, bench/runtime/per_packet_floor.cpp)
measured between them.

    bench/runtime/side_by_side.py [SECONDS=30] [BUILD_DIR=build]
"""
import os
import re
import resource
import socket
import subprocess
import sys
import tempfile
import time

seconds = int(sys.argv[1]) if len(sys.argv) > 1 else 30
build = sys.argv[2] if len(sys.argv) > 2 else "build"
root = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
tools = os.path.join(root, build, "bench", "runtime")


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def measure(command, port, env=None):
    """Runs the sender while rtp_timing receives; its p99 deviation (us) and CPU s."""
    receiver = subprocess.Popen([os.path.join(tools, "rtp_timing"), str(port), str(seconds)],
                                stdout=subprocess.PIPE, text=True)
    time.sleep(0.5)
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    subprocess.run(command, env=env, check=False, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    figures = receiver.communicate()[0]
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    found = re.search(r"from packet time:\s+mean ([\d.]+) us, p99 ([\d.]+) us", figures)
    return (float(found.group(2)) if found else float("nan")), cpu, figures.strip()


for channels, ptime_ns in ((16, 125000), (8, 1000000)):
    port = free_port()
    with tempfile.TemporaryDirectory() as folder:
        env = dict(os.environ, LIRAFON_RTP_DESTINATION="127.0.0.1", LIRAFON_RTP_PORT=str(port),
                   LIRAFON_SAP_DESTINATION=f"127.0.0.1:{free_port()}", XDG_RUNTIME_DIR=folder,
                   LIRAFON_PTP="off")
        # The sender runs a little longer than the receiver listens, so no start or end is seen.
        ours = measure([os.path.join(tools, "rtp_send_tone"), str(seconds + 1), str(channels)],
                       port, env)
    port = free_port()
    pipeline = (f"audiotestsrc is-live=true ! audio/x-raw,format=S24BE,rate=48000,"
                f"channels={channels} ! rtpL24pay min-ptime={ptime_ns} max-ptime={ptime_ns} ! "
                f"udpsink host=127.0.0.1 port={port}")
    theirs = measure(["timeout", "-s", "INT", str(seconds + 1), "gst-launch-1.0", "-q", "-e"]
                     + pipeline.split(), port)
    # The floor, measured between the two: a bare sleep-to-deadline-and-send loop, what the host
    # charges for the wake-ups and sends alone.
    port = free_port()
    floor = measure([os.path.join(tools, "per_packet_floor"), str(seconds + 1), str(channels),
                     str(ptime_ns // 1000), str(port)], port)
    print(f"--- {channels} channels, {ptime_ns / 1e6:g} ms packets, {seconds} s")
    for name, (p99, cpu, figures) in (("built-in runtime", ours), ("GStreamer rtpL24pay", theirs),
                                      ("per-packet floor", floor)):
        print(f"{name}: p99 {p99:.1f} us from packet time, CPU {cpu / seconds * 1000:.1f} ms "
              f"per s of audio\n    " + figures.replace("\n", "\n    "))
    print(f"ratios ours / GStreamer: p99 {ours[0] / theirs[0]:.2f}, CPU {ours[1] / theirs[1]:.2f}; "
          f"CPU over the floor: ours {ours[1] / floor[1]:.2f}, GStreamer {theirs[1] / floor[1]:.2f}")
