#!/usr/bin/env python3
"""The generator sending two legs (ST 2022-7) over two fabrics: two network namespaces this test
creates, joined by two veth pairs, a multicast group per leg, each leg out of its own interface.
In the receiving namespace plain sockets (not this project's receiver) read both legs: every audio
and video packet and every sender report must arrive on both, byte for byte, leg A from its
interface's address and leg B from its own; the session description written must group the legs
(sdpoker --duplicate passes on it). Then lirafon-check reads that description while leg B's
interface is down for 2 s: nothing lost after the merge, the cut counted on leg B alone. Last, the
same two legs over IPv6 (a group of each leg's own out of its own interface, the second leg's
interface named per packet). Exits 77 (skipped) when namespaces cannot be made here, saying why.

    two_legs_netns_test.py PROGRAM LIRAFON_CHECK
"""
import json, os, select, socket, statistics, struct, subprocess, sys, tempfile, threading, time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from fabrics import Fabrics

SKIP = 77
here = os.path.dirname(os.path.abspath(__file__))
program, check = sys.argv[1:3]
failures = []
# (sender address, receiver address, group) per leg.
LEGS = (("10.79.1.1", "10.79.1.2", "239.79.1.1"), ("10.79.2.1", "10.79.2.2", "239.79.2.1"))
LEGS6 = (("fd79:1::1", "fd79:1::2", "ff15::79:1"), ("fd79:2::1", "fd79:2::2", "ff15::79:2"))
PORT = 5004


def expect(ok, message):
    if not ok:
        failures.append(message)
    return ok


# Runs inside the receiving namespace: joins each leg's group on its interface, records every
# datagram (port, source, arrival, bytes as hex) for so many seconds, prints them as JSON.
RECORDER = r"""
import json, select, socket, struct, sys, time
legs = json.loads(sys.argv[1]); seconds = float(sys.argv[2])
sockets = {}
for leg, (receiver, group) in enumerate(legs):
    for port in (%(port)d, %(port)d + 1, %(port)d + 2):
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 8 << 20)
        s.bind((group, port))
        s.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP,
                     socket.inet_aton(group) + socket.inet_aton(receiver))
        sockets[s] = (leg, port)
print("ready", flush=True)
got = []
end = time.monotonic() + seconds
while time.monotonic() < end:
    ready, _, _ = select.select(list(sockets), [], [], 0.1)
    for s in ready:
        data, source = s.recvfrom(65536)
        leg, port = sockets[s]
        got.append([leg, port, source[0], time.monotonic(), data.hex()])
print(json.dumps(got))
""" % {"port": PORT}


# The same over IPv6: each leg's group joined on its own interface, audio only.
RECORDER6 = r"""
import json, select, socket, sys, time
legs = json.loads(sys.argv[1]); seconds = float(sys.argv[2])
sockets = {}
for leg, (device, group) in enumerate(legs):
    s = socket.socket(socket.AF_INET6, socket.SOCK_DGRAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 8 << 20)
    s.bind((group, %(port)d, 0, socket.if_nametoindex(device)))
    s.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_JOIN_GROUP,
                 socket.inet_pton(socket.AF_INET6, group) +
                 socket.if_nametoindex(device).to_bytes(4, sys.byteorder))
    sockets[s] = leg
print("ready", flush=True)
got = []
end = time.monotonic() + seconds
while time.monotonic() < end:
    ready, _, _ = select.select(list(sockets), [], [], 0.1)
    for s in ready:
        data, source = s.recvfrom(65536)
        got.append([sockets[s], %(port)d, source[0], time.monotonic(), data.hex()])
print(json.dumps(got))
""" % {"port": PORT}


def record(fabrics, script, legs, seconds):
    """What a recorder script heard in the receiving namespace: [leg, port, source, at, hex]."""
    process = subprocess.Popen(
        ["ip", "netns", "exec", fabrics.rx, sys.executable, "-c", script, json.dumps(legs),
         str(seconds)], stdout=subprocess.PIPE, text=True)
    expect(process.stdout.readline().strip() == "ready", f"the recorder joined {legs}")
    return json.loads(process.communicate(timeout=60)[0].strip().splitlines()[-1])


