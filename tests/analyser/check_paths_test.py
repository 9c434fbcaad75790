#!/usr/bin/env python3
"""lirafon-check against the generator's own tone and against paths broken on purpose, each fault
made by a tool we did not write (FFmpeg filters, GStreamer sources, a UDP relay that drops
packets). For every broken path the analyser must name the fault and the channel; a clean path
must pass; noise and a plain sine must not be taken for a line-up pattern.

    check_paths_test.py LIRAFON_CHECK RENDER_TONE PROGRAM
"""
import json, os, re, socket, subprocess, sys, tempfile, threading, time

check, render, program = sys.argv[1:4]
folder = tempfile.mkdtemp(prefix="lirafon-check-test-")
failures = []


def run(args, **kwargs):
    return subprocess.run(args, capture_output=True, text=True, timeout=120, **kwargs)


def tone(name, *settings):
    path = os.path.join(folder, name + ".wav")
    run([render, path, "9"] + list(settings)).check_returncode()
    return path


def ffmpeg(source, name, audio_filter):
    path = os.path.join(folder, name + ".wav")
    result = run(["ffmpeg", "-nostdin", "-y", "-loglevel", "error", "-i", source, "-af",
                  audio_filter, "-c:a", "pcm_s24le", path])
    if result.returncode != 0 or not os.path.getsize(path):
        failures.append(f"{name}: ffmpeg failed: {result.stderr.strip()}")
    return path


def expect(name, args, status, *faults):
    result = run([check] + args)
    out = result.stdout + result.stderr
    if result.returncode != status:
        failures.append(f"{name}: exit {result.returncode}, expected {status}\n{out}")
    for fault in faults:
        if not re.search(fault, out):
            failures.append(f"{name}: no line matching {fault!r}\n{out}")
    print(f"{name}: exit {result.returncode}")


def pan(channels, mapping):
    terms = [f"c{c}={mapping.get(c, f'c{c}')}" for c in range(channels)]
    return f"pan={channels}c|" + "|".join(terms)


ebu8 = tone("ebu8", "8", "all", "ebu", "1000", "ebu")
multi16 = tone("multi16", "16", "all", "glits", "multi", "smpte")
sequence16 = tone("sequence16", "16", "all", "ebu", "sequence", "smpte")
EBU8 = ["--expect", "channels=8,level=ebu,ident=ebu,frequency=1000"]
MULTI16 = ["--expect", "channels=16,level=smpte,ident=glits,frequency=multi"]

# Clean paths pass, from a file and through standard input from FFmpeg.
expect("clean EBU, 8 channels", [ebu8] + EBU8, 0, r"OK: everything matched")
expect("clean multi-frequency GLITS, 16 channels", [multi16] + MULTI16, 0, r"OK")
expect("clean sequence, 16 channels",
       [sequence16, "--expect", "channels=16,level=smpte,ident=sequence"], 0, r"OK")
piped = subprocess.Popen(["ffmpeg", "-nostdin", "-loglevel", "error", "-i", multi16, "-f", "s24le",
                          "-"], stdout=subprocess.PIPE)
result = subprocess.run([check, "--channels", "16", "-", "--json"] + MULTI16,
                        stdin=piped.stdout, capture_output=True, text=True, timeout=120)
piped.wait()
if result.returncode != 0 or '"ident":"glits"' not in result.stdout:
    failures.append(f"stdin from ffmpeg: exit {result.returncode}\n{result.stdout}{result.stderr}")
print(f"stdin: exit {result.returncode}")

# Broken paths: each fault named with its channel.
swapped = ffmpeg(multi16, "swapped", pan(16, {2: "c6", 6: "c2"}))
expect("channels 3 and 7 swapped", [swapped] + MULTI16, 1,
       r"channel 3: carries generator channel 7", r"channel 7: carries generator channel 3")
crossed = ffmpeg(ebu8, "crossed", pan(8, {0: "c1", 1: "c0"}))
expect("left and right swapped on pair 1-2", [crossed] + EBU8, 1,
       r"channel 1: carries a right channel.*pair 1-2", r"channel 2: carries a left channel")
