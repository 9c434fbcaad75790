#include "tone_tracker.h"

#include "sine_fit.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

// Two doubles, one SSE2 register.
typedef double Pair __attribute__((vector_size(2 * sizeof(double))));

constexpr double kPi = 3.141592653589793;
constexpr double kBlockS = 0.0005;
constexpr int kFrameBlocks = 20;        // 10 ms frames
constexpr size_t kReferenceBlocks = 20; // the 10 ms of tone a block is held against
constexpr double kPresent = 0.5;        // an envelope this far down (-6 dB) is an edge of the tone
constexpr double kGone = 0.1;
constexpr double kDominant = 0.5; // the share of a window's power the tone holds where present //
                                  // ... and this far (-20 dB) the tone gone
// A stretch the tone is gone for is a silence when what is left is 10 dB or more under the
// tone's power: otherwise something else sounds there (the next tone of a surround ident).
constexpr double kLoud = 0.1;
constexpr double kFloor = 1e-5;        // -100 dBFS: no tone below this
constexpr double kAcquireFloor = 5e-9; // a mean square of -83 dBFS: below it nothing to find
constexpr double kHistoryS = 20.0;
constexpr double kFrequencyS = 10.0;
constexpr double kAcquireS = 0.04;    // the FFT's window for a tone above 300 Hz
constexpr double kAcquireLowS = 0.08; // ... and below, where 40 ms holds too few periods
constexpr double kDominance = 0.3;
constexpr double kBackdateS = 0.16; // how far back a tone just found may have begun
constexpr size_t kExplainFrames = 4;
constexpr double kExplained = 0.25;   // under this share of the power, the tone explains nothing //
                                      // the share of the window's power a tone's lobe must hold
constexpr double kNewToneLevel = 0.3; // a new tone within an old one's silence: -10 dB or more
constexpr double kBreakFraction = 0.01;
constexpr double kNoiseMargin = 8.0;
constexpr int kMostBreaksPerSecond = 50;
constexpr double kSettleS = 0.02;
constexpr double kFullScaleHeld = 0.999; // a value held there is clipping, counted as such

double Wrap(double phase) {
    phase = std::fmod(phase, 2 * kPi);
    return phase < 0 ? phase + 2 * kPi : phase;
}

int64_t SamplesOf(double seconds, int rate) {
    return std::max<int64_t>(1, std::llround(seconds * rate));
}

} // namespace

double CToneTracker::Fit::Amplitude() const {
    return std::sqrt(a * a + b * b);
}

CToneTracker::CToneTracker(int rate, CSpectrum* spectrum)
    : m_rate(rate), m_spectrum(spectrum), m_recent(static_cast<size_t>(rate), 0.0),
      m_blockLength(std::max<int64_t>(4, std::llround(kBlockS * rate))),
      m_heldLength(SamplesOf(0.001, rate)), m_bridge(SamplesOf(0.005, rate)),
      m_leadingBurst(SamplesOf(0.024, rate)), m_longestDropout(SamplesOf(0.2, rate)),
      m_breakJoin(SamplesOf(0.002, rate)) {
    m_dcStep = 1.0 / (0.5 * rate);
    // What n samples of a one-pole follower move it by, for every stretch a block may be.
    for (size_t n = 0; n <= kLongestBlock; ++n) {
        m_dcWeights[n] = 1.0 - std::pow(1.0 - m_dcStep, static_cast<double>(n));
        m_residualWeights[n] = 1.0 - std::pow(0.998, static_cast<double>(n));
    }
    StartBlock();
}

CToneTracker::Fit CToneTracker::Solve(double c, double s, double cc, double cs, double length) {
    const double ss = length - cc;
    const double det = cc * ss - cs * cs;
    if (det <= 1e-9 * length * length) {
        return {};
    }
    return {(c * ss - s * cs) / det, (s * cc - c * cs) / det};
}

CToneTracker::Sums CToneTracker::Window(size_t count, size_t skip) const {
    Sums sums;
    if (m_blockCount <= skip) {
        return sums;
    }
    const size_t newest = m_blockCount - 1 - skip;
    const Sums& to = m_blocks[newest % kRingBlocks].total;
    if (newest < count) {
        return to; // fewer blocks than asked: all there are
    }
    const Sums& from = m_blocks[(newest - count) % kRingBlocks].total;
    sums.c = to.c - from.c;
    sums.s = to.s - from.s;
    sums.cc = to.cc - from.cc;
    sums.cs = to.cs - from.cs;
    sums.squares = to.squares - from.squares;
    sums.length = to.length - from.length;
    return sums;
}

CToneTracker::Fit CToneTracker::FitBlocks(size_t count, size_t skip) const {
    const Sums w = Window(count, skip);
    return Solve(w.c, w.s, w.cc, w.cs, w.length);
}

