#!/usr/bin/env python3
"""ST 2022-7 at the far end, in two network namespaces this test creates, joined by two veth pairs
(two fabrics, A and B). In the sending one, the generator's stream goes through a relay
(dup_relay.py) that puts every packet on both legs, unchanged, with a path's impairments made on
purpose; in the receiving one, lirafon-check reads a session description of two legs
(a=group:DUP). Checked: loss on each leg at different packets leaves nothing lost after the merge,
each leg's loss reported and the packets the other leg rescued counted; one leg cut for 2 s and
back loses no audio, and the probe (raising at the first second it sees a leg quiet for 0.5 s)
raises "leg down" and clears it; one leg 5 ms behind the other
is measured within 0.1 ms of what the relay sent; one leg alone, as before. Exits 77 (skipped)
when namespaces cannot be made here, saying why.

    dup_legs_test.py LIRAFON_CHECK PROGRAM
"""
import json, os, re, signal, subprocess, sys, tempfile, time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from fabrics import Fabrics

SKIP = 77
here = os.path.dirname(os.path.abspath(__file__))
check, program = sys.argv[1:3]
failures = []
LEGS = (("10.78.1.1", "10.78.1.2"), ("10.78.2.1", "10.78.2.2"))
PORT = 5004
RELAY_IN = 6004


def expect(ok, message):
    if not ok:
        failures.append(message)
    return ok


def two_leg_sdp(single):
    """The generator's session description as an ST 2022-7 sender writes it: the audio section
    twice, one per leg, with its own connection and mid, grouped by a=group:DUP."""
    head, audio = single.split("m=audio", 1)
    audio = "m=audio" + audio.split("m=video", 1)[0]
    head = re.sub(r"^c=.*\r?\n", "", head, flags=re.M) + "a=group:DUP A B\r\n"
    legs = []
    for mid, (_, receiver) in zip("AB", LEGS):
        section = re.sub(r"^m=audio \d+", f"m=audio {PORT}", audio, flags=re.M)
        section = re.sub(r"^c=.*$", f"c=IN IP4 {receiver}", section, flags=re.M)
        section = re.sub(r"^a=rtcp:.*\r?\n", "", section, flags=re.M)
        legs.append(section.rstrip("\r\n") + f"\r\na=mid:{mid}\r\n")
    return head + "".join(legs)


def relay(fabrics, *impairments):
    return subprocess.Popen(
        ["ip", "netns", "exec", fabrics.tx, sys.executable, os.path.join(here, "dup_relay.py"),
         str(RELAY_IN), f"{LEGS[0][1]}:{PORT}", f"{LEGS[1][1]}:{PORT}"] + list(impairments),
        stdout=subprocess.PIPE, text=True)


def relay_summary(process):
    process.send_signal(signal.SIGTERM)
    out, _ = process.communicate(timeout=20)
    return json.loads(out.strip().splitlines()[-1]) if out.strip() else {}


def one_shot(fabrics, sdp, seconds):
    """lirafon-check's verdict (its last JSON line) on so many seconds of the stream."""
    done = fabrics.run(check, "--json", "--duration", str(seconds), sdp, ns=fabrics.rx,
                       check=False)
    lines = [l for l in done.stdout.splitlines() if l.startswith("{")]
    return json.loads(lines[-1]) if lines else {"error": done.stderr}