inverted = ffmpeg(ebu8, "inverted", pan(8, {4: "-1*c4"}))
expect("channel 5 inverted", [inverted] + EBU8, 1, r"channel 5: polarity inverted")
muted = ffmpeg(ebu8, "muted", pan(8, {5: "0*c5"}))
expect("channel 6 muted", [muted] + EBU8, 1, r"channel 6: silent")
louder = ffmpeg(ebu8, "louder", "volume=6dB")
expect("6 dB too loud", [louder] + EBU8, 1, r"channel 1: level 6\.0 dBu \(6\.0 dB\)")
fast = ffmpeg(ebu8, "fast", "asetrate=48005,aresample=48000")
expect("sample rate 100 ppm off", [fast] + EBU8, 1, r"clock: the tones run 10\d ppm")

# Not a line-up pattern at all.
for name, wave in (("noise", "white-noise"), ("sine", "sine")):
    path = os.path.join(folder, name + ".wav")
    run(["gst-launch-1.0", "-q", "audiotestsrc", f"wave={wave}", "num-buffers=300", "!",
         "audio/x-raw,format=S24LE,rate=48000,channels=2", "!", "wavenc", "!", "filesink",
         f"location={path}"]).check_returncode()
    expect(f"GStreamer {name}", [path, "--expect", "ident=ebu"], 1,
           r"pattern: no line-up pattern")

# Patterns from their public definitions, made by FFmpeg: GLITS (250 ms gaps: left at 0, right
# at 500 and 1000 ms of 4 s), EBU R49 (left off 250 ms every 3 s); and one 250 ms mute of the
# right leg, which repeats nothing and is a dropout, not an ident.
def aeval(name, left, right, seconds=9):
    path = os.path.join(folder, name + ".wav")
    tone = "0.1*sin(2*PI*1000*t)"
    run(["ffmpeg", "-nostdin", "-y", "-loglevel", "error", "-f", "lavfi", "-i",
         f"aevalsrc=exprs='{tone}*({left})|{tone}*({right})':s=48000:d={seconds}", "-c:a",
         "pcm_s24le",
         path]).check_returncode()
    return path


STEREO = "channels=2,level=smpte,pairs=1-2"
glits = aeval("glits-public", "1-lt(mod(t,4),0.25)",
              "1-between(mod(t,4),0.5,0.75)-between(mod(t,4),1,1.25)")
expect("GLITS by its public timing", [glits, "--expect", STEREO + ",ident=glits"], 0,
       r"pattern: GLITS \(250 ms gaps")
r49 = aeval("ebu-r49", "1-lt(mod(t,3),0.25)", "1")
expect("EBU R49, 250 ms every 3 s, as ident=ebu", [r49, "--expect", STEREO + ",ident=ebu"], 0,
       r"EBU stereo ident \(EBU R49")
mute = aeval("one-mute", "1", "1-between(t,2,2.25)")
expect("one 250 ms mute of the right leg", [mute, "--expect", STEREO], 1,
       r"channel 2: 1 dropout, the last at 2\.0")

# Silence and breaks are judged against the tone itself: an EBU R49 ident over a DC offset of
# -60 dBFS or a noise floor near -90 dBFS is still an ident; one lost 0.125 ms packet of a
# 16-channel ST 2110-30 stream (6 samples), one lost 0.25 ms packet (12 samples) and one packet
# held (its 6 samples again) are dropouts.
ident = "1-lt(mod(t,3),0.25)"
tone = "0.1*sin(2*PI*1000*t)"
for name, left, right in (
        ("a -60 dBFS DC offset", f"{tone}*({ident})+0.001", f"{tone}+0.001"),
        ("a noise floor near -90 dBFS", f"{tone}*({ident})+0.00005*(2*random(0)-1)",
         f"{tone}+0.00005*(2*random(1)-1)"),
        ("a codec's residue 50 dB down in the gaps", f"{tone}*({ident}+0.00316)", tone)):
    path = os.path.join(folder, name.replace(" ", "_") + ".wav")
    run(["ffmpeg", "-nostdin", "-y", "-loglevel", "error", "-f", "lavfi", "-i",
         f"aevalsrc=exprs='{left}|{right}':s=48000:d=9", "-c:a", "pcm_s24le", path]
        ).check_returncode()
    expect(f"EBU R49 over {name}", [path, "--expect", STEREO + ",ident=ebu"], 0,
           r"EBU stereo ident")
