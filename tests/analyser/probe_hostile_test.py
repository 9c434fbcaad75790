#!/usr/bin/env python3
"""The probe's port against hostile clients, from raw sockets on 127.0.0.1, while the probe
judges the generator's live stream: the control server's batteries pointed at the probe (floods
of body and header, the connection cap and deadlines, HTTP/1.0, a 64 MB WebSocket message, a
viewer that never reads) and guessed tokens where a token is set. The judging never
stalls meanwhile: not a packet lost or late, no dropout, no input gone, every second of audio
judged, and the live page still pushed to a well-behaved viewer.

    probe_hostile_test.py LIRAFON_CHECK PROGRAM
"""
import json, os, re, socket, subprocess, sys, tempfile, threading, time

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, here)
sys.path.insert(0, os.path.join(here, "..", "http"))
from hostile_clients import (MB, connection_cap, connection_endings, floods, get,  # noqa: E402
                             giant_websocket_message, guessed_tokens, header_limits,
                             read_frame, request, websocket)
from live_generator import Generator  # noqa: E402

check_program, program = sys.argv[1:3]
failures = []


def check(ok, message):
    if not ok:
        failures.append(message)
    return ok


def start_probe(sdp, address="127.0.0.1", token=None):
    env = dict(os.environ)
    env.pop("LIRAFON_CHECK_TOKEN", None)
    if token is not None:
        env["LIRAFON_CHECK_TOKEN"] = token
    probe = subprocess.Popen([check_program, "--monitor", "--listen", f"{address}:0",
                              "--alarms", "raise=1,clear=2", sdp], env=env,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    for line in probe.stderr:
        found = re.search(r"live page at http://[^:]+:(\d+)/", line)
        if found:
            threading.Thread(target=probe.stderr.read, daemon=True).start()
            return probe, int(found.group(1))
    return probe, None


def metric(port, name):
    """The value of a per-input metric, or None."""
    reply = get(port, "/metrics")
    found = re.search(rb"^" + name.encode() + rb"\{[^}]*\} (\S+)$", reply, re.M)
    return float(found.group(1)) if found else None


folder = tempfile.mkdtemp(prefix="lirafon-probe-hostile-")
generator = Generator(program, folder)
probe, port = start_probe(generator.sdp)
if port is None:
    print("FAIL: the probe did not start")
    generator.stop()
    sys.exit(1)
events = []
threading.Thread(target=lambda: events.extend(json.loads(l) for l in probe.stdout), daemon=True).start()
try:
    time.sleep(3)
    received_before = metric(port, "lirafon_rtp_packets_received_total")
    started = time.monotonic()
    # A viewer that reads every push, counting them, and one that opens the page and never
    # reads: the server must not hold what it cannot send for ever, nor wait for it.
    viewer, ok = websocket(port)
    check(ok, "the live page's WebSocket was refused")
    pushes = [0]
    viewer_done = threading.Event()

    def watch():
        viewer.settimeout(5)
        while not viewer_done.is_set():
            frame = read_frame(viewer)
            if frame is None:
                break
            pushes[0] += 1

    threading.Thread(target=watch, daemon=True).start()
    stalled, _ = websocket(port)
    stalled.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)

    floods(port, probe.pid, [
        f"POST /metrics HTTP/1.1\r\nHost: evil.example:{port}\r\nContent-Length: {256 * MB}\r\n\r\n",
        "POST / HTTP/1.1\r\nHost: evil.example\r\nTransfer-Encoding: chunked\r\n\r\n",
        f"GET /metrics HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\nOrigin: http://evil.example\r\n"
        f"Transfer-Encoding: chunked\r\n\r\n",
        f"PUT /metrics HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\nTransfer-Encoding: chunked\r\n\r\n",
    ], check)
    header_limits(port, "/metrics", check)
    connection_endings(port, "/metrics", check)
    connection_cap(port, "/metrics", check)
    giant_websocket_message(port, check, lambda: None,
                            lambda payload: payload.startswith(b'{"inputs":['))
    # A forged Host (DNS rebinding) gets nothing.
    answer = request(port, "GET /metrics HTTP/1.1\r\nHost: evil.example\r\n"
                           "Connection: close\r\n\r\n")
    check(answer[9:12] in (b"421", b"403") and b"lirafon_" not in answer,
          f"a forged Host was answered: {answer[:60]!r}")

    elapsed = time.monotonic() - started
    counted = pushes[0]
    viewer_done.set()
    time.sleep(1.5)
    received_after = metric(port, "lirafon_rtp_packets_received_total")
    lost = metric(port, "lirafon_rtp_packets_lost_total")
    late = metric(port, "lirafon_rtp_packets_late_total")
    rate = (received_after - received_before) / (elapsed + 1.5)
    print(f"while attacked for {elapsed:.1f} s: {received_after - received_before:.0f} packets "
          f"judged ({rate:.0f} a second), {lost:.0f} lost, {late:.0f} late; the viewer got "
          f"{counted} pushes ({counted / elapsed:.1f} a second)")
    check(lost == 0 and late == 0, f"packets lost {lost}, late {late} while attacked")
    # 8 channels of 24 bits in 1 ms packets: a thousand a second.
    check(rate > 950, f"only {rate:.0f} packets a second judged while attacked")
    check(counted / elapsed >= 5, f"the viewer got {counted} pushes in {elapsed:.1f} s")
    stalled.close()
    viewer.close()
finally:
    probe.terminate()
    status = probe.wait(timeout=15)
    check(status == 0, f"the probe exited {status} after SIGTERM")
broken = [e for e in events if e["alarm"] in
          ("packet loss", "late packets", "dropout", "input gone", "no tone", "tone missing")]
print(f"events while attacked: {[(e['event'], e['alarm']) for e in events]}")
check(not broken, f"the judging stalled: {broken}")

# With a token (needed on any address but loopback's), guessed tokens are slowed down.
token = "a-long-enough-probe-token"
probe, port = start_probe(generator.sdp, "127.0.0.2", token)
try:
    check(port is not None, "the probe did not start on 127.0.0.2 with a token")
    if port is not None:
        guessed_tokens("127.0.0.2", port, "/metrics", token, check)
finally:
    probe.terminate()
    probe.wait(timeout=15)
    generator.stop()

for failure in failures:
    print("FAIL:", failure)
print(f"{0 if failures else 1} passed, {1 if failures else 0} failed")
sys.exit(1 if failures else 0)
