#!/usr/bin/env python3
"""Receives what a soak run's program sends besides the timed audio: its video on one port and its
SAP messages on another, both on 127.0.0.1, so nothing is refused with ICMP. On SIGTERM it prints
one line: video packets and bytes, SAP announcements and deletions.
    sink.py VIDEO_PORT SAP_PORT
"""
import select
import signal
import socket
import sys


def main():
    video_port, sap_port = int(sys.argv[1]), int(sys.argv[2])
    sockets = {}
    for name, port in (("video", video_port), ("sap", sap_port)):
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 8 << 20)
        s.bind(("127.0.0.1", port))
        s.setblocking(False)
        sockets[s] = name
    stop = []
    signal.signal(signal.SIGTERM, lambda *_: stop.append(True))
    video_packets = video_bytes = announcements = deletions = 0
    while not stop:
        try:
            ready, _, _ = select.select(list(sockets), [], [], 0.5)
        except InterruptedError:
            continue
        for s in ready:
            while True:
                try:
                    data = s.recv(65536)
                except BlockingIOError:
                    break
                if sockets[s] == "video":
                    video_packets += 1
                    video_bytes += len(data)
                elif data:
                    # SAP header: version 1 in the top three bits, T (deletion) is bit 2.
                    if data[0] & 0x04:
                        deletions += 1
                    else:
                        announcements += 1
    print(f"video packets {video_packets}, bytes {video_bytes}; "
          f"SAP announcements {announcements}, deletions {deletions}", flush=True)


if __name__ == "__main__":
    main()