for name, right, length in (("6 samples lost", "1-between(n,120000,120005)", 6),
                            ("12 samples lost", "1-between(n,150000,150011)", 12)):
    path = aeval(name.replace(" ", "-"), "1", right)
    expect(name, [path, "--expect", STEREO], 1, rf"channel 2: 1 dropout, the last at ")
held = os.path.join(folder, "held.wav")
run(["ffmpeg", "-nostdin", "-y", "-loglevel", "error", "-f", "lavfi", "-i",
     "aevalsrc=exprs='0.1*sin(2*PI*1000*t)|0.1*sin(2*PI*1000*(t-between(n,120006,120011)*6/48000))'"
     ":s=48000:d=9", "-c:a", "pcm_s24le", held]).check_returncode()
expect("one packet held (its 6 samples again)", [held, "--expect", STEREO], 1,
       r"channel 2: 1 dropout, the last at 2\.50")

# Figures of the whole run: an EBU R49 run that ends inside the left leg's gap still gives the
# pair's correlation and delay and the left leg's THD+N, from its steady seconds. An MP3 round
# trip starting in the gap (the codec's pre-echo just before the tone) has no dropout at its
# start. A run too short to hear the gap again is said to be too short, not a dropout.
ends_in_gap = aeval("ends-in-gap", "1-lt(mod(t,3),0.25)", "1", 9.2)
report = json.loads(run([check, "--json", ends_in_gap]).stdout.splitlines()[-1])
left = report["channels"][0]
if left.get("correlation") is None or left.get("legDelaySamples") is None or \
        left.get("thdnDb") is None:
    failures.append(f"run ending in a gap: pair or THD+N figures blank: {left}")
mp3, mp3_wav = os.path.join(folder, "r49.mp3"), os.path.join(folder, "r49-mp3.wav")
run(["ffmpeg", "-nostdin", "-y", "-loglevel", "error", "-i", r49, "-c:a", "libmp3lame", "-b:a",
     "192k", mp3]).check_returncode()
run(["ffmpeg", "-nostdin", "-y", "-loglevel", "error", "-i", mp3, "-c:a", "pcm_s24le",
     mp3_wav]).check_returncode()
expect("EBU R49 through MP3, starting in the gap", [mp3_wav, "--expect", STEREO + ",ident=ebu"],
       0, r"OK")
lone = aeval("one-gap-in-3-s", "1-between(t,1,1.25)", "1", 3)
expect("3 s with one ident gap", [lone, "--expect", STEREO + ",ident=ebu"], 1,
       r"pattern: the run \(3\.0 s\) was too short to confirm the expected ident \(ebu\).*"
       r"needs 4\.3 s")
if re.search(r"\d dropout", run([check, lone, "--expect", STEREO + ",ident=ebu"]).stdout):
    failures.append("3 s with one ident gap: the gap reported as a dropout")

# Surround idents made by FFmpeg from their published description (EBU Tech 3304), then routed
# wrongly on purpose: each leg named by what it carries, each mis-route named as an engineer
# says it, and a stereo downmix of BLITS told apart with its 2 kHz level against line-up.
def blits_legs():
    legs = [[(0.8 * k, 0.6, f, 1.0), (10.2, 3.0, 2000, 0.5012)]
            for k, f in enumerate((880, 880, 1320, 82.5, 660, 660))]
    legs[1].append((4.8, 5.1, 1000, 1.0))
    start = 4.8
    for stop in (5.8, 6.4, 7.0, 7.6, 9.9):
        legs[0].append((start, stop - start, 1000, 1.0))
        start = stop + 0.3
    return legs


def surround(name, legs, cycle, seconds, layout):
    exprs = []
    for leg in legs:
        terms = [f"{gain}*sin(2*PI*{hz}*(mod(t,{cycle})-{at}))*gte(mod(t,{cycle}),{at})*"
                 f"lt(mod(t,{cycle}),{at + length})" for at, length, hz, gain in leg]
        exprs.append("0.1259*(" + "+".join(terms) + ")")
    path = os.path.join(folder, name + ".wav")
    command = ["ffmpeg", "-nostdin", "-y", "-loglevel", "error", "-f", "lavfi", "-i",
               f"aevalsrc=exprs='{'|'.join(exprs)}':s=48000:d={seconds}:c={layout}"]
    run(command + ["-c:a", "pcm_s24le", path]).check_returncode()
    return path