// The rotator at the block's first sample, exactly (a rotation a sample drifts), and the
// reference's sums of squares over the block in closed form.
void CToneTracker::StartBlock() {
    m_block = Block{};
    m_block.start = m_samples;
    m_toBlockEnd = m_blockLength;
    if (m_hz <= 0) {
        return;
    }
    // The rotator goes on from the last block, its length held at 1; every 1024 blocks it is set
    // exactly from the phase (a rotation a sample drifts by a rounding each).
    if (m_blockCount % 1024 == 0) {
        const double phase =
            Wrap(m_phaseAt + m_omega * static_cast<double>(m_samples - m_phaseSample));
        m_cos = std::cos(phase);
        m_sin = std::sin(phase);
    } else {
        const double norm = 1.0 / std::sqrt(m_cos * m_cos + m_sin * m_sin);
        m_cos *= norm;
        m_sin *= norm;
    }
    const double twiceRe = m_cos * m_cos - m_sin * m_sin, twiceIm = 2 * m_sin * m_cos;
    const double re = twiceRe * m_geometricRe - twiceIm * m_geometricIm;
    const double im = twiceRe * m_geometricIm + twiceIm * m_geometricRe;
    const double length = static_cast<double>(m_blockLength);
    m_block.cc = 0.5 * length + 0.5 * re;
    m_block.cs = 0.5 * im;
}

void CToneTracker::SetCarrier(double hz, bool sameTone) {
    m_phaseAt = Wrap(m_phaseAt + m_omega * static_cast<double>(m_samples - m_phaseSample));
    m_phaseSample = m_samples;
    m_hz = hz;
    m_omega = 2 * kPi * hz / m_rate;
    m_stepCos = std::cos(m_omega);
    m_stepSin = std::sin(m_omega);
    m_twiceCos = std::cos(2 * m_omega);
    m_twiceSin = std::sin(2 * m_omega);
    // sum over k < L of exp(2j omega k), (1 - exp(2j omega L)) / (1 - exp(2j omega))
    const double length = static_cast<double>(m_blockLength);
    const double denRe = 1 - std::cos(2 * m_omega), denIm = -std::sin(2 * m_omega);
    const double numRe = 1 - std::cos(2 * m_omega * length),
                 numIm = -std::sin(2 * m_omega * length);
    const double den = denRe * denRe + denIm * denIm;
    if (den < 1e-18) {
        m_geometricRe = length;
        m_geometricIm = 0;
    } else {
        m_geometricRe = (numRe * denRe + numIm * denIm) / den;
        m_geometricIm = (numIm * denRe - numRe * denIm) / den;
    }
    const double period = m_rate / hz;
    m_window =
        std::clamp<size_t>(static_cast<size_t>(std::ceil(period / length)), 2, kRingBlocks / 2);
    ++m_epoch;
    m_presentRun = 0; // no reference phase until a new one is heard
    m_coefficient = 0;
    if (!sameTone) {
        m_level = 0;
        m_frameMax = 0;
        m_frameMaxima.clear();
        m_refined = false;
    }
}

void CToneTracker::Add(const double* samples, size_t count) {
    // Each chain of dependent arithmetic in a loop of its own, in locals: the DC follower (and
    // the ring, the clipped samples), then the rotator, then the held samples and the break
    // predictor, which branch.
    std::array<double, kLongestBlock> ys;
    for (size_t i = 0; i < count;) {
        const size_t stretch = std::min(count - i, static_cast<size_t>(m_toBlockEnd));
        Condition(samples + i, ys.data(), stretch);
        Demodulate(ys.data(), stretch);
        Watch(samples + i, ys.data(), stretch);
        m_toBlockEnd -= static_cast<int64_t>(stretch);
        i += stretch;
        if (m_toBlockEnd == 0) {
            CloseBlock();
            StartBlock();
        }
    }
}

void CToneTracker::Condition(const double* xs, double* ys, size_t stretch) {
    // The DC follower moves once a block, from the block's mean: it is slow (half a second)
    // and a step of half a millisecond is nothing to it, and each sample is then free of it.
    const double dc = m_dc, fullScale = m_fullScale;
    double squares = m_block.squares, sum = 0;
    uint64_t clipped = 0;
    for (size_t k = 0; k < stretch; ++k) {
        const double x = xs[k];
        sum += x;
        ys[k] = x - dc;
        squares += ys[k] * ys[k];
        clipped += x >= fullScale || x <= -1.0 ? 1 : 0;
    }
    m_dc += (sum / static_cast<double>(stretch) - m_dc) * m_dcWeights[stretch];
    m_clipped += clipped;
    for (size_t k = 0; k < stretch;) {
        const size_t run = std::min(stretch - k, m_recent.size() - m_ring);
        std::copy(xs + k, xs + k + run, m_recent.begin() + static_cast<std::ptrdiff_t>(m_ring));
        m_ring = m_ring + run == m_recent.size() ? 0 : m_ring + run;
        k += run;
    }
    m_block.squares = squares;
}

