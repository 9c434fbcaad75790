#!/usr/bin/env python3
"""Audio pacing with and without 50 control requests a second, and the program's CPU.

Runs the program headless on the built-in runtime (16 channels, all pairs) to 127.0.0.1 twice for
the same time: once untouched, once while a client sends 50 requests a second to its control
server (GET /api/state and PATCH /api/settings toggling the pairs, alternately, each on a fresh
connection as a script would). rtp_timing receives the audio in both runs and prints its pacing
figures; the program's CPU comes from /proc.

    python3 bench/control/api_load.py build/ui/ndi-lirafon build/bench/runtime/rtp_timing [SECONDS]
"""
import os, re, socket, subprocess, sys, tempfile, threading, time, urllib.request

program, timing = sys.argv[1], sys.argv[2]
seconds = int(sys.argv[3]) if len(sys.argv) > 3 else 60
RATE = 50
TICK = os.sysconf("SC_CLK_TCK")


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def cpu_seconds(pid):
    fields = open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICK


def load(base, stop, answers):
    patch = [b'{"pairs":"all"}', b'{"pairs":"1-2"}']
    due = time.monotonic()
    n = 0
    while not stop.is_set():
        if n % 2 == 0:
            request = urllib.request.Request(base + "/api/state")
        else:
            request = urllib.request.Request(base + "/api/settings", method="PATCH",
                                             data=patch[(n // 2) % 2],
                                             headers={"Content-Type": "application/json"})
        with urllib.request.urlopen(request, timeout=5) as answer:
            answer.read()
            answers.append(answer.status)
        n += 1
        due += 1.0 / RATE
        time.sleep(max(0.0, due - time.monotonic()))


def run(loaded):
    port = free_port()
    # The receiver stands for another machine: it must not wait behind the program and the
    # client on this one, so it runs at a higher priority (nice -10) when allowed.
    receiver = subprocess.Popen(["nice", "-n", "-10", timing, str(port), str(seconds)],
                                stdout=subprocess.PIPE,
                                text=True)
    time.sleep(0.5)
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen", XDG_RUNTIME_DIR=tempfile.mkdtemp(),
               LIRAFON_NDI_RUNTIME="builtin", LIRAFON_RTP_PORT=str(port),
               LIRAFON_SAP_DESTINATION=f"127.0.0.1:{free_port()}")
    child = subprocess.Popen([program, "--channels", "16", "--pairs", "all", "--control-port",
                              "0"], env=env, stderr=subprocess.PIPE, text=True)
    base = None
    while base is None:
        found = re.search(r"control panel: (http://127\.0\.0\.1:\d+)/", child.stderr.readline())
        base = found.group(1) if found else None
    threading.Thread(target=lambda: child.stderr.read(), daemon=True).start()
    stop, answers = threading.Event(), []
    before = cpu_seconds(child.pid)
    started = time.monotonic()
    client = threading.Thread(target=load, args=(base, stop, answers))
    if loaded:
        client.start()
    figures = receiver.communicate()[0]
    stop.set()
    if loaded:
        client.join()
    cpu = (cpu_seconds(child.pid) - before) / (time.monotonic() - started)
    child.terminate()
    child.wait()
    what = f"{len(answers)} requests ({len(answers) / seconds:.1f}/s, " \
           f"{sum(1 for a in answers if a == 200)} answered 200)" if loaded else "no requests"
    print(f"--- {what}\n{figures.rstrip()}\nprogram CPU {100 * cpu:.1f} % of one core")
    return cpu


idle = run(False)
busy = run(True)
print(f"control server CPU at {RATE} requests/s: {100 * (busy - idle):.1f} % of one core")
