#!/usr/bin/env python3
"""A plant's routing, end to end, in a network namespace of the test's own (tests/isolated.sh):
the generator (16 channels as two 8-channel streams) and the probe (--nmos) register with one
registry; a controller that knows only the registry's Query API routes the generator's first
stream to the probe's receiver, and the probe reports the tone at its level, labelled with that
sender; a second route takes the other 8 channels (a pair switched off there shows on the
receiver's channels 1 and 2, nowhere else); the sender disabled, the routed stream stops
arriving and the probe says so; parking the receiver takes its figures out and the registry's
receiver follows every change; both nodes unregister when they end.

    plant_route_test.py LIRAFON_CHECK PROGRAM
"""
import os, re, sys, tempfile

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, here)
sys.path.insert(0, os.path.join(here, "..", "analyser"))
from controller import Controller, call  # noqa: E402
from live_generator import Generator, Probe, wait_for  # noqa: E402
from registry_double import Registry, serve  # noqa: E402

check, program = sys.argv[1:3]
failures = []


def expect(ok, message):
    if not ok:
        failures.append(message)
    return ok


def samples(text, family, labels):
    """{channel: value} of one family's samples whose labels begin with these."""
    found = re.findall(r"^" + family + r"\{" + re.escape(labels) + r',channel="(\d+)"[^}]*\} (\S+)$',
                       text, re.M)
    return {int(channel): float(value) for channel, value in found}


registry = serve("127.0.0.1", 0)
registry_url = f"http://127.0.0.1:{registry.server_address[1]}"
controller = Controller(registry_url)
with tempfile.TemporaryDirectory() as folder:
    generator = Generator(program, folder, channels=16, extra={
        "LIRAFON_NMOS": "on", "LIRAFON_NMOS_REGISTRY": registry_url,
        "LIRAFON_RTP_STREAM_CHANNELS": "8"})
    env = dict(os.environ, XDG_RUNTIME_DIR=os.path.join(folder, "run"),
               LIRAFON_NMOS_REGISTRY=registry_url)
    probe = Probe(check, ["--nmos", "--alarms", "raise=1,clear=1,gone=2", "--expect", "level=ebu"],
                  env)
    events, metrics = probe.events, probe.metrics
    try:
        if not expect(probe.base and generator.panel,
                      f"the programs did not start: {''.join(probe.said)}"):
            raise SystemExit
        # What the controller sees: two audio senders of the generator, the probe's receiver.
        senders = wait_for(lambda: [s for s in controller.resources("sender")
                                    if " tone" in s["label"]] if len(
            controller.resources("receiver")) == 1 else None, 20) or []
        expect(len(senders) == 2, f"two audio senders registered: {senders}")
        if len(senders) != 2:
            raise SystemExit
        first = next(s for s in senders if "9-16" not in s["label"])
        second = next(s for s in senders if "9-16" in s["label"])
        receiver = controller.resources("receiver")[0]
        print(f"registry: senders {[s['label'] for s in senders]}, receiver {receiver['label']}")
        generator.pairs(**{"9-10": False})  # tells the two streams apart

        # First route: channels 1 to 8, every pair on.
        controller.route(first["label"], receiver["label"])
        labels = f'input="receiver-1",sender_id="{first["id"]}"'
        text = wait_for(lambda: (lambda t: t if len(samples(t, "lirafon_channel_tone_dbfs",
                                                            labels)) == 8 else None)(metrics()),
                        15) or ""
        tones = samples(text, "lirafon_channel_tone_dbfs", labels)
        expect(len(tones) == 8 and all(abs(level + 24) < 0.2 for level in tones.values()),
               f"the first stream's tone at its level, -24 dBFS on every channel: {tones}")
        subscribed = lambda sender: wait_for(
            lambda: controller.resource("receiver", receiver["id"])["subscription"] ==
            {"sender_id": sender, "active": sender is not None}, 10)
        expect(subscribed(first["id"]), "the registry's receiver names the first sender")
        print(f"routed to {first['label']}: tone {tones}")

        # Second route: the other 8 channels; pair 9-10 off shows on channels 1 and 2 alone.
        began = len(events)
        controller.route(second["label"], receiver["label"])
        labels = f'input="receiver-1",sender_id="{second["id"]}"'
        missing = lambda: sorted({e.get("channel") for e in events[began:]
                                  if e["event"] == "raised" and e["alarm"] == "tone missing"})
        expect(wait_for(lambda: missing() == [1, 2], 15) and
               wait_for(lambda: len(samples(metrics(), "lirafon_channel_tone_hz", labels)) == 8,
                        10), f"channels 9-10 off on the second stream: {missing()}")
        tone_hz = samples(metrics(), "lirafon_channel_tone_hz", labels)
        expect(all(tone_hz.get(c, 0) > 0 for c in range(3, 9)) and tone_hz.get(1) == 0,
               f"tone on channels 3 to 8 of the second stream, none on 1: {tone_hz}")
        expect(subscribed(second["id"]), "the registry's receiver names the second sender")
        print(f"routed to {second['label']}: tone missing on {missing()}")

        # The sender disabled at the generator: the routed stream stops arriving.
        began = len(events)
        status, body = call("PATCH", controller.connection_api(second) +
                            f"/single/senders/{second['id']}/staged", {"master_enable": False, "activation": {"mode": "activate_immediate"}})
        expect(status == 200, f"disabling the sender: {status} {body}")
        gone = wait_for(lambda: [e for e in events[began:] if e["event"] == "raised" and
                                 e["alarm"] == "input gone"], 15)
        expect(gone, f"a routed stream that does not arrive raises an alarm: {events[began:]}")
        print(f"sender disabled: {gone[0]['message'] if gone else 'no alarm'}")

        # Parked: the figures leave the metrics, the registry's receiver is unsubscribed.
        controller.park(receiver["label"])
        expect(wait_for(lambda: "receiver-1" not in metrics(), 10),
               "the parked receiver's figures left the metrics")
        expect(subscribed(None), "the registry's receiver is unsubscribed")
    finally:
        status = probe.stop()
        expect(status == 0, f"the probe exited {status} after SIGTERM")
        generator.stop()

left = {kind: len(Registry.registered(kind)) for kind in ("node", "device", "sender", "receiver")}
expect(not any(left.values()), f"both nodes unregistered when they ended: {left} left")
for failure in failures:
    print("FAIL:", failure)
print(f"{0 if failures else 1} passed, {1 if failures else 0} failed")
sys.exit(1 if failures else 0)
