#!/usr/bin/env python3
"""Two times of the NMOS node, on 127.0.0.1: from the program's start to its node registered
with a registry (the registry double of tests/nmos, named by LIRAFON_NMOS_REGISTRY), and from an
IS-05 immediate activation's request to the first audio packet at the new destination port. Prints
median and max over the starts and the activations.

    python3 bench/nmos/nmos_timing.py build/ui/ndi-lirafon [starts] [activations per start]
"""
import json, os, socket, statistics, subprocess, sys, tempfile, time, urllib.request

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "tests", "nmos"))
from registry_double import Registry, serve  # noqa: E402

program = sys.argv[1]
starts = int(sys.argv[2]) if len(sys.argv) > 2 else 5
moves = int(sys.argv[3]) if len(sys.argv) > 3 else 20
registry = serve("127.0.0.1", 0)


def free_udp():
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind(("127.0.0.1", 0))
    return s


def request(base, method, path, body=None):
    data = json.dumps(body).encode() if body is not None else None
    r = urllib.request.Request(base + path, data=data, method=method,
                               headers={"Content-Type": "application/json"})
    with urllib.request.urlopen(r, timeout=5) as reply:
        return json.loads(reply.read())


to_registered, to_first_packet = [], []
for _ in range(starts):
    Registry.posts.clear()
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen", XDG_RUNTIME_DIR=tempfile.mkdtemp(),
               LIRAFON_NDI_RUNTIME="builtin", LIRAFON_RTP_PORT=str(free_udp().getsockname()[1]),
               LIRAFON_SAP_DESTINATION="127.0.0.1:9", LIRAFON_PTP="off",
               LIRAFON_NMOS_REGISTRY=f"127.0.0.1:{registry.server_address[1]}")
    began = time.monotonic()
    child = subprocess.Popen([program, "--control-port", "0"], env=env, stderr=subprocess.PIPE,
                             stdout=subprocess.DEVNULL, text=True)
    base = None
    while base is None:
        line = child.stderr.readline()
        if "control panel: http://" in line:
            base = line.split("control panel: ", 1)[1].strip().rstrip("/")
    while not any(p["type"] == "node" for p in Registry.posts):
        time.sleep(0.001)
    to_registered.append(time.monotonic() - began)
    sender = next(s for s in request(base, "GET", "/x-nmos/node/v1.3/senders/")
                  if "tone" in s["label"])["id"]
    staged = f"/x-nmos/connection/v1.1/single/senders/{sender}/staged"
    for _ in range(moves):
        target = free_udp()
        target.settimeout(2)
        sent = time.monotonic()
        request(base, "PATCH", staged, {
            "transport_params": [{"destination_port": target.getsockname()[1]}],
            "activation": {"mode": "activate_immediate"}})
        target.recv(2048)
        to_first_packet.append(time.monotonic() - sent)
        target.close()
    child.terminate()
    child.wait(timeout=15)


def show(name, values):
    ms = [v * 1000 for v in values]
    print(f"{name}: median {statistics.median(ms):.1f} ms, max {max(ms):.1f} ms over {len(ms)}")


show("start to registered", to_registered)
show("activation request to the first packet at the new port", to_first_packet)
