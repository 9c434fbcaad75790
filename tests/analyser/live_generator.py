"""The generator on the built-in runtime for the probe's tests: on 127.0.0.1, four free ports
in a row for its streams, its control panel on a free port, in a runtime folder of its own."""
import os, re, socket, subprocess, threading, time


def free_port_block():
    """Four free UDP ports from a multiple of 4 (audio, its RTCP, video, its RTCP)."""
    for _ in range(50):
        probe = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        probe.bind(("127.0.0.1", 0))
        base = probe.getsockname()[1] // 4 * 4
        probe.close()
        if 1024 <= base <= 65000:
            held = []
            try:
                for i in range(4):
                    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
                    held.append(s)
                    s.bind(("127.0.0.1", base + i))
                return base
            except OSError:
                continue
            finally:
                for s in held:
                    s.close()
    raise RuntimeError("no four free ports in a row")


def stop(process):
    """SIGTERM; its exit status, None if it had to be killed."""
    process.terminate()
    try:
        return process.wait(timeout=20)
    except subprocess.TimeoutExpired:
        process.kill()
        return None


class Generator:
    """ndi-lirafon with 8 channels (or as many as asked), every pair on; .panel is its control
    panel's address and .sdp its session description once it is written. extra: settings of its
    environment beyond these (an NMOS registry, say, where LIRAFON_NMOS is off unless given)."""

    def __init__(self, program, folder, channels=8, extra=None):
        runtime = os.path.join(folder, "run")
        os.mkdir(runtime, 0o700)
        udp = free_port_block()
        env = dict(os.environ, QT_QPA_PLATFORM="offscreen", XDG_RUNTIME_DIR=runtime,
                   LIRAFON_NDI_RUNTIME="builtin", LIRAFON_RTP_PORT=str(udp),
                   LIRAFON_SAP_DESTINATION=f"127.0.0.1:{udp + 200}", LIRAFON_PTP="off",
                   LIRAFON_NMOS="off")
        env.update(extra or {})
        self.process = subprocess.Popen(
            [program, "--channels", str(channels), "--pairs", "all", "--control-port", "0"],
            env=env,
            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        self.panel = None
        for line in self.process.stderr:
            found = re.search(r"control panel: (http://127\.0\.0\.1:\d+)/", line)
            if found:
                self.panel = found.group(1)
                break
        threading.Thread(target=self.process.stderr.read, daemon=True).start()
        self.sdp = os.path.join(runtime, "qel-ndi-lirafon", "QEL Audio Tone 1.sdp")
        for _ in range(500):
            if os.path.exists(self.sdp):
                break
            time.sleep(0.02)

    def pairs(self, **marks):
        """Switches pairs through the API, e.g. pairs(**{"3-4": False}); the status."""
        import json, urllib.request
        request = urllib.request.Request(
            self.panel + "/api/settings", method="PATCH", data=json.dumps({"pairs": marks}).encode(),
            headers={"Content-Type": "application/json"})
        return urllib.request.urlopen(request, timeout=10).status

    def stop(self):
        return stop(self.process)


class Probe:
    """lirafon-check --monitor --listen 127.0.0.1:0 with these arguments: .base is its address
    once it serves (None if it never did), .events the event lines it has printed, .said its
    standard error."""

    def __init__(self, check, arguments, env=None):
        import json
        self.process = subprocess.Popen(
            [check, "--monitor", "--listen", "127.0.0.1:0"] + arguments, env=env,
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.said, self.events, self.base = [], [], None
        for line in self.process.stderr:
            self.said.append(line)
            found = re.search(r"live page at (http://127\.0\.0\.1:\d+)/", line)
            if found:
                self.base = found.group(1)
                break
        threading.Thread(target=lambda: self.said.extend(self.process.stderr), daemon=True).start()
        threading.Thread(target=lambda: self.events.extend(json.loads(l)
                                                           for l in self.process.stdout),
                         daemon=True).start()

    def metrics(self):
        import urllib.request
        with urllib.request.urlopen(self.base + "/metrics", timeout=10) as reply:
            return reply.read().decode()

    def stop(self):
        return stop(self.process)


def wait_for(what, seconds):
    """what()'s first true value within so many seconds, else its last."""
    end = time.time() + seconds
    while time.time() < end:
        value = what()
        if value:
            return value
        time.sleep(0.25)
    return what()