void CToneTracker::Demodulate(const double* ys, size_t stretch) {
    double cosv = m_cos, sinv = m_sin, c = m_block.c, s = m_block.s;
    if (m_hz > 0) {
        // Two rotators a sample apart, each stepping two samples: two chains of half the
        // length side by side in one register.
        const double stepCos = m_stepCos, stepSin = m_stepSin;
        Pair cp = {cosv, cosv * stepCos - sinv * stepSin};
        Pair sp = {sinv, sinv * stepCos + cosv * stepSin};
        const double twiceCos = m_twiceCos, twiceSin = m_twiceSin;
        Pair cSum{}, sSum{};
        size_t k = 0;
        for (; k + 2 <= stretch; k += 2) {
            Pair y;
            std::memcpy(&y, ys + k, sizeof y);
            cSum += y * cp;
            sSum += y * sp;
            const Pair nextCos = cp * twiceCos - sp * twiceSin;
            sp = sp * twiceCos + cp * twiceSin;
            cp = nextCos;
        }
        c += cSum[0] + cSum[1];
        s += sSum[0] + sSum[1];
        cosv = cp[0];
        sinv = sp[0];
        for (; k < stretch; ++k) {
            c += ys[k] * cosv;
            s += ys[k] * sinv;
            const double nextCos = cosv * stepCos - sinv * stepSin;
            sinv = sinv * stepCos + cosv * stepSin;
            cosv = nextCos;
        }
    }
    m_cos = cosv;
    m_sin = sinv;
    m_block.c = c;
    m_block.s = s;
}

void CToneTracker::Watch(const double* xs, const double* ys, size_t stretch) {
    double x1 = m_x1, x2 = m_x2, residualMean = m_residualMean;
    double previous = m_previous;
    int64_t same = m_same;
    int64_t warmup = m_warmup;
    const bool predict = m_coefficient != 0 && m_inTone && m_interruptionStart < 0;
    const double coefficient = m_coefficient;
    // The threshold from the path's typical residual as it stood at the block's start; the
    // residuals under it move that once the block is done.
    const double threshold = std::max(m_level * kBreakFraction, kNoiseMargin * residualMean);
    double quietSum = 0;
    size_t quiet = 0;
    int64_t at = m_samples;
    int64_t breakStart = m_breakStart, breakEnd = m_breakEnd;
    const int64_t heldLength = m_heldLength, breakJoin = m_breakJoin;
    for (size_t k = 0; k < stretch; ++k, ++at) {
        const double x = xs[k];
        const double y = ys[k];
        if (x == previous) {
            ++same;
        } else {
            if (same + 1 >= heldLength) {
                OnHeld(at - same - 1, same + 1, previous);
            }
            same = 0;
        }
        previous = x;
        if (predict) {
            const double residual = std::abs(y - (coefficient * x1 - x2));
            if (warmup > 0) {
                // The path's own residual (its noise, a codec's) learnt before judging.
                --warmup;
                residualMean += (residual - residualMean) * 0.02;
            } else if (residual > threshold) {
                breakStart = breakStart < 0 ? at : breakStart;
                breakEnd = at;
            } else {
                quietSum += residual;
                ++quiet;
            }
        }
        x2 = x1;
        x1 = y;
        if (breakStart >= 0 && at - breakEnd > breakJoin) {
            m_pendingBreaks.push_back(
                {breakStart, breakEnd - breakStart + 1, DropoutKind::brokenWave});
            breakStart = breakEnd = -1;
        }
    }
    m_breakStart = breakStart;
    m_breakEnd = breakEnd;
    if (quiet > 0) { // as 0.002 a sample would have moved it
        residualMean +=
            (quietSum / static_cast<double>(quiet) - residualMean) * m_residualWeights[quiet];
    }
    m_x1 = x1;
    m_x2 = x2;
    m_residualMean = residualMean;
    m_previous = previous;
    m_same = same;
    m_warmup = warmup;
    m_samples = at;
}
void CToneTracker::CloseBlock() {
    m_block.length = static_cast<double>(m_blockLength);
    const Sums before =
        m_blockCount > 0 ? m_blocks[(m_blockCount - 1) % kRingBlocks].total : Sums{};
    m_block.total.c = before.c + m_block.c;
    m_block.total.s = before.s + m_block.s;
    m_block.total.cc = before.cc + m_block.cc;
    m_block.total.cs = before.cs + m_block.cs;
    m_block.total.squares = before.squares + m_block.squares;
    m_block.total.length = before.length + m_block.length;
    m_blocks[m_blockCount % kRingBlocks] = m_block;
    ++m_blockCount;
    Block& b = m_blocks[(m_blockCount - 1) % kRingBlocks];
    bool present = false;
    bool gone = true;
    if (m_hz > 0) {
        const double envelope = FitBlocks(m_window, 0).Amplitude();
        m_frameMax = std::max(m_frameMax, envelope);
        m_level = std::max(m_level, envelope);
        // Against the tone's phase over the 10 ms before: a block the tone left reads near 0
        // however short the block is against the tone's period.
        double coherent = 1;
        if (m_presentRun >= kReferenceBlocks) {
            const Fit ref = FitBlocks(kReferenceBlocks, 1);
            const double expected =
                ref.a * ref.a * b.cc + 2 * ref.a * ref.b * b.cs + ref.b * ref.b * (b.length - b.cc);
            // Where the tone crosses zero inside a short block it has too little energy there
            // to be judged against (its harmonics would decide): such a block is not judged.
            const double typical = 0.5 * ref.a * ref.a + 0.5 * ref.b * ref.b;
            if (ref.Amplitude() >= kPresent * m_level && expected >= 0.25 * typical * b.length) {
                coherent = (ref.a * b.c + ref.b * b.s) / expected;
            }
        }
        if (m_level >= kFloor) {
            gone = envelope < kGone * m_level || coherent < kGone;
            // The envelope looks back a period: it says the tone is back only once its window
            // has left the last block the tone was gone in.
            if (gone) {
                m_lastGoneBlock = m_blockCount - 1;
            }
            // ... and only where it is most of what sounds: a louder other tone with this one's
            // leak in it (the next burst of a surround ident) is not this tone.
            const Sums window = Window(m_window, 0);
            const bool dominant =
                0.5 * envelope * envelope >= kDominant * window.squares / window.length;
            present = !gone && dominant && m_blockCount - 1 - m_lastGoneBlock >= m_window &&
                      envelope >= kPresent * m_level;
        }
    }
    b.present = present;
    m_presentRun = present ? m_presentRun + 1 : 0;
    if (present) {
        OnPresent(b);
    } else {
        OnAbsent(b, gone);
    }
    m_framePresent = m_framePresent && present;
    m_frame.length += m_blockLength;
    if (++m_frameBlocks == kFrameBlocks) {
        CloseFrame();
    }
    SettleBreaks(false);
}

