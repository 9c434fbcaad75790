#include "av_sync.h"

#include "sine_fit.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace {

constexpr double kPi = 3.141592653589793;

constexpr double kMinGapSeconds = 0.15; // the idents' gaps are 280 ms; the sequence's longer
constexpr double kMaxGapSeconds = 10.0; // a 16-channel sequence leaves the first one 7.2 s
constexpr double kMinToneSeconds = 0.2; // a tone this long before a gap makes it an ident's
constexpr double kLoudFraction = 0.25;  // of the level: clearly the tone
constexpr double kZeroFraction = 0.01;  // of the level: the zero crossing a gap starts at
constexpr double kNoToneLevel = 1e-4;   // -80 dBFS: no tone to speak of
constexpr int64_t kRefineAfter = 2048;  // quiet samples before the gap's start is refined
constexpr double kDarkFraction = 0.5;   // of the pictures' median luma
constexpr double kDarkLuma = 0.3;       // and darker than this outright
constexpr double kMaxPairSeconds = 1.5;
// Near the run's ends a flash or marker may have its partner just outside: this much room is
// asked for before either is expected to pair (more would waste the markers of a short run).
constexpr double kEdgeSeconds = 0.5;

double Median(std::vector<double> values) {
    if (values.empty()) {
        return 0;
    }
    const size_t middle = values.size() / 2;
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(middle),
                     values.end());
    double m = values[middle];
    if (values.size() % 2 == 0) {
        m = (m + *std::max_element(values.begin(),
                                   values.begin() + static_cast<std::ptrdiff_t>(middle))) /
            2;
    }
    return m;
}

} // namespace

std::optional<AvTolerance> ParseAvTolerance(const std::string& text) {
    // "+A/-B": how far the sound may lead, then lag.
    const size_t slash = text.find('/');
    if (slash == std::string::npos || text.empty() || text[0] != '+' || slash + 1 >= text.size() ||
        text[slash + 1] != '-') {
        return std::nullopt;
    }
    const std::string ahead = text.substr(1, slash - 1);
    const std::string behind = text.substr(slash + 2);
    char* end = nullptr;
    AvTolerance t;
    t.aheadMs = std::strtod(ahead.c_str(), &end);
    if (ahead.empty() || *end != '\0' || !(t.aheadMs >= 0) || t.aheadMs > 10000) {
        return std::nullopt;
    }
    t.behindMs = std::strtod(behind.c_str(), &end);
    if (behind.empty() || *end != '\0' || !(t.behindMs >= 0) || t.behindMs > 10000) {
        return std::nullopt;
    }
    t.standard = t.aheadMs == 45 && t.behindMs == 125   ? "ITU-R BT.1359 detectability"
                 : t.aheadMs == 90 && t.behindMs == 185 ? "ITU-R BT.1359 acceptability"
                 : t.aheadMs == 15 && t.behindMs == 45  ? "ATSC IS-191"
                                                        : "";
    return t;
}

CAvSync::CAvSync(int rate) : m_rate(std::max(rate, 1)), m_decay(std::exp2(-1.0 / m_rate)) {}

void CAvSync::AddAudio(const double* interleaved, size_t frames, int channels) {
    for (size_t i = 0; i < frames; ++i) {
        OnSample(interleaved[i * static_cast<size_t>(channels)]);
    }
}

