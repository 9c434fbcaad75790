#!/usr/bin/env python3
"""lirafon-check on real paths: the tone under noise, hum and crosstalk, through the codecs paths
use, in every container FFmpeg writes, and the EBU multichannel ident made from its published
description. Every signal is made by FFmpeg (aevalsrc, anoisesrc), not by this project, and its
truth is known by construction or measured by FFmpeg's astats. Each impairment must be named and
measured within 1 dB, and must never turn into a wrong pattern, a missing tone, a dropout, a
clock or a level fault.

    impairments_test.py LIRAFON_CHECK
"""
import json, os, re, subprocess, sys, tempfile

check = sys.argv[1]
folder = tempfile.mkdtemp(prefix="lirafon-impairments-")
failures = []
TONE = "0.125893*sin(2*PI*1000*t)"  # -18 dBFS peak: EBU line-up
R49_LEFT = "(1-lt(mod(t,3),0.25))"  # EBU R49: the left leg off 250 ms every 3 s
GLITS_LEFT = "(1-lt(mod(t,4),0.25))"
GLITS_RIGHT = "(1-between(mod(t,4),0.5,0.75)-between(mod(t,4),1,1.25))"
R49 = ["--reference", "ebu", "--expect", "channels=2,level=ebu,ident=ebu-r49"]
WRONG = re.compile(r"dropout|no line-up tone|silent|clock:|level .*dBu|expected ebu|pattern:")


def run(args, **kwargs):
    return subprocess.run(args, capture_output=True, text=True, timeout=300, **kwargs)


def ffmpeg(*args):
    result = run(["ffmpeg", "-nostdin", "-y", "-loglevel", "error"] + list(args))
    if result.returncode != 0:
        failures.append(f"ffmpeg {' '.join(args)}: {result.stderr.strip()}")


def make(name, left, right, seconds=10, rate=48000):
    path = os.path.join(folder, name + ".wav")
    ffmpeg("-f", "lavfi", "-i", f"aevalsrc=exprs='{left}|{right}':s={rate}:d={seconds}",
           "-c:a", "pcm_s24le", path)
    return path


def hum(mains, level):
    """Mains hum: the fundamental at `level` (linear peak), its 2nd, 3rd and 5th under it."""
    return (f"{level}*(sin(2*PI*{mains}*t+0.3)+0.3*sin(2*PI*{2 * mains}*t)"
            f"+0.5*sin(2*PI*{3 * mains}*t+1)+0.2*sin(2*PI*{5 * mains}*t))")


def white(rms, seed):
    """White noise of uniform distribution with the RMS asked for (uniform on +-a: a/sqrt(3))."""
    return f"{rms * 3 ** 0.5}*(2*random({seed})-1)"


def report(path, *args):
    result = run([check, "--json", path] + list(args))
    lines = result.stdout.splitlines()
    try:
        return result.returncode, json.loads(lines[-1])
    except (IndexError, json.JSONDecodeError):
        failures.append(f"{path}: no JSON verdict (exit {result.returncode}) {result.stderr}")
        return result.returncode, {"channels": [], "faults": []}


def judge(name, path, args, pattern, named=(), near=(), tone=-18.0):
    """The verdict: the pattern, no wrong fault, each impairment named, each figure near."""
    status, verdict = report(path, *args)
    faults = verdict.get("faults", [])
    wrong = [f for f in faults if WRONG.search(f)]
    if verdict.get("ident") != pattern:
        failures.append(f"{name}: pattern {verdict.get('pattern')}, expected {pattern}")
    if wrong:
        failures.append(f"{name}: wrong faults {wrong}")
    for text in named:
        if not any(re.search(text, f) for f in faults):
            failures.append(f"{name}: no fault matching {text!r} in {faults}")
    if not named and status != 0:
        failures.append(f"{name}: exit {status}, faults {faults}")
    for channel, figure, truth in near:
        got = figure(verdict["channels"][channel - 1])
        if got is None or abs(got - truth) > 1.0:
            failures.append(f"{name}: channel {channel} read {got}, truth {truth}")
    for c in verdict.get("channels", []):
        if c.get("tone") and abs(c["toneLevelDbfs"] - tone) > 0.1:
            failures.append(f"{name}: channel {c['channel']} tone {c['toneLevelDbfs']} dBFS")
    print(f"{name}: exit {status}, {len(faults)} faults")
    return verdict


noise = lambda c: c.get("noiseDbfs")
hum_level = lambda c: (c.get("hum") or {}).get("dbfs")
leak = lambda c: (c.get("crosstalk") or [{}])[0].get("relativeDb")