void CToneTracker::CloseFrame() {
    const Sums sums = Window(kFrameBlocks, 0);
    const double length = sums.length, squares = sums.squares;
    const Fit fit = m_hz > 0 ? Solve(sums.c, sums.s, sums.cc, sums.cs, length) : Fit{};
    Frame frame;
    frame.length = m_frame.length;
    frame.start = m_samples - frame.length;
    frame.amplitude = fit.Amplitude();
    frame.phase = std::atan2(fit.b, fit.a);
    frame.meanSquare = squares / length;
    frame.present = m_framePresent && m_hz > 0;
    frame.epoch = m_epoch;
    m_frames.push_back(frame);
    while (!m_frames.empty() &&
           static_cast<double>(m_samples - m_frames.front().start) > kHistoryS * m_rate) {
        m_frames.pop_front();
    }
    m_frameMaxima.push_back(m_frameMax);
    if (m_frameMaxima.size() > 100) {
        m_frameMaxima.pop_front();
    }
    m_level = *std::max_element(m_frameMaxima.begin(), m_frameMaxima.end());
    m_frameMax = 0;
    m_frame = Frame{};
    m_frameBlocks = 0;
    m_framePresent = true;

    // Energy the tone does not explain, over the last 40 ms (long enough to tell the tone from
    // another 25 Hz away, the closest two of the multi-frequency set): a tone to find.
    const size_t explainBlocks = std::min<size_t>(kExplainFrames * kFrameBlocks, m_blockCount);
    const Sums explain = Window(explainBlocks, 0);
    const double meanSquare = explain.length > 0 ? explain.squares / explain.length : 0;
    const double explained = m_hz > 0 ? FitBlocks(explainBlocks, 0).Amplitude() : 0;
    // Only energy a new tone could be: one 10 dB or more under the tone it follows is not
    // looked for (hum, crosstalk, the DC follower's own residue in a gap).
    const double quietest = 0.5 * std::pow(kNewToneLevel * m_explainedLevel, 2);
    if (meanSquare >= std::max(kAcquireFloor, 0.5 * quietest) &&
        0.5 * explained * explained < kExplained * meanSquare) {
        // Looked for once the FFT's window holds only what is new (the window tapers its
        // newest samples away: a tone begun in its last quarter would read as the old one).
        if (m_unexplainedSince < 0) {
            m_unexplainedSince = frame.start;
        }
        m_explainedFrames = 0;
        if (m_samples >= m_nextAcquisition &&
            m_samples - m_unexplainedSince >= SamplesOf(kAcquireS, m_rate)) {
            Acquire();
        }
    } else {
        m_unexplainedSince = -1;
        m_acquisitionBackoff = 0;
        m_nextAcquisition = 0;
        // The tone's level while it was all there was for 40 ms running (a louder tone
        // starting may pass for this one in a frame or two).
        if (frame.present && ++m_explainedFrames >= static_cast<int>(kExplainFrames)) {
            m_explainedLevel = frame.amplitude;
        }
    }
    // The FFT's frequency made exact once 80 ms of the tone have been heard.
    if (!m_refined && m_hz > 0) {
        int run = 0;
        for (auto it = m_frames.rbegin();
             it != m_frames.rend() && it->present && it->epoch == m_epoch; ++it) {
            ++run;
        }
        if (run >= 8) {
            const double offset = SlopeHz(m_samples - run * frame.length, m_samples);
            m_refined = true;
            if (std::abs(offset) > 1e-3) {
                SetCarrier(m_hz + offset, true);
            }
        }
    }
}

