#include "analyser.h"

#include "pattern.h"
#include "placement.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kLongestIdentGapS = 0.33;
constexpr double kShortestIdentGapS = 0.2;

size_t PowerOfTwoAtLeast(size_t n) {
    size_t size = 1;
    while (size < n) {
        size *= 2;
    }
    return size;
}

struct WindowSums {
    double peak = 0;
    double sum = 0;
    double squares = 0;
};
// Two doubles, one SSE2 register (wider vectors of GCC's extension are split into scalar code on
// plain x86-64 and run slower than a scalar loop).
typedef double Pair __attribute__((vector_size(2 * sizeof(double))));

// The largest magnitude, the sum and the sum of squares of n samples, two lanes at a time.
WindowSums SumWindow(const double* x, size_t n) {
    Pair peak{}, sum{}, squares{};
    size_t i = 0;
    for (; i + 2 <= n; i += 2) {
        Pair v;
        std::memcpy(&v, x + i, sizeof v); // unaligned
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

const char* KindName(DropoutKind kind) {
    switch (kind) {
    case DropoutKind::heldSample:
        return "held sample";
    case DropoutKind::brokenWave:
        return "break in the waveform";
    default:
        return "tone gone";
    }
}

} // namespace

CAnalyser::CAnalyser(int channels, int rate, double dbuOffset)
    : m_channels(channels), m_rate(rate), m_dbuOffset(dbuOffset),
      m_acquisition(std::make_unique<CSpectrum>(
          PowerOfTwoAtLeast(static_cast<size_t>(std::ceil(0.16 * rate))))),
      m_pathMeter(rate), m_figures(static_cast<size_t>(channels)) {
    m_trackers.reserve(static_cast<size_t>(channels));
    for (int ch = 0; ch < channels; ++ch) {
        m_trackers.emplace_back(rate, m_acquisition.get());
    }
    for (int ch = 0; ch < channels; ++ch) {
        m_meters.emplace_back(rate);
    }
}

CAnalyser::~CAnalyser() = default;

void CAnalyser::Add(const double* interleaved, size_t frames) {
    // Each channel's samples in a plane of their own, read once from the interleaved input.
    const size_t channels = static_cast<size_t>(m_channels);
    m_planes.resize(channels * frames);
    for (size_t i = 0; i < frames; ++i) {
        for (size_t ch = 0; ch < channels; ++ch) {
            m_planes[ch * frames + i] = interleaved[i * channels + ch];
        }
    }
    for (size_t ch = 0; ch < channels; ++ch) {
        Meters& m = m_meters[ch];
        const double* plane = m_planes.data() + ch * frames;
        m.truePeak.Add(plane, 1, frames);
    }
    for (size_t ch = 0; ch < channels; ch += 2) {
        const double* plane = m_planes.data() + ch * frames;
        if (ch + 1 < channels) {
            CLoudnessMeter::AddTwo(m_meters[ch].loudness, plane, m_meters[ch + 1].loudness,
                                   plane + frames, frames);
        } else {
            m_meters[ch].loudness.Add(plane, frames);
        }
    }
    // Channel by channel, in stretches that end where the channels are looked at together:
    // every half second (the break predictors' models) and every whole second (steady seconds).
    const int64_t half = std::max(1, m_rate / 2);
    for (size_t done = 0; done < frames;) {
        const int64_t start = m_samples;
        const size_t count =
            std::min(frames - done, static_cast<size_t>((start / half + 1) * half - start));
        for (size_t ch = 0; ch < channels; ++ch) {
            m_trackers[ch].Add(m_planes.data() + ch * frames + done, count);
        }
        m_samples = start + static_cast<int64_t>(count);
        done += count;
        if (m_samples % half == 0) {
            for (CToneTracker& t : m_trackers) {
                t.RefreshModel();
            }
        }
        if (m_samples % m_rate == 0) {
            EndSecond();
        }
    }
}

// The second just ended, kept where it was steady, so that the figures of a steady tone come
// from the whole run and not only from its final second; and where both legs of a pair were.
void CAnalyser::EndSecond() {
    for (CToneTracker& t : m_trackers) {
        t.EndSecond();
    }
    MeasureSteadySeconds();
    for (size_t left = 0; left + 1 < m_trackers.size(); left += 2) {
        if (m_trackers[left].LastSecondSteady() && m_trackers[left + 1].LastSecondSteady()) {
            for (size_t ch = left; ch <= left + 1; ++ch) {
                m_meters[ch].pairSteady = m_trackers[ch].Recent();
                m_meters[ch].pairStart = m_samples - m_rate;
            }
        }
    }
}

// What is under each tone that was steady through the second just ended.
void CAnalyser::MeasureSteadySeconds() {
    std::vector<OtherTone> tones;
    for (size_t ch = 0; ch < m_trackers.size(); ++ch) {
        const double hz = m_trackers[ch].Frequency();
        const double level = m_trackers[ch].Level();
        if (hz > 0 && level > 0 && m_trackers[ch].ToneInLastSecond()) {
            tones.push_back({static_cast<int>(ch) + 1, hz, level});
        }
    }
    // Half the channels each second, in turn: a channel's figures come from one steady second
    // in two, which halves their cost on 16 channels; the noise floor is the mean of several
    // seconds anyway.
    const int64_t second = m_samples / m_rate;
    for (size_t ch = 0; ch < m_trackers.size(); ++ch) {
        const CToneTracker& t = m_trackers[ch];
        const bool turn = m_trackers.size() <= 2 || static_cast<int64_t>(ch % 2) == second % 2 ||
                          m_figures[ch].seconds.empty();
        if (!t.LastSecondSteady() || !turn) {
            continue;
        }
        std::vector<OtherTone> others;
        for (const OtherTone& o : tones) {
            if (o.channel != static_cast<int>(ch) + 1) {
                others.push_back(o);
            }
        }
        std::deque<PathFigures>& seconds = m_figures[ch].seconds;
        seconds.push_back(m_pathMeter.Measure(t.SteadySecond(), t.SteadyEnd() - m_rate,
                                              static_cast<int>(ch) + 1, t.Frequency(), t.Level(),
                                              others));
        if (seconds.size() > 10) {
            seconds.pop_front();
        }
    }
}

ChannelReport CAnalyser::Basics(size_t ch, size_t window) const {
    const CToneTracker& t = m_trackers[ch];
    ChannelReport r;
    r.channel = static_cast<int>(ch) + 1;
    // The last second, in any order: the whole ring, or its first `window` samples in a run
    // shorter than a second.
    const WindowSums sums = SumWindow(t.Recent().data(), window);
    r.peakDbfs = Decibels(sums.peak);
    // RMS re full scale as a mean square: a full-scale sine reads -3.01 dBFS.
    r.rmsDbfs = window > 0 && sums.squares > 0
                    ? 10.0 * std::log10(sums.squares / static_cast<double>(window))
                    : -200.0;
    r.dcDbfs = window > 0 ? Decibels(std::abs(sums.sum / static_cast<double>(window))) : -200.0;
    r.frequencyHz = t.Frequency();
    r.tone = r.frequencyHz > 0 && t.ToneInLastSecond();
    const double level = t.Level();
    r.levelDbfs = Decibels(level);
    r.toneRmsDbfs = level > 0 ? r.levelDbfs - 10 * std::log10(2.0) : -200.0;
    r.dbu = r.tone && level > 0 ? r.levelDbfs + m_dbuOffset : -200.0;
    r.dropouts = t.Dropouts();
    r.lastDropoutS = static_cast<double>(t.LastDropout().start) / m_rate;
    r.lastDropoutSamples = t.LastDropout().length;
    r.lastDropoutKind = KindName(t.LastDropout().kind);
    return r;
}

AnalysisReport CAnalyser::Analyse() const {
    AnalysisReport report;
    report.seconds = static_cast<double>(m_samples) / m_rate;
    const auto window = static_cast<size_t>(std::min<int64_t>(m_samples, m_rate));
    std::vector<int> nominal(m_trackers.size(), 0);
    std::vector<PatternChannel> channels;
    for (size_t ch = 0; ch < m_trackers.size(); ++ch) {
        report.channels.push_back(Basics(ch, window));
        const ChannelReport& r = report.channels.back();
        nominal[ch] = r.frequencyHz > 0 ? Nominal(r.frequencyHz) : 0;
        channels.push_back({&m_trackers[ch].Gaps(), &m_trackers[ch].Runs(), nominal[ch], r.tone});
    }
    DiscountCodecTransients(report);
    const PatternResult pattern = RecognisePattern(channels, m_rate, m_samples);
    report.ident = pattern.ident;
    report.pattern = PatternName(pattern);
    report.multiFrequency = pattern.multiFrequency;
    report.tooShort = pattern.tooShort;
    report.neededSeconds = pattern.neededSeconds;
    for (size_t ch = 0; ch < report.channels.size(); ++ch) {
        report.channels[ch].side = pattern.sides[ch];
    }
    PlaceChannels(pattern, nominal, m_rate, report.channels);
    if (pattern.ident != Ident::sequence) {
        std::vector<const std::vector<double>*> recent;
        for (const CToneTracker& t : m_trackers) {
            recent.push_back(&t.Recent());
        }
        JudgePolarity(nominal, recent, window, report.channels);
        CountUnexplainedGaps(report, pattern.gapsExplained);
    }
    RecogniseSurroundIdent(report);
    Describe(report);
    DescribePairs(report, nominal);
    MeasureClock(report, nominal);
    return report;
}

// A lossy codec codes channels together (joint stereo, coupling): where one channel's ident gap
// begins or ends, another's waveform carries the codec's transient there; and it smears a
// channel's own gap edge over its transform block (pre-echo, up to two MPEG granules, 24 ms).
// A break in the waveform there is that, not a loss.
void CAnalyser::DiscountCodecTransients(AnalysisReport& report) const {
    const auto longGap = static_cast<int64_t>(kShortestIdentGapS * m_rate);
    const auto near = static_cast<int64_t>(0.003 * m_rate);
    const auto smear = static_cast<int64_t>(0.024 * m_rate);
    std::vector<int64_t> edges;
    std::vector<size_t> owners;
    for (size_t ch = 0; ch < m_trackers.size(); ++ch) {
        for (const Gap& gap : m_trackers[ch].Gaps()) {
            if (gap.length >= longGap) {
                edges.insert(edges.end(), {gap.start, gap.start + gap.length});
                owners.insert(owners.end(), {ch, ch});
            }
        }
    }
    if (edges.empty()) {
        return;
    }
    for (size_t ch = 0; ch < m_trackers.size(); ++ch) {
        ChannelReport& r = report.channels[ch];
        const Dropout* last = nullptr;
        uint64_t discounted = 0;
        for (const Dropout& d : m_trackers[ch].DropoutLog()) {
            bool transient = false;
            for (size_t e = 0; e < edges.size() && d.kind == DropoutKind::brokenWave; ++e) {
                transient =
                    transient || std::abs(d.start - edges[e]) <= (owners[e] == ch ? smear : near);
            }
            discounted += transient ? 1 : 0;
            last = transient ? last : &d;
        }
        if (discounted == 0) {
            continue;
        }
        r.dropouts -= std::min(r.dropouts, discounted);
        if (last != nullptr) {
            r.lastDropoutS = static_cast<double>(last->start) / m_rate;
            r.lastDropoutSamples = last->length;
            r.lastDropoutKind = KindName(last->kind);
        }
    }
}

// Silences no pattern explains are dropouts too, long ones as well as short ones, and an
// ident-length gap where no ident was recognised.
void CAnalyser::CountUnexplainedGaps(AnalysisReport& report, bool explained) const {
    const auto longest = static_cast<int64_t>(kLongestIdentGapS * m_rate);
    const auto shortest = static_cast<int64_t>(kShortestIdentGapS * m_rate);
    for (ChannelReport& r : report.channels) {
        for (const Gap& gap : m_trackers[static_cast<size_t>(r.channel - 1)].Gaps()) {
            if (gap.length > longest || (!explained && gap.length >= shortest)) {
                ++r.dropouts;
                r.lastDropoutS = static_cast<double>(gap.start) / m_rate;
                r.lastDropoutSamples = gap.length;
                r.lastDropoutKind = KindName(DropoutKind::toneGone);
            }
        }
    }
}

// The surround idents, from every channel's tone runs: when one is recognised it names the
// pattern, and the legs' roles replace the stereo idents' sides and the silences between a leg's
// bursts are the ident's, not dropouts.
void CAnalyser::RecogniseSurroundIdent(AnalysisReport& report) const {
    std::vector<SurroundChannel> channels(m_trackers.size());
    for (size_t ch = 0; ch < m_trackers.size(); ++ch) {
        const std::deque<ToneRun>& runs = m_trackers[ch].Runs();
        channels[ch].runs.assign(runs.begin(), runs.end());
        const ChannelReport& r = report.channels[ch];
        if (r.tone) {
            channels[ch].steadyHz = r.frequencyHz;
            channels[ch].steadyLevel = std::pow(10.0, r.levelDbfs / 20);
        }
    }
    SurroundResult surround = RecogniseSurround(channels, m_rate);
    if (surround.ident == Ident::none) {
        return;
    }
    report.ident = surround.ident;
    report.tooShort = false;
    report.pattern = surround.ident == Ident::blits         ? "BLITS"
                     : surround.ident == Ident::ebuSurround ? "EBU multichannel ident"
                                                            : "a stereo downmix of BLITS";
    if (surround.layout == "5.1" || surround.layout == "7.1") {
        report.pattern += " " + surround.layout;
    }
    report.multiFrequency = false;
    const size_t legs = std::min(SurroundOrder(surround.layout).size(), report.channels.size());
    for (size_t ch = 0; ch < legs; ++ch) {
        ChannelReport& r = report.channels[ch];
        r.role = surround.roles[ch];
        r.side = -1;
        r.plane = -1;
        r.inverted = surround.inverted[ch];
        r.invertedAgainst = 0;
        // Silences shorter than any of the ident's own; the break predictor's are not counted,
        // since its model is one steady frequency and a leg changes frequency.
        r.dropouts = m_trackers[ch].GapDropouts();
        if (surround.levels[ch] > 0) {
            r.tone = true;
            r.frequencyHz = surround.hz[ch];
            r.levelDbfs = Decibels(surround.levels[ch]);
            r.toneRmsDbfs = r.levelDbfs - 10 * std::log10(2.0);
            r.dbu = r.levelDbfs + m_dbuOffset;
        }
    }
    report.surround = std::move(surround);
}

// Loudness, true peak and clips of every channel; of every steady tone, THD+N and what is under
// it (noise, hum, the other channels' tones), from its last steady second.
void CAnalyser::Describe(AnalysisReport& report) const {
    for (ChannelReport& r : report.channels) {
        const size_t ch = static_cast<size_t>(r.channel - 1);
        const Meters& m = m_meters[ch];
        r.truePeakDbtp = Decibels(m.truePeak.Peak());
        r.loudnessLufs = m.loudness.Integrated();
        r.momentaryLufs = m.loudness.Momentary();
        r.shortTermLufs = m.loudness.ShortTerm();
        r.clipped = m_trackers[ch].Clipped();
        const CToneTracker& t = m_trackers[ch];
        // A surround ident's leg changes frequency from section to section: no one tone to fit.
        if (!r.tone || !r.role.empty() || !t.EverSteady()) {
            continue;
        }
        const std::deque<PathFigures>& seconds = m_figures[ch].seconds;
        if (seconds.empty()) {
            continue;
        }
        static_cast<PathFigures&>(r) = seconds.back(); // the newest; the noise floor below
        double noise = 0, weighted = 0;
        int counted = 0;
        for (const PathFigures& past : seconds) {
            if (past.noiseDbfs && past.noiseWeightedDbfs) {
                noise += std::pow(10.0, *past.noiseDbfs / 10);
                weighted += std::pow(10.0, *past.noiseWeightedDbfs / 10);
                ++counted;
            }
        }
        if (counted > 0 && noise > 0) {
            r.noiseDbfs = 10 * std::log10(noise / counted);
            r.noiseWeightedDbfs = 10 * std::log10(weighted / counted);
            r.snrDb = r.toneRmsDbfs - *r.noiseDbfs;
        }
    }
}

// Of every pair whose legs carry one frequency: their correlation and the right leg's delay,
// from the last second in which both legs were steady.
void CAnalyser::DescribePairs(AnalysisReport& report, const std::vector<int>& nominal) const {
    std::vector<ChannelReport>& reports = report.channels;
    for (size_t left = 0; left + 1 < reports.size(); left += 2) {
        if (nominal[left] <= 0 || nominal[left] != nominal[left + 1] || !reports[left].tone ||
            !reports[left + 1].tone || !reports[left].role.empty() ||
            !reports[left + 1].role.empty()) {
            continue;
        }
        const Meters& a = m_meters[left];
        const Meters& b = m_meters[left + 1];
        if (a.pairStart < 0 || a.pairStart != b.pairStart) {
            continue;
        }
        const SineFit l = FitSine(a.pairSteady.data(), a.pairSteady.size(), a.pairStart,
                                  reports[left].frequencyHz, m_rate);
        const SineFit r = FitSine(b.pairSteady.data(), b.pairSteady.size(), b.pairStart,
                                  reports[left + 1].frequencyHz, m_rate);
        if (l.toneRms <= 0 || r.toneRms <= 0) {
            continue;
        }
        // Each leg is a sin(wn) + b cos(wn): the right leg's phase behind the left's, over the
        // tone's angular frequency, is its delay (within half a period of the tone, the most a
        // tone can tell).
        const double difference =
            std::remainder(std::atan2(r.a, r.b) - std::atan2(l.a, l.b), 2 * kPi);
        const double hz = reports[left].frequencyHz;
        reports[left].legDelaySamples = difference / (2 * kPi * hz) * m_rate;
        reports[left].correlation = std::cos(difference);
    }
}

// The tones' frequencies against the nominal ones: the sample clock of the path.
void CAnalyser::MeasureClock(AnalysisReport& report, const std::vector<int>& nominal) const {
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
}
