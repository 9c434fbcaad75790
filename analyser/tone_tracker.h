// One received channel's tone, followed by its own narrow-band envelope: the channel is
// demodulated at the tone's frequency (a quadrature pair from a rotator), and every half
// millisecond a least-squares sine fit over the last period says how much of that tone is there.
// Gaps, tone runs and dropouts are where that envelope falls, never where the waveform merely
// falls quiet, so a noise floor, hum or another channel's tone under it moves none of them.
//
// The frequency is found by an FFT peak when energy arrives that the current tone does not
// explain (a first tone, a sequence slot, a surround ident's next burst), and refined from the
// slope of the demodulated phase over whole 10 ms frames: other tones and hum average out of that
// slope instead of shifting it, as they shift zero crossings.
//
// Dropouts, each counted once however many of these see it:
// - the tone gone: its envelope 20 dB or more under its level (within a half-millisecond block,
//   against the phase the tone had just before), and it comes back at the same frequency within
//   200 ms (longer silences are gaps, judged by the line-up pattern);
// - a held sample: one value repeated for 1 ms or more inside a tone;
// - a break in the waveform (a lost or repeated packet of a few samples): a sample far from what a
//   sine of the tone's frequency predicts from the two before it, further than the path's own
//   noise makes typical.
#pragma once

#include "spectrum.h"

#include <array>
#include <cstdint>
#include <deque>
#include <vector>

// A stretch of one tone: where it started and how long it lasted, in samples, its own frequency
// and its level (linear peak).
struct ToneRun {
    int64_t start = 0;
    int64_t length = 0;
    double hz = 0;
    double level = 0;
    // The tone as A cos(2 pi hz (n - start) / rate + phase): legs that start a section together
    // are compared by it for polarity.
    double phase = 0;
};

// A silence between tones: the tone gone for this long.
struct Gap {
    int64_t start = 0;
    int64_t length = 0;
};

enum class DropoutKind { toneGone, heldSample, brokenWave };

struct Dropout {
    int64_t start = 0;
    int64_t length = 0;
    DropoutKind kind = DropoutKind::toneGone;
};

class CToneTracker {
public:
    // spectrum: the FFT the tracker borrows to find a tone (shared by the channels).
    CToneTracker(int rate, CSpectrum* spectrum);
    // The input's largest positive sample: a sample there or at -1 is clipped.
    void SetFullScale(double positive) { m_fullScale = positive; }
    uint64_t Clipped() const { return m_clipped; }

    // The channel's next samples, in order.
    void Add(const double* samples, size_t count);
    // At each half second: the frequency the break predictor models.
    void RefreshModel();
    // At each whole second: whether the second just ended was steady, and keeps it if it was.
    void EndSecond();

    int64_t Samples() const { return m_samples; }
    // The tone's frequency over the last 10 s at which it was steady; 0 when no tone is found.
    double Frequency() const;
    // The tone's own peak amplitude over the last second (the median of its 10 ms frames).
    double Level() const;
    // Whether the tone was present in any of the last second's frames.
    bool ToneInLastSecond() const;
    bool LastSecondSteady() const { return m_lastSecondSteady; }
    bool EverSteady() const { return m_steadyStart >= 0; }

    // The last second of samples as received (a ring indexed by sample number modulo the rate).
    const std::vector<double>& Recent() const { return m_recent; }
    // The last steady second, in the same ring order, and the sample its ring ends at.
    const std::vector<double>& SteadySecond() const { return m_steady; }
    int64_t SteadyEnd() const { return m_steadyStart + m_rate; }

    const std::deque<Gap>& Gaps() const { return m_gaps; }
    const std::deque<ToneRun>& Runs() const { return m_runs; }
    uint64_t Dropouts() const { return m_dropouts; }
    uint64_t GapDropouts() const { return m_gapDropouts; } // the dropouts that were silences
    const Dropout& LastDropout() const { return m_lastDropout; }
    // The dropouts counted over the last 20 s, oldest first.
    const std::deque<Dropout>& DropoutLog() const { return m_dropoutLog; }
    uint64_t HeldSamples() const { return m_heldEvents; }

private:
    // Half a millisecond of the demodulated channel: the quadrature sums and the reference's own
    // sums of squares, so a least-squares sine over any stretch of blocks is their sum.
    struct Sums {
        double c = 0, s = 0;   // sum of y cos, y sin
        double cc = 0, cs = 0; // sum of cos^2, cos sin (sin^2 = length - cc)
        double squares = 0;    // sum of y^2
        double length = 0;
    };
    struct Block : Sums {
        Sums total; // this block's sums added to every block's before it
        int64_t start = 0;
        bool present = false;
    };
    // The sums of the last `count` blocks before `skip` more, from the running totals.
    Sums Window(size_t count, size_t skip) const;
    struct Frame {
        int64_t start = 0;
        int64_t length = 0;
        double phase = 0; // of the fitted sine against the rotator
        double amplitude = 0;
        double meanSquare = 0;
        bool present = false; // every block present
        int epoch = 0;
    };
    struct Fit {
        double a = 0, b = 0;
        double Amplitude() const;
    };
    static Fit Solve(double c, double s, double cc, double cs, double length);
    Fit FitBlocks(size_t count, size_t skip) const; // the last `count` blocks before `skip` more

