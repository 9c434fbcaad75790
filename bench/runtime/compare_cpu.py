#!/usr/bin/env python3
"""CPU cost of the same 16-channel 48 kHz L24 stream (0.125 ms packets) sent for 30 s to
127.0.0.1 by the built-in runtime and by GStreamer's rtpL24pay, in one run.

    bench/runtime/compare_cpu.py [SECONDS=30] [BUILD_DIR=build]

Prints the CPU seconds (user + system) each sender used per second of audio, and their ratio.
Both send to one bound but unread socket, so neither pays for ICMP errors or a receiver.
"""
import os
import resource
import socket
import subprocess
import sys
import tempfile

seconds = int(sys.argv[1]) if len(sys.argv) > 1 else 30
build = sys.argv[2] if len(sys.argv) > 2 else "build"
root = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
sender = os.path.join(root, build, "bench", "runtime", "rtp_send_tone")

sink = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
sink.bind(("127.0.0.1", 0))
port = sink.getsockname()[1]


def cpu_of(command, env=None):
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    subprocess.run(command, env=env, check=False, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)


with tempfile.TemporaryDirectory() as folder:
    env = dict(os.environ, LIRAFON_RTP_DESTINATION="127.0.0.1", LIRAFON_RTP_PORT=str(port),
               LIRAFON_SAP_DESTINATION=f"127.0.0.1:{port}", XDG_RUNTIME_DIR=folder)
    ours = cpu_of([sender, str(seconds), "16"], env)

pipeline = ("audiotestsrc is-live=true ! audio/x-raw,format=S24BE,rate=48000,channels=16 ! "
            "rtpL24pay min-ptime=125000 max-ptime=125000 ! "
            f"udpsink host=127.0.0.1 port={port}")
theirs = cpu_of(["timeout", "-s", "INT", str(seconds), "gst-launch-1.0", "-q", "-e"] + pipeline.split())

print(f"built-in runtime: {ours:.3f} CPU s in {seconds} s = {ours / seconds * 1000:.2f} ms per s of audio")
print(f"GStreamer rtpL24pay: {theirs:.3f} CPU s in {seconds} s = {theirs / seconds * 1000:.2f} ms per s of audio")
print(f"ratio ours / GStreamer: {ours / theirs:.2f}" if theirs > 0 else "GStreamer used no CPU time")
