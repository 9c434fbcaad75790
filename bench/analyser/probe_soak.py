#!/usr/bin/env python3
"""One probe left on 8 live streams of 16 channels for ten minutes, watched by 10 live pages and
scraped every second: whether it keeps up, what it costs, and whether its memory and file
descriptors stay flat.

Inside a network namespace this script makes (unshare -n; its loopback carries multicast, and
nothing leaves it), the generator sends its 16-channel tone to one multicast group and the probe
receives it as 8 inputs (8 copies of the session description, 8 sockets joined to the group), so
the probe receives 8 streams' packets while one generator sends. Reported: the probe's CPU per
input-second; its memory and descriptors each minute; /metrics' answer times; each viewer's
pushes a second; packets received, lost and late per input.

    bench/analyser/probe_soak.py [BUILD_DIR=build] [SECONDS=600]
"""
import os, re, socket, statistics, subprocess, sys, tempfile, threading, time

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(here, "..", "..", "tests", "http"))
from hostile_clients import pong, read_frame, websocket  # noqa: E402

INPUTS, GROUP, PORT = 8, "239.69.1.1", 5004
VIEWERS = int(os.environ.get("LIRAFON_SOAK_VIEWERS", "10"))
NICE = os.environ.get("LIRAFON_SOAK_GENERATOR_NICE", "").split() and ["nice", "-n", os.environ["LIRAFON_SOAK_GENERATOR_NICE"]]


def inside_namespace():
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
    subprocess.run(["ip", "link", "set", "lo", "multicast", "on"], check=True)
    subprocess.run(["ip", "route", "add", "239.0.0.0/8", "dev", "lo"], check=True)


