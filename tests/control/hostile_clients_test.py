#!/usr/bin/env python3
"""The control server against hostile clients, from raw sockets on 127.0.0.1, while the tone is
received and every packet counted. Checked: four clients sending 256 MB each (a foreign Host with
and without a length, a foreign Origin, a body beyond the limit) are cut off early and the
program's memory stays near its idle size; a 64 MB header line is cut off; HTTP/1.0 and
"Connection: close" are honoured; connections beyond the cap are refused at once, and idle and
half-sent ones are closed by the deadlines; a 64 MB WebSocket message closes that connection
while another client still gets the next push; two clients changing different pairs at the same
moment both keep their change; wrong tokens are slowed down while the right one still works; a
short token stops the start. Not one audio packet may be lost meanwhile.

    hostile_clients_test.py PROGRAM
"""
import json, os, socket, struct, subprocess, sys, tempfile, threading, time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "http"))
from hostile_clients import (MB, connection_cap, connection_endings, floods,  # noqa: E402
                             giant_websocket_message, guessed_tokens, header_limits, request)

program = sys.argv[1]
failures = []


def check(ok, message):
    if not ok:
        failures.append(message)
    return ok


def free_port(kind=socket.SOCK_DGRAM):
    with socket.socket(socket.AF_INET, kind) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Audio:
    """Every audio packet of the program, counted by sequence number."""

    def __init__(self, port):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 8 * MB)
        self.sock.bind(("127.0.0.1", port))
        self.sock.settimeout(0.5)
        self.packets = self.lost = 0
        self.last = None
        self.stop = threading.Event()
        threading.Thread(target=self.run, daemon=True).start()

    def run(self):
        while not self.stop.is_set():
            try:
                packet = self.sock.recv(2048)
            except socket.timeout:
                continue
            sequence = struct.unpack("!H", packet[2:4])[0]
            if self.last is not None:
                self.lost += (sequence - self.last - 1) % 65536
            self.last = sequence
            self.packets += 1


def start(extra_env=None, args=()):
    folder = tempfile.mkdtemp(prefix="lirafon-hostile-")
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen", XDG_RUNTIME_DIR=folder,
               LIRAFON_NDI_RUNTIME="builtin", LIRAFON_RTP_PORT=str(free_port()),
               LIRAFON_SAP_DESTINATION=f"127.0.0.1:{free_port()}", LIRAFON_PTP="off",
               LIRAFON_CONTROL_PORT="0")
    env.update(extra_env or {})
    child = subprocess.Popen([program, *args], env=env, stdout=subprocess.DEVNULL,
                             stderr=subprocess.PIPE, text=True)
    return child, env


def wait_for_panel(child):
    said = []
    end = time.monotonic() + 30
    while time.monotonic() < end:
        line = child.stderr.readline()
        if not line:
            break
        said.append(line)
        if "control panel: http://" in line:
            threading.Thread(target=child.stderr.read, daemon=True).start()
            return int(line.rstrip().rstrip("/").rsplit(":", 1)[1]), said
    return None, said


def patch(port, body, extra=""):
    data = json.dumps(body).encode()
    return request(port, f"PATCH /api/settings HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\n"
                         f"Content-Type: application/json\r\nContent-Length: {len(data)}\r\n"
                         f"Connection: close\r\n{extra}\r\n", data)


# A short token stops the start, with one line and status 2.
child, _ = start({"LIRAFON_CONTROL_ADDRESS": "127.0.0.2", "LIRAFON_CONTROL_TOKEN": "short"})
out = child.communicate(timeout=30)[1]
check(child.returncode == 2 and len(out.strip().splitlines()) == 1 and "16" in out,
      f"a 5-character token: exit {child.returncode}, said {out!r}")
print(f"short token: exit {child.returncode}: {out.strip()}")

child, env = start()
port, said = wait_for_panel(child)
if port is None:
    print("FAIL: the program did not start:", "".join(said))
    child.kill()
    sys.exit(1)
audio = Audio(int(env["LIRAFON_RTP_PORT"]))
try:
    time.sleep(1.5)
    # Four clients, 256 MB each, all refused early.
    floods(port, child.pid, [
        f"POST /api/settings HTTP/1.1\r\nHost: evil.example:{port}\r\nContent-Type: "
        f"application/json\r\nContent-Length: {256 * MB}\r\n\r\n",
        f"PATCH /api/settings HTTP/1.1\r\nHost: evil.example\r\nTransfer-Encoding: chunked\r\n\r\n",
        f"PATCH /api/settings HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\nOrigin: http://evil.example\r\n"
        f"Content-Type: application/json\r\nTransfer-Encoding: chunked\r\n\r\n",
        f"PATCH /api/settings HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\nContent-Type: "
        f"application/json\r\nTransfer-Encoding: chunked\r\n\r\n",
    ], check)
    header_limits(port, "/api/state", check)
    connection_endings(port, "/api/state", check)
    connection_cap(port, "/api/state", check)
    # A 64 MB WebSocket message closes that connection only: the other gets the next change.
    giant_websocket_message(port, check, lambda: patch(port, {"level": "smpte"}),
                            lambda payload: b'"level":"smpte"' in payload)

    # Two clients changing different pairs at the same moment both keep their change.
    patch(port, {"pairs": "1-2"})
    barrier = threading.Barrier(2)
    replies = [None, None]

    def change(i, pair):
        barrier.wait()
        replies[i] = patch(port, {"pairs": {pair: True}})

    racers = [threading.Thread(target=change, args=(0, "3-4")),
              threading.Thread(target=change, args=(1, "9-10"))]
    for t in racers:
        t.start()
    for t in racers:
        t.join()
    state = request(port, f"GET /api/state HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\n"
                          "Connection: close\r\n\r\n")
    body = json.loads(state.split(b"\r\n\r\n", 1)[1] or b"{}")
    check(body.get("pairs") == "1-2,3-4,9-10", f"pairs after two changes: {body.get('pairs')}")
    print(f"two pair changes at once: {body.get('pairs')}")
finally:
    time.sleep(0.5)
    audio.stop.set()
    child.terminate()
    child.wait(timeout=15)

print(f"audio: {audio.packets} packets received, {audio.lost} lost")
check(audio.packets > 1000 and audio.lost == 0, f"{audio.lost} audio packets lost")

# Guessing the token is slowed; the right token still works.
child, env = start({"LIRAFON_CONTROL_ADDRESS": "127.0.0.2",
                    "LIRAFON_CONTROL_TOKEN": "a-long-enough-token; with space"})
port, said = wait_for_panel(child)
try:
    guessed_tokens("127.0.0.2", port, "/api/state", "a-long-enough-token; with space", check)
finally:
    child.terminate()
    child.wait(timeout=15)

for failure in failures:
    print("FAIL:", failure)
print(f"{0 if failures else 1} passed, {1 if failures else 0} failed")
sys.exit(1 if failures else 0)