BLITS = ["--expect", "channels=6,ident=blits,layout=5.1"]
blits = surround("blits", blits_legs(), 13.4, 16, "5.1")
expect("BLITS 5.1, clean", [blits] + BLITS, 0, r"OK")


def routed(name, *arguments):
    """The clean BLITS through one more FFmpeg step (a pan, a downmix)."""
    path = os.path.join(folder, name + ".wav")
    run(["ffmpeg", "-nostdin", "-y", "-loglevel", "error", "-i", blits] + list(arguments) +
        ["-c:a", "pcm_s24le", path]).check_returncode()
    return path


for name, route, fault in (
        ("C and LFE swapped", "pan=5.1|c0=c0|c1=c1|c2=c3|c3=c2|c4=c4|c5=c5",
         r"channel 3 carries LFE and channel 4 C: C and LFE swapped"),
        ("Ls and Rs swapped", "pan=5.1|c0=c0|c1=c1|c2=c2|c3=c3|c4=c5|c5=c4",
         r"channel 5 carries Rs and channel 6 Ls: Ls and Rs swapped"),
        ("C missing", "pan=5.1|c0=c0|c1=c1|c2=0*c2|c3=c3|c4=c4|c5=c5", r"C missing"),
        ("Ls inverted", "pan=5.1|c0=c0|c1=c1|c2=c2|c3=c3|c4=-1*c4|c5=c5",
         r"channel 5 \(Ls\): polarity inverted")):
    expect(f"BLITS, {name}", [routed(name.replace(" ", "-"), "-af", route)] + BLITS, 1, fault)
downmix = routed("blits-downmix", "-ac", "2")
expect("BLITS through FFmpeg's stereo downmix", [downmix, "--expect", "ident=blits,layout=stereo"],
       0, r"pattern: a stereo downmix of BLITS")
centreless = routed("blits-downmix-no-centre", "-af", "pan=stereo|c0=c0+0.707*c4|c1=c1+0.707*c5")
expect("BLITS downmixed without its centre", [centreless, "--expect", "ident=blits"], 1,
       r"downmix: the 2 kHz section -?\d+\.\d dB re the 1 kHz line-up")
ebu71 = [[] for _ in range(8)]
for k, leg in enumerate((0, 2, 1, 5, 7, 6, 4)):
    ebu71[leg] += [(0, 3.0, 1000, 1.0), (3.5 + k, 0.5, 1000, 1.0)]
ebu71[3] = [(0, 10.5, 80, 1.0)]
expect("EBU multichannel ident 7.1", [surround("ebu71", ebu71, 10.5, 15, "7.1"), "--expect",
                                      "channels=8,ident=ebu-surround,layout=7.1"], 0, r"OK")

# The verdict covers the whole duration: a channel 3 dB low, or inverted, for the first 8 of
# 10 s is a fault though its last seconds are right; a codec's overshoot where the tone resumes
# after each gap (AAC) is no level error.
late = aeval("low-then-right", "1", "if(lt(t,8),0.708,1)", 10)
expect("3 dB low for the first 8 of 10 s", [late, "--expect", STEREO], 1,
       r"channel 2: level off in 8 of 10 s")
flipped = aeval("inverted-then-right", "1", "if(lt(t,8),-1,1)", 10)
expect("inverted for the first 8 of 10 s", [flipped, "--expect", STEREO], 1,
       r"channel 2: polarity inverted in [78] of 10 s")
coded = os.path.join(folder, "aac.m4a")
decoded = os.path.join(folder, "aac.wav")
run(["ffmpeg", "-nostdin", "-y", "-loglevel", "error", "-i", r49, "-c:a", "aac", "-b:a", "128k",
     coded]).check_returncode()
run(["ffmpeg", "-nostdin", "-y", "-loglevel", "error", "-i", coded, "-c:a", "pcm_s24le",
     decoded]).check_returncode()
expect("EBU R49 through AAC", [decoded, "--expect", STEREO + ",ident=ebu"], 0, r"OK")

# What else an engineer reads off a path, against figures known by construction: loudness and
# true peak (a -20 dBFS 1 kHz sine is -23.0 LUFS), DC, clipped samples, THD+N of a clean tone,
# and the right leg 0.3 samples behind the left.
figures = os.path.join(folder, "figures.wav")
run(["ffmpeg", "-nostdin", "-y", "-loglevel", "error", "-f", "lavfi", "-i",
     "aevalsrc=exprs='0.1*sin(2*PI*1000*t)+0.001|0.1*sin(2*PI*1000*(t-0.3/48000))':s=48000:d=5",
     "-c:a", "pcm_s24le", figures]).check_returncode()
