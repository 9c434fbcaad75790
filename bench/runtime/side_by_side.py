#!/usr/bin/env python3
"""The built-in runtime and GStreamer's rtpL24pay side by side, in one run, on 127.0.0.1: the same
48 kHz L24 stream (16 channels at 0.125 ms packets, then 8 channels at 1 ms), received by the
project's rtp_timing. For each sender: the deviation of each packet's arrival from its own packet
time (p99; with two legs the worse leg's) and the sender's CPU per second of audio; then both
ratios, and each sender's CPU over the per-packet floor (a bare sleep-to-deadline-and-send loop,
bench/runtime/per_packet_floor.cpp) measured between them.

With LEGS 2 every packet goes on two legs (ST 2022-7): the built-in runtime to two destinations
(LIRAFON_RTP_DESTINATION=A,B), GStreamer through a tee to two udpsinks, the floor with a second
sendto; a receiver on each leg.

    bench/runtime/side_by_side.py [SECONDS=30] [BUILD_DIR=build] [LEGS=1]
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
legs = int(sys.argv[3]) if len(sys.argv) > 3 else 1
root = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
tools = os.path.join(root, build, "bench", "runtime")
# Where the second leg goes, above the first leg's port: clear of our video and RTCP ports.
LEG_OFFSET = 100


def free_port():
    """A port with the second leg's and the floor's ports above it free too."""
    while True:
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            s.bind(("127.0.0.1", 0))
            port = s.getsockname()[1]
        if port + LEG_OFFSET < 65000:
            return port


def measure(command, ports, env=None):
    """Runs the sender while an rtp_timing receives on each port; the worst p99 deviation (us),
    the CPU s, and the receivers' figures."""
    receivers = [subprocess.Popen([os.path.join(tools, "rtp_timing"), str(port), str(seconds)],
                                  stdout=subprocess.PIPE, text=True) for port in ports]
    time.sleep(0.5)
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    subprocess.run(command, env=env, check=False, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    figures = [receiver.communicate()[0].strip() for receiver in receivers]
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    worst = float("nan")
    for text in figures:
        found = re.search(r"from packet time:\s+mean ([\d.]+) us, p99 ([\d.]+) us", text)
        p99 = float(found.group(2)) if found else float("nan")
        worst = p99 if worst != worst or p99 > worst else worst
    return worst, cpu, "\n".join(figures)


for channels, ptime_ns in ((16, 125000), (8, 1000000)):
    port = free_port()
    leg_ports = [port, port + LEG_OFFSET][:legs]
    with tempfile.TemporaryDirectory() as folder:
        env = dict(os.environ, LIRAFON_RTP_DESTINATION=",".join(["127.0.0.1"] * legs),
                   LIRAFON_RTP_PORT=",".join(str(p) for p in leg_ports),
                   LIRAFON_SAP_DESTINATION=f"127.0.0.1:{free_port()}", XDG_RUNTIME_DIR=folder,
                   LIRAFON_PTP="off")
        # The sender runs a little longer than the receiver listens, so no start or end is seen.
        ours = measure([os.path.join(tools, "rtp_send_tone"), str(seconds + 1), str(channels)],
                       leg_ports, env)
    port = free_port()
    leg_ports = [port, port + LEG_OFFSET][:legs]
    sinks = [f"udpsink host=127.0.0.1 port={p} async=false" for p in leg_ports]
    # Two legs: a tee into two sinks on the streaming thread, each packet to one then the other.
    tail = sinks[0] if legs == 1 else f"tee name=t ! {sinks[0]} t. ! {sinks[1]}"
    pipeline = (f"audiotestsrc is-live=true ! audio/x-raw,format=S24BE,rate=48000,"
                f"channels={channels} ! rtpL24pay min-ptime={ptime_ns} max-ptime={ptime_ns} ! "
                + tail)
    theirs = measure(["timeout", "-s", "INT", str(seconds + 1), "gst-launch-1.0", "-q", "-e"]
                     + pipeline.split(), leg_ports)
    # The floor, measured between the two: a bare sleep-to-deadline-and-send loop, what the host
    # charges for the wake-ups and sends alone (its second leg two ports above).
    port = free_port()
    floor = measure([os.path.join(tools, "per_packet_floor"), str(seconds + 1), str(channels),
                     str(ptime_ns // 1000), str(port), str(legs)], [port, port + 2][:legs])
    print(f"--- {channels} channels, {ptime_ns / 1e6:g} ms packets, {seconds} s, {legs} "
          f"leg{'s' if legs > 1 else ''}")
    for name, (p99, cpu, figures) in (("built-in runtime", ours), ("GStreamer rtpL24pay", theirs),
                                      ("per-packet floor", floor)):
        print(f"{name}: p99 {p99:.1f} us from packet time, CPU {cpu / seconds * 1000:.1f} ms "
              f"per s of audio\n    " + figures.replace("\n", "\n    "))
    print(f"ratios ours / GStreamer: p99 {ours[0] / theirs[0]:.2f}, CPU {ours[1] / theirs[1]:.2f}; "
          f"CPU over the floor: ours {ours[1] / floor[1]:.2f}, GStreamer {theirs[1] / floor[1]:.2f}")
