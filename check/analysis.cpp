#include "analysis.h"

#include <ebur128.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <set>

const int kOfferedFrequencies[11] = {1000, 800, 600, 500, 400, 300, 250, 200, 150, 125, 100};
const int kMultiFrequencySet[16] = {1000, 800, 600, 500, 400, 300, 250, 200,
                                    150,  125, 100, 125, 150, 200, 250, 300};

namespace {

constexpr double kSilence = 1e-4; // -80 dBFS: below this a sample is silence in any case
// ... and below this fraction of the tone's own peak (-40 dB), around the signal's DC: a DC offset,
// a noise floor or what a codec leaves in a gap is still a gap.
constexpr double kRelativeSilence = 0.01;
constexpr double kDcSeconds = 0.5; // the DC follower's time constant
constexpr int kBlocksPerSecond = 100;
// A break: a sample further from the sine's prediction than this fraction of the tone's peak
// (-40 dB), and than kNoiseMargin times the residual's own typical size (a codec's noise).
constexpr double kBreakFraction = 0.01;
constexpr double kNoiseMargin = 8.0;
constexpr int64_t kBreakJoin = 96;      // 2 ms: breaks this close are one event
constexpr int64_t kBridge = 240;        // 5 ms: a gap interrupted for less is one gap
constexpr int64_t kLeadingBurst = 1152; // 24 ms, two MPEG audio granules: a codec's pre-echo
constexpr double kFullScale = 1.0 - 1.0 / (1 << 23); // the largest 24-bit sample
// More breaks than this in a second are not dropouts but a tone the model does not fit (a
// frequency changing, a sweep, music): they are not counted.
constexpr int kMostBreaksPerSecond = 50;
constexpr int64_t kShortestGap = 24; // 0.5 ms: shorter runs are the tone's own zero crossings
constexpr double kHistoryS = 20.0;
constexpr double kClockLimit = 0.001;
constexpr double kSlotS = 0.48; // one channel's turn in the sequence
// GLITS, 4 s cycle: a left gap, then right gaps one and two steps on. Its public definition has
// 250 ms gaps at 0, 500 and 1000 ms; this project's generator 280 ms gaps at 0, 560 and 1120 ms.
constexpr double kGlitsStepS = 0.56;
constexpr double kGlitsPublicStepS = 0.5;
constexpr double kGlitsCycleS = 4.0;
constexpr double kEbuCycleS = 3.0;
constexpr double kConfirmMarginS = 0.05; // the tolerance a repeated gap is looked for within

// Two doubles, one SSE2 register (wider vectors of GCC's extension are split into scalar code on
// plain x86-64 and run slower than a scalar loop).
typedef double Pair __attribute__((vector_size(2 * sizeof(double))));

Pair LoadPair(const double* at) {
    Pair pair;
    std::memcpy(&pair, at, sizeof pair); // unaligned
    return pair;
}

// The largest magnitude, the sum and the sum of squares of n samples, two lanes at a time.
struct WindowSums {
    double peak = 0;
    double sum = 0;
    double squares = 0;
};
WindowSums SumWindow(const double* x, size_t n) {
    Pair peak{}, sum{}, squares{};
    size_t i = 0;
    for (; i + 2 <= n; i += 2) {
        const Pair v = LoadPair(x + i);
        const Pair magnitude = v < 0 ? -v : v;
        peak = magnitude > peak ? magnitude : peak;
        sum += v;
        squares += v * v;
    }
    WindowSums result;
    result.peak = std::max(peak[0], peak[1]);
    result.sum = sum[0] + sum[1];
    result.squares = squares[0] + squares[1];
    for (; i < n; ++i) {
        result.peak = std::max(result.peak, std::abs(x[i]));
        result.sum += x[i];
        result.squares += x[i] * x[i];
    }
    return result;
}

double Decibels(double value) {
    return value > 0 ? 20.0 * std::log10(value) : -200.0;
}

// The offered frequency within kClockLimit, else 0. Sample clocks stray by tens or hundreds of
// ppm; a tone further off than 0.1 % is another frequency (997 Hz is not a 1000 Hz tone 3000 ppm
// slow), reported as such rather than as a clock error.
int Nominal(double hz) {
    for (const int f : kOfferedFrequencies) {
        if (std::abs(hz - f) <= f * kClockLimit) {
            return f;
        }
    }
    return 0;
}

} // namespace

struct LoudnessMeter {
    ebur128_state* state;
};

CAnalyser::CAnalyser(int channels, int rate, double dbuOffset)
    : m_channels(channels), m_rate(rate), m_dbuOffset(dbuOffset),
      m_state(static_cast<size_t>(channels)) {
    for (Channel& c : m_state) {
        c.recent.assign(static_cast<size_t>(rate), 0.0);
        ebur128_state* state = ebur128_init(1, static_cast<unsigned long>(rate), EBUR128_MODE_I);
        if (state != nullptr) {
            c.loudness = new LoudnessMeter{state};
        }
    }
}

CAnalyser::~CAnalyser() {
    for (Channel& c : m_state) {
        if (c.loudness != nullptr) {
            ebur128_destroy(&c.loudness->state);
            delete c.loudness;
        }
    }
}

