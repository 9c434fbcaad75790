#!/usr/bin/env python3
"""lirafon-check --monitor left on the generator's live stream (built-in runtime, 127.0.0.1):
nothing is raised while the path is whole; pair 3-4 switched off through the control API raises
"tone missing" on channels 3 and 4 (and nowhere else) after the raise hold, and switched on again
clears both after the clear hold; every line is one JSON object with the fields a journal reader
needs; SIGTERM ends the probe with status 0. Then the probe alone on a stream that never starts:
"input gone" is raised.

    monitor_test.py LIRAFON_CHECK PROGRAM
"""
import json, os, re, signal, subprocess, sys, tempfile, threading, time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from live_generator import Generator  # noqa: E402

check, program = sys.argv[1], sys.argv[2]
failures = []


def expect(ok, message):
    if not ok:
        failures.append(message)
    return ok


class Probe:
    """The probe's event log, line by line, as it comes."""

    def __init__(self, args):
        self.process = subprocess.Popen([check, "--monitor"] + args, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE, text=True)
        self.events = []
        self.lock = threading.Lock()
        threading.Thread(target=self.read, daemon=True).start()

    def read(self):
        for line in self.process.stdout:
            try:
                event = json.loads(line)
            except ValueError:
                event = {"unreadable": line}
            with self.lock:
                self.events.append(event)

    def wait_for(self, match, seconds):
        end = time.time() + seconds
        while time.time() < end:
            with self.lock:
                found = [e for e in self.events if match(e)]
            if found:
                return found
            time.sleep(0.1)
        return []

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        try:
            code = self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            code = None
        return code, self.process.stderr.read()


with tempfile.TemporaryDirectory() as folder:
    generator = Generator(program, folder)
    sdp = generator.sdp
    kept = os.path.join(folder, "path.sdp")  # the stream's description once the sender has gone
    probe = None
    try:
        with open(sdp) as source, open(kept, "w") as copy:
            copy.write(source.read())

        def pairs(on):
            return generator.pairs(**{"3-4": on})

        probe = Probe(["--alarms", "raise=2,clear=3", sdp])
        time.sleep(6)
        with probe.lock:
            early = list(probe.events)
        expect(early == [], f"nothing raised while the path is whole: {early}")
        expect(pairs(False) == 200, "pair 3-4 switched off")
        switched_off = time.time()
        raised = probe.wait_for(lambda e: e.get("event") == "raised" and
                                e.get("alarm") == "tone missing", 15)
        time.sleep(2)  # the other leg's, if it comes a second later
        raised = probe.wait_for(lambda e: e.get("event") == "raised", 1)
        expect(sorted(e.get("channel") for e in raised) == [3, 4],
               f"tone missing raised on channels 3 and 4 only: {raised}")
        expect(all(e.get("alarm") == "tone missing" for e in raised), f"only tone missing: {raised}")
        if raised:
            first = raised[0]
            for field in ("event", "time", "input", "channel", "alarm", "value", "limit",
                          "message"):
                expect(field in first, f"{field} in every event: {first}")
            expect(re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z", first.get("time", "")),
                   f"the time is UTC ISO 8601 with milliseconds: {first.get('time')}")
            expect(first.get("input") == sdp, f"the input named: {first.get('input')}")
            expect("channel 3" in first.get("message", "") or "channel 4" in first.get("message", ""),
                   f"the message names the channel: {first.get('message')}")
        expect(pairs(True) == 200, "pair 3-4 switched on")
        cleared = probe.wait_for(lambda e: e.get("event") == "cleared", 15)
        time.sleep(2)
        cleared = probe.wait_for(lambda e: e.get("event") == "cleared", 1)
        expect(sorted(e.get("channel") for e in cleared) == [3, 4],
               f"both cleared once the tone is back: {cleared}")
        code, said = probe.stop()
        probe = None
        expect(code == 0, f"SIGTERM ends the probe with 0, not {code}: {said}")
        expect("watching" in said, f"the probe says what it watches: {said}")
    finally:
        if probe:
            probe.stop()
        generator.stop()

    # A stream that never starts: the probe says the input is gone.
    silent = Probe(["--alarms", "raise=1,gone=1", kept])
    gone = silent.wait_for(lambda e: e.get("alarm") == "input gone", 10)
    code, said = silent.stop()
    expect(gone and "channel" not in gone[0], f"input gone raised for the stream: {gone} {said}")
    expect(code == 0, f"exit 0 after SIGTERM: {code}")

for failure in failures:
    print("FAIL", failure)
print("monitor: " + ("ok" if not failures else f"{len(failures)} failures"))
sys.exit(1 if failures else 0)
