#!/usr/bin/env python3
"""The probe as an NMOS node on 127.0.0.1, routed as a controller routes it: started with no
input (--nmos, two receivers), it lists its receivers in IS-04 with what they read; a PATCH of
receiver 1's staged parameters with the generator's transport file and an immediate activation
make it judge that stream (its tone at its level in /metrics, the subscription naming the
sender); a file it cannot read is refused with IS-05's error and changes nothing; master_enable
false parks it (its figures gone, its alarms cleared in the event log).

    probe_nmos_test.py LIRAFON_CHECK PROGRAM
"""
import json, os, re, sys, tempfile, urllib.error, urllib.request

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from live_generator import Generator, Probe, wait_for  # noqa: E402

check, program = sys.argv[1:3]
failures = []


def expect(ok, message):
    if not ok:
        failures.append(message)
    return ok


def call(method, url, body=None):
    data = json.dumps(body).encode() if body is not None else None
    request = urllib.request.Request(url, method=method, data=data,
                                     headers={"Content-Type": "application/json"})
    try:
        with urllib.request.urlopen(request, timeout=10) as reply:
            text = reply.read().decode()
            return reply.status, json.loads(text) if text.startswith(("{", "[")) else text
    except urllib.error.HTTPError as error:
        return error.code, json.loads(error.read().decode() or "{}")


with tempfile.TemporaryDirectory() as folder:
    generator = Generator(program, folder)
    env = dict(os.environ, XDG_RUNTIME_DIR=os.path.join(folder, "run"))
    env.pop("LIRAFON_NMOS_REGISTRY", None)
    probe = Probe(check, ["--nmos", "--receivers", "2", "--alarms", "raise=1,clear=1",
                          "--expect", "level=ebu"], env)
    base, events, metrics = probe.base, probe.events, lambda _: probe.metrics()
    try:
        if not expect(base, f"the probe did not start: {''.join(probe.said)}"):
            raise SystemExit
        node = base + "/x-nmos/node/v1.3"
        connection = base + "/x-nmos/connection/v1.1/single/receivers"
        status, receivers = call("GET", node + "/receivers/")
        expect(status == 200 and len(receivers) == 2, f"two receivers: {status} {receivers}")
        receiver = receivers[0]
        expect(receiver["caps"]["media_types"] == ["audio/L24", "audio/L16"] and
               receiver["subscription"] == {"sender_id": None, "active": False},
               f"what receiver 1 reads, and no subscription: {receiver}")
        staged = f"{connection}/{receiver['id']}/staged"

        # What the generator's sender would be named by; its session description as the file.
        with open(generator.sdp) as f:
            sdp = f.read()
        sender = "6b1f0a3e-5c2d-4f8e-9a71-3d4c5b6a7e81"
        bad = sdp.replace("L24/48000/8", "L24/48000/24")
        status, refusal = call("PATCH", staged, {"transport_file": {"data": bad,
                                                                    "type": "application/sdp"}})
        expect(status == 400 and refusal.get("code") == 400 and "24 channels" in
               refusal.get("error", ""), f"a 24-channel file: {status} {refusal}")
        status, after = call("GET", staged)
        expect(after["transport_file"]["data"] is None, "the refused file staged nothing")

        status, body = call("PATCH", staged, {
            "sender_id": sender, "master_enable": True,
            "transport_file": {"data": sdp, "type": "application/sdp"},
            "activation": {"mode": "activate_immediate"}})
        expect(status == 200, f"the activation: {status} {body}")
        labels = f'input="receiver-1",sender_id="{sender}"'
        routed = wait_for(lambda: (lambda t: t if f'lirafon_channel_peak_dbfs{{{labels},'
                                   'channel="8"' in t else None)(metrics(base)), 15)
        expect(routed, "receiver 1 is judged after its activation, labelled with its sender")
        peaks = [float(v) for v in re.findall(
            r'^lirafon_channel_peak_dbfs\{' + re.escape(labels) + r',channel="\d+"[^}]*\} (\S+)$',
            routed or "", re.M)]
        expect(len(peaks) == 8 and all(abs(p + 24) < 0.2 for p in peaks),
               f"the tone at its level on the wire, -24 dBFS: {peaks}")
        status, receiver = call("GET", f"{node}/receivers/{receiver['id']}")
        expect(receiver["subscription"] == {"sender_id": sender, "active": True},
               f"the subscription follows: {receiver['subscription']}")
        print(f"receiver-1 routed: peaks {peaks}, subscription {receiver['subscription']}")

        # The generator's pair 3-4 off: the routed input raises its alarm.
        generator.pairs(**{"3-4": False})
        expect(wait_for(lambda: any(e["alarm"] == "tone missing" and e["input"] == "receiver-1"
                                    for e in events), 15), "no alarm on the routed input")
        status, body = call("PATCH", staged, {"master_enable": False,
                                              "activation": {"mode": "activate_immediate"}})
        expect(status == 200, f"parking: {status} {body}")
        expect(wait_for(lambda: "receiver-1" not in metrics(base), 10),
               "the parked receiver's figures left the metrics")
        cleared = [e for e in events if e["event"] == "cleared" and e["input"] == "receiver-1"]
        expect(cleared, f"parking cleared the alarms in the event log: {events}")
        status, receiver = call("GET", f"{node}/receivers/{receiver['id']}")
        expect(receiver["subscription"]["active"] is False, "the subscription is inactive")
        print(f"parked: events {[(e['event'], e['alarm'], e.get('channel')) for e in events]}")
    finally:
        status = probe.stop()
        expect(status == 0, f"the probe exited {status} after SIGTERM")
        generator.stop()

for failure in failures:
    print("FAIL:", failure)
print(f"{0 if failures else 1} passed, {1 if failures else 0} failed")
sys.exit(1 if failures else 0)