def ipv6_legs(fabrics, env):
    """Two IPv6 legs: every audio packet on both, each from its own interface's address."""
    env = dict(env, LIRAFON_RTP_DESTINATION=f"{LEGS6[0][2]},{LEGS6[1][2]}")
    generator = subprocess.Popen(["ip", "netns", "exec", fabrics.tx, program, "--channels", "8",
                                  "--pairs", "all"], env=env, stdout=subprocess.DEVNULL,
                                 stderr=subprocess.PIPE, text=True)
    try:
        got = record(fabrics, RECORDER6, [["lr0", LEGS6[0][2]], ["lr1", LEGS6[1][2]]], 2)
        with open(os.path.join(env["XDG_RUNTIME_DIR"], "qel-ndi-lirafon",
                               "QEL Audio Tone 1-audio.sdp")) as f:
            sdp = f.read()
    finally:
        generator.terminate()
        _, err = generator.communicate(timeout=20)
    for (source, _, group) in LEGS6:
        expect(f"a=source-filter: incl IN IP6 {group} {source}" in sdp,
               f"IPv6: a source filter for {group} from {source}:\n{sdp}")
    legs = [[d for leg, _, _, _, d in got if leg == n] for n in (0, 1)]
    sources = [{source for leg, _, source, _, _ in got if leg == n} for n in (0, 1)]
    common = {struct.unpack("!H", bytes.fromhex(d)[2:4])[0]: d for d in legs[0]}
    same = sum(1 for d in legs[1]
               if common.get(struct.unpack("!H", bytes.fromhex(d)[2:4])[0]) == d)
    print(f"IPv6: {len(legs[0])} and {len(legs[1])} audio packets, {same} identical on both; "
          f"from {sources}")
    expect(len(legs[0]) > 1000 and same >= min(len(legs[0]), len(legs[1])) - 2,
           f"IPv6: every audio packet on both legs ({same} of {len(legs[0])}, {len(legs[1])}); "
           f"the generator said {err.strip()[-500:]}")
    expect(sources == [{LEGS6[0][0]}, {LEGS6[1][0]}],
           f"IPv6: each leg from its own interface's address: {sources}")



def compare_legs(got):
    """Per port, each leg's datagrams by RTP sequence number (RTCP by its own bytes)."""
    by = {}
    for leg, port, source, at, data in got:
        by.setdefault((leg, port), []).append((source, at, bytes.fromhex(data)))
    for port, name in ((PORT, "audio"), (PORT + 2, "video")):
        a, b = by.get((0, port), []), by.get((1, port), [])
        expect(len(a) > 1000 and len(b) > 1000,
               f"{name}: packets on both legs ({len(a)} on A, {len(b)} on B)")
        expect({s for s, _, _ in a} == {LEGS[0][0]} and {s for s, _, _ in b} == {LEGS[1][0]},
               f"{name}: each leg from its own interface's address: "
               f"{ {s for s, _, _ in a} } and { {s for s, _, _ in b} }")
        # Packets seen on both (the recording's first and last moments may catch one leg only).
        seq_a = {struct.unpack("!H", d[2:4])[0]: (at, d) for _, at, d in a}
        seq_b = {struct.unpack("!H", d[2:4])[0]: (at, d) for _, at, d in b}
        both = set(seq_a) & set(seq_b)
        differ = [s for s in both if seq_a[s][1] != seq_b[s][1]]
        expect(len(both) >= min(len(a), len(b)) - 2,
               f"{name}: every packet on both legs ({len(both)} common of {len(a)}, {len(b)})")
        expect(not differ, f"{name}: {len(differ)} packets differ between the legs")
        gaps = sorted((seq_b[s][0] - seq_a[s][0]) * 1e6 for s in both)
        if gaps:
            print(f"{name}: {len(both)} packets on both legs, identical: {not differ}; leg B's "
                  f"arrival after leg A's: median {statistics.median(gaps):.1f} us, "
                  f"p99 {gaps[int(len(gaps) * 0.99)]:.1f} us")
    reports = [by.get((leg, PORT + 1), []) for leg in (0, 1)]
    expect(reports[0] and reports[1], f"sender reports on both legs: {[len(r) for r in reports]}")
    if reports[0] and reports[1]:
        common = {d for _, _, d in reports[0]} & {d for _, _, d in reports[1]}
        expect(len(common) >= min(len(reports[0]), len(reports[1])) - 1,
               f"the same sender reports on both legs: {len(common)} common of "
               f"{[len(r) for r in reports]}")
        expect(all(d[1] == 200 for _, _, d in reports[0]), "RTCP sender reports (type 200)")