void CToneTracker::Acquire() {
    std::vector<double> window;
    double hz = 0, share = 0, amplitude = 0;
    for (const double seconds : {kAcquireS, kAcquireLowS}) {
        RecentSamples(
            std::min<int64_t>(SamplesOf(seconds, m_rate), static_cast<int64_t>(m_spectrum->Size())),
            window);
        if (window.size() < 16) {
            break;
        }
        m_spectrum->Compute(window.data(), window.size(), m_rate);
        const size_t peak = m_spectrum->PeakBin(15.0, 0.45 * m_rate);
        if (peak == 0) {
            break;
        }
        hz = m_spectrum->PeakHz(peak);
        // The main lobe holds four bins of the window's own length either side.
        const double lobeHz = 4.5 * m_rate / static_cast<double>(window.size());
        double lobe = 0, all = 0;
        for (size_t k = 1; k < m_spectrum->Bins(); ++k) {
            const double f = static_cast<double>(k) * m_spectrum->BinHz();
            all += m_spectrum->Power(k);
            lobe += std::abs(f - hz) <= lobeHz ? m_spectrum->Power(k) : 0;
        }
        share = all > 0 ? lobe / all : 0;
        if (hz >= 300 || window.size() >= static_cast<size_t>(m_samples)) {
            break;
        }
    }
    // A low tone needs the longer window: until it has been heard that long, wait for it.
    const int64_t heard = m_samples - std::max<int64_t>(0, m_unexplainedSince);
    if (hz > 0 && hz < 300 && heard < SamplesOf(kAcquireLowS, m_rate)) {
        m_nextAcquisition = m_samples + SamplesOf(kAcquireLowS, m_rate) - heard;
        return;
    }
    const bool sameTone = m_hz > 0 && std::abs(hz - m_hz) <= std::max(2.0, 0.003 * m_hz);
    amplitude = sameTone || hz <= 0 ? 0 : RecentAmplitude(hz);
    // A tone quieter than the one it follows by 10 dB is not what replaced it: hum or another
    // channel's crosstalk heard in the tone's silence.
    const double previous = m_explainedLevel > 0 ? m_explainedLevel : m_lastToneLevel;
    const bool found = share >= kDominance && amplitude >= 10 * kFloor && hz > 0 &&
                       (previous <= 0 || amplitude >= kNewToneLevel * previous);
    if (!found || sameTone) {
        m_acquisitionBackoff = std::clamp<int64_t>(2 * m_acquisitionBackoff,
                                                   SamplesOf(0.02, m_rate), SamplesOf(0.5, m_rate));
        m_nextAcquisition = m_samples + m_acquisitionBackoff;
        return;
    }
    m_acquisitionBackoff = 0;
    m_unexplainedSince = -1;
    if (m_inTone) {
        CloseRun(m_interruptionStart >= 0 ? m_interruptionStart : m_samples);
        m_inTone = false;
    }
    // Whatever interrupted the old tone was the new one beginning: no silence, no dropout.
    if (m_interruptionStart >= 0) {
        m_edges.push_back(m_interruptionStart);
        m_interruptionStart = -1;
    }
    if (previous > 0 && amplitude >= 10 * previous) {
        ForgetQuieterTone();
    }
    m_toneSince = m_samples;
    m_dropoutsSinceTone = 0;
    m_gapDropoutsSinceTone = 0;
    SetCarrier(hz, false);
    m_backdated = BackdatedStart(hz);
    m_explainedLevel = amplitude;
}

// The amplitude of a sine at `hz` over the newest 20 ms (two periods of a low tone): what a
// tone just found is now, which a window over a longer past would understate.
void CToneTracker::RecentSamples(int64_t count, std::vector<double>& out) const {
    count = std::min<int64_t>({count, m_samples, static_cast<int64_t>(m_recent.size())});
    out.resize(static_cast<size_t>(count));
    size_t at = (m_ring + m_recent.size() - static_cast<size_t>(count)) % m_recent.size();
    for (double& x : out) {
        x = m_recent[at];
        at = at + 1 == m_recent.size() ? 0 : at + 1;
    }
}

double CToneTracker::RecentAmplitude(double hz) const {
    std::vector<double> recent;
    RecentSamples(std::max<int64_t>(SamplesOf(0.02, m_rate), std::llround(2.0 * m_rate / hz)),
                  recent);
    return FitSine(recent.data(), recent.size(), 0, hz, m_rate).Amplitude();
}

