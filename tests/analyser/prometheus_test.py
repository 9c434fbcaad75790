#!/usr/bin/env python3
"""The probe's metrics through a real Prometheus server (Debian's, on 127.0.0.1, scraping every
second): the generator's pair 3-4 is switched off and on again through its control API while the
probe watches its stream, and Prometheus' own query API says lirafon_alarm_active for "tone
missing" on channel 3 went 0, 1, 0; the levels it stored are those on the wire (-24 dBFS peak for
+4 dBu on the SMPTE reference at 1 kHz); the exposition passes promtool's own check. Skipped
(77) where prometheus is not installed.

    prometheus_test.py LIRAFON_CHECK PROGRAM
"""
import json, os, shutil, signal, socket, subprocess, sys, tempfile, time
import urllib.parse, urllib.request

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from live_generator import Generator  # noqa: E402

check, program = sys.argv[1], sys.argv[2]
if shutil.which("prometheus") is None:
    print("skipped: Debian's prometheus is not installed: run scripts/install-deps.sh")
    sys.exit(77)
failures = []


def expect(ok, message):
    if not ok:
        failures.append(message)
    return ok


def free_port(kind=socket.SOCK_STREAM):
    with socket.socket(socket.AF_INET, kind) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def get(url, timeout=5):
    with urllib.request.urlopen(url, timeout=timeout) as reply:
        return reply.read().decode()


def query(prometheus, promql):
    """The instant vector's values, by channel label."""
    answer = json.loads(get(f"{prometheus}/api/v1/query?query=" + urllib.parse.quote(promql)))
    return {r["metric"].get("channel", ""): float(r["value"][1])
            for r in answer.get("data", {}).get("result", [])}


def wait_for(what, seconds):
    end = time.time() + seconds
    while time.time() < end:
        try:
            value = what()
            if value:
                return value
        except OSError:
            pass
        time.sleep(0.5)
    return None


with tempfile.TemporaryDirectory() as folder:
    processes = []
    generator = Generator(program, folder)
    try:
        sdp = generator.sdp

        probe_port = free_port()
        probe = subprocess.Popen([check, "--monitor", "--listen", f"127.0.0.1:{probe_port}",
                                  "--alarms", "raise=2,clear=3", sdp],
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        processes.append(probe)
        metrics = f"http://127.0.0.1:{probe_port}/metrics"
        exposition = wait_for(lambda: (lambda t: t if "lirafon_alarm_active" in t else None)(
            get(metrics)), 15)
        expect(exposition, "the probe serves its metrics")
        if exposition and shutil.which("promtool"):
            checked = subprocess.run(["promtool", "check", "metrics"], input=exposition,
                                     capture_output=True, text=True)
            expect(checked.returncode == 0, f"promtool check metrics: {checked.stdout}{checked.stderr}")

        prometheus_port = free_port()
        config = os.path.join(folder, "prometheus.yml")
        with open(config, "w") as f:
            f.write("global:\n  scrape_interval: 1s\n  evaluation_interval: 1s\n"
                    "scrape_configs:\n  - job_name: lirafon-probe\n"
                    f"    static_configs:\n      - targets: ['127.0.0.1:{probe_port}']\n")
        server = subprocess.Popen(
            ["prometheus", f"--config.file={config}", f"--storage.tsdb.path={folder}/tsdb",
             f"--web.listen-address=127.0.0.1:{prometheus_port}", "--log.level=warn"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        processes.append(server)
        prometheus = f"http://127.0.0.1:{prometheus_port}"
        alarm = 'lirafon_alarm_active{alarm="tone missing",channel=~"3|4"}'
        before = wait_for(lambda: (lambda v: v if len(v) == 2 else None)(query(prometheus, alarm)), 30)
        expect(before == {"3": 0.0, "4": 0.0}, f"0 before the pair goes off: {before}")
        peaks = query(prometheus, "lirafon_channel_peak_dbfs")
        expect(len(peaks) == 8 and all(abs(v + 24.0) < 0.1 for v in peaks.values()),
               f"every channel's peak at -24 dBFS, as on the wire: {peaks}")
        hz = query(prometheus, "lirafon_channel_tone_hz")
        expect(all(abs(v - 1000) < 0.5 for v in hz.values()), f"1 kHz on every channel: {hz}")
        # A 1 kHz sine peaking at -24 dBFS is -27.0 LUFS (BS.1770: its RMS, -27.0 dBFS, with
        # K-weighting's +0.7 dB at 1 kHz and the -0.691 offset); the ident's gaps take a few
        # tenths off over 3 s.
        loudness = query(prometheus, 'lirafon_channel_loudness_lufs{window="short-term"}')
        expect(len(loudness) == 8 and all(-28.5 < v < -26.8 for v in loudness.values()),
               f"short-term loudness of the -24 dBFS tone near -27 LUFS: {loudness}")

        def pairs(on):
            return generator.pairs(**{"3-4": on})

        expect(pairs(False) == 200, "pair 3-4 off")
        raised = wait_for(lambda: (lambda v: v if v.get("3") == 1.0 and v.get("4") == 1.0 else None)(
            query(prometheus, alarm)), 20)
        expect(raised == {"3": 1.0, "4": 1.0}, f"1 on channels 3 and 4 while the pair is off: {raised}")
        others = query(prometheus, 'sum(lirafon_alarm_active{channel!~"3|4"})')
        expect(others.get("", 0.0) == 0.0, f"nothing raised elsewhere: {others}")
        expect(pairs(True) == 200, "pair 3-4 on")
        cleared = wait_for(lambda: (lambda v: v if v.get("3") == 0.0 and v.get("4") == 0.0 else None)(
            query(prometheus, alarm)), 20)
        expect(cleared == {"3": 0.0, "4": 0.0}, f"0 again once the tone is back: {cleared}")
        total = query(prometheus, "lirafon_alarms_raised_total")
        expect(list(total.values()) == [2.0], f"two alarms raised in all: {total}")
        # What Prometheus stored over the run: the alarm's own history, 0 then 1 then 0.
        history = json.loads(get(f"{prometheus}/api/v1/query?query=" + urllib.parse.quote(
            'lirafon_alarm_active{alarm="tone missing",channel="3"}[2m]')))
        values = [float(v[1]) for r in history["data"]["result"] for v in r["values"]]
        runs = [v for i, v in enumerate(values) if i == 0 or v != values[i - 1]]
        expect(runs == [0.0, 1.0, 0.0], f"the stored history goes 0, 1, 0: {runs}")
        print(f"prometheus: history of channel 3's alarm {runs} over {len(values)} scrapes")
        # Every query of the shipped Grafana dashboard is one Prometheus answers (Grafana itself
        # is not packaged here).
        board = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "packaging",
                             "grafana", "lirafon-probe.json")
        with open(board) as f:
            targets = [t for panel in json.load(f)["panels"] for t in panel["targets"]]
        for target in targets:
            promql = target["expr"].replace("$input", ".*")
            answer = json.loads(get(f"{prometheus}/api/v1/query?query=" + urllib.parse.quote(promql)))
            expect(answer.get("status") == "success", f"the dashboard's {promql}: {answer}")
    finally:
        for process in reversed(processes):
            process.send_signal(signal.SIGTERM)
            try:
                process.wait(timeout=20)
            except subprocess.TimeoutExpired:
                process.kill()
        generator.stop()

for failure in failures:
    print("FAIL", failure)
print("prometheus: " + ("ok" if not failures else f"{len(failures)} failures"))
sys.exit(1 if failures else 0)