report = json.loads(run([check, "--json", figures]).stdout.splitlines()[-1])
left, right = report["channels"]
measured = (left["loudnessLufs"], left["truePeakDbtp"], left["dcDbfs"], left["legDelaySamples"],
            right["thdnDb"], left["clipped"])
print(f"figures: loudness {measured[0]} LUFS, true peak {measured[1]} dBTP, DC {measured[2]} "
      f"dBFS, right leg {measured[3]} samples, THD+N {measured[4]} dB, clipped {measured[5]}")
if not (abs(measured[0] + 23.0) < 0.1 and abs(measured[1] + 19.91) < 0.1 and
        abs(measured[2] + 60.0) < 0.2 and abs(measured[3] - 0.3) < 0.01 and measured[4] < -100
        and measured[5] == 0):
    failures.append(f"path figures: {measured}")
clipping = aeval("clipping", "1", "1", 3)
loud = os.path.join(folder, "clipped.wav")
run(["ffmpeg", "-nostdin", "-y", "-loglevel", "error", "-i", clipping, "-af", "volume=26dB",
     "-c:a", "pcm_s24le", loud]).check_returncode()
clipped = json.loads(run([check, "--json", loud]).stdout.splitlines()[-1])["channels"][0]
if clipped["clipped"] < 1000:
    failures.append(f"a tone 6 dB over full scale: {clipped['clipped']} samples counted clipped")

# Near a nominal frequency is a frequency, not a clock: 997 Hz, and 1000 Hz recorded at 44.1 kHz
# and played at 48 kHz.
for name, source in (("997 Hz", "sine=frequency=997:sample_rate=48000:duration=6"),
                     ("44.1 kHz played at 48 kHz",
                      "sine=frequency=1000:sample_rate=44100:duration=6,asetrate=48000")):
    path = os.path.join(folder, name.replace(" ", "_") + ".wav")
    run(["ffmpeg", "-nostdin", "-y", "-loglevel", "error", "-f", "lavfi", "-i", source,
         "-c:a", "pcm_s24le", path]).check_returncode()
    expect(name, [path, "--expect", "channels=1"], 1,
           r"channel 1: (997\.0|1088\.4) Hz is no frequency of the generator")
    if re.search(r"clock:", run([check, path, "--expect", "channels=1"]).stdout):
        failures.append(f"{name}: reported as a clock error")

# Inputs: too little audio is never a pass; a WAV on standard input is read by its header; RMS
# takes every sample (a sine's is 3.01 dB under its peak); --json prints JSON alone; a session
# without a=rtpmap takes RFC 3551's static type, and a compressed one is refused.
short = os.path.join(folder, "short.wav")
run(["ffmpeg", "-nostdin", "-y", "-loglevel", "error", "-f", "lavfi", "-i",
     "sine=frequency=1000:sample_rate=48000:duration=0.2", "-c:a", "pcm_s24le", short])
expect("0.2 s checked for 10 s", [short, "--duration", "10", "--expect", "channels=1"], 1,
       r"input: 0\.20 s of audio arrived, 10\.00 s asked")
with open(ebu8, "rb") as wav:
    result = subprocess.run([check, "-", "--json"] + EBU8, stdin=wav, capture_output=True,
                            text=True, timeout=120)
lines = result.stdout.splitlines()
if result.returncode != 0 or not lines or not all(l.startswith("{") for l in lines):
    failures.append(f"WAV on stdin with --json: exit {result.returncode}\n{result.stdout}")
rms = re.search(r'"channel":2,"tone":true,"frequencyHz":[\d.]+,"peakDbfs":(-[\d.]+),'
                r'"rmsDbfs":(-[\d.]+)', lines[-1] if lines else "")
if not rms or abs(float(rms.group(1)) - float(rms.group(2)) - 3.01) > 0.01:
    failures.append(f"RMS of a steady sine is not 3.01 dB under its peak: {lines[-1:]}")