# The rows: white noise, pink noise, hum, GLITS with hum and noise, crosstalk.
for level in (90, 80, 60, 50):
    rms = 10 ** (-level / 20)
    path = make(f"white-{level}", f"{TONE}*{R49_LEFT}+{white(rms, 0)}", f"{TONE}+{white(rms, 1)}")
    judge(f"EBU R49 under white noise at -{level} dBFS", path, R49, "ebu-r49",
          named=(r"channel 1: noise floor",) if level <= 60 else (),
          near=((1, noise, -level), (2, noise, -level)))

pink = os.path.join(folder, "pink.wav")
ffmpeg("-f", "lavfi", "-i", "anoisesrc=color=pink:amplitude=0.02:seed=11:d=10:r=48000", "-c:a",
       "pcm_f32le", pink)
stats = run(["ffmpeg", "-nostdin", "-i", pink, "-af",
             "astats=measure_overall=RMS_level:measure_perchannel=none", "-f", "null", "-"])
measured = float(re.search(r"RMS level dB: (-?[\d.]+)", stats.stderr).group(1))
for target in (-60, -50):
    path = os.path.join(folder, f"pink{target}.wav")
    ffmpeg("-f", "lavfi", "-i", f"aevalsrc=exprs='{TONE}*{R49_LEFT}|{TONE}':s=48000:d=10", "-i",
           pink, "-filter_complex",
           f"[1]volume={target - measured:.3f}dB,asplit[a][b];[0]channelsplit[l][r];"
           "[l][a]amix=inputs=2:normalize=0[lo];[r][b]amix=inputs=2:normalize=0[ro];"
           "[lo][ro]join=inputs=2:channel_layout=stereo", "-c:a", "pcm_s24le", path)
    judge(f"EBU R49 under pink noise at {target} dBFS", path, R49, "ebu-r49",
          named=(r"channel 2: noise floor",), near=((1, noise, target), (2, noise, target)))

for mains, level in ((50, 70), (50, 60), (60, 50)):
    h = hum(mains, 10 ** (-level / 20))
    path = make(f"hum-{mains}-{level}", f"{TONE}*{R49_LEFT}+{h}", f"{TONE}+{h}")
    judge(f"EBU R49 with {mains} Hz hum at -{level} dBFS", path, R49, "ebu-r49",
          named=(rf"channel 1: hum {mains} Hz at -{level}\.\d dBFS \({level - 18}\.\d dB under "
                 rf"the tone\), with {2 * mains} Hz",),
          near=((1, hum_level, -level), (2, hum_level, -level)))

h = hum(60, 10 ** (-70 / 20))
path = make("glits-hum-noise", f"{TONE}*{GLITS_LEFT}+{h}+{white(1e-4, 0)}",
            f"{TONE}*{GLITS_RIGHT}+{h}+{white(1e-4, 1)}")
judge("GLITS with 60 Hz hum at -70 dBFS and noise at -80", path,
      ["--reference", "ebu", "--expect", "channels=2,level=ebu,ident=glits"], "glits",
      named=(r"channel 2: hum 60 Hz",), near=((1, hum_level, -70), (1, noise, -80)))

# An 8-channel multi-frequency set (1000 to 200 Hz), each pair's legs leaking into each other at
# -40 dB, and at -30 dB with noise at -60 dBFS: every channel its own frequency and place.
MULTI = [1000, 800, 600, 500, 400, 300, 250, 200]
for leak_db, floor in ((-40, None), (-30, 1e-3)):
    gain = 10 ** (leak_db / 20)
    legs = []
    for ch, hz in enumerate(MULTI):
        other = MULTI[ch ^ 1]
        gap = R49_LEFT if ch % 2 == 0 else "1"
        other_gap = R49_LEFT if ch % 2 == 1 else "1"
        expr = (f"0.1*sin(2*PI*{hz}*t)*{gap}+{gain}*0.1*sin(2*PI*{other}*t)*{other_gap}")
        if floor:
            expr += "+" + white(floor, ch)
        legs.append(expr)
    path = os.path.join(folder, f"multi{leak_db}.wav")
    ffmpeg("-f", "lavfi", "-i", f"aevalsrc=exprs='{'|'.join(legs)}':s=48000:d=10:c=7.1", "-c:a",
           "pcm_s24le", path)
    verdict = judge(f"multi-frequency set, crosstalk at {leak_db} dB", path,
                    ["--expect", "channels=8,level=-20dBFS,frequency=multi"], "ebu-r49",
                    named=(rf"channel 3: crosstalk from channel 4 at {leak_db}\.\d dB",),
                    near=tuple((ch, leak, leak_db) for ch in range(1, 9)), tone=-20.0)
    for c in verdict["channels"]:
        hz = MULTI[c["channel"] - 1]
        if c.get("generatorChannel") != c["channel"] or abs(c["frequencyHz"] - hz) > hz * 1e-4:
            failures.append(f"multi {leak_db}: channel {c['channel']} at {c['frequencyHz']} Hz "
                            f"placed {c.get('generatorChannel')}")