// A peak follower that halves in a second sets the scale; a gap is a quiet stretch of at least
// 150 ms after a tone, and its marker the zero crossing the tone stopped at (the generator's tones
// stop and start at whole periods). The sample rings long enough for both refinements.
void CAvSync::OnSample(double x) {
    m_ring[static_cast<size_t>(m_index) & (kRing - 1)] = x;
    const double a = std::fabs(x);
    m_level = std::max(a, m_level * m_decay);
    const bool loud = m_level > kNoToneLevel && a > kLoudFraction * m_level;
    const auto minGap = static_cast<int64_t>(kMinGapSeconds * m_rate);
    if (loud) {
        const int64_t quiet = m_lastLoud < 0 ? 0 : m_index - m_lastLoud - 1;
        if (m_lastLoud < 0 || quiet >= minGap) {
            // A tone begins: back to the last near-zero sample before it, its phase-0 sample.
            int64_t j = m_index;
            while (m_index - j < kRing / 2 && j - 1 > m_lastLoud &&
                   std::fabs(Ring(j - 1)) > kZeroFraction * m_level) {
                --j;
            }
            const int64_t onset = std::max(j - 1, m_lastLoud + 1);
            if (m_lastLoud >= 0 && quiet <= static_cast<int64_t>(kMaxGapSeconds * m_rate)) {
                if (m_gapStart >= 0 && m_toneStart >= 0 &&
                    m_gapStart - m_toneStart >= static_cast<int64_t>(kMinToneSeconds * m_rate)) {
                    m_gapStarts.push_back(m_gapStart);
                }
                m_toneStarts.push_back(onset);
            }
            m_toneStart = onset;
        }
        m_lastLoud = m_index;
        m_levelAtLoud = m_level;
        m_gapStart = -1;
    } else if (m_lastLoud >= 0 && m_gapStart < 0 && m_index - m_lastLoud >= kRefineAfter) {
        m_gapStart = GapStart(m_lastLoud);
    }
    ++m_index;
}

// Where the tone stopped, from the tone itself rather than from the waveform falling quiet (a
// noise floor or hum there would move that): the sine of the 10 ms before the last loud sample,
// its frequency from the three-term recurrence a sine obeys and its phase and amplitude by least
// squares, carried on; the gap starts at the sample that best splits "that sine" from "nothing
// of it", whatever else sounds under both.
int64_t CAvSync::GapStart(int64_t lastLoud) const {
    const auto span = static_cast<int64_t>(0.01 * m_rate); // the tone fitted over the 10 ms before
    const int64_t from = lastLoud - span;
    if (from < m_index - kRing + 2 || span < 8) {
        return lastLoud + 1;
    }
    double num = 0, den = 0;
    for (int64_t n = from + 2; n <= lastLoud; ++n) {
        num += Ring(n - 1) * (Ring(n) + Ring(n - 2));
        den += Ring(n - 1) * Ring(n - 1);
    }
    const double twiceCos = den > 0 ? std::clamp(num / den, -2.0, 2.0) : 2.0;
    const double guess = std::acos(0.5 * twiceCos);
    if (!(guess > 0)) {
        return lastLoud + 1;
    }
    // The recurrence's frequency is pulled by noise (which adds to one side of it only, by 11 % at
    // 250 Hz under noise 60 dB down): the sine
    // is the least-squares one at the frequency, near that, that explains the most.
    std::vector<double> window;
    for (int64_t n = from; n <= lastLoud; ++n) {
        window.push_back(Ring(n));
    }
    const auto fitAt = [&](double omega) {
        return FitSine(window.data(), window.size(), 0, omega * m_rate / (2 * kPi), m_rate);
    };
    double low = 0.8 * guess, high = 1.2 * guess; // the fit's main lobe is wider still
    const double golden = 0.6180339887498949;
    for (int i = 0; i < 40; ++i) { // golden-section search on the explained energy
        const double left = high - golden * (high - low), right = low + golden * (high - low);
        if (fitAt(left).toneRms > fitAt(right).toneRms) {
            high = right;
        } else {
            low = left;
        }
    }
    const double omega = 0.5 * (low + high);
    const SineFit fit = fitAt(omega);
    const auto sine = [&](int64_t n) { // a sin + b cos, as fitted, from `from` on
        const double phase = omega * static_cast<double>(n - from);
        return fit.a * std::sin(phase) + fit.b * std::cos(phase);
    };
    // Over a period either side of the last loud sample: the split with the least error.
    const int64_t period = std::max<int64_t>(2, std::llround(2 * kPi / omega));
    const int64_t first = lastLoud - period / 4;
    const int64_t last = std::min(m_index - 1, lastLoud + period);
    double best = 0;
    int64_t at = lastLoud + 1;
    double cost = 0; // with the split at `first`: everything after it "nothing of the sine"
    for (int64_t n = first; n <= last; ++n) {
        cost += Ring(n) * Ring(n);
    }
    best = cost;
    at = first;
    for (int64_t n = first; n <= last; ++n) {
        const double x = Ring(n);
        const double e = x - sine(n);
        cost += e * e - x * x; // sample n moves to "the sine goes on"
        if (cost < best) {
            best = cost;
            at = n + 1;
        }
    }
    return at;
}