print(f"WAV on stdin, --json: exit {result.returncode}, {len(lines)} JSON lines")
for payload, status, said in ((0, 2, r"the audio is PCMU \(payload type 0\)"),
                              (8, 2, r"the audio is PCMA"),
                              (97, 2, r"payload type 97 has no a=rtpmap"),
                              (11, 2, r"nothing arrived")):
    sdp = os.path.join(folder, f"pt{payload}.sdp")
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]  # nothing sends there: type 11 is read, then times out
    with open(sdp, "w") as f:
        f.write(f"v=0\no=- 1 1 IN IP4 127.0.0.1\ns=x\nc=IN IP4 127.0.0.1\nt=0 0\n"
                f"m=audio {port} RTP/AVP {payload}\n")
    expect(f"session of payload type {payload} without a=rtpmap", [sdp], status, said)

# Live: the program on 127.0.0.1, through a relay that drops one packet in 1000.
def wait_for_file(path, seconds=30):
    for _ in range(seconds * 10):
        if os.path.exists(path):
            return
        time.sleep(0.1)


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


relay_in = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
# Room for a second of packets: a relay the rest of a loaded suite holds off the CPU for a while
# must not lose what the clean run promises to deliver whole.
relay_in.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 << 20)
relay_in.bind(("127.0.0.1", 0))
sender_port = relay_in.getsockname()[1]
relay_out = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
analyser_port = free_port()
dropping = threading.Event()
stop = threading.Event()


def relay():
    relay_in.settimeout(0.2)
    count = 0
    while not stop.is_set():
        try:
            packet = relay_in.recv(2048)
        except socket.timeout:
            continue
        count += 1
        if dropping.is_set() and count % 1000 == 0:
            continue
        relay_out.sendto(packet, ("127.0.0.1", analyser_port))


threading.Thread(target=relay, daemon=True).start()
runtime = os.path.join(folder, "run")
os.mkdir(runtime, 0o700)
env = dict(os.environ, QT_QPA_PLATFORM="offscreen", XDG_RUNTIME_DIR=runtime,
           LIRAFON_NDI_RUNTIME="builtin", LIRAFON_RTP_PORT=str(sender_port),
           LIRAFON_SAP_DESTINATION=f"127.0.0.1:{free_port()}", LIRAFON_CONTROL_PORT="off",
           LIRAFON_PTP="off")
generator = subprocess.Popen([program, "--channels", "8"], env=env, stdout=subprocess.DEVNULL,
                             stderr=subprocess.DEVNULL)
try:
    sdp = os.path.join(runtime, "qel-ndi-lirafon", "QEL Audio Tone 1-audio.sdp")
    wait_for_file(sdp)
    with open(sdp, newline="") as f:
        text = f.read()
    relayed = os.path.join(folder, "relayed.sdp")
    with open(relayed, "w", newline="") as f:
        f.write(text.replace(f"m=audio {sender_port} ", f"m=audio {analyser_port} "))
    live = ["--expect", "channels=8,level=ebu,ident=ebu,pairs=1-2", "--duration", "8"]
    expect("live stream, clean", [relayed] + live, 0, r"OK: everything matched")
    dropping.set()
    expect("live stream, 1 packet in 1000 dropped", [relayed] + live, 1,
           r"network: \d+ packets lost", r"channel [12]: \d+ dropouts?, the last at")
finally:
    stop.set()
    generator.terminate()
    generator.wait()

# The generator's own BLITS on the wire (the built-in runtime's RTP, straight to the analyser):
# every leg in its place and the stereo pair beside it on the EBU ident.
blits_runtime = os.path.join(folder, "run-blits")
os.mkdir(blits_runtime, 0o700)
blits_env = dict(env, XDG_RUNTIME_DIR=blits_runtime, LIRAFON_RTP_PORT=str(free_port()))
generator = subprocess.Popen([program, "--channels", "8", "--ident", "blits"], env=blits_env,
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
try:
    sdp = os.path.join(blits_runtime, "qel-ndi-lirafon", "QEL Audio Tone 1-audio.sdp")
    wait_for_file(sdp)
    expect("the generator's BLITS on the wire", [sdp, "--duration", "16", "--expect",
                                                 "channels=8,level=ebu,ident=blits,layout=5.1"],
           0, r"pattern: BLITS 5\.1", r"OK: everything matched")
finally:
    generator.terminate()
    generator.wait()

for failure in failures:
    print("FAIL:", failure)
sys.exit(1 if failures else 0)