// Where the tone just found began: the envelope at its frequency, a period at a time, back from
// now to where it falls under half of what it is now.
int64_t CToneTracker::BackdatedStart(double hz) const {
    const auto span = std::min<int64_t>(
        {SamplesOf(kBackdateS, m_rate), m_samples, static_cast<int64_t>(m_recent.size())});
    const int64_t first = m_samples - span;
    // Block sums at the new frequency over the span, newest last.
    const double omega = 2 * kPi * hz / m_rate;
    const double stepCos = std::cos(omega), stepSin = std::sin(omega);
    double cosv = 1, sinv = 0;
    std::vector<Block> blocks;
    for (int64_t n = first; n < m_samples; ++n) {
        if ((n - first) % m_blockLength == 0) {
            blocks.emplace_back();
            cosv = std::cos(omega * static_cast<double>(n - first));
            sinv = std::sin(omega * static_cast<double>(n - first));
        }
        Block& b = blocks.back();
        const double x = m_recent[static_cast<size_t>(n % m_rate)];
        b.c += x * cosv;
        b.s += x * sinv;
        b.cc += cosv * cosv;
        b.cs += cosv * sinv;
        b.length += 1;
        const double next = cosv * stepCos - sinv * stepSin;
        sinv = sinv * stepCos + cosv * stepSin;
        cosv = next;
    }
    const size_t window = std::clamp<size_t>(
        static_cast<size_t>(std::ceil(m_rate / hz / static_cast<double>(m_blockLength))), 2,
        kRingBlocks / 2);
    const auto envelopeEndingAt = [&](size_t last) { // blocks (last - window, last]
        double c = 0, s = 0, cc = 0, cs = 0, length = 0;
        for (size_t k = last + 1 - window; k <= last; ++k) {
            c += blocks[k].c;
            s += blocks[k].s;
            cc += blocks[k].cc;
            cs += blocks[k].cs;
            length += blocks[k].length;
        }
        return Solve(c, s, cc, cs, length).Amplitude();
    };
    if (blocks.size() < window + 1) {
        return std::max(m_samples - span, m_lastRunEnd);
    }
    const size_t newest = blocks.size() - 2; // the last whole block
    const double now = envelopeEndingAt(newest);
    size_t earliest = newest + 1 - window;
    for (size_t last = newest; last >= window; --last) {
        if (envelopeEndingAt(last - 1) < kPresent * now) {
            break;
        }
        earliest = last - window;
    }
    const int64_t start = first + static_cast<int64_t>(earliest) * m_blockLength;
    return std::max(start, m_lastRunEnd);
}

double CToneTracker::SlopeHz(int64_t from, int64_t to) const {
    double sxy = 0, sxx = 0;
    int used = 0;
    const Frame* previous = nullptr;
    double unwrapped = 0, groupT = 0, groupPhase = 0, groupTT = 0, groupTP = 0;
    int groupCount = 0;
    const auto closeGroup = [&] {
        if (groupCount >= 2) {
            const double n = groupCount;
            sxy += groupTP - groupT * groupPhase / n;
            sxx += groupTT - groupT * groupT / n;
        }
        groupCount = 0;
        groupT = groupPhase = groupTT = groupTP = 0;
    };
    const auto first = std::lower_bound(m_frames.begin(), m_frames.end(), from,
                                        [](const Frame& f, int64_t at) { return f.start < at; });
    for (auto it = first; it != m_frames.end(); ++it) {
        const Frame& f = *it;
        if (f.epoch != m_epoch || !f.present || f.start < from || f.start + f.length > to) {
            if (previous != nullptr) {
                closeGroup();
                previous = nullptr;
            }
            continue;
        }
        if (previous != nullptr && previous->start + previous->length == f.start) {
            double step = f.phase - previous->phase;
            step -= 2 * kPi * std::round(step / (2 * kPi));
            unwrapped += step;
        } else {
            closeGroup();
            unwrapped = f.phase;
        }
        const double t = static_cast<double>(f.start) + 0.5 * static_cast<double>(f.length) -
                         static_cast<double>(from);
        groupT += t;
        groupPhase += unwrapped;
        groupTT += t * t;
        groupTP += t * unwrapped;
        ++groupCount;
        ++used;
        previous = &f;
    }
    closeGroup();
    if (used < 3 || sxx <= 0) {
        return 0;
    }
    // The fitted phase falls behind the rotator as the tone runs ahead of it.
    return -(sxy / sxx) * m_rate / (2 * kPi);
}

double CToneTracker::Frequency() const {
    if (m_frequencyAt == m_samples) {
        return m_frequency; // asked again for the same moment (the report, the path figures)
    }
    m_frequencyAt = m_samples;
    m_frequency = MeasureFrequency();
    return m_frequency;
}

double CToneTracker::MeasureFrequency() const {
    if (m_hz <= 0) {
        return 0;
    }
    int present = 0;
    const int64_t from = m_samples - static_cast<int64_t>(kFrequencyS * m_rate);
    for (auto it = m_frames.rbegin(); it != m_frames.rend() && it->start >= from && present < 3;
         ++it) {
        present += it->epoch == m_epoch && it->present ? 1 : 0;
    }
    if (present < 3) {
        return 0;
    }
    return m_hz + SlopeHz(from, m_samples);
}

double CToneTracker::RunLevel(int64_t from, int64_t to) const {
    std::vector<double> amplitudes;
    for (auto it = m_frames.rbegin(); it != m_frames.rend() && it->start >= from; ++it) {
        if (it->epoch == m_epoch && it->present && it->start + it->length <= to) {
            amplitudes.push_back(it->amplitude);
        }
    }
    if (amplitudes.empty()) {
        return 0;
    }
    const auto middle = amplitudes.begin() + static_cast<std::ptrdiff_t>(amplitudes.size() / 2);
    std::nth_element(amplitudes.begin(), middle, amplitudes.end());
    return *middle;
}