    // One stretch of samples within a block: DC removed, squared and kept (ys out); demodulated;
    // watched for held values and breaks.
    void Condition(const double* xs, double* ys, size_t stretch);
    void Demodulate(const double* ys, size_t stretch);
    void Watch(const double* xs, const double* ys, size_t stretch);
    void StartBlock();
    void CloseBlock();
    void CloseFrame();
    void Acquire();
    void SetCarrier(double hz, bool sameTone);
    int64_t BackdatedStart(double hz) const;
    double RecentAmplitude(double hz) const;
    void RecentSamples(int64_t count, std::vector<double>& out) const; // the newest, in order
    double SlopeHz(int64_t from, int64_t to) const; // over the epoch's present frames
    double MeasureFrequency() const;
    mutable int64_t m_frequencyAt = -1;
    mutable double m_frequency = 0;
    double RunLevel(int64_t from, int64_t to) const;
    void OnPresent(const Block& block);
    void OnAbsent(const Block& block, bool gone);
    void EndInterruption(int64_t end);
    void CloseRun(int64_t end);
    void ForgetQuieterTone();
    void CountDropout(const Dropout& dropout);
    void OnHeld(int64_t start, int64_t length, double value);
    void SettleBreaks(bool all);

    static constexpr size_t kLongestBlock = 256; // 0.5 ms at the highest rate read, 384 kHz
    int m_rate;
    CSpectrum* m_spectrum;
    double m_fullScale = 1.0 - 1.0 / (1 << 23);
    uint64_t m_clipped = 0;
    int64_t m_samples = 0;
    std::vector<double> m_recent;
    size_t m_ring = 0;

    // Time, in samples, of the tracker's windows at this rate.
    int64_t m_blockLength;
    int64_t m_heldLength;
    int64_t m_bridge;
    int64_t m_leadingBurst;
    int64_t m_longestDropout;
    int64_t m_breakJoin;

    // The demodulator.
    double m_hz = 0; // the carrier; 0 before any tone
    double m_omega = 0;
    double m_phaseAt = 0;      // the rotator's phase at sample m_phaseSample
    int64_t m_phaseSample = 0; // (kept continuous when the carrier moves)
    double m_cos = 1, m_sin = 0, m_stepCos = 1, m_stepSin = 0, m_twiceCos = 1, m_twiceSin = 0;
    double m_geometricRe = 0, m_geometricIm = 0; // sum over a block of exp(2j omega k)
    double m_dc = 0, m_dcStep = 0;
    std::array<double, kLongestBlock + 1> m_dcWeights{};
    std::array<double, kLongestBlock + 1> m_residualWeights{};
    Block m_block;
    int64_t m_toBlockEnd = 0;
    static constexpr size_t kRingBlocks = 256;
    std::array<Block, kRingBlocks> m_blocks{};
    size_t m_blockCount = 0;
    size_t m_window = 2; // blocks in a period of the tone, at least two
    size_t m_lastGoneBlock = 0;
    size_t m_presentRun = 0; // blocks present in a row, up to the one before

    // What the envelope says.
    double m_level = 0;               // the loudest block envelope of the last second
    std::deque<double> m_frameMaxima; // per frame, for m_level
    double m_frameMax = 0;
    std::deque<Frame> m_frames; // the last 20 s
    Frame m_frame;
    int m_frameBlocks = 0;
    bool m_framePresent = true;
    int m_epoch = 0;
    bool m_refined = false;
    int64_t m_nextAcquisition = 0;
    int64_t m_acquisitionBackoff = 0;
    int64_t m_unexplainedSince = -1; // the first frame the tone did not explain
    int64_t m_backdated = -1;

    bool m_inTone = false;
    bool m_heardTone = false;
    int64_t m_runStart = -1;
    int64_t m_firstToneAt = -1;
    int64_t m_interruptionStart = -1;
    bool m_interruptionGone = false;
    double m_interruptionSquares = 0; // what sounded while the tone was away
    double m_interruptionLength = 0;
    double m_toneLevelBefore = 0;
    std::deque<int64_t> m_edges; // the last interruptions' starts and ends
    bool m_lastGapCounted = false;
    int64_t m_lastRunEnd = 0;
    double m_lastToneLevel = 0;
    double m_explainedLevel = 0; // the tone's level the last time it explained the channel
    int m_explainedFrames = 0;
    std::deque<Gap> m_gaps;
    std::deque<ToneRun> m_runs;

    uint64_t m_dropouts = 0;
    uint64_t m_gapDropouts = 0;
    uint64_t m_heldEvents = 0;
    Dropout m_lastDropout;
    std::deque<Dropout> m_dropoutLog;
    int64_t m_toneSince = 0; // the tone followed now was found at this sample
    uint64_t m_dropoutsSinceTone = 0;
    uint64_t m_gapDropoutsSinceTone = 0;
    int64_t m_lastDropoutEnd = -1000000;

    // Held samples.
    double m_previous = 0;
    int64_t m_same = 0;

    // The break predictor.
    double m_coefficient = 0;
    double m_x1 = 0, m_x2 = 0;
    double m_residualMean = 0;
    int64_t m_warmup = 0; // samples the residual is learnt for before breaks are judged
    int64_t m_breakStart = -1, m_breakEnd = -1;
    std::deque<Dropout> m_pendingBreaks;
    int m_breaksThisSecond = 0;

    // Steady seconds.
    uint64_t m_dropoutsAtSecond = 0;
    bool m_secondSteady = true;
    bool m_lastSecondSteady = false;
    std::vector<double> m_steady;
    int64_t m_steadyStart = -1;
};
