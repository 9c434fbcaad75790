#!/usr/bin/env python3
"""The program as an NMOS node, on 127.0.0.1: a small registry double (IS-04 Registration API)
receives every resource parents first and heartbeats, and, after answering one heartbeat 404,
everything again; the Node API serves the same resources; IS-05 refuses a bad patch with the
error document and changes nothing, locks a sender while a scheduled activation waits, and an
immediate activation moves the audio stream: packets stop at the old port and arrive at the new
one with no sequence number missing across the move, the transport file and the registered
sender follow, and the node unregisters when the program ends.

    nmos_node_test.py PROGRAM
"""
import json, os, socket, subprocess, sys, tempfile, threading, time
import urllib.request, urllib.error
from registry_double import Registry, serve

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


def http(port, method, path, body=None):
    data = json.dumps(body).encode() if body is not None else None
    request = urllib.request.Request(f"http://127.0.0.1:{port}{path}", data=data, method=method)
    if data is not None:
        request.add_header("Content-Type", "application/json")
    try:
        with urllib.request.urlopen(request, timeout=5) as reply:
            return reply.status, reply.read()
    except urllib.error.HTTPError as error:
        return error.code, error.read()


def wait(condition, seconds):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if condition():
            return True
        time.sleep(0.05)
    return condition()


registry = serve("127.0.0.1", 0)
rtp = free_port()
folder = tempfile.mkdtemp(prefix="lirafon-nmos-")
env = dict(os.environ, QT_QPA_PLATFORM="offscreen", XDG_RUNTIME_DIR=folder,
           LIRAFON_NDI_RUNTIME="builtin", LIRAFON_RTP_PORT=str(rtp),
           LIRAFON_SAP_DESTINATION=f"127.0.0.1:{free_port()}", LIRAFON_PTP="off",
           LIRAFON_CONTROL_PORT="0",
           LIRAFON_NMOS_REGISTRY=f"http://127.0.0.1:{free_port(socket.SOCK_STREAM)},"
                                 f"127.0.0.1:{registry.server_address[1]}")
child = subprocess.Popen([program], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                         text=True)
said = []
port = None
end = time.monotonic() + 30
while time.monotonic() < end and port is None:
    line = child.stderr.readline()
    if not line:
        break
    said.append(line)
    if "control panel: http://" in line:
        port = int(line.rstrip().rstrip("/").rsplit(":", 1)[1])
threading.Thread(target=lambda: said.extend(child.stderr), daemon=True).start()
if port is None:
    print("".join(said))
    sys.exit(1)

try:
    types = lambda: [p["type"] for p in Registry.posts]
    # The first registry of the list refuses connections: the node moves on to the second.
    check(wait(lambda: "sender" in types() and len(Registry.heartbeats) >= 1, 20),
          f"not registered with a heartbeat: {types()}, {len(Registry.heartbeats)} heartbeats")
    order = types()
    print(f"registered: {order}")
    check(order[:2] == ["node", "device"] and order.index("sender") > order.index("flow") >
          order.index("source"), f"parents do not come first: {order}")
    node = next((p["data"] for p in Registry.posts if p["type"] == "node"), {"id": "none"})
    status, body = http(port, "GET", "/x-nmos/node/v1.3/self")
    check(status == 200 and json.loads(body)["id"] == node["id"], "the Node API's node differs")
    status, body = http(port, "GET", "/x-nmos/node/v1.3/senders/")
    senders = json.loads(body)
    audio = next(s for s in senders if "tone" in s["label"])
    check(len(senders) == 2 and audio["transport"] == "urn:x-nmos:transport:rtp.ucast",
          f"senders: {senders}")

    # Forgotten by the registry: everything registered again.
    before = len(Registry.posts)
    Registry.forget.set()
    check(wait(lambda: types()[before:].count("sender") == 2, 15),
          f"not registered again after a 404 heartbeat: {types()[before:]}")

    base = f"/x-nmos/connection/v1.1/single/senders/{audio['id']}"
    active_before = http(port, "GET", base + "/active")[1]
    for bad in ({"transport_params": [{"destination_ip": "192.0.2.7"}]},  # loopback-only source
                {"transport_params": [{"destination_port": 70000}]},
                {"master_enable": "yes"},
                {"activation": {"mode": "activate_soon"}},
                {"surprise": 1}):
        status, body = http(port, "PATCH", base + "/staged", bad)
        check(status == 400 and json.loads(body).get("code") == 400, f"{bad}: {status} {body}")
    check(http(port, "GET", base + "/active")[1] == active_before, "a refused patch changed it")

    # A scheduled activation locks the sender until it is cancelled.
    status, body = http(port, "PATCH", base + "/staged", {"activation": {
        "mode": "activate_scheduled_relative", "requested_time": "3600:0"}})
    check(status == 202, f"scheduled: {status} {body}")
    check(http(port, "PATCH", base + "/staged", {"master_enable": True})[0] == 423,
          "a sender with a scheduled activation is not locked")
    check(http(port, "PATCH", base + "/staged", {"activation": {"mode": None}})[0] == 200,
          "the scheduled activation could not be cancelled")

    # The move: every packet goes to the old port, then every later one to the new port.
    new_port = free_port()
    old_sock, new_sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM), \
        socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    old_sock.bind(("127.0.0.1", rtp))
    new_sock.bind(("127.0.0.1", new_port))
    for s in (old_sock, new_sock):
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 << 20)
        s.settimeout(2)
    old = [old_sock.recv(2048)]  # flowing; the move may come before the next packet
    started = time.monotonic()
    status, body = http(port, "PATCH", base + "/staged", {
        "transport_params": [{"destination_port": new_port}],
        "activation": {"mode": "activate_immediate"}})
    check(status == 200 and json.loads(body)["activation"]["activation_time"],
          f"immediate activation: {status} {body}")
    first_new = new_sock.recv(2048)
    moved_after = time.monotonic() - started
    old_sock.settimeout(0.3)
    try:
        while True:
            old.append(old_sock.recv(2048))
    except socket.timeout:
        pass
    seq = lambda p: int.from_bytes(p[2:4], "big")
    last_old = seq(old[-1]) if old else None
    print(f"moved: last packet on the old port {last_old}, first on the new "
          f"{seq(first_new)}, {moved_after * 1000:.0f} ms after the request")
    check(last_old is not None and (last_old + 1) & 0xffff == seq(first_new),
          f"packets lost or doubled across the move: {last_old} then {seq(first_new)}")
    state = json.loads(http(port, "GET", "/api/state")[1])
    check(state["audioPort"] == new_port and state["audioSending"] is True,
          f"the API's state did not follow: {state.get('audioPort')}")
    sdp = http(port, "GET", base + "/transportfile")[1].decode()
    check(f"m=audio {new_port} " in sdp, f"the transport file did not follow:\n{sdp}")
    check(wait(lambda: any(p["type"] == "sender" and p["data"]["id"] == audio["id"] and
                           p["data"]["version"] != audio["version"] for p in Registry.posts), 5),
          "the registry was not told of the activation")
finally:
    child.terminate()
    child.wait(timeout=15)

check(any(d.endswith("/nodes/" + node["id"]) for d in Registry.deletes),
      f"the node was not unregistered: {Registry.deletes}")
check(child.returncode == 0, f"the program ended with {child.returncode}")
for failure in failures:
    print("FAIL:", failure)
print(f"{0 if failures else 1} passed, {1 if failures else 0} failed")
sys.exit(1 if failures else 0)