def main():
    fabrics = Fabrics("ld", LEGS)
    why = fabrics.make_or_say_why()
    if why:
        print(f"skipped: {why}")
        return SKIP
    folder = tempfile.mkdtemp(prefix="lirafon-dup-")
    runtime = os.path.join(folder, "run")
    os.mkdir(runtime, 0o700)
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen", XDG_RUNTIME_DIR=runtime,
               LIRAFON_NDI_RUNTIME="builtin", LIRAFON_RTP_PORT=str(RELAY_IN),
               LIRAFON_SAP_DESTINATION="127.0.0.1:9875", LIRAFON_PTP="off", LIRAFON_NMOS="off",
               LIRAFON_CONTROL_PORT="off")
    generator = subprocess.Popen(["ip", "netns", "exec", fabrics.tx, program, "--channels", "8",
                                  "--pairs", "all"], env=env, stdout=subprocess.DEVNULL,
                                 stderr=subprocess.DEVNULL)
    try:
        single_path = os.path.join(runtime, "qel-ndi-lirafon", "QEL Audio Tone 1.sdp")
        for _ in range(500):
            if os.path.exists(single_path):
                break
            time.sleep(0.02)
        with open(single_path) as f:
            single = f.read()
        sdp = os.path.join(folder, "two-legs.sdp")
        with open(sdp, "w") as f:
            f.write(two_leg_sdp(single))
        leg_a_only = os.path.join(folder, "leg-a.sdp")
        with open(leg_a_only, "w") as f:
            f.write(re.sub(r"^c=IN IP4 .*$", f"c=IN IP4 {LEGS[0][1]}",
                           re.sub(r"^m=audio \d+", f"m=audio {PORT}", single, flags=re.M),
                           flags=re.M))

        # Loss on each leg at different packets: nothing lost after the merge.
        r = relay(fabrics, "--drop-a", "50:7", "--drop-b", "50:30")
        report = one_shot(fabrics, sdp, 6)
        sent = relay_summary(r)
        legs = report.get("legs", [])
        print(f"loss on both legs: lost {report.get('lost')}, rescued {report.get('rescued')}, "
              f"legs {legs}, relay {sent}")
        if expect(len(legs) == 2, f"two legs reported: {report}"):
            expect(report["lost"] == 0, f"nothing lost after the merge: {report['lost']}")
            per_leg = [leg["lost"] for leg in legs]
            expect(all(abs(lost - report["packets"] / 50) <= 3 for lost in per_leg),
                   f"each leg lost one packet in 50 of {report['packets']}: {per_leg}")
            expect(abs(report["rescued"] - sum(per_leg)) <= 2,
                   f"every packet a leg lost was rescued: {report['rescued']} of {per_leg}")
            expect(not any(f.get("kind") in ("dropout", "packet loss")
                           for f in report.get("faults", [])),
                   f"no fault after the merge: {report.get('faults')}")

        # Leg B 5 ms behind: measured within 0.1 ms of what the relay sent.
        r = relay(fabrics, "--delay-b-ms", "5")
        report = one_shot(fabrics, sdp, 5)
        sent = relay_summary(r)
        delay = report.get("differentialDelayMs", {})
        print(f"leg B held back: measured {delay}, sent {sent.get('medianMs')}")
        expect(sent.get("medianMs") and delay and
               abs(delay["median"] - sent["medianMs"]) <= 0.1,
               f"the legs' difference within 0.1 ms: measured {delay}, sent {sent}")
        expect(report.get("lost") == 0, f"nothing lost with one leg behind: {report.get('lost')}")

        # Leg A cut for 2 s and back: no audio lost, "leg down" raised and cleared.
        r = relay(fabrics, "--cut-a", "3:5")
        probe = subprocess.Popen(
            ["ip", "netns", "exec", fabrics.rx, check, "--monitor", "--listen", "127.0.0.1:0",
             "--alarms", "raise=0,clear=1,gone=0.5", sdp],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        base = None
        for line in probe.stderr:
            found = re.search(r"live page at (http://127\.0\.0\.1:\d+)/", line)
            if found:
                base = found.group(1)
                break
        time.sleep(9)
        text = fabrics.run("curl", "-s", base + "/metrics", ns=fabrics.rx, check=False).stdout \
            if base else ""
        probe.terminate()
        events = [json.loads(l) for l in probe.communicate(timeout=20)[0].splitlines()
                  if l.startswith("{")]
        relay_summary(r)
        down = [(e["event"], e["alarm"]) for e in events if e["alarm"] == "leg down"]
        print(f"leg A cut: events {[(e['event'], e['alarm']) for e in events]}")
        expect(down == [("raised", "leg down"), ("cleared", "leg down")],
               f"leg down raised and cleared: {events}")
        expect(not any(e["alarm"] in ("packet loss", "dropout", "input gone", "tone missing")
                       for e in events), f"no audio lost while a leg was cut: {events}")
        merged = re.search(r'^lirafon_rtp_packets_lost_total\{[^}]*\} (\S+)$', text, re.M)
        leg_a = re.search(r'^lirafon_rtp_leg_packets_lost_total\{[^}]*leg="1"\} (\S+)$', text,
                          re.M)
        expect(merged and float(merged.group(1)) == 0 and leg_a and
               1800 <= float(leg_a.group(1)) <= 2200,
               f"the cut counted on leg A alone: merged {merged and merged.group(1)}, "
               f"leg A {leg_a and leg_a.group(1)}")

        # One leg alone: as before, no legs reported.
        r = relay(fabrics)
        report = one_shot(fabrics, leg_a_only, 3)
        relay_summary(r)
        print(f"one leg: packets {report.get('packets')}, lost {report.get('lost')}")
        expect("legs" not in report and report.get("lost") == 0 and report.get("packets", 0) > 2000,
               f"a single-leg session as before: {report}")
    finally:
        generator.terminate()
        generator.wait(timeout=20)
        fabrics.remove()
    for failure in failures:
        print("FAIL:", failure)
    print(f"{0 if failures else 1} passed, {1 if failures else 0} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