void CAnalyser::EndSilence(Channel& c, int64_t at) {
    Run gap{at - c.silentRun, c.silentRun};
    // A recording that starts in silence (an ident's gap, a codec's priming) may begin its tone
    // with a short burst (the codec's pre-echo before the gap ends): a silence straight after
    // that burst is still the silence the recording started in, of unknown length, neither a
    // dropout nor an ident's gap.
    if (c.gaps.empty() && c.firstToneAt >= 0 && gap.start - c.firstToneAt <= kLeadingBurst) {
        return;
    }
    // A burst of a few milliseconds inside a gap (a codec's pre-echo before the tone resumes)
    // does not split it: it is still one gap.
    if (!c.gaps.empty()) {
        const Run last = c.gaps.back();
        if (gap.start - (last.start + last.length) <= kBridge) {
            if (last.length < static_cast<int64_t>(0.2 * m_rate) && c.dropouts > 0) {
                --c.dropouts; // counted as a dropout when it seemed to end
                c.shortGaps -= c.shortGaps > 0 ? 1 : 0;
            }
            gap = {last.start, at - last.start};
            c.gaps.pop_back();
        }
    }
    c.gaps.push_back(gap);
    if (gap.length < static_cast<int64_t>(0.2 * m_rate)) {
        ++c.dropouts;
        ++c.shortGaps;
        c.lastDropout = gap;
    }
}

// A break is counted once it is over and nothing shows it to be the edge of a gap (an ident, a
// sequence slot, a long dropout): those are judged as silences.
void CAnalyser::SettleBreak(Channel& c) {
    if (c.breakStart < 0 || m_samples - c.breakEnd <= kBreakJoin) {
        return;
    }
    const bool gapEdge =
        (c.longSilenceStart >= 0 && std::abs(c.longSilenceStart - c.breakStart) <= kBreakJoin) ||
        (c.longSilenceEnd >= 0 && std::abs(c.breakStart - c.longSilenceEnd) <= kBreakJoin) ||
        c.silentRun >= kShortestGap;
    if (!gapEdge && ++c.breaksThisSecond <= kMostBreaksPerSecond) {
        ++c.dropouts;
        c.lastDropout = {c.breakStart, c.breakEnd - c.breakStart + 1};
    }
    c.breakStart = c.breakEnd = -1;
}

// Once every half second: each channel's sine model from its measured frequency.
void CAnalyser::RefreshModels() {
    for (Channel& c : m_state) {
        c.hz = Frequency(c, &c.spread);
        c.hzAt = m_samples;
        c.coefficient = c.hz > 0 ? 2.0 * std::cos(2.0 * 3.141592653589793 * c.hz / m_rate) : 0.0;
    }
}

// A tone run ends: its own frequency from the rising zero crossings inside it (a surround ident
// changes frequency from run to run) and its level from the blocks wholly inside it.
void CAnalyser::CloseToneRun(Channel& c, int64_t end) {
    Run run{c.toneStart, end - c.toneStart};
    const double from = static_cast<double>(run.start);
    const double to = static_cast<double>(end);
    double first = -1;
    double last = -1;
    int count = 0;
    for (auto it = c.crossings.rbegin(); it != c.crossings.rend() && *it >= from; ++it) {
        if (*it < to) {
            last = last < 0 ? *it : last;
            first = *it;
            ++count;
        }
    }
    if (count >= 3 && last > first) {
        run.hz = (count - 1) * m_rate / (last - first);
    }
    if (c.runBlocks.size() >= 3) {
        std::vector<double> inside(c.runBlocks.begin() + 1, c.runBlocks.end() - 1);
        std::nth_element(inside.begin(), inside.begin() + inside.size() / 2, inside.end());
        run.level = inside[inside.size() / 2];
    }
    c.toneRuns.push_back(run);
    c.toneStart = -1;
    c.runBlocks.clear();
}