double CToneTracker::Level() const {
    return RunLevel(m_samples - m_rate, m_samples);
}

bool CToneTracker::ToneInLastSecond() const {
    for (auto it = m_frames.rbegin(); it != m_frames.rend() && it->start >= m_samples - m_rate;
         ++it) {
        if (it->present && it->epoch == m_epoch) {
            return true;
        }
    }
    return false;
}

void CToneTracker::OnPresent(const Block& block) {
    if (m_interruptionStart >= 0) {
        EndInterruption(block.start);
    }
    if (!m_inTone) {
        m_inTone = true;
        m_runStart = m_backdated >= 0 ? std::min(m_backdated, block.start) : block.start;
        m_backdated = -1;
        if (!m_heardTone) {
            m_heardTone = true;
            if (m_runStart > 2 * m_blockLength) {
                m_firstToneAt = m_runStart; // the recording began in a silence
            }
        }
    }
}

void CToneTracker::OnAbsent(const Block& block, bool gone) {
    m_secondSteady = false;
    if (!m_inTone && m_interruptionStart < 0) {
        return;
    }
    if (m_interruptionStart < 0) {
        m_interruptionStart = block.start;
        m_interruptionGone = false;
        m_interruptionSquares = 0;
        m_interruptionLength = 0;
        m_toneLevelBefore = m_explainedLevel > 0 ? m_explainedLevel : m_level;
        m_edges.push_back(block.start);
    }
    m_interruptionSquares += block.squares;
    m_interruptionLength += block.length;
    if (gone && !m_interruptionGone) {
        m_interruptionGone = true;
        CloseRun(m_interruptionStart);
        m_inTone = false;
    }
}

void CToneTracker::EndInterruption(int64_t end) {
    const int64_t start = m_interruptionStart;
    m_interruptionStart = -1;
    m_edges.push_back(end);
    while (m_edges.size() > 16) {
        m_edges.pop_front();
    }
    if (!m_interruptionGone) {
        return; // a dip, not a loss
    }
    const double meanSquare =
        m_interruptionLength > 0 ? m_interruptionSquares / m_interruptionLength : 0;
    const double tonePower = 0.5 * m_toneLevelBefore * m_toneLevelBefore;
    if (meanSquare > kLoud * tonePower) {
        // Something else sounded where the tone was: a dropout if the tone came back soon,
        // unless what sounded was 20 dB louder than the tone (another tone taking over).
        if (end - start < m_longestDropout && meanSquare < 100 * tonePower) {
            CountDropout({start, end - start, DropoutKind::toneGone});
        }
        return;
    }
    Gap gap{start, end - start};
    // A recording that starts in silence (an ident's gap, a codec's priming) may begin its tone
    // with a short burst (the codec's pre-echo before the gap ends): a silence straight after
    // that burst is still the silence the recording started in, of unknown length.
    if (m_gaps.empty() && m_firstToneAt >= 0 && gap.start - m_firstToneAt <= m_leadingBurst) {
        return;
    }
    // A burst of a few milliseconds inside a gap (a codec's pre-echo before the tone resumes)
    // does not split it.
    if (!m_gaps.empty()) {
        const Gap last = m_gaps.back();
        if (gap.start - (last.start + last.length) <= m_bridge) {
            if (m_lastGapCounted) {
                --m_dropouts;
                --m_gapDropouts;
                m_lastDropoutEnd = -1000000;
                if (!m_dropoutLog.empty()) {
                    m_dropoutLog.pop_back();
                }
            }
            gap = {last.start, end - last.start};
            m_gaps.pop_back();
            if (!m_runs.empty() && m_runs.back().start >= last.start + last.length) {
                m_runs.pop_back(); // the burst was no tone run
            }
        }
    }
    m_gaps.push_back(gap);
    m_lastGapCounted = false;
    if (gap.length < m_longestDropout) {
        const uint64_t before = m_dropouts;
        CountDropout({gap.start, gap.length, DropoutKind::toneGone});
        m_lastGapCounted = m_dropouts > before;
        m_gapDropouts += m_lastGapCounted ? 1 : 0;
        m_gapDropoutsSinceTone += m_lastGapCounted ? 1 : 0;
    }
    while (!m_gaps.empty() &&
           static_cast<double>(m_samples - m_gaps.front().start) > kHistoryS * m_rate) {
        m_gaps.pop_front();
    }
}

