#!/usr/bin/python3
"""PTP end to end on one computer, inside two network namespaces this test creates.

In the first, ptp4l is grandmaster (software timestamps, free_running 1: nothing steers this
computer's clock) and the program sends its audio to a multicast group, asking that ptp4l over its
management socket. In the second, an independent PTP-aware receiver: GStreamer's PTP clock and a
socket joined to the group. Checked: the audio session names the grandmaster and domain ptp4l
reports; the RTP timestamps are PTP time (no packet arrives before its timestamp's time, and the
median arrival is within one packet time plus the measured path delay); the samples are exact; packets leave from the destination port; a ptp4l
restarted with another clock identity gives a new SDP version naming it. Exits 77 (skipped) when
namespaces cannot be made here, saying why.

The far end's analyser, lirafon-check, also receives the group next to the sender and measures
the latency from each packet's timestamp to its arrival on the same ptp4l's PTP time.

    ptp_netns_test.py PROGRAM LIRAFON_CHECK
"""
import calendar, json, math, os, re, shutil, signal, socket, struct, subprocess, sys, tempfile, time

SKIP = 77
DOMAIN = 7
GROUP, PORT = "239.69.77.1", 5004
IDENTITIES = ["02a0b0.fffe.000001", "02a0b0.fffe.000002"]
# What GStreamer's software-timestamped PTP clock may be off from the grandmaster's, either way,
# on a loaded machine (a wrong epoch, UTC offset or free-running timestamp is off by seconds).
SYNC_ERROR_S = 0.003


def gmid(identity):
    digits = identity.replace(".", "").upper()
    return "-".join(digits[i:i + 2] for i in range(0, 16, 2))


def group_socket():
    """A socket on the group's port, joined to it, with room for a 16-channel burst."""
    rx = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    rx.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 8 << 20)
    rx.bind((GROUP, PORT))
    rx.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP,
                  socket.inet_aton(GROUP) + socket.inet_aton("0.0.0.0"))
    rx.settimeout(5)
    return rx