// One channel's stretch of samples, from sample m_samples on. The state every sample touches is
// held in locals for the stretch (a channel's DC follower and sine predictor are chains of
// dependent arithmetic: kept in registers they run at the arithmetic's own pace) and written back
// before anything else reads it.
void CAnalyser::AddToChannel(Channel& c, const double* samples, size_t count) {
    const int64_t blockLength = std::max(1, m_rate / kBlocksPerSecond);
    const double dcStep = 1.0 / (kDcSeconds * m_rate);
    size_t ring = static_cast<size_t>(m_samples % m_rate);
    int64_t toBlockEnd = blockLength - m_samples % blockLength;
    if (m_samples % m_rate == 0) {
        c.breaksThisSecond = 0;
    }
    double silence = std::max(kSilence, c.reference * kRelativeSilence);
    double breakThreshold = 0;
    const auto predicting = [&] { return c.coefficient != 0 && c.reference > 10 * kSilence; };
    bool predict = predicting();
    double dc = c.dc;
    double x1 = c.x1;
    double x2 = c.x2;
    double residualMean = c.residualMean;
    double blockPeak = c.blockPeak;
    double previous = c.previous;
    int64_t silentRun = c.silentRun;
    const double coefficient = c.coefficient;
    double* recent = c.recent.data();
    const size_t ringSize = c.recent.size();
    for (size_t i = 0; i < count; ++i, ++m_samples) {
        const double x = samples[i];
        recent[ring] = x;
        ring = ring + 1 == ringSize ? 0 : ring + 1;
        dc += (x - dc) * dcStep;
        const double y = x - dc;
        blockPeak = std::max(blockPeak, std::abs(y));
        if (--toBlockEnd == 0) {
            toBlockEnd = blockLength;
            c.blockPeaks.push_back(blockPeak);
            if (c.blockPeaks.size() > static_cast<size_t>(kBlocksPerSecond)) {
                c.blockPeaks.pop_front();
            }
            c.reference = *std::max_element(c.blockPeaks.begin(), c.blockPeaks.end());
            if (c.toneStart >= 0) {
                c.runBlocks.push_back(blockPeak);
            }
            blockPeak = 0;
            silence = std::max(kSilence, c.reference * kRelativeSilence);
            predict = predicting();
        }
        const bool silent = std::abs(y) < silence;
        // Breaks in a steady tone: the sample against the sine's prediction from the two before.
        if (predict) {
            const double residual = std::abs(y - (coefficient * x1 - x2));
            breakThreshold = std::max(c.reference * kBreakFraction, kNoiseMargin * residualMean);
            if (residual > breakThreshold && !(silent && silentRun >= kShortestGap)) {
                if (c.breakStart < 0) {
                    c.breakStart = m_samples;
                }
                c.breakEnd = m_samples;
            } else {
                residualMean += (residual - residualMean) * 0.002;
            }
        }
        x2 = x1;
        x1 = y;
        if (c.breakStart >= 0) {
            c.silentRun = silentRun;
            SettleBreak(c);
        }
        if (silent) {
            ++silentRun;
            if (silentRun == kShortestGap) {
                c.longSilenceStart = m_samples - kShortestGap + 1;
                if (c.toneStart >= 0) {
                    CloseToneRun(c, m_samples - kShortestGap + 1);
                }
            }
        } else {
            if (silentRun >= kShortestGap) {
                c.longSilenceEnd = m_samples;
                if (c.heardTone) {
                    c.silentRun = silentRun;
                    EndSilence(c, m_samples);
                }
            }
            if (c.toneStart < 0) {
                c.toneStart = m_samples;
                c.runBlocks.clear();
            }
            if (!c.heardTone && silentRun >= kShortestGap) {
                c.firstToneAt = m_samples;
            }
            silentRun = 0;
            c.heardTone = true;
        }
        // A tone's sample may land exactly on its zero crossing: judged on the rise.
        if (previous < 0 && x >= 0 && x - previous > kSilence) {
            c.crossings.push_back(static_cast<double>(m_samples - 1) + -previous / (x - previous));
        }
        previous = x;
    }
    c.dc = dc;
    c.x1 = x1;
    c.x2 = x2;
    c.residualMean = residualMean;
    c.blockPeak = blockPeak;
    c.previous = previous;
    c.silentRun = silentRun;
}

void CAnalyser::Add(const double* interleaved, size_t frames) {
    // Each channel's samples in a plane of their own, read once from the interleaved input.
    const size_t channels = static_cast<size_t>(m_channels);
    m_planes.resize(channels * frames);
    for (size_t i = 0; i < frames; ++i) {
        for (size_t ch = 0; ch < channels; ++ch) {
            m_planes[ch * frames + i] = interleaved[i * channels + ch];
        }
    }
    // Loudness by libebur128, true peak, clipped samples.
    for (size_t ch = 0; ch < channels; ++ch) {
        Channel& c = m_state[ch];
        const double* plane = m_planes.data() + ch * frames;
        for (size_t i = 0; i < frames; ++i) {
            c.clipped += std::abs(plane[i]) >= kFullScale ? 1 : 0;
        }
        c.truePeak.Add(plane, 1, frames);
        if (c.loudness != nullptr) {
            ebur128_add_frames_double(c.loudness->state, plane, frames);
        }
    }
    // Channel by channel, in stretches that end where the channels are looked at together:
    // every half second (the sine models) and every whole second (the steady seconds).
    const int64_t half = std::max(1, m_rate / 2);
    for (size_t done = 0; done < frames;) {
        const int64_t start = m_samples;
        const size_t count =
            std::min(frames - done, static_cast<size_t>((start / half + 1) * half - start));
        for (size_t ch = 0; ch < channels; ++ch) {
            m_samples = start;
            AddToChannel(m_state[ch], m_planes.data() + ch * frames + done, count);
        }
        m_samples = start + static_cast<int64_t>(count);
        done += count;
        if (m_samples % half == 0) {
            RefreshModels();
        }
        if (m_samples % m_rate == 0) {
            KeepSteadySeconds();
        }
    }
    const double oldest = static_cast<double>(m_samples) - kHistoryS * m_rate;
    for (Channel& c : m_state) {
        while (!c.crossings.empty() && c.crossings.front() < oldest) {
            c.crossings.pop_front();
        }
        while (!c.gaps.empty() && static_cast<double>(c.gaps.front().start) < oldest) {
            c.gaps.pop_front();
        }
        while (!c.toneRuns.empty() && static_cast<double>(c.toneRuns.front().start) < oldest) {
            c.toneRuns.pop_front();
        }
    }
}

