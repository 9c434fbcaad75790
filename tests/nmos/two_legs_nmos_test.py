#!/usr/bin/env python3
"""A sender of two legs (ST 2022-7) through the program's IS-05 Connection API, on 127.0.0.1:
the constraints, staged and active parameters hold one entry per leg; the transport file groups
both legs; an activation that moves the second leg alone sends its packets to the new port while
the first leg's arrive where they did, every one of them; switching the second leg off stops it
alone; the API's state follows.

    two_legs_nmos_test.py PROGRAM
"""
import json, os, socket, struct, subprocess, sys, tempfile, threading, time
from controller import call

program = sys.argv[1]
failures = []


def check(ok, message):
    if not ok:
        failures.append(message)
    return ok


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def http(port, method, path, body=None):
    return call(method, f"http://127.0.0.1:{port}{path}", body)


class Listener:
    """Every RTP sequence number arriving at one port, with its arrival time."""

    def __init__(self, port):
        self.socket = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.socket.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 8 << 20)
        self.socket.bind(("127.0.0.1", port))
        self.socket.settimeout(0.2)
        self.got = []
        self.running = True
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def run(self):
        while self.running:
            try:
                data = self.socket.recv(2048)
            except socket.timeout:
                continue
            self.got.append((time.monotonic(), struct.unpack("!H", data[2:4])[0]))

    def since(self, moment):
        return [seq for at, seq in self.got if at >= moment]

    def stop(self):
        self.running = False
        self.thread.join()
        self.socket.close()


def continuous(sequences):
    return all((b - a) & 0xffff == 1 for a, b in zip(sequences, sequences[1:]))


port_a = free_port()
port_b = port_a + 100 if port_a < 65000 else port_a - 100
folder = tempfile.mkdtemp(prefix="lirafon-nmos-legs-")
env = dict(os.environ, QT_QPA_PLATFORM="offscreen", XDG_RUNTIME_DIR=folder,
           LIRAFON_NDI_RUNTIME="builtin", LIRAFON_RTP_DESTINATION="127.0.0.1,127.0.0.1",
           LIRAFON_RTP_PORT=f"{port_a},{port_b}",
           LIRAFON_SAP_DESTINATION=f"127.0.0.1:{free_port()}", LIRAFON_PTP="off",
           LIRAFON_CONTROL_PORT="0", LIRAFON_NMOS_REGISTRY="")
leg_a, leg_b = Listener(port_a), Listener(port_b)
child = subprocess.Popen([program], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                         text=True)
said, control = [], None
end = time.monotonic() + 30
while time.monotonic() < end and control is None:
    line = child.stderr.readline()
    if not line:
        break
    said.append(line)
    if "control panel: http://" in line:
        control = int(line.rstrip().rstrip("/").rsplit(":", 1)[1])
threading.Thread(target=lambda: said.extend(child.stderr), daemon=True).start()
if control is None:
    print("".join(said))
    sys.exit(1)

moved = None
try:
    senders = json.loads(http(control, "GET", "/x-nmos/node/v1.3/senders/")[1])
    audio = next(s for s in senders if "tone" in s["label"])
    check(len(audio["interface_bindings"]) == 2, f"a binding per leg: {audio}")
    base = f"/x-nmos/connection/v1.1/single/senders/{audio['id']}"
    constraints = json.loads(http(control, "GET", base + "/constraints")[1])
    staged = json.loads(http(control, "GET", base + "/staged")[1])
    active = json.loads(http(control, "GET", base + "/active")[1])
    check(len(constraints) == 2 and len(staged["transport_params"]) == 2,
          f"two legs in constraints and staged: {constraints}, {staged}")
    check([leg["destination_port"] for leg in active["transport_params"]] == [port_a, port_b],
          f"the active legs are where they were set up: {active}")
    sdp = http(control, "GET", base + "/transportfile")[1]
    check("a=group:DUP primary secondary" in sdp and f"m=audio {port_a} " in sdp and
          f"m=audio {port_b} " in sdp, f"the transport file groups both legs:\n{sdp}")
    status, body = http(control, "PATCH", base + "/staged",
                        {"transport_params": [{"destination_port": 6000}]})
    check(status == 400, f"one entry for a sender of two legs is refused: {status} {body}")

    # The second leg moves alone.
    time.sleep(0.5)
    moved = Listener(free_port())
    before = time.monotonic()
    status, body = http(control, "PATCH", base + "/staged", {
        "transport_params": [{}, {"destination_port": moved.socket.getsockname()[1]}],
        "activation": {"mode": "activate_immediate"}})
    check(status == 200, f"the second leg's move: {status} {body}")
    time.sleep(1)
    after_move = time.monotonic()
    a_around = leg_a.since(before - 0.5)
    check(continuous(a_around) and len(a_around) > 1200,
          f"leg A carried on, every packet: {len(a_around)} packets, continuous "
          f"{continuous(a_around)}")
    check(len(moved.since(before)) > 800 and not leg_b.since(before + 0.2),
          f"leg B's packets went to the new port: {len(moved.since(before))} there, "
          f"{len(leg_b.since(before + 0.2))} still at the old one")
    sdp = http(control, "GET", base + "/transportfile")[1]
    check(f"m=audio {port_a} " in sdp and f"m=audio {moved.socket.getsockname()[1]} " in sdp,
          f"the transport file follows the second leg:\n{sdp}")
    state = json.loads(http(control, "GET", "/api/state")[1])
    check(state.get("audioPort") == port_a and
          state.get("secondLeg", {}).get("audioPort") == moved.socket.getsockname()[1],
          f"the API's state follows: {state.get('audioPort')}, {state.get('secondLeg')}")

    # The second leg off alone.
    status, body = http(control, "PATCH", base + "/staged", {
        "transport_params": [{}, {"rtp_enabled": False}],
        "activation": {"mode": "activate_immediate"}})
    check(status == 200, f"the second leg off: {status} {body}")
    off = time.monotonic()
    time.sleep(1)
    check(not moved.since(off + 0.2) and len(leg_a.since(off)) > 800,
          f"leg B stopped alone: {len(moved.since(off + 0.2))} on B, "
          f"{len(leg_a.since(off))} on A")
    state = json.loads(http(control, "GET", "/api/state")[1])
    check(state.get("secondLeg", {}).get("audioSending") is False and
          state.get("audioSending") is True, f"the state says which leg stopped: {state}")
    print(f"leg A: {len(leg_a.got)} packets, continuous {continuous(leg_a.since(0))}; "
          f"leg B moved: {len(moved.got)}")
finally:
    child.terminate()
    child.wait(timeout=20)
    for listener in (leg_a, leg_b) + ((moved,) if moved else ()):
        listener.stop()
check(child.returncode == 0, f"the program ended with {child.returncode}")
for failure in failures:
    print("FAIL:", failure)
print(f"{0 if failures else 1} passed, {1 if failures else 0} failed")
sys.exit(1 if failures else 0)
