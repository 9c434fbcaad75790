// What arrives on each channel of a line-up path, and which generator channel it is.
//
// Per channel, streaming: silence runs (an ident gap, a sequence slot's silence, or a dropout),
// tone runs, rising zero crossings (interpolated to a fraction of a sample) for the frequency, and
// the last second of samples for peak, RMS and polarity. From all channels together: the line-up
// pattern (EBU stereo ident: a 280 ms gap on the left channels every 3 s, or 250 ms as EBU R49
// has it; GLITS: left gap at 0, right gaps at 560 and 1120 ms of a 4 s cycle; the sequence: one
// channel at a time for 480 ms; the multi-frequency set; a steady tone), and from the pattern each
// received channel's place: left or right of a pair, its multi-frequency or sequence position.
#pragma once

#include "surround.h"
#include "true_peak.h"

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// libebur128's meter of one channel (analysis.cpp).
struct LoudnessMeter;

struct ChannelReport {
    int channel = 0; // received, from 1
    bool tone = false;
    double frequencyHz = 0;
    double peakDbfs = -200;  // the loudest sample of the last second
    double levelDbfs = -200; // the tone's steady peak: the median 10 ms block's, DC removed
    double rmsDbfs = -200;
    double dbu = -200; // of the steady peak, so a codec's overshoot where a tone resumes is not
                       // taken for a level error
    int side = -1;     // 0 left, 1 right, -1 unknown
    int plane = -1;    // the generator channel (from 0) it carries, -1 unknown
    bool inverted = false;
    int invertedAgainst = 0; // the received channel it is inverted against
    std::string role;        // a surround ident's leg it carries ("C", "Ls"), "" otherwise
    uint64_t dropouts = 0;
    double lastDropoutS = 0;
    int64_t lastDropoutSamples = 0;

    // What a path does to a tone besides moving it (over the whole run unless said).
    double truePeakDbtp = -200; // EBU R128 / ITU-R BS.1770 true peak (libebur128)
    double loudnessLufs = -200; // integrated loudness of the channel as a programme
    uint64_t clipped = 0;       // samples at full scale
    double dcDbfs = -200;       // the signal's mean
    // THD+N of the tone, re the tone: over the last second in which the tone was steady (no gap,
    // no dropout), so an ident's gap in the final second does not blank it.
    std::optional<double> thdnDb;
    // Against the other leg of its pair (the left leg carries the pair's figures), over the last
    // second in which both legs were steady.
    std::optional<double> correlation;     // -1 to 1
    std::optional<double> legDelaySamples; // the right leg's delay behind the left, in samples
};

struct AnalysisReport {
    double seconds = 0;   // of audio analysed
    std::string pattern;  // for people
    std::string identKey; // ebu, ebu-r49, glits, sequence, steady, none
    bool multiFrequency = false;
    double clockPpm = 0; // the tones' frequency against the generator's nominal ones
    bool clockKnown = false;
    // Ident-length gaps were heard but the run ended before a pattern's period could be
    // confirmed: not a dropout, not a steady tone. The audio a run needs, from its start, to
    // confirm the ident those gaps suggest.
    bool tooShort = false;
    double neededSeconds = 0;
    // A surround ident (EBU Tech 3304), when one was recognised: its legs, by role.
    SurroundResult surround;
    std::vector<ChannelReport> channels;
};

// The frequencies the generator offers, and its multi-frequency set by plane.
extern const int kOfferedFrequencies[11];
extern const int kMultiFrequencySet[16];

class CAnalyser {
public:
    // dbuOffset: dBu = peak dBFS + dbuOffset (24 for the SMPTE reference, 18 for EBU).
    CAnalyser(int channels, int rate, double dbuOffset);
    ~CAnalyser();
    CAnalyser(const CAnalyser&) = delete;
    CAnalyser& operator=(const CAnalyser&) = delete;
    void Add(const double* interleaved, size_t frames);
    AnalysisReport Analyse() const;

private:
    struct Run {
        int64_t start;
        int64_t length;
        double hz = 0;    // tone runs: the frequency of the run itself, from its zero crossings
        double level = 0; // tone runs: the median 10 ms block peak inside it
    };
    struct Channel {
        std::vector<double> recent; // ring of the last second
        int64_t silentRun = 0;
        bool heardTone = false;
        int64_t toneStart = -1;
        std::deque<Run> gaps;     // silences between tones
        std::deque<Run> toneRuns; // tones between silences
        std::deque<double> crossings;
        double previous = 0;
        uint64_t dropouts = 0;
        uint64_t shortGaps = 0; // the dropouts that were silences (not the predictor's breaks)
        Run lastDropout{0, 0};

        // Silence is judged against the tone's own level, around its own DC.
        double dc = 0;                 // slow mean of the samples
        double blockPeak = 0;          // of the current 10 ms block, DC removed
        std::deque<double> blockPeaks; // the last second's blocks
        double reference = 0;          // the tone's peak: the loudest block of the last second

        // Breaks in a steady tone (a lost or held packet, a slip): each sample against the one
        // a sine of the measured frequency predicts from the two before it.
        double coefficient = 0; // 2 cos(2 pi f / rate); 0 while the frequency is unknown
        double hz = 0;          // the frequency the model was made from, at sample hzAt
        double spread = 1;
        int64_t hzAt = -1;
        double x1 = 0;
        double x2 = 0;
        double residualMean = 0;
        int64_t breakStart = -1; // the break being gathered, -1 when none
        int64_t breakEnd = -1;
        int64_t longSilenceStart = -1; // the start of the last silence long enough to be a gap
        int64_t longSilenceEnd = -1;
        int breaksThisSecond = 0;
        uint64_t clipped = 0;
        LoudnessMeter* loudness = nullptr; // owned; one programme per channel
        CTruePeakMeter truePeak;
        std::vector<double> runBlocks; // the block peaks of the tone run going on
        int64_t firstToneAt = -1; // the first tone heard after silence at the start, -1 when none

        // The last whole second in which the tone was steady (no gap, no dropout), and the last
        // in which both legs of its pair were, in time order from sample `...Start`.
        uint64_t dropoutsAtSecond = 0;
        std::vector<double> steady;
        int64_t steadyStart = -1;
        std::vector<double> pairSteady;
        int64_t pairSteadyStart = -1;
    };
    // The tone's sine over the last second at frequency hz: amplitude of its in-phase and
    // quadrature parts, and the residual's RMS (what is not that sine: harmonics and noise).
    struct Fit {
        double a = 0;
        double b = 0;
        double residualRms = 0;
        double toneRms = 0;
    };
    // Over `window` samples ending at sample `end` of `samples`, a ring of m_rate samples indexed
    // by sample number modulo m_rate (a whole second in time order is such a ring too).
    Fit FitSine(const std::vector<double>& samples, int64_t end, int64_t window, double hz) const;
    bool SecondWasSteady(const Channel& c) const;
    void RecogniseSurroundIdent(AnalysisReport& report) const;
    void KeepSteadySeconds();
    void Describe(std::vector<ChannelReport>& reports, const std::vector<double>& nominal,
                  const std::vector<double>& means) const;
    std::vector<double> m_planes; // the block being added, one channel after another
    void AddToChannel(Channel& c, const double* samples, size_t count);
    void CloseToneRun(Channel& c, int64_t end);
    void EndSilence(Channel& c, int64_t at);
    void SettleBreak(Channel& c);
    void RefreshModels();
    double Frequency(const Channel& c, double* spread) const;

    int m_channels;
    int m_rate;
    double m_dbuOffset;
    int64_t m_samples = 0;
    std::vector<Channel> m_state;
};