// The tone's frequency from the zero crossings of the last 10 s: 0 when they are not those of
// one steady tone (noise, or too few). Whole periods are counted across gaps, whose tone goes on
// in phase, and a line fitted through the crossings gives the period to a small fraction of a
// sample.
double CAnalyser::Frequency(const Channel& c, double* spread) const {
    *spread = 1.0;
    const double from = static_cast<double>(m_samples) - 10.0 * m_rate;
    std::vector<double> t;
    for (const double x : c.crossings) {
        if (x >= from) {
            t.push_back(x);
        }
    }
    if (t.size() < 20) {
        return 0;
    }
    std::vector<double> intervals;
    for (size_t i = 1; i < t.size(); ++i) {
        intervals.push_back(t[i] - t[i - 1]);
    }
    std::vector<double> sorted = intervals;
    std::nth_element(sorted.begin(), sorted.begin() + sorted.size() / 2, sorted.end());
    const double median = sorted[sorted.size() / 2];
    size_t near = 0;
    size_t counted = 0;
    for (const double d : intervals) {
        if (d <= 1.5 * median) {
            ++counted;
            near += std::abs(d - median) <= 0.02 * median ? 1 : 0;
        }
    }
    *spread = counted == 0 ? 1.0 : 1.0 - static_cast<double>(near) / counted;
    if (*spread > 0.1) {
        return 0;
    }
    double sk = 0, st = 0, skk = 0, skt = 0;
    const double n = static_cast<double>(t.size());
    for (const double x : t) {
        const double k = std::round((x - t[0]) / median);
        sk += k;
        st += x;
        skk += k * k;
        skt += k * x;
    }
    const double period = (n * skt - sk * st) / (n * skk - sk * sk);
    return period > 0 ? m_rate / period : 0;
}

// The surround idents, from every channel's tone runs: when one is recognised it names the
// pattern, and the legs' roles replace the stereo idents' sides and the silences between a leg's
// bursts are the ident's, not dropouts.
void CAnalyser::RecogniseSurroundIdent(AnalysisReport& report) const {
    std::vector<SurroundChannel> channels(m_state.size());
    for (size_t ch = 0; ch < m_state.size(); ++ch) {
        const Channel& c = m_state[ch];
        for (const Run& r : c.toneRuns) {
            channels[ch].runs.push_back({r.start, r.length, r.hz, r.level});
        }
        channels[ch].crossings = c.crossings;
        const ChannelReport& r = report.channels[ch];
        if (r.tone) {
            channels[ch].steadyHz = r.frequencyHz;
            channels[ch].steadyLevel = std::pow(10.0, r.levelDbfs / 20);
        }
    }
    SurroundResult surround = RecogniseSurround(channels, m_rate);
    if (surround.ident.empty()) {
        return;
    }
    static const std::map<std::string, std::string> names{
        {"blits", "BLITS"},
        {"ebu-surround", "EBU multichannel ident"},
        {"blits-downmix", "a stereo downmix of BLITS"}};
    report.identKey = surround.ident;
    report.tooShort = false;
    report.pattern = names.at(surround.ident);
    if (surround.layout == "5.1" || surround.layout == "7.1") {
        report.pattern += " " + surround.layout;
    }
    report.multiFrequency = false;
    const size_t legs = std::min(SurroundOrder(surround.layout).size(), report.channels.size());
    for (size_t ch = 0; ch < report.channels.size(); ++ch) {
        ChannelReport& r = report.channels[ch];
        if (ch >= legs) {
            continue; // beside the group: judged as before
        }
        r.role = surround.roles[ch];
        r.side = -1;
        r.plane = -1;
        r.inverted = surround.inverted[ch];
        r.invertedAgainst = 0;
        // Silences shorter than any of the ident's own; the sine predictor's breaks are not
        // counted, since its model is one steady frequency and a leg changes frequency.
        r.dropouts = m_state[ch].shortGaps;
        if (surround.levels[ch] > 0) {
            r.tone = true;
            r.frequencyHz = surround.hz[ch];
            r.levelDbfs = Decibels(surround.levels[ch]);
            r.dbu = r.levelDbfs + m_dbuOffset;
        }
    }
    report.surround = std::move(surround);
}

// Steady: a tone in every 10 ms block of the last second, none below half the loudest, and no
// dropout counted in it.
bool CAnalyser::SecondWasSteady(const Channel& c) const {
    return c.heardTone && c.reference > 10 * kSilence &&
           c.blockPeaks.size() == static_cast<size_t>(kBlocksPerSecond) &&
           *std::min_element(c.blockPeaks.begin(), c.blockPeaks.end()) >= 0.5 * c.reference &&
           c.dropouts == c.dropoutsAtSecond;
}

// At each whole second: the second just ended, kept where it was steady, so that the figures
// of a steady tone come from the whole run and not only from its final second.
void CAnalyser::KeepSteadySeconds() {
    const int64_t start = m_samples - m_rate;
    std::vector<bool> steady(m_state.size());
    for (size_t ch = 0; ch < m_state.size(); ++ch) {
        Channel& c = m_state[ch];
        steady[ch] = SecondWasSteady(c);
        if (steady[ch]) {
            c.steady = c.recent;
            c.steadyStart = start;
        }
        c.dropoutsAtSecond = c.dropouts;
    }
    for (size_t left = 0; left + 1 < m_state.size(); left += 2) {
        if (steady[left] && steady[left + 1]) {
            for (size_t ch = left; ch <= left + 1; ++ch) {
                m_state[ch].pairSteady = m_state[ch].recent;
                m_state[ch].pairSteadyStart = start;
            }
        }
    }
}