// The tone followed until now was 20 dB or more under the one just found: hum or another
// channel's crosstalk heard before the channel's own tone began (a recording that starts in an
// ident's gap). What was counted against it is not the channel's.
void CToneTracker::ForgetQuieterTone() {
    m_dropouts -= std::min(m_dropouts, m_dropoutsSinceTone);
    while (!m_dropoutLog.empty() && m_dropoutLog.back().start >= m_toneSince - m_breakJoin) {
        m_dropoutLog.pop_back();
    }
    m_gapDropouts -= std::min(m_gapDropouts, m_gapDropoutsSinceTone);
    while (!m_gaps.empty() && m_gaps.back().start >= m_toneSince) {
        m_gaps.pop_back();
    }
    while (!m_runs.empty() && m_runs.back().start >= m_toneSince) {
        m_runs.pop_back();
    }
    m_lastRunEnd = m_toneSince;
    m_lastDropoutEnd = -1000000;
    if (m_gaps.empty() && m_runs.empty()) {
        m_heardTone = false;
        m_firstToneAt = -1;
    }
}

void CToneTracker::CloseRun(int64_t end) {
    if (m_runStart < 0 || end <= m_runStart) {
        m_runStart = -1;
        return;
    }
    ToneRun run;
    run.start = m_runStart;
    run.length = end - m_runStart;
    const double offset = SlopeHz(m_runStart, end);
    run.hz = m_hz + offset;
    run.level = RunLevel(m_runStart, end);
    if (run.level <= 0) {
        run.level = m_level;
    }
    for (const Frame& f : m_frames) {
        if (f.epoch == m_epoch && f.present && f.start >= m_runStart && f.start + f.length <= end) {
            const double centre =
                static_cast<double>(f.start) + 0.5 * static_cast<double>(f.length);
            const double rotator =
                m_phaseAt + m_omega * (centre - static_cast<double>(m_phaseSample));
            run.phase =
                Wrap(rotator - f.phase -
                     2 * kPi * run.hz * (centre - static_cast<double>(m_runStart)) / m_rate);
            break;
        }
    }
    m_runs.push_back(run);
    m_lastRunEnd = end;
    m_lastToneLevel = run.level;
    m_runStart = -1;
    while (!m_runs.empty() &&
           static_cast<double>(m_samples - m_runs.front().start) > kHistoryS * m_rate) {
        m_runs.pop_front();
    }
}

void CToneTracker::CountDropout(const Dropout& dropout) {
    if (dropout.start <= m_lastDropoutEnd + m_breakJoin) {
        m_lastDropoutEnd = std::max(m_lastDropoutEnd, dropout.start + dropout.length);
        return; // the same event, seen by another of the detectors
    }
    ++m_dropouts;
    ++m_dropoutsSinceTone;
    m_lastDropout = dropout;
    m_lastDropoutEnd = dropout.start + dropout.length;
    m_dropoutLog.push_back(dropout);
    while (m_dropoutLog.size() > 1000 ||
           (!m_dropoutLog.empty() &&
            static_cast<double>(m_samples - m_dropoutLog.front().start) > kHistoryS * m_rate)) {
        m_dropoutLog.pop_front();
    }
}

void CToneTracker::OnHeld(int64_t start, int64_t length, double value) {
    const double magnitude = std::abs(value);
    // Seen when the hold ends, by which time the tone's envelope may have called it gone: a
    // value held near the tone's own level (not a gap's silence or DC, not clipping) is a hold.
    if (!m_heardTone || m_hz <= 0 || length >= m_longestDropout || m_level < kFloor ||
        magnitude < kGone * m_level || magnitude >= kFullScaleHeld) {
        return;
    }
    ++m_heldEvents;
    CountDropout({start, length, DropoutKind::heldSample});
}

// A break is counted once it is over and nothing shows it to be the edge of a silence (an
// ident, a sequence slot, a long dropout), which is judged as a silence.
void CToneTracker::SettleBreaks(bool all) {
    const int64_t settle = SamplesOf(kSettleS, m_rate);
    while (!m_pendingBreaks.empty() &&
           (all || m_samples - m_pendingBreaks.front().start > settle)) {
        const Dropout d = m_pendingBreaks.front();
        m_pendingBreaks.pop_front();
        bool edge = m_interruptionStart >= 0 && d.start >= m_interruptionStart - m_breakJoin;
        for (const int64_t at : m_edges) {
            edge = edge || std::abs(d.start - at) <= m_breakJoin + m_blockLength;
        }
        if (!edge && ++m_breaksThisSecond <= kMostBreaksPerSecond) {
            CountDropout(d);
        }
    }
}

void CToneTracker::RefreshModel() {
    const double hz = m_refined ? Frequency() : 0;
    const double coefficient = hz > 0 ? 2.0 * std::cos(2.0 * kPi * hz / m_rate) : 0.0;
    if (coefficient != 0 && m_coefficient == 0) {
        m_residualMean = 0;
        m_warmup = SamplesOf(0.02, m_rate);
    }
    m_coefficient = coefficient;
}

void CToneTracker::EndSecond() {
    const bool steady = m_secondSteady && m_inTone && m_interruptionStart < 0 &&
                        m_dropouts == m_dropoutsAtSecond && m_level >= 10 * kFloor &&
                        m_samples >= m_rate;
    if (steady) {
        m_steady = m_recent;
        m_steadyStart = m_samples - m_rate;
    }
    m_lastSecondSteady = steady;
    m_secondSteady = true;
    m_dropoutsAtSecond = m_dropouts;
    m_breaksThisSecond = 0;
}