def proc(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    cpu = (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
    rss = 0
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                rss = int(line.split()[1])
    return cpu, rss, len(os.listdir(f"/proc/{pid}/fd"))


def scrape(port):
    started = time.perf_counter()
    with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
        s.sendall(f"GET /metrics HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\n"
                  "Connection: close\r\n\r\n".encode())
        data = b""
        while True:
            chunk = s.recv(1 << 16)
            if not chunk:
                break
            data += chunk
    return time.perf_counter() - started, data


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else "build"
    seconds = float(sys.argv[2]) if len(sys.argv) > 2 else 600
    if os.environ.get("LIRAFON_SOAK_INSIDE") != "1":
        os.execvp("unshare", ["unshare", "-n", "env", "LIRAFON_SOAK_INSIDE=1", sys.executable,
                              os.path.abspath(__file__), build, str(seconds)])
    inside_namespace()
    folder = tempfile.mkdtemp(prefix="lirafon-soak-")
    runtime = os.path.join(folder, "run")
    os.mkdir(runtime, 0o700)
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen", XDG_RUNTIME_DIR=runtime,
               LIRAFON_NDI_RUNTIME="builtin", LIRAFON_RTP_DESTINATION=GROUP,
               LIRAFON_RTP_INTERFACE="lo", LIRAFON_RTP_PORT=str(PORT),
               LIRAFON_SAP_DESTINATION="127.0.0.1:9875", LIRAFON_PTP="off",
               LIRAFON_NMOS="off", LIRAFON_CONTROL_PORT="off")
    generator = subprocess.Popen(NICE + [os.path.join(build, "ui", "ndi-lirafon"), "--channels", "16",
                                  "--pairs", "all"], env=env, stdout=subprocess.DEVNULL,
                                 stderr=subprocess.DEVNULL)
    sdp = os.path.join(runtime, "qel-ndi-lirafon", "QEL Audio Tone 1-audio.sdp")
    for _ in range(500):
        if os.path.exists(sdp):
            break
        time.sleep(0.02)
    inputs = []
    for n in range(1, INPUTS + 1):
        path = os.path.join(folder, f"studio-{n}.sdp")
        with open(sdp) as source, open(path, "w") as copy:
            copy.write(source.read())
        inputs.append(path)
    events = open(os.path.join(folder, "events"), "w")
    probe = subprocess.Popen([os.path.join(build, "analyser", "lirafon-check"), "--monitor",
                              "--interface", "lo", "--listen", "127.0.0.1:0"] + inputs,
                             stdout=events, stderr=subprocess.PIPE, text=True)
    port = None
    for line in probe.stderr:
        found = re.search(r"live page at http://127\.0\.0\.1:(\d+)/", line)
        if found:
            port = int(found.group(1))
            break
    threading.Thread(target=probe.stderr.read, daemon=True).start()
    if port is None:
        print("the probe did not start")
        return 1
    time.sleep(5)
    pushes = [0] * VIEWERS
    stop = threading.Event()

    def view(i):
        s, ok = websocket(port)
        s.settimeout(5)
        while ok and not stop.is_set():
            frame = read_frame(s)
            if frame is None:
                break
            # A large push comes in fragments: count messages, by their first frame. The
            # server's pings are answered, as a browser does.
            pushes[i] += 1 if frame[0] == 1 else 0
            if frame[0] == 9:
                pong(s, frame[1])
        s.close()

    viewers = [threading.Thread(target=view, args=(i,), daemon=True) for i in range(VIEWERS)]
    for v in viewers:
        v.start()
    time.sleep(2)
    started = time.monotonic()
    cpu0, rss0, fds0 = proc(probe.pid)
    pushes0 = list(pushes)
    _, first = scrape(port)
    answers, samples = [], []
    next_sample = started
    while time.monotonic() - started < seconds:
        # Timed by curl, a process of its own: the viewers' threads here share one interpreter.
        took = float(subprocess.run(["curl", "-s", "-o", "/dev/null", "-w", "%{time_total}",
                                     f"http://127.0.0.1:{port}/metrics"], capture_output=True,
                                    text=True).stdout or "nan")
        answers.append(took * 1000)
        if time.monotonic() >= next_sample:
            cpu, rss, fds = proc(probe.pid)
            samples.append((time.monotonic() - started, cpu - cpu0, rss, fds))
            next_sample += 60
        time.sleep(max(0.0, 1.0 - took))
    elapsed = time.monotonic() - started
    cpu, rss, fds = proc(probe.pid)
    _, last = scrape(port)
    rates = sorted((p - q) / elapsed for p, q in zip(pushes, pushes0)) or [0.0]
    stop.set()
    probe.terminate()
    probe.wait(timeout=20)
    generator.terminate()
    generator.wait(timeout=20)

    def totals(text, name):
        return [float(v) for v in re.findall(rb"^" + name.encode() + rb"\{[^}]*\} (\S+)$",
                                             text, re.M)]
    received = [b - a for a, b in zip(totals(first, "lirafon_rtp_packets_received_total"),
                                      totals(last, "lirafon_rtp_packets_received_total"))]
    lost = totals(last, "lirafon_rtp_packets_lost_total")
    late = totals(last, "lirafon_rtp_packets_late_total")
    answers.sort()
    print(f"{INPUTS} inputs x 16 channels live for {elapsed:.0f} s, {VIEWERS} viewers, "
          f"/metrics scraped every second")
    print(f"  CPU: {cpu - cpu0:.1f} s, {(cpu - cpu0) / (INPUTS * elapsed) * 1000:.1f} ms per "
          f"input-second ({(cpu - cpu0) / elapsed * 100:.0f} % of one core)")
    for at, used, kb, n in samples + [(elapsed, cpu - cpu0, rss, fds)]:
        print(f"  at {at:5.0f} s: RSS {kb / 1024:6.1f} MiB, {n} descriptors, CPU {used:6.1f} s")
    print(f"  start of run: RSS {rss0 / 1024:.1f} MiB, {fds0} descriptors")
    print(f"  /metrics ({len(first)} bytes): {len(answers)} answers, median "
          f"{answers[len(answers) // 2]:.2f} ms, 99th percentile "
          f"{answers[int(len(answers) * 0.99)]:.2f} ms, most {answers[-1]:.2f} ms; "
          f"{sum(a > 10 for a in answers)} over 10 ms")
    print(f"  viewers: pushes a second, least {rates[0]:.1f}, median "
          f"{statistics.median(rates):.1f}, most {rates[-1]:.1f}")
    print(f"  packets a second per input: {[round(r / elapsed) for r in received]}; lost "
          f"{[int(v) for v in lost]}, late {[int(v) for v in late]}")
    with open(os.path.join(folder, "events")) as f:
        lines = f.read().splitlines()
    print(f"  events: {len(lines)}" + "".join(f"\n    {line[:160]}" for line in lines[:10]))
    return 0


if __name__ == "__main__":
    sys.exit(main())