CAnalyser::Fit CAnalyser::FitSine(const std::vector<double>& samples, int64_t end, int64_t window,
                                  double hz) const {
    Fit fit;
    if (window < m_rate / 10 || hz <= 0) {
        return fit;
    }
    const size_t first = static_cast<size_t>((end - window) % m_rate);
    const auto next = [&](size_t at) { return at + 1 == samples.size() ? 0 : at + 1; };
    double mean = 0;
    for (size_t at = first, n = 0; n < static_cast<size_t>(window); ++n, at = next(at)) {
        mean += samples[at];
    }
    mean /= static_cast<double>(window);
    const double w = 2.0 * 3.141592653589793 * hz / m_rate;
    // The reference sine and cosine by rotation, a multiplication a sample (a sin and a cos per
    // sample would cost more than all the rest of the analysis), by four rotators a sample apart
    // in two pairs of lanes (four samples a step, so the rotation's chain of dependent arithmetic
    // is a quarter as long), re-anchored every 4800 samples.
    Pair ss{}, sc{}, cc{}, xs{}, xc{}, xx{};
    const double step4Sin = std::sin(4 * w);
    const double step4Cos = std::cos(4 * w);
    const auto accumulate = [&](const double* x, size_t count, int64_t from) {
        for (size_t base = 0; base < count; base += 4800) {
            const size_t length = std::min<size_t>(4800, count - base);
            Pair s[2];
            Pair k[2];
            for (int j = 0; j < 4; ++j) {
                const double phase = w * static_cast<double>(from + static_cast<int64_t>(base) + j);
                s[j / 2][j % 2] = std::sin(phase);
                k[j / 2][j % 2] = std::cos(phase);
            }
            size_t t = 0;
            for (; t + 4 <= length; t += 4) {
                for (int h = 0; h < 2; ++h) {
                    const Pair v = LoadPair(x + base + t + 2 * static_cast<size_t>(h)) - mean;
                    ss += s[h] * s[h];
                    sc += s[h] * k[h];
                    cc += k[h] * k[h];
                    xs += v * s[h];
                    xc += v * k[h];
                    xx += v * v;
                    const Pair next = s[h] * step4Cos + k[h] * step4Sin;
                    k[h] = k[h] * step4Cos - s[h] * step4Sin;
                    s[h] = next;
                }
            }
            for (int j = 0; t < length; ++t, ++j) {
                const double v = x[base + t] - mean;
                const double sj = s[j / 2][j % 2];
                const double kj = k[j / 2][j % 2];
                ss[0] += sj * sj;
                sc[0] += sj * kj;
                cc[0] += kj * kj;
                xs[0] += v * sj;
                xc[0] += v * kj;
                xx[0] += v * v;
            }
        }
    };
    // The window in at most two stretches of the ring.
    const size_t head = std::min(static_cast<size_t>(window), samples.size() - first);
    accumulate(samples.data() + first, head, end - window);
    accumulate(samples.data(), static_cast<size_t>(window) - head,
               end - window + static_cast<int64_t>(head));
    const auto total = [](const Pair& q) { return q[0] + q[1]; };
    const double sumSs = total(ss), sumSc = total(sc), sumCc = total(cc);
    const double sumXs = total(xs), sumXc = total(xc), sumXx = total(xx);
    const double det = sumSs * sumCc - sumSc * sumSc;
    if (det <= 0) {
        return fit;
    }
    fit.a = (sumXs * sumCc - sumXc * sumSc) / det;
    fit.b = (sumXc * sumSs - sumXs * sumSc) / det;
    const double explained = fit.a * sumXs + fit.b * sumXc;
    fit.toneRms = std::sqrt(std::max(0.0, explained) / static_cast<double>(window));
    fit.residualRms = std::sqrt(std::max(0.0, sumXx - explained) / static_cast<double>(window));
    return fit;
}