# The codecs paths use, on the clean ident and under the impairments above.
clean = make("clean", f"{TONE}*{R49_LEFT}", TONE)
under = make("under", f"{TONE}*{R49_LEFT}+{hum(50, 3e-4)}+{white(1e-4, 0)}",
             f"{TONE}+{hum(50, 3e-4)}+{white(1e-4, 1)}")
for codec, rate, extension in (("libmp3lame", "128k", "mp3"), ("aac", "96k", "m4a"),
                               ("libopus", "64k", "opus")):
    for name, source in (("clean", clean), ("with hum and noise", under)):
        coded = os.path.join(folder, f"{name.replace(' ', '-')}.{extension}")
        ffmpeg("-i", source, "-c:a", codec, "-b:a", rate, coded)
        # A codec adds noise of its own: judged on what it must not do, not on its SNR. It may
        # move the level too (LAME at 128k takes 0.45 dB off): the truth is the steady right
        # leg's RMS as FFmpeg's astats reads it.
        stats = run(["ffmpeg", "-nostdin", "-i", coded, "-af",
                     "pan=mono|c0=c1,atrim=2:3,astats=measure_overall=RMS_level", "-f", "null",
                     "-"])
        rms = float(re.search(r"RMS level dB: (-?[\d.]+)", stats.stderr).group(1))
        judge(f"EBU R49 {name} through {codec} {rate}", coded,
              ["--expect", "channels=2,ident=ebu-r49,noise=20"], "ebu-r49",
              named=(r"hum 50 Hz",) if source == under else (), tone=rms + 3.0103)

# Read as what they hold, whatever their names.
for extension, codec in (("flac", "flac"), ("aiff", "pcm_s16be"), ("w64", "pcm_s24le"),
                         ("caf", "pcm_s24le"), ("ac3", "ac3")):
    path = os.path.join(folder, f"r49.{extension}")
    ffmpeg("-i", clean, "-c:a", codec, path)
    renamed = path + ".recording"
    os.replace(path, renamed)
    judge(f"EBU R49 as {extension}, named .recording", renamed, R49, "ebu-r49")
junk = os.path.join(folder, "junk.wav.txt")
with open(junk, "wb") as f:
    f.write(os.urandom(4096))
result = run([check, junk])
if result.returncode != 2 or len(result.stderr.strip().splitlines()) != 1 or \
        junk not in result.stderr:
    failures.append(f"unreadable file: exit {result.returncode}, said {result.stderr!r}")
print(f"unreadable file: exit {result.returncode}")

# The EBU multichannel ident on 5.1 from its published description: 3 s of 1 kHz on the five
# main channels, 0.5 s of silence, then 0.5 s bursts clockwise from front left 0.5 s apart, the
# LFE a continuous 80 Hz, an 8.5 s cycle; clean, through AC-3 448k and AAC 384k.
legs = [[] for _ in range(6)]
for k, leg in enumerate((0, 2, 1, 5, 4)):  # L, C, R, Rs, Ls in 5.1's order L R C LFE Ls Rs
    legs[leg] += [(0, 3.0, 1000), (3.5 + k, 0.5, 1000)]
legs[3] = [(0, 8.5, 80)]
exprs = ["0.125893*(" + "+".join(f"sin(2*PI*{hz}*(mod(t,8.5)-{at}))*gte(mod(t,8.5),{at})*"
                                 f"lt(mod(t,8.5),{at + length})" for at, length, hz in leg) + ")"
         for leg in legs]
ebu51 = os.path.join(folder, "ebu51.wav")
ffmpeg("-f", "lavfi", "-i", f"aevalsrc=exprs='{'|'.join(exprs)}':s=48000:d=20:c=5.1", "-c:a",
       "pcm_s24le", ebu51)
SURROUND = ["--expect", "channels=6,ident=ebu-surround,layout=5.1"]
for name, codec, rate in (("clean", None, None), ("AC-3 448k", "ac3", "448k"),
                          ("AAC 384k", "aac", "384k")):
    path = ebu51
    if codec:
        path = os.path.join(folder, f"ebu51-{codec}.mka")
        ffmpeg("-i", ebu51, "-c:a", codec, "-b:a", rate, path)
    status, verdict = report(path, *SURROUND)
    roles = [c.get("role") for c in verdict["channels"]]
    if status != 0 or roles != ["L", "R", "C", "LFE", "Ls", "Rs"]:
        failures.append(f"EBU multichannel ident 5.1 {name}: exit {status}, roles {roles}, "
                        f"{verdict.get('faults')}")
    print(f"EBU multichannel ident 5.1 {name}: exit {status}")

for failure in failures:
    print("FAIL:", failure)
sys.exit(1 if failures else 0)