double CAvSync::SampleTime(int64_t sample) const {
    auto after = std::upper_bound(
        m_audioTimes.begin(), m_audioTimes.end(), sample,
        [](int64_t s, const std::pair<int64_t, double>& time) { return s < time.first; });
    if (m_audioTimes.empty()) {
        return m_audioStart + static_cast<double>(sample) / m_rate;
    }
    if (after == m_audioTimes.begin()) { // before the first time known: back from it
        return after->second - static_cast<double>(after->first - sample) / m_rate;
    }
    --after;
    return after->second + static_cast<double>(sample - after->first) / m_rate;
}

AvReport CAvSync::Analyse(bool sequence, const std::string& pictureFormat) const {
    AvReport report;
    report.pictureFormat = pictureFormat;
    report.pictures = m_pictures.size();
    if (m_pictures.empty()) {
        return report;
    }
    // The audio markers, in seconds; a gap still going on at the end counts once it is long
    // enough to be one.
    std::vector<int64_t> at = sequence ? m_toneStarts : m_gapStarts;
    if (!sequence && m_gapStart >= 0 && m_toneStart >= 0 &&
        m_index - m_lastLoud > static_cast<int64_t>(kMinGapSeconds * m_rate) &&
        m_gapStart - m_toneStart >= static_cast<int64_t>(kMinToneSeconds * m_rate)) {
        at.push_back(m_gapStart);
    }
    std::vector<double> markers;
    for (const int64_t sample : at) {
        markers.push_back(SampleTime(sample));
    }
    // Times on a wallclock (a stream's sender reports, NDI's timestamps) are told from the run's
    // start; a recording's own times stay as they are.
    const double origin = SampleTime(0) > 1e6 ? SampleTime(0) : 0.0;

    // The pictures' cadence: lost where an interval holds more than one picture's time,
    // repeated where two share a time.
    std::vector<double> intervals;
    std::vector<double> lumas;
    for (size_t i = 0; i < m_pictures.size(); ++i) {
        lumas.push_back(m_pictures[i].luma);
        if (i > 0) {
            intervals.push_back(m_pictures[i].seconds - m_pictures[i - 1].seconds);
        }
    }
    const double first = m_pictures.front().seconds;
    const double last = m_pictures.back().seconds;
    const double interval = Median(intervals);
    if (last > first) {
        report.picturesPerSecond = static_cast<double>(m_pictures.size() - 1) / (last - first);
    }
    for (const double d : intervals) {
        if (interval > 0 && d > 1.5 * interval) {
            report.lost += static_cast<uint64_t>(std::lround(d / interval) - 1);
        } else if (interval > 0 && d < 0.25 * interval) {
            ++report.repeated;
        }
    }

    // Flashes: the first picture of each run of dark ones.
    const double medianLuma = Median(lumas);
    std::vector<double> flashes;
    bool wasDark = false;
    for (const PictureObservation& p : m_pictures) {
        const bool dark = p.luma < kDarkFraction * medianLuma && p.luma < kDarkLuma;
        if (dark && !wasDark) {
            flashes.push_back(p.seconds);
        }
        wasDark = dark;
    }
    report.flashes = static_cast<int>(flashes.size());

    // Pairs within half the markers' spacing.
    std::vector<double> spacing;
    for (size_t i = 1; i < markers.size(); ++i) {
        spacing.push_back(markers[i] - markers[i - 1]);
    }
    const double window =
        std::min(kMaxPairSeconds, spacing.empty() ? kMaxPairSeconds : Median(spacing) / 2);
    std::vector<int> pairedFlash(markers.size(), -1);
    // Only flashes whose marker had room to arrive inside the audio are expected to pair.
    const double audioFirst = SampleTime(0);
    const double audioLast = SampleTime(m_index);
    for (size_t f = 0; f < flashes.size(); ++f) {
        const double edge = std::min(window, kEdgeSeconds);
        if (flashes[f] - edge < audioFirst || flashes[f] + edge > audioLast) {
            continue;
        }
        size_t best = markers.size();
        for (size_t m = 0; m < markers.size(); ++m) {
            if (std::fabs(flashes[f] - markers[m]) < window &&
                (best == markers.size() ||
                 std::fabs(flashes[f] - markers[m]) < std::fabs(flashes[f] - markers[best]))) {
                best = m;
            }
        }
        if (best == markers.size()) {
            ++report.unpairedFlashes;
            continue;
        }
        const int previous = pairedFlash[best];
        if (previous < 0 || std::fabs(flashes[f] - markers[best]) <
                                std::fabs(flashes[static_cast<size_t>(previous)] - markers[best])) {
            report.unpairedFlashes += previous < 0 ? 0 : 1;
            pairedFlash[best] = static_cast<int>(f);
        } else {
            ++report.unpairedFlashes;
        }
    }
    std::vector<double> offsets;
    for (size_t m = 0; m < markers.size(); ++m) {
        // Only markers whose flash had room to arrive inside the pictures' span are expected.
        const double edge = std::min(window, kEdgeSeconds);
        const bool expected = markers[m] - edge >= first && markers[m] + edge <= last;
        report.audioMarkers += expected ? 1 : 0;
        if (pairedFlash[m] >= 0) {
            const double offset =
                (flashes[static_cast<size_t>(pairedFlash[m])] - markers[m]) * 1000;
            report.markers.push_back({markers[m] - origin, offset});
            offsets.push_back(offset);
        } else if (expected) {
            ++report.missingFlashes;
        }
    }
    if (!offsets.empty()) {
        report.offsetMs = Median(offsets);
        report.minOffsetMs = *std::min_element(offsets.begin(), offsets.end());
        report.maxOffsetMs = *std::max_element(offsets.begin(), offsets.end());
    }
    // The slow slide: a least-squares line through the offsets against time.
    if (report.markers.size() >= 3 &&
        report.markers.back().seconds - report.markers.front().seconds >= 5) {
        double st = 0;
        double so = 0;
        for (const AvMarker& m : report.markers) {
            st += m.seconds;
            so += m.offsetMs;
        }
        const auto n = static_cast<double>(report.markers.size());
        st /= n;
        so /= n;
        double stt = 0;
        double sto = 0;
        for (const AvMarker& m : report.markers) {
            stt += (m.seconds - st) * (m.seconds - st);
            sto += (m.seconds - st) * (m.offsetMs - so);
        }
        report.driftMsPerHour = sto / stt * 3600;
    }
    std::vector<double> latencies;
    for (const PictureObservation& p : m_pictures) {
        if (p.latencyMs) {
            latencies.push_back(*p.latencyMs);
        }
    }
    if (!latencies.empty()) {
        report.latencyMs = Median(latencies);
    }

    if (flashes.empty() && markers.empty()) {
        report.problem = "neither the pictures nor the audio carry A/V markers";
    } else if (flashes.empty()) {
        report.problem = "the pictures carry no flashes (a frozen picture, or a source not in its "
                         "A/V sync mode)";
    } else if (markers.empty()) {
        report.problem = "the audio carries no markers to pair the flashes with (no ident gaps "
                         "on channel 1)";
    } else if (offsets.empty()) {
        report.problem = "no flash is near an audio marker (sound and picture more than " +
                         std::to_string(static_cast<int>(window * 1000)) + " ms apart?)";
    } else if (report.missingFlashes > 0) {
        report.problem = std::to_string(report.missingFlashes) +
                         " audio markers without a flash (pictures lost or frozen there)";
    } else if (report.unpairedFlashes > 0) {
        report.problem =
            std::to_string(report.unpairedFlashes) + " flashes without an audio marker near them";
    }
    return report;
}

void CAvSync::Forget(double seconds) {
    std::erase_if(m_pictures,
                  [seconds](const PictureObservation& p) { return p.seconds < seconds; });
    const auto before = [this, seconds](int64_t sample) { return SampleTime(sample) < seconds; };
    std::erase_if(m_gapStarts, before);
    std::erase_if(m_toneStarts, before);
    // The audio's times: the last one before the cut still places the samples after it.
    size_t keepFrom = 0;
    while (keepFrom + 1 < m_audioTimes.size() && m_audioTimes[keepFrom + 1].second < seconds) {
        ++keepFrom;
    }
    m_audioTimes.erase(m_audioTimes.begin(), m_audioTimes.begin() + static_cast<long>(keepFrom));
}