// Loudness, true peak, clips and DC of every channel; THD+N of every steady tone; and of every
// pair whose legs carry one frequency, their correlation and the right leg's delay.
void CAnalyser::Describe(std::vector<ChannelReport>& reports, const std::vector<double>& nominal,
                         const std::vector<double>& means) const {
    std::vector<Fit> fits(reports.size());
    std::vector<bool> steadyNow(reports.size(), false);
    for (ChannelReport& r : reports) {
        const Channel& c = m_state[static_cast<size_t>(r.channel - 1)];
        r.truePeakDbtp = Decibels(c.truePeak.Peak());
        double value = 0;
        if (c.loudness != nullptr &&
            ebur128_loudness_global(c.loudness->state, &value) == EBUR128_SUCCESS &&
            std::isfinite(value)) {
            r.loudnessLufs = value;
        }
        r.clipped = c.clipped;
        // The mean of the last second (whole periods of any offered tone).
        r.dcDbfs =
            m_samples > 0 ? Decibels(std::abs(means[static_cast<size_t>(r.channel - 1)])) : -200.0;
        // A steady second only: a gap or a dropout in it is not the path's distortion. The last
        // second if it was, else the last one that was.
        const size_t at = static_cast<size_t>(r.channel - 1);
        // A surround ident's leg changes frequency from section to section: no one tone to fit.
        steadyNow[at] = r.tone && r.role.empty() && SecondWasSteady(c);
        if (steadyNow[at]) {
            fits[at] =
                FitSine(c.recent, m_samples, std::min<int64_t>(m_samples, m_rate), r.frequencyHz);
        } else if (r.tone && r.role.empty() && c.steadyStart >= 0) {
            fits[at] = FitSine(c.steady, c.steadyStart + m_rate, m_rate, r.frequencyHz);
        }
        if (fits[at].toneRms > 0) {
            r.thdnDb = 20.0 * std::log10(std::max(fits[at].residualRms, 1e-12) / fits[at].toneRms);
        }
    }
    for (size_t left = 0; left + 1 < reports.size(); left += 2) {
        if (nominal[left] <= 0 || nominal[left] != nominal[left + 1] || !reports[left].tone ||
            !reports[left + 1].tone || !reports[left].role.empty() ||
            !reports[left + 1].role.empty()) {
            continue;
        }
        // Both legs from one second: the last if both were steady in it, else the last in which
        // they were.
        Fit l = fits[left];
        Fit r = fits[left + 1];
        if (!steadyNow[left] || !steadyNow[left + 1]) {
            const Channel& a = m_state[left];
            const Channel& b = m_state[left + 1];
            if (a.pairSteadyStart < 0 || a.pairSteadyStart != b.pairSteadyStart) {
                continue;
            }
            const int64_t end = a.pairSteadyStart + m_rate;
            l = FitSine(a.pairSteady, end, m_rate, reports[left].frequencyHz);
            r = FitSine(b.pairSteady, end, m_rate, reports[left + 1].frequencyHz);
        }
        if (l.toneRms <= 0 || r.toneRms <= 0) {
            continue;
        }
        // Each leg is a sin(wn) + b cos(wn): its phase says where it stands; the right leg's phase
        // ahead of the left's, over the tone's angular frequency, is its delay (within half a
        // period of the tone, the most a tone can tell).
        const double phaseLeft = std::atan2(l.a, l.b);
        const double phaseRight = std::atan2(r.a, r.b);
        double difference = phaseRight - phaseLeft;
        while (difference > 3.141592653589793) {
            difference -= 2 * 3.141592653589793;
        }
        while (difference < -3.141592653589793) {
            difference += 2 * 3.141592653589793;
        }
        const double hz = reports[left].frequencyHz;
        reports[left].legDelaySamples = difference / (2 * 3.141592653589793 * hz) * m_rate;
        reports[left].correlation = std::cos(difference);
    }
}

