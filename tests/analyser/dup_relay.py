#!/usr/bin/env python3
"""Two fabrics' worth of one RTP stream, as an ST 2022-7 sender puts it on the wire: every packet
received on 127.0.0.1:LISTEN goes out unchanged on leg A and on leg B, with the impairments of a
path made on purpose: packets dropped by sequence number on one leg, one leg's copies held back,
one leg cut for a while. Prints, when stopped (SIGTERM), what it sent as one JSON line: each
leg's count and the median of B's send time minus A's over the packets both carried.

    dup_relay.py LISTEN HOST_A:PORT HOST_B:PORT [--drop-a N:K] [--drop-b N:K]
                 [--delay-b-ms MS] [--cut-a FROM:TO]

--drop-a 50:7 drops every packet whose sequence number is 7 modulo 50 on leg A; --cut-a 3:5
sends nothing on A from 3 s to 5 s after the first packet.
"""
import argparse, heapq, json, select, signal, socket, statistics, struct, sys, time


def address(text):
    host, port = text.rsplit(":", 1)
    return host, int(port)


def rule(text):
    n, k = text.split(":")
    return int(n), int(k)


parser = argparse.ArgumentParser()
parser.add_argument("listen", type=int)
parser.add_argument("a", type=address)
parser.add_argument("b", type=address)
parser.add_argument("--drop-a", type=rule)
parser.add_argument("--drop-b", type=rule)
parser.add_argument("--delay-b-ms", type=float, default=0)
parser.add_argument("--cut-a", type=lambda t: tuple(float(x) for x in t.split(":")))
options = parser.parse_args()

rx = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
rx.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 << 20)
rx.bind(("127.0.0.1", options.listen))
legs = [socket.socket(socket.AF_INET, socket.SOCK_DGRAM) for _ in range(2)]
sent = [0, 0]
times = [{}, {}]  # sequence -> send time, per leg
stopping = False


def stop(*_):
    global stopping
    stopping = True


signal.signal(signal.SIGTERM, stop)
held = []  # (due, order, sequence, packet) for leg B
order = 0
began = None


def send(leg, sequence, packet):
    legs[leg].sendto(packet, options.b if leg else options.a)
    sent[leg] += 1
    if len(times[leg]) < 200000:
        times[leg][sequence] = time.monotonic()


def dropped(drop, sequence):
    return drop is not None and sequence % drop[0] == drop[1]


while not stopping:
    timeout = 0.05
    if held:
        timeout = max(0.0, min(timeout, held[0][0] - time.monotonic()))
    try:
        ready, _, _ = select.select([rx], [], [], timeout)
    except InterruptedError:
        continue
    now = time.monotonic()
    while held and held[0][0] <= now:
        _, _, sequence, packet = heapq.heappop(held)
        send(1, sequence, packet)
    if not ready:
        continue
    packet = rx.recv(9000)
    if len(packet) < 12:
        continue
    sequence = struct.unpack("!H", packet[2:4])[0]
    began = now if began is None else began
    cut = options.cut_a is not None and options.cut_a[0] <= now - began < options.cut_a[1]
    if not dropped(options.drop_a, sequence) and not cut:
        send(0, sequence, packet)
    if not dropped(options.drop_b, sequence):
        if options.delay_b_ms > 0:
            order += 1
            heapq.heappush(held, (now + options.delay_b_ms / 1000, order, sequence, packet))
        else:
            send(1, sequence, packet)

both = [times[1][s] - times[0][s] for s in times[0] if s in times[1]]
print(json.dumps({"sent": sent, "both": len(both),
                  "medianMs": statistics.median(both) * 1000 if both else None}), flush=True)
