"""Hostile clients on raw sockets against any of this project's HTTP servers (the generator's
control panel, the probe's metrics and page): floods of body and header, the connection cap and
the deadlines, HTTP/1.0 and "Connection: close", a giant WebSocket message, and guessed tokens.
Each battery takes `check(ok, message)` and a path the server answers with 200 on GET."""
import base64, os, socket, struct, threading, time

MB = 1 << 20


def rss_kb(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def cpu_s(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def request(port, text, body=b"", timeout=5, address="127.0.0.1"):
    with socket.create_connection((address, port), timeout=timeout) as s:
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


def get(port, path, extra="", address="127.0.0.1"):
    return request(port, f"GET {path} HTTP/1.1\r\nHost: {address}:{port}\r\n{extra}"
                         "Connection: close\r\n\r\n", address=address)


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


def pong(s, payload):
    """A pong for a server's ping, masked as a client's frames must be (a zero mask)."""
    s.sendall(bytes([0x8A, 0x80 | len(payload)]) + b"\0\0\0\0" + payload)


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


def floods(port, pid, heads, check):
    """Each head followed by 256 MB of body (chunked for all but the first), at once: every one
    cut off early and the server's memory near its idle size."""
    idle = rss_kb(pid)
    sent = [0] * len(heads)
    peak = [idle]
    done = threading.Event()

    def sample():
        while not done.is_set():
            peak[0] = max(peak[0], rss_kb(pid))
            time.sleep(0.05)

    threading.Thread(target=sample, daemon=True).start()
    threads = [threading.Thread(target=flood, args=(port, head, 256 * MB, sent, i, i > 0))
               for i, head in enumerate(heads)]
    cpu_before, wall_before = cpu_s(pid), time.monotonic()
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=120)
    done.set()
    cpu = cpu_s(pid) - cpu_before
    print(f"{len(heads)} x 256 MB: sent before the cut {[s // 1024 for s in sent]} KiB in "
          f"{time.monotonic() - wall_before:.2f} s; server CPU meanwhile {cpu * 1e3:.0f} ms; RSS "
          f"idle {idle / 1024:.1f} MB, peak {peak[0] / 1024:.1f} MB")
    check(all(s < 64 * MB for s in sent), f"a flood was not cut off early: {sent}")
    check(peak[0] - idle < 48 * 1024, f"RSS grew by {(peak[0] - idle) / 1024:.1f} MB")


def header_limits(port, path, check):
    """A 64 MB header line is cut off; a 9000-byte header is refused with 431."""
    header_sent = [0]
    flood(port, "GET / HTTP/1.1\r\nX-Long: ", 64 * MB, header_sent, 0)
    check(header_sent[0] < 32 * MB, f"a 64 MB header was taken: {header_sent[0]} bytes")
    reply = request(port, "GET %s HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nX: %s\r\n\r\n"
                    % (path, port, "a" * 9000))
    check(reply.startswith(b"HTTP/1.1 431"), f"a 9000-byte header: {reply[:40]!r}")


def connection_endings(port, path, check):
    """HTTP/1.0 and "Connection: close" end the connection after the reply."""
    for version, extra in (("1.0", ""), ("1.1", "Connection: close\r\n")):
        start_time = time.monotonic()
        reply = request(port, f"GET {path} HTTP/{version}\r\nHost: 127.0.0.1:{port}\r\n"
                              f"{extra}\r\n", timeout=8)
        check(reply.startswith(f"HTTP/{version} 200".encode()) and
              time.monotonic() - start_time < 5, f"HTTP/{version} {extra.strip()}: not closed")


def connection_cap(port, path, check):
    """70 connections: the 6 beyond the cap of 64 refused at once, the idle and half-sent ones
    closed by the deadlines, and the server answering afterwards."""
    held = [socket.create_connection(("127.0.0.1", port), timeout=5) for _ in range(70)]
    refused = sum(closed_within(s, 0.5) for s in held[64:])
    half = held[0]
    half.sendall(f"GET {path} HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\n".encode())
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
    check(get(port, path).startswith(b"HTTP/1.1 200"),
          "the server does not answer after the deadlines")


def giant_websocket_message(port, check, next_push, wanted=lambda payload: True):
    """A 64 MB WebSocket message closes that connection only: another client gets the next push
    (next_push() makes one happen, or waits for it) and `wanted` accepts it."""
    listener, ok1 = websocket(port)
    attacker, ok2 = websocket(port)
    check(ok1 and ok2, "WebSocket upgrade refused")
    read_frame(listener)
    read_frame(attacker)
    attacker.sendall(bytes([0x81, 0xFF]) + struct.pack("!Q", 64 * MB) + os.urandom(4))
    try:
        for _ in range(64):
            attacker.sendall(b"\0" * MB)
    except OSError:
        pass
    frame = read_frame(attacker)
    check(frame is None or frame[0] == 8, f"the 64 MB message did not close: {frame}")
    next_push()
    listener.settimeout(5)
    frame = read_frame(listener)
    check(frame is not None and frame[0] == 1 and wanted(frame[1]),
          f"the other client missed the push: {str(frame)[:200]}")
    listener.close()
    attacker.close()


def guessed_tokens(address, port, path, token, check):
    """Twenty wrong tokens: answered 401 at first, then 429 for every token; the right one works
    once the lockout is over."""
    def guarded(bearer):
        return request(port, f"GET {path} HTTP/1.1\r\nHost: {address}:{port}\r\nAuthorization: "
                             f"Bearer {bearer}\r\nConnection: close\r\n\r\n", timeout=10,
                       address=address)

    statuses = [guarded(f"wrong-{i}")[9:12] for i in range(20)]
    locked = guarded(token)
    wait = int(locked.split(b"Retry-After: ", 1)[1].split(b"\r\n", 1)[0]) \
        if b"Retry-After: " in locked else 0
    time.sleep(wait + 0.5)
    right = guarded(token)
    print(f"20 wrong tokens: {statuses.count(b'401')} answered 401, then "
          f"{statuses.count(b'429')} 429; the right one during the lockout: {locked[9:12]} "
          f"(Retry-After {wait} s), after it: {right[9:12]}")
    check(statuses[:4] == [b"401"] * 4 and statuses[-1] == b"429",
          f"wrong tokens are not slowed down: {statuses}")
    check(locked[9:12] == b"429" and 0 < wait <= 300, "the lockout does not hold every token")
    check(right[9:12] == b"200", f"the right token after the lockout: {right[:40]!r}")