AnalysisReport CAnalyser::Analyse() const {
    AnalysisReport report;
    report.seconds = static_cast<double>(m_samples) / m_rate;
    const auto samples = [this](double seconds) { return static_cast<int64_t>(seconds * m_rate); };
    const auto near = [&](int64_t value, double seconds, double tolerance) {
        return std::abs(value - samples(seconds)) <= samples(tolerance);
    };
    const int64_t window = std::min<int64_t>(m_samples, m_rate);

    // Each channel on its own: level, frequency, gaps.
    struct Ident {
        int channel;
        int64_t start;
        int64_t length;
    };
    std::vector<Ident> identGaps;
    std::vector<double> nominal(static_cast<size_t>(m_channels), 0);
    std::vector<double> means(static_cast<size_t>(m_channels), 0); // of the last second
    for (int ch = 0; ch < m_channels; ++ch) {
        const Channel& c = m_state[static_cast<size_t>(ch)];
        ChannelReport r;
        r.channel = ch + 1;
        // The last second, in any order: the whole ring, or its first `window` samples in a
        // run shorter than a second. Every sample: the quiet ones near a tone's zero crossings
        // count in the RMS too.
        const WindowSums sums = SumWindow(c.recent.data(), static_cast<size_t>(window));
        const double peak = sums.peak;
        const double sum = sums.squares;
        means[static_cast<size_t>(ch)] = window > 0 ? sums.sum / static_cast<double>(window) : 0;
        // Measured when the sine models were refreshed, if that was at this very sample.
        double spread = c.spread;
        const double hz = c.hzAt == m_samples ? c.hz : Frequency(c, &spread);
        r.peakDbfs = Decibels(peak);
        // RMS re full scale as a mean square: a full-scale sine reads -3.01 dBFS.
        r.rmsDbfs =
            window > 0 && sum > 0 ? 10.0 * std::log10(sum / static_cast<double>(window)) : -200.0;
        r.tone = peak >= kSilence && hz > 0;
        r.frequencyHz = hz;
        // The steady level: the median of the loud blocks (those within 20 dB of the loudest),
        // so gaps, dropouts and overshoots at a tone's edges do not move it.
        std::vector<double> loud;
        for (const double block : c.blockPeaks) {
            if (block >= c.reference * 0.1) {
                loud.push_back(block);
            }
        }
        if (!loud.empty()) {
            std::nth_element(loud.begin(), loud.begin() + loud.size() / 2, loud.end());
            r.levelDbfs = Decibels(loud[loud.size() / 2]);
        }
        r.dbu = peak >= kSilence && !loud.empty() ? r.levelDbfs + m_dbuOffset : -200.0;
        r.dropouts = c.dropouts;
        r.lastDropoutS = static_cast<double>(c.lastDropout.start) / m_rate;
        r.lastDropoutSamples = c.lastDropout.length;
        nominal[static_cast<size_t>(ch)] = hz > 0 ? Nominal(hz) : 0;
        for (const Run& gap : c.gaps) {
            if (gap.length >= samples(0.2) && gap.length <= samples(0.33)) {
                identGaps.push_back({ch, gap.start, gap.length});
            }
        }
        report.channels.push_back(r);
    }

    // The pattern, from all channels' gaps and tone runs together.
    std::set<int> sequenceLike;
    std::vector<int64_t> slotStart(static_cast<size_t>(m_channels), -1);
    int64_t cycle = 0;
    for (int ch = 0; ch < m_channels; ++ch) {
        const Channel& c = m_state[static_cast<size_t>(ch)];
        for (const Run& run : c.toneRuns) {
            if (near(run.length, kSlotS, 0.03)) {
                sequenceLike.insert(ch);
                slotStart[static_cast<size_t>(ch)] = run.start;
            }
        }
        for (const Run& gap : c.gaps) {
            if (sequenceLike.count(ch) && gap.length > samples(0.4)) {
                cycle = std::max(cycle, gap.length + samples(kSlotS));
            }
        }
    }
    // A pattern counts only with its period confirmed: a gap of one channel again one cycle on.
    // A single mute is a dropout, whatever its length.
    const auto repeated = [&](double cycleS) {
        for (const Ident& a : identGaps) {
            for (const Ident& b : identGaps) {
                if (a.channel == b.channel && near(b.start - a.start, cycleS, 0.05)) {
                    return true;
                }
            }
        }
        return false;
    };
    bool glitsGenerator = false;
    bool glitsPublic = false;
    std::set<int64_t> rightStarts;
    for (const Ident& a : identGaps) {
        for (const Ident& b : identGaps) {
            const bool generator = near(b.start - a.start, kGlitsStepS, 0.03);
            const bool published = near(b.start - a.start, kGlitsPublicStepS, 0.03);
            if (generator || published) {
                glitsGenerator = glitsGenerator || generator;
                glitsPublic = glitsPublic || published;
                rightStarts.insert(b.start);
            }
        }
    }
    const bool glits = (glitsGenerator || glitsPublic) && repeated(kGlitsCycleS);
    const bool shortGaps = !identGaps.empty() &&
                           std::all_of(identGaps.begin(), identGaps.end(),
                                       [&](const Ident& g) { return near(g.length, 0.25, 0.015); });
    const bool sequence = sequenceLike.size() >= 2 && cycle > 0;
    // EBU: two gaps of one channel one cycle (3 s) apart, and no GLITS structure.
    const bool ebu = !sequence && !glits && rightStarts.empty() && repeated(kEbuCycleS);
    std::set<int> offered;
    for (int ch = 0; ch < m_channels; ++ch) {
        if (nominal[static_cast<size_t>(ch)] > 0) {
            offered.insert(static_cast<int>(nominal[static_cast<size_t>(ch)]));
        }
    }
    const bool anyOffered = !offered.empty();
    report.multiFrequency = offered.size() >= 3;
    if (!anyOffered) {
        report.identKey = "none";
    } else if (sequence) {
        report.identKey = "sequence";
    } else if (glits) {
        report.identKey = "glits";
    } else if (ebu) {
        report.identKey = shortGaps ? "ebu-r49" : "ebu";
    } else if (report.seconds >= 4.5) {
        report.identKey = "steady";
    } else {
        report.identKey = "none";
    }
    // Ident-length gaps, but the run ended before the ident's period could be confirmed: the
    // gap again one cycle (EBU 3 s; GLITS 4 s, told by its right gaps) after the first one.
    if ((report.identKey == "steady" || report.identKey == "none") && anyOffered &&
        !identGaps.empty()) {
        const Ident first =
            *std::min_element(identGaps.begin(), identGaps.end(),
                              [](const Ident& a, const Ident& b) { return a.start < b.start; });
        const double cycleS = rightStarts.empty() ? kEbuCycleS : kGlitsCycleS;
        const int64_t needed = first.start + samples(cycleS + kConfirmMarginS) + first.length;
        if (m_samples < needed) {
            report.tooShort = true;
            report.neededSeconds = static_cast<double>(needed) / m_rate;
            report.identKey = "unconfirmed";
        }
    }
    static const std::map<std::string, std::string> names{
        {"sequence", "sequence, one channel at a time"},
        {"glits", "GLITS"},
        {"glits-public", "GLITS (250 ms gaps, right at 500 and 1000 ms)"},
        {"glits-generator", "GLITS (this generator's: 280 ms gaps, right at 560 and 1120 ms)"},
        {"ebu", "EBU stereo ident"},
        {"ebu-r49", "EBU stereo ident (EBU R49, 250 ms)"},
        {"steady", "steady tone"},
        {"none", "no line-up pattern"},
        {"unconfirmed", "an ident's gap, but too short a run to confirm the ident"}};
    report.pattern =
        names.at(report.identKey == "glits" ? (glitsPublic ? "glits-public" : "glits-generator")
                                            : report.identKey);
    if (report.multiFrequency && report.identKey != "none" && report.identKey != "sequence") {
        report.pattern = "multi-frequency set, " + report.pattern;
    }

    // Left or right, from the ident gaps.
    if (report.identKey == "glits" || report.identKey == "ebu" || report.identKey == "ebu-r49") {
        std::set<int> left;
        std::set<int> right;
        for (const Ident& g : identGaps) {
            (rightStarts.count(g.start) ? right : left).insert(g.channel);
        }
        for (ChannelReport& r : report.channels) {
            const int ch = r.channel - 1;
            if (left.count(ch) && !right.count(ch)) {
                r.side = 0;
            } else if (right.count(ch)) {
                r.side = 1;
            } else if (r.tone && report.identKey != "glits") {
                r.side = 1; // toned right through the left channels' gaps
            }
        }
    }

    // Which generator channel: by the multi-frequency set, and in the sequence by its turn.
    if (report.identKey == "sequence") {
        const int slots =
            static_cast<int>(std::llround(static_cast<double>(cycle) / samples(kSlotS)));
        int64_t cycleStart = -1;
        for (int ch = 0; ch < m_channels && cycleStart < 0; ++ch) {
            const int f = static_cast<int>(nominal[static_cast<size_t>(ch)]);
            const int* at = std::find(kMultiFrequencySet, kMultiFrequencySet + 16, f);
            const bool unique = std::count(kMultiFrequencySet, kMultiFrequencySet + 16, f) == 1;
            if (unique && slotStart[static_cast<size_t>(ch)] >= 0) {
                cycleStart = slotStart[static_cast<size_t>(ch)] -
                             static_cast<int64_t>(at - kMultiFrequencySet) * samples(kSlotS);
            }
        }
        for (ChannelReport& r : report.channels) {
            const int64_t start = slotStart[static_cast<size_t>(r.channel - 1)];
            if (cycleStart >= 0 && start >= 0 && slots > 0) {
                const int64_t into = ((start - cycleStart) % cycle + cycle) % cycle;
                r.plane =
                    static_cast<int>(std::llround(static_cast<double>(into) / samples(kSlotS))) %
                    slots;
                r.side = r.plane % 2;
            }
        }
    } else if (report.multiFrequency) {
        for (ChannelReport& r : report.channels) {
            const int f = static_cast<int>(nominal[static_cast<size_t>(r.channel - 1)]);
            int best = -1;
            for (int p = 0; p < 16; ++p) {
                if (kMultiFrequencySet[p] != f) {
                    continue;
                }
                const bool sideFits = r.side < 0 || p % 2 == r.side;
                if (p == r.channel - 1 && sideFits) {
                    best = p;
                    break;
                }
                if (best < 0 && sideFits) {
                    best = p;
                }
            }
            r.plane = best;
        }
    }

    // Polarity: channels of one frequency are sent in phase; the fewer that are not are inverted.
    if (report.identKey != "sequence") {
        std::map<int, std::vector<int>> byFrequency;
        for (int ch = 0; ch < m_channels; ++ch) {
            if (nominal[static_cast<size_t>(ch)] > 0 &&
                report.channels[static_cast<size_t>(ch)].tone) {
                byFrequency[static_cast<int>(nominal[static_cast<size_t>(ch)])].push_back(ch);
            }
        }
        for (const auto& [f, members] : byFrequency) {
            if (members.size() < 2) {
                continue;
            }
            const std::vector<double>& ref = m_state[static_cast<size_t>(members[0])].recent;
            std::vector<int> opposite;
            for (size_t k = 1; k < members.size(); ++k) {
                const std::vector<double>& other = m_state[static_cast<size_t>(members[k])].recent;
                double xy = 0, xx = 0, yy = 0;
                for (size_t at = 0; at < static_cast<size_t>(window); ++at) {
                    if (std::abs(ref[at]) >= kSilence && std::abs(other[at]) >= kSilence) {
                        xy += ref[at] * other[at];
                        xx += ref[at] * ref[at];
                        yy += other[at] * other[at];
                    }
                }
                if (xx > 0 && yy > 0 && xy / std::sqrt(xx * yy) < -0.5) {
                    opposite.push_back(members[k]);
                }
            }
            std::vector<int> inverted = opposite;
            if (opposite.size() * 2 > members.size()) {
                inverted.clear();
                for (const int ch : members) {
                    if (std::find(opposite.begin(), opposite.end(), ch) == opposite.end()) {
                        inverted.push_back(ch);
                    }
                }
            }
            const int against =
                std::find(inverted.begin(), inverted.end(), members[0]) == inverted.end()
                    ? members[0]
                    : opposite.front();
            for (const int ch : inverted) {
                report.channels[static_cast<size_t>(ch)].inverted = true;
                report.channels[static_cast<size_t>(ch)].invertedAgainst = against + 1;
            }
        }
    }

    // Silences no pattern explains are dropouts too, long ones as well as short ones, and an
    // ident-length gap where no ident was recognised.
    const bool identKnown =
        report.identKey == "ebu" || report.identKey == "ebu-r49" || report.identKey == "glits";
    if (report.identKey != "sequence") {
        for (ChannelReport& r : report.channels) {
            for (const Run& gap : m_state[static_cast<size_t>(r.channel - 1)].gaps) {
                if (gap.length > samples(0.33) ||
                    (!identKnown && !report.tooShort && gap.length >= samples(0.2))) {
                    ++r.dropouts;
                    r.lastDropoutS = static_cast<double>(gap.start) / m_rate;
                    r.lastDropoutSamples = gap.length;
                }
            }
        }
    }

    RecogniseSurroundIdent(report);
    Describe(report.channels, nominal, means);

    // The tones' frequencies against the nominal ones: the sample clock of the path.
    double ppm = 0;
    int measured = 0;
    for (const ChannelReport& r : report.channels) {
        const double f = nominal[static_cast<size_t>(r.channel - 1)];
        if (f > 0 && r.frequencyHz > 0) {
            ppm += (r.frequencyHz / f - 1.0) * 1e6;
            ++measured;
        }
    }
    if (measured > 0 && report.seconds >= 2.0) {
        report.clockPpm = ppm / measured;
        report.clockKnown = true;
    }
    return report;
}
