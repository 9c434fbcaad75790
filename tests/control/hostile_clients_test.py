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
import base64, json, os, socket, struct, subprocess, sys, tempfile, threading, time

program = sys.argv[1]
failures = []
MB = 1 << 20


def check(ok, message):
    if not ok:
        failures.append(message)
    return ok


def free_port(kind=socket.SOCK_DGRAM):
    with socket.socket(socket.AF_INET, kind) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def cpu_s(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def rss_kb(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


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


def request(port, text, body=b"", timeout=5):
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
        s.sendall(text.encode() + body)
        data = b""
        try:
            while True:
                chunk = s.recv(65536)
                if not chunk:
                    break
                data += chunk
        except socket.timeout:
            pass
        return data


def patch(port, body, extra=""):
    data = json.dumps(body).encode()
    return request(port, f"PATCH /api/settings HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\n"
                         f"Content-Type: application/json\r\nContent-Length: {len(data)}\r\n"
                         f"Connection: close\r\n{extra}\r\n", data)


def flood(port, head, limit, result, index, chunked=False):
    """Sends head, then up to `limit` bytes of body; records how much went before the cut."""
    sent = 0
    block = b"x" * (256 * 1024)
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
            s.sendall(head.encode())
            while sent < limit:
                if chunked:
                    s.sendall(b"%x\r\n" % len(block) + block + b"\r\n")
                else:
                    s.sendall(block)
                sent += len(block)
    except OSError:
        pass
    result[index] = sent


def websocket(port, path="/ws"):
    s = socket.create_connection(("127.0.0.1", port), timeout=5)
    key = base64.b64encode(os.urandom(16)).decode()
    s.sendall(f"GET {path} HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\nUpgrade: websocket\r\n"
              f"Connection: Upgrade\r\nSec-WebSocket-Key: {key}\r\n"
              f"Sec-WebSocket-Version: 13\r\n\r\n".encode())
    head = b""
    while b"\r\n\r\n" not in head:
        chunk = s.recv(1)
        if not chunk:
            break
        head += chunk
    return s, head.startswith(b"HTTP/1.1 101")


def read_frame(s):
    """One server frame's (opcode, payload), or None when the connection is gone."""
    def exactly(n):
        data = b""
        while len(data) < n:
            chunk = s.recv(n - len(data))
            if not chunk:
                raise ConnectionError
            data += chunk
        return data
    try:
        first, second = exactly(2)
        length = second & 0x7F
        if length == 126:
            length = struct.unpack("!H", exactly(2))[0]
        elif length == 127:
            length = struct.unpack("!Q", exactly(8))[0]
        return first & 0x0F, exactly(length)
    except (ConnectionError, OSError):
        return None


def closed_within(s, seconds):
    s.settimeout(seconds)
    try:
        while s.recv(65536):
            pass
        return True
    except socket.timeout:
        return False
    except OSError:
        return True


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
    idle = rss_kb(child.pid)

    # Four clients, 256 MB each, all refused early.
    heads = [
        f"POST /api/settings HTTP/1.1\r\nHost: evil.example:{port}\r\nContent-Type: "
        f"application/json\r\nContent-Length: {256 * MB}\r\n\r\n",
        f"PATCH /api/settings HTTP/1.1\r\nHost: evil.example\r\nTransfer-Encoding: chunked\r\n\r\n",
        f"PATCH /api/settings HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\nOrigin: http://evil.example\r\n"
        f"Content-Type: application/json\r\nTransfer-Encoding: chunked\r\n\r\n",
        f"PATCH /api/settings HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\nContent-Type: "
        f"application/json\r\nTransfer-Encoding: chunked\r\n\r\n",
    ]
    sent = [0] * 4
    peak = [idle]
    done = threading.Event()

    def sample():
        while not done.is_set():
            peak[0] = max(peak[0], rss_kb(child.pid))
            time.sleep(0.05)

    threading.Thread(target=sample, daemon=True).start()
    threads = [threading.Thread(target=flood, args=(port, head, 256 * MB, sent, i, i > 0))
               for i, head in enumerate(heads)]
    cpu_before, wall_before = cpu_s(child.pid), time.monotonic()
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=120)
    done.set()
    cpu = cpu_s(child.pid) - cpu_before
    print(f"4 x 256 MB: sent before the cut {[s // 1024 for s in sent]} KiB in "
          f"{time.monotonic() - wall_before:.2f} s; program CPU meanwhile {cpu * 1e3:.0f} ms; RSS "
          f"idle {idle / 1024:.1f} MB, peak {peak[0] / 1024:.1f} MB")
    check(all(s < 64 * MB for s in sent), f"a flood was not cut off early: {sent}")
    check(peak[0] - idle < 48 * 1024, f"RSS grew by {(peak[0] - idle) / 1024:.1f} MB")

    # A 64 MB header line.
    header_sent = [0]
    flood(port, "GET / HTTP/1.1\r\nX-Long: ", 64 * MB, header_sent, 0)
    check(header_sent[0] < 32 * MB, f"a 64 MB header was taken: {header_sent[0]} bytes")
    reply = request(port, "GET /api/state HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nX: %s\r\n\r\n"
                    % (port, "a" * 9000))
    check(reply.startswith(b"HTTP/1.1 431"), f"a 9000-byte header: {reply[:40]!r}")

    # HTTP/1.0 and Connection: close end the connection after the reply.
    for version, extra in (("1.0", ""), ("1.1", "Connection: close\r\n")):
        start_time = time.monotonic()
        reply = request(port, f"GET /api/state HTTP/{version}\r\nHost: 127.0.0.1:{port}\r\n"
                              f"{extra}\r\n", timeout=8)
        check(reply.startswith(f"HTTP/{version} 200".encode()) and
              time.monotonic() - start_time < 5, f"HTTP/{version} {extra.strip()}: not closed")

    # The cap on connections, and the deadlines.
    held = [socket.create_connection(("127.0.0.1", port), timeout=5) for _ in range(70)]
    refused = sum(closed_within(s, 0.5) for s in held[64:])
    half = held[0]
    half.sendall(f"GET /api/state HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\n".encode())
    start_time = time.monotonic()
    remaining = [s for s in held[:64]]
    while remaining and time.monotonic() - start_time < 25:
        remaining = [s for s in remaining if not closed_within(s, 0.05)]
    waited = time.monotonic() - start_time
    print(f"connections: {refused} of 6 beyond the cap refused at once; 64 idle or half-sent "
          f"closed after {waited:.1f} s ({len(remaining)} left)")
    check(refused == 6, f"{refused} of 6 connections beyond the cap were refused")
    check(not remaining, f"{len(remaining)} idle or half-sent connections still open")
    for s in held:
        s.close()
    check(request(port, f"GET /api/state HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\n"
                        "Connection: close\r\n\r\n").startswith(b"HTTP/1.1 200"),
          "the server does not answer after the deadlines")

    # A 64 MB WebSocket message closes that connection only.
    listener, ok1 = websocket(port)
    attacker, ok2 = websocket(port)
    check(ok1 and ok2, "WebSocket upgrade refused")
    read_frame(listener)  # the state on connect
    read_frame(attacker)
    attacker.sendall(bytes([0x81, 0xFF]) + struct.pack("!Q", 64 * MB) + os.urandom(4))
    try:
        for _ in range(64):
            attacker.sendall(b"\0" * MB)
    except OSError:
        pass
    frame = read_frame(attacker)
    check(frame is None or frame[0] == 8, f"the 64 MB message did not close: {frame}")
    patch(port, {"level": "smpte"})
    listener.settimeout(5)
    frame = read_frame(listener)
    check(frame is not None and frame[0] == 1 and b'"level":"smpte"' in frame[1],
          f"the other client missed the push: {frame}")
    listener.close()
    attacker.close()

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
    address = "127.0.0.2"

    def guarded(token):
        with socket.create_connection((address, port), timeout=10) as s:
            s.sendall(f"GET /api/state HTTP/1.1\r\nHost: {address}:{port}\r\nAuthorization: "
                      f"Bearer {token}\r\nConnection: close\r\n\r\n".encode())
            data = b""
            while True:
                chunk = s.recv(65536)
                if not chunk:
                    return data
                data += chunk

    replies = [guarded(f"wrong-{i}") for i in range(20)]
    statuses = [r[9:12] for r in replies]
    locked = guarded("a-long-enough-token; with space")
    wait = int(locked.split(b"Retry-After: ", 1)[1].split(b"\r\n", 1)[0]) \
        if b"Retry-After: " in locked else 0
    time.sleep(wait + 0.5)
    right = guarded("a-long-enough-token; with space")
    print(f"20 wrong tokens: {statuses.count(b'401')} answered 401, then "
          f"{statuses.count(b'429')} 429; the right one during the lockout: {locked[9:12]} "
          f"(Retry-After {wait} s), after it: {right[9:12]}")
    check(statuses[:4] == [b"401"] * 4 and statuses[-1] == b"429",
          f"wrong tokens are not slowed down: {statuses}")
    check(locked[9:12] == b"429" and 0 < wait <= 300, "the lockout does not hold every token")
    check(right[9:12] == b"200", f"the right token after the lockout: {right[:40]!r}")
finally:
    child.terminate()
    child.wait(timeout=15)

for failure in failures:
    print("FAIL:", failure)
print(f"{0 if failures else 1} passed, {1 if failures else 0} failed")
sys.exit(1 if failures else 0)