def main():
    fabrics = Fabrics("l2", LEGS, LEGS6, ("lt", "lr"))
    why = fabrics.make_or_say_why()
    if why:
        print(f"skipped: {why}")
        return SKIP
    folder = tempfile.mkdtemp(prefix="lirafon-two-legs-")
    runtime = os.path.join(folder, "run")
    os.mkdir(runtime, 0o700)
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen", XDG_RUNTIME_DIR=runtime,
               LIRAFON_NDI_RUNTIME="builtin", LIRAFON_RTP_PORT=str(PORT),
               LIRAFON_RTP_DESTINATION=f"{LEGS[0][2]},{LEGS[1][2]}",
               LIRAFON_RTP_INTERFACE="lt0,lt1", LIRAFON_RTP_TTL="4",
               LIRAFON_SAP_DESTINATION="127.0.0.1:9875", LIRAFON_PTP="off", LIRAFON_NMOS="off",
               LIRAFON_CONTROL_PORT="off")
    generator = subprocess.Popen(["ip", "netns", "exec", fabrics.tx, program, "--channels", "16",
                                  "--pairs", "all"], env=env, stdout=subprocess.DEVNULL,
                                 stderr=subprocess.PIPE, text=True)
    try:
        base = os.path.join(runtime, "qel-ndi-lirafon", "QEL Audio Tone 1")
        for _ in range(500):
            if os.path.exists(base + "-audio.sdp"):
                break
            time.sleep(0.02)
        got = record(fabrics, RECORDER, [[receiver, group] for _, receiver, group in LEGS], 3)
        compare_legs(got)

        with open(base + "-audio.sdp") as f:
            audio_sdp = f.read()
        print(audio_sdp.replace("\r\n", "\n"))
        expect("a=group:DUP primary secondary" in audio_sdp, "the audio session groups its legs")
        for (source, _, group) in LEGS:
            expect(f"a=source-filter: incl IN IP4 {group} {source}" in audio_sdp,
                   f"a source filter for {group} from {source}")
        sdpoker = os.path.join(here, "node_modules", ".bin", "sdpoker")
        if os.access(sdpoker, os.X_OK):
            for part in ("", "-audio", "-video"):
                done = subprocess.run([sdpoker, "--duplicate", "--multicast", base + part + ".sdp"],
                                      capture_output=True, text=True)
                expect(done.returncode == 0 and "error" not in done.stdout.lower(),
                       f"sdpoker --duplicate on{part or ' the combined'} session: "
                       f"{done.stdout}{done.stderr}")
        else:
            print("sdpoker not installed: the session's duplicate check is left to check_sdp.sh")

        # Leg B's interface down for 2 s while the analyser reads both legs.
        analyser = subprocess.Popen(
            ["ip", "netns", "exec", fabrics.rx, check, "--json", "--duration", "7", "--interface", "lr0,lr1",
             base + "-audio.sdp"], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        time.sleep(2.5)
        fabrics.run("ip", "link", "set", "lt1", "down", ns=fabrics.tx)
        time.sleep(2)
        fabrics.run("ip", "link", "set", "lt1", "up", ns=fabrics.tx)
        out, err = analyser.communicate(timeout=60)
        lines = [l for l in out.splitlines() if l.startswith("{")]
        report = json.loads(lines[-1]) if lines else {"error": err}
        legs = report.get("legs", [])
        print(f"leg B down 2 s: lost {report.get('lost')}, rescued {report.get('rescued')}, "
              f"legs {legs}, faults {report.get('faults')}")
        if expect(len(legs) == 2, f"two legs reported: {report}"):
            expect(report.get("lost") == 0, f"nothing lost after the merge: {report.get('lost')}")
            expect(legs[0]["lost"] == 0, f"nothing lost on leg A: {legs[0]}")
            expect(12000 <= legs[1]["lost"] <= 20000,
                   f"about 2 s of 8000 packets a second lost on leg B: {legs[1]}")
            # A cut longer than the merge's window (8192 packets) is rescued whole too.
            expect(report.get("rescued") == legs[1]["lost"],
                   f"every packet leg B lost rescued by leg A: {report.get('rescued')}")
        expect(generator.poll() is None, "the generator kept running with a leg down")
        generator.terminate()
        generator.wait(timeout=20)
        ipv6_legs(fabrics, env)
    finally:
        generator.terminate()
        try:
            _, err = generator.communicate(timeout=20)
        except subprocess.TimeoutExpired:
            generator.kill()
            _, err = generator.communicate()
        if err.strip():
            print("generator said:", err.strip()[-2000:])
        fabrics.remove()
    for failure in failures:
        print("FAIL:", failure)
    print(f"{0 if failures else 1} passed, {1 if failures else 0} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