def receive(interface, seconds, channels=8):
    """In the receiving namespace: PTP time of every packet's arrival against its timestamp."""
    import gi
    gi.require_version("Gst", "1.0")
    gi.require_version("GstNet", "1.0")
    from gi.repository import Gst, GstNet
    Gst.init(None)
    delays, grandmasters = [], set()

    def statistics(domain, stats):
        if stats.get_name() == "GstPtpStatisticsPathDelayMeasured":
            delays.append(stats.get_value("mean-path-delay-avg"))
        if stats.get_name() == "GstPtpStatisticsBestMasterClockSelected":
            grandmasters.add(stats.get_value("grandmaster-clock-id"))
        return True

    GstNet.ptp_statistics_callback_add(statistics)
    if not GstNet.ptp_init(GstNet.PTP_CLOCK_ID_NONE, [interface]):
        print("GStreamer's PTP helper did not start"); return 1
    clock = GstNet.PtpClock.new("ptp", DOMAIN)
    if not clock.wait_for_sync(20 * Gst.SECOND):
        print("GStreamer's PTP clock did not synchronise"); return 1
    time.sleep(2)  # its filter settles over the first syncs
    rx = group_socket()
    offsets, payloads, sources = [], [], set()
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        packet, (host, port) = rx.recvfrom(2048)
        now = clock.get_time()  # ns of PTP time
        sources.add(port)
        stamp = struct.unpack("!I", packet[4:8])[0]
        # The timestamp's time: the arrival's sample count with the low 32 bits replaced.
        arrival = now * 48000 // 1_000_000_000
        sample = arrival - ((arrival - stamp) % (1 << 32))
        if arrival - sample > (1 << 31):
            sample += 1 << 32
        offsets.append(now / 1e9 - sample / 48000)
        payloads.append(packet[12:])
    path = (sorted(delays)[len(delays) // 2] / 1e9) if delays else 0.0
    offsets_sorted = sorted(offsets)
    median = offsets_sorted[len(offsets) // 2]
    p99 = offsets_sorted[min(len(offsets) - 1, len(offsets) * 99 // 100)]
    print(f"packets {len(offsets)}, source ports {sorted(sources)}, path delay {path * 1e6:.1f} us")
    print(f"arrival PTP time - RTP timestamp time: median {median * 1e6:.1f} us, p99 "
          f"{p99 * 1e6:.1f} us, min {offsets_sorted[0] * 1e6:.1f} us, max "
          f"{offsets_sorted[-1] * 1e6:.1f} us")
    failures = []
    packet_time = 0.001 if channels <= 8 else 0.000125
    print(f"{channels} channels at {packet_time * 1e3:g} ms packets")
    if len(offsets) < seconds * 0.5 / packet_time:
        failures.append("too few packets")
    if sources != {PORT}:
        failures.append(f"packets left from ports {sorted(sources)}, not {PORT}")
    # A packet leaves one packet time after its timestamp's time and arrives a path delay later.
    # A stall of this shared machine can delay a single packet by milliseconds, which says nothing
    # of its timestamp: no packet may arrive before its time, and the typical one (the median)
    # arrives within one packet time plus the path delay.
    early = [o for o in offsets if o < -SYNC_ERROR_S]
    if early:
        failures.append(f"{len(early)} packets arrived before their timestamp's time")
    if median > packet_time + path + SYNC_ERROR_S:
        failures.append(f"median arrival {median * 1e6:.0f} us after the timestamp's time, more "
                        f"than one packet time plus the path delay")
    # Samples: 8 channels, only channel 2 (right of pair 1-2, never gapped under the EBU ident)
    # carries tone in every packet; each 1 ms packet holds exactly 48 samples of it, one period
    # of 1 kHz from phase 0; channels 3 to 8 are silent.
    def channel(payload, c):
        return b"".join(payload[3 * (8 * i + c):3 * (8 * i + c) + 3] for i in range(48))

    if channels != 8:
        return 1 if failures else 0  # the samples are checked at 8 channels
    forms = {channel(p, 1) for p in payloads}
    silent = all(channel(p, c) == bytes(144) for p in payloads for c in range(2, 8))
    if len(forms) != 1 or not silent or any(len(p) != 48 * 8 * 3 for p in payloads):
        failures.append(f"channel 2 takes {len(forms)} forms, or pairs 2-4 are not silent")
    else:
        form = forms.pop()
        values = [int.from_bytes(form[3 * i:3 * i + 3], "big", signed=True) for i in range(48)]
        # EBU line-up (0 dBu; 1.0 is +4 dBu) on the SMPTE reference (1.0 is 0.1 of full scale).
        expected = [round(10 ** (-4 / 20) * 0.1 * (1 << 23) * math.sin(2 * math.pi * i / 48))
                    for i in range(48)]
        worst = max(abs(a - b) for a, b in zip(values, expected))
        print(f"channel 2: one period of 1 kHz in every packet, {worst} LSB from the exact sine")
        if worst > 1:
            failures.append(f"channel 2 differs from the exact sine by {worst} LSB")
    for failure in failures:
        print("FAIL:", failure)
    return 1 if failures else 0


def record(seconds):
    """In the receiving namespace: every packet's SSRC, sequence number and timestamp."""
    rx = group_socket()
    headers = []
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        try:
            packet = rx.recv(2048)
        except socket.timeout:
            break
        _, sequence, stamp, ssrc = struct.unpack("!HHII", packet[:12])
        headers.append((ssrc, sequence, stamp))
    print(json.dumps(headers))
    return 0


def judge_late_start(headers, samples_per_packet):
    """Timestamps never jump within one SSRC: each packet's timestamp follows its predecessor's
    by the samples of the packets between (sequence numbers, both modulo 2^16 and 2^32). One
    exception: a sender held off the CPU for more than a 40 ms frame (a loaded machine) is
    re-anchored to PTP time, and its timestamps move on by the time it lost, more than a frame
    and less than seconds; those are counted apart. A move from free-running time to PTP time
    without a new SSRC would be a jump anywhere in the 32-bit range."""
    jumps, streams, last, reanchors = [], [], {}, 0
    for ssrc, sequence, stamp in headers:
        if ssrc not in last:
            streams.append(ssrc)
        else:
            prev_sequence, prev_stamp = last[ssrc]
            gap = (sequence - prev_sequence) % (1 << 16)
            moved = (stamp - prev_stamp - gap * samples_per_packet) % (1 << 32)
            if 1920 < moved < 5 * 48000:
                reanchors += 1
            elif moved != 0:
                jumps.append((ssrc, prev_stamp, stamp))
        last[ssrc] = (sequence, stamp)
    return streams, jumps, reanchors


class Namespaces:
    def __init__(self):
        tag = str(os.getpid())
        self.gm, self.rx = "lfgm" + tag, "lfrx" + tag
        self.made = []

    def run(self, *args, ns=None, check=True):
        command = (["ip", "netns", "exec", ns] if ns else []) + list(args)
        return subprocess.run(command, check=check, capture_output=True, text=True)

    def make(self):
        for ns in (self.gm, self.rx):
            self.run("ip", "netns", "add", ns)
            self.made.append(ns)
        self.run("ip", "link", "add", "vgm", "netns", self.gm, "type", "veth", "peer", "name", "vrx",
                 "netns", self.rx)
        for ns, dev, address in ((self.gm, "vgm", "10.77.0.1/24"), (self.rx, "vrx", "10.77.0.2/24")):
            self.run("ip", "link", "set", "lo", "up", ns=ns)
            self.run("ip", "addr", "add", address, "dev", dev, ns=ns)
            self.run("ip", "link", "set", dev, "up", ns=ns)
            self.run("ip", "route", "add", "224.0.0.0/4", "dev", dev, ns=ns)

    def remove(self):
        for ns in self.made:
            self.run("ip", "netns", "delete", ns, check=False)


def start_ptp4l(ns, folder, identity):
    config = os.path.join(folder, "gm.conf")
    with open(config, "w") as f:
        f.write("[global]\nfree_running 1\nmasterOnly 1\npriority1 100\nclockClass 248\n"
                f"domainNumber {DOMAIN}\ntime_stamping software\nnetwork_transport UDPv4\n"
                f"delay_mechanism E2E\nlogSyncInterval -3\nclockIdentity {identity}\n"
                f"uds_address {folder}/ptp4l\n[vgm]\n")
    log = open(os.path.join(folder, "ptp4l.log"), "a")
    return subprocess.Popen(["ip", "netns", "exec", ns.gm, "ptp4l", "-f", config, "-m"],
                            stdout=log, stderr=subprocess.STDOUT)


def pmc(ns, folder, *queries):
    args = ["pmc", "-u", "-b", "0", "-d", str(DOMAIN), "-s", f"{folder}/ptp4l"]
    return ns.run(*args, *[f"GET {q}" for q in queries], ns=ns.gm, check=False).stdout


def wait_for(predicate, seconds):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        value = predicate()
        if value:
            return value
        time.sleep(0.2)
    return None


def read(path):
    try:
        with open(path, newline="") as f:
            return f.read()
    except OSError:
        return ""


def main():
    if len(sys.argv) == 4 and sys.argv[1] == "--receive":
        return receive(sys.argv[2], 3, int(sys.argv[3]))
    if len(sys.argv) == 3 and sys.argv[1] == "--record":
        return record(float(sys.argv[2]))
    program, checker = sys.argv[1], sys.argv[2]
    if os.geteuid() != 0:
        print("SKIP: network namespaces need root"); return SKIP
    for tool in ("ip", "ptp4l", "pmc"):
        if shutil.which(tool) is None:
            print(f"SKIP: {tool} is not installed (scripts/install-deps.sh)"); return SKIP
    ns = Namespaces()
    folder = tempfile.mkdtemp(prefix="lirafon-ptp-")
    os.chmod(folder, 0o755)
    children = []
    try:
        try:
            ns.make()
        except subprocess.CalledProcessError as error:
            print(f"SKIP: cannot create network namespaces here: {error.stderr.strip()}")
            return SKIP
        ptp4l = start_ptp4l(ns, folder, IDENTITIES[0])
        children.append(ptp4l)
        master = wait_for(lambda: re.search(r"grandmasterIdentity\s+(\S+)",
                                            pmc(ns, folder, "PARENT_DATA_SET")), 20)
        if not master or master.group(1) != IDENTITIES[0]:
            print("FAIL: ptp4l did not answer as grandmaster"); return 1
        reported = pmc(ns, folder, "DEFAULT_DATA_SET")
        domain = int(re.search(r"domainNumber\s+(\d+)", reported).group(1))
        if not wait_for(lambda: "MASTER" in pmc(ns, folder, "PORT_DATA_SET"), 20):
            print("FAIL: ptp4l never became master"); return 1

        runtime = os.path.join(folder, "run")
        os.mkdir(runtime, 0o700)
        env = dict(os.environ, QT_QPA_PLATFORM="offscreen", XDG_RUNTIME_DIR=runtime,
                   LIRAFON_NDI_RUNTIME="builtin", LIRAFON_RTP_DESTINATION=GROUP,
                   LIRAFON_RTP_PORT=str(PORT), LIRAFON_RTP_INTERFACE="vgm",
                   LIRAFON_PTP=f"{folder}/ptp4l", LIRAFON_CONTROL_PORT="off")
        errors = open(os.path.join(folder, "program.log"), "w")
        sender = subprocess.Popen(["ip", "netns", "exec", ns.gm, program], env=env,
                                  stderr=errors, stdout=errors)
        children.append(sender)
        audio_sdp = os.path.join(runtime, "qel-ndi-lirafon", "QEL Audio Tone 1-audio.sdp")
        expected = f"a=ts-refclk:ptp=IEEE1588-2008:{gmid(IDENTITIES[0])}:{domain}\r\n"
        if not wait_for(lambda: expected in read(audio_sdp), 20):
            print(f"FAIL: the audio session does not name {expected.strip()}:\n{read(audio_sdp)}")
            print(read(os.path.join(folder, "program.log")))
            return 1
        first = read(audio_sdp)
        print(f"audio session names {expected.strip()}; mediaclk: "
              f"{'a=mediaclk:direct=0' in first}")

        received = ns.run(sys.executable, os.path.abspath(__file__), "--receive", "vrx", "8",
                          ns=ns.rx, check=False)
        print(received.stdout.strip())
        if received.returncode != 0:
            print(received.stderr.strip())
            return 1

        # The analyser beside the sender: the same ptp4l's time, the group looped back locally.
        analysed = ns.run("env", f"LIRAFON_PTP={folder}/ptp4l", checker, "--json", "--interface",
                          "vgm", "--duration", "8", "--expect",
                          "channels=8,level=ebu,ident=ebu,pairs=1-2", audio_sdp, ns=ns.gm,
                          check=False)
        reports = [l for l in analysed.stdout.splitlines() if l.startswith("{")] or ["{}"]
        verdict = json.loads(reports[-1])
        latency = verdict.get("latencyMedianMs")
        print(f"lirafon-check: exit {analysed.returncode}, PTP latency median "
              f"{latency} ms, max {verdict.get('latencyMaxMs')} ms, faults {verdict.get('faults')}")
        if analysed.returncode != 0 or latency is None or not 0.9 <= latency <= 1.0 + 2.0:
            print("FAIL: lirafon-check did not pass or measured no PTP latency near one packet "
                  "time\n" + analysed.stderr)
            return 1

        # A probe on the stream while ptp4l goes and another comes: "PTP lost" raised and
        # cleared, the clear stamped with PTP time beside UTC.
        probe = subprocess.Popen(["ip", "netns", "exec", ns.gm, "env", f"LIRAFON_PTP={folder}/ptp4l",
                                  checker, "--monitor", "--interface", "vgm", "--alarms",
                                  "raise=1,clear=1", audio_sdp], stdout=subprocess.PIPE,
                                 stderr=subprocess.PIPE, text=True)
        children.append(probe)
        time.sleep(4)

        # Another grandmaster: a new SDP version naming it.
        ptp4l.send_signal(signal.SIGTERM)
        ptp4l.wait()
        version = int(re.search(r"o=- \d+ (\d+)", first).group(1))
        children.append(start_ptp4l(ns, folder, IDENTITIES[1]))
        renamed = f"a=ts-refclk:ptp=IEEE1588-2008:{gmid(IDENTITIES[1])}:{domain}\r\n"
        if not wait_for(lambda: renamed in read(audio_sdp), 30):
            print(f"FAIL: no new session for the new grandmaster:\n{read(audio_sdp)}")
            return 1
        later = int(re.search(r"o=- \d+ (\d+)", read(audio_sdp)).group(1))
        print(f"new grandmaster {gmid(IDENTITIES[1])}: SDP version {version} -> {later}")
        said = [l for l in read(os.path.join(folder, "program.log")).splitlines()
                if l.startswith("PTP:")]
        print("\n".join(said))
        if later <= version:
            print("FAIL: the version did not increase"); return 1
        time.sleep(4)
        probe.send_signal(signal.SIGINT)
        out, err = probe.communicate(timeout=15)
        events = [json.loads(l) for l in out.splitlines() if l.startswith("{")]
        lost = [e for e in events if e["alarm"] == "PTP lost"]
        print(f"probe: exit {probe.returncode}, PTP lost events {lost}")
        cleared = [e for e in lost if e["event"] == "cleared"]
        if probe.returncode != 0 or [e["event"] for e in lost] != ["raised", "cleared"] or \
                "ptpTime" not in cleared[0]:
            print("FAIL: the probe did not raise and clear PTP lost, the clear with PTP time\n" +
                  err); return 1
        seconds, nanoseconds = (int(x) for x in cleared[0]["ptpTime"].split(":"))
        utc = calendar.timegm(time.strptime(cleared[0]["time"][:19], "%Y-%m-%dT%H:%M:%S")) + \
            int(cleared[0]["time"][20:23]) / 1000
        # ptp4l on software timestamps keeps PTP time on the system clock, plus the UTC offset
        # it announces on the PTP timescale.
        props = pmc(ns, folder, "TIME_PROPERTIES_DATA_SET")
        timescale = re.search(r"ptpTimescale\s+(\d)", props)
        offset = re.search(r"currentUtcOffset\s+(\d+)", props)
        ahead = int(offset.group(1)) if timescale and offset and timescale.group(1) == "1" else 0
        if abs(seconds + nanoseconds / 1e9 - ahead - utc) > 0.5:
            print(f"FAIL: PTP time {cleared[0]['ptpTime']} is not UTC {cleared[0]['time']} + "
                  f"{ahead} s:\n{props}")
            return 1
        # One line per change of state: ptp4l's stop is one line, and the new ptp4l, before it
        # takes the grandmaster role, is not called our last grandmaster.
        stopped = [l for l in said if "does not answer" in l]
        wrong = [l for l in said if f"last grandmaster {gmid(IDENTITIES[1])}" in l]
        if len(stopped) > 1 or wrong or len(said) > 5:
            print(f"FAIL: PTP lines: {len(stopped)} for the stop, {len(wrong)} naming the new "
                  f"clock as our last grandmaster, {len(said)} in all"); return 1
        sender.send_signal(signal.SIGTERM)
        sender.wait(10)
        for child in children[2:]:
            if child.poll() is None:
                child.send_signal(signal.SIGTERM)
                child.wait(10)

        # ptp4l started after the program (both start together at a plant's boot): the move
        # from the free-running count to PTP time takes a new SSRC and a new SDP version.
        late = os.path.join(folder, "late")
        os.mkdir(late)
        os.chmod(late, 0o755)
        env.update(LIRAFON_PTP=f"{late}/ptp4l")
        errors = open(os.path.join(folder, "late.log"), "w")
        sender = subprocess.Popen(["ip", "netns", "exec", ns.gm, program, "--channels", "16",
                                   "--pairs", "all"], env=env, stderr=errors, stdout=errors)
        children.append(sender)
        if not wait_for(lambda: "a=mediaclk:direct=" in read(audio_sdp), 20):
            print("FAIL: no session written before ptp4l started"); return 1
        free_version = int(re.search(r"o=- \d+ (\d+)", read(audio_sdp)).group(1))
        recorder = subprocess.Popen(["ip", "netns", "exec", ns.rx, sys.executable,
                                     os.path.abspath(__file__), "--record", "12"],
                                    stdout=subprocess.PIPE, text=True)
        time.sleep(4)
        children.append(start_ptp4l(ns, late, IDENTITIES[0]))
        synced = f"a=ts-refclk:ptp=IEEE1588-2008:{gmid(IDENTITIES[0])}:{domain}\r\n"
        if not wait_for(lambda: synced in read(audio_sdp), 30):
            print(f"FAIL: the session never named the late ptp4l:\n{read(audio_sdp)}"); return 1
        ptp_version = int(re.search(r"o=- \d+ (\d+)", read(audio_sdp)).group(1))
        headers = json.loads(recorder.communicate(timeout=60)[0] or "[]")
        streams, jumps, reanchors = judge_late_start(headers, 6)
        said = [l for l in read(os.path.join(folder, "late.log")).splitlines()
                if l.startswith("PTP:")]
        print(f"ptp4l started 4 s after the program: {len(headers)} packets, SSRCs "
              f"{[hex(x) for x in streams[:4]]}, {len(jumps)} jumps within an SSRC "
              f"({reanchors} re-anchored after the sender was held up), SDP version "
              f"{free_version} -> {ptp_version}")
        print("\n".join(said))
        if jumps or len(streams) < 2 or ptp_version <= free_version or len(headers) < 50000:
            print(f"FAIL: a timestamp jump within one SSRC ({jumps[:3]}), no new SSRC, no new "
                  "SDP version, or too few packets"); return 1
        if sum("running free" in l for l in said) != 1:
            print("FAIL: the absent ptp4l is not said exactly once"); return 1

        # 16 channels at 0.125 ms on PTP time: the timestamps' accuracy beside the 8-channel one.
        received = ns.run(sys.executable, os.path.abspath(__file__), "--receive", "vrx", "16",
                          ns=ns.rx, check=False)
        print(received.stdout.strip())
        if received.returncode != 0:
            print(received.stderr.strip())
            return 1

        # The analyser says why it has no PTP latency when its own socket cannot be made.
        analysed = ns.run("env", f"LIRAFON_PTP={late}/ptp4l",
                          f"XDG_RUNTIME_DIR={folder}/missing", checker, "--interface", "vgm",
                          "--duration", "2", audio_sdp, ns=ns.gm, check=False)
        reasons = [l for l in analysed.stderr.splitlines() if l.startswith("PTP:")]
        print(f"lirafon-check with a missing XDG_RUNTIME_DIR: {reasons}")
        if len(reasons) != 1 or "cannot ask ptp4l" not in reasons[0]:
            print("FAIL: lirafon-check does not say once why it has no PTP latency"); return 1
        print("1 passed, 0 failed")
        return 0
    finally:
        for child in reversed(children):
            if child.poll() is None:
                child.send_signal(signal.SIGTERM)
                try:
                    child.wait(10)
                except subprocess.TimeoutExpired:
                    child.kill()
        ns.remove()
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
