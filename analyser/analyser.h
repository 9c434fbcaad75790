// What arrives on each channel of a line-up path, and which generator channel it is: the
// analyser feeds each channel to its own tone tracker, and from all of them together reads the
// line-up pattern, where each channel belongs, its polarity, and what the path did to it.
#pragma once

#include "loudness.h"
#include "path_figures.h"
#include "report.h"
#include "tone_tracker.h"
#include "true_peak.h"

#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

class CAnalyser {
public:
    // dbuOffset: dBu = peak dBFS + dbuOffset (24 for the SMPTE reference, 18 for EBU).
    CAnalyser(int channels, int rate, double dbuOffset);
    ~CAnalyser();
    CAnalyser(const CAnalyser&) = delete;
    CAnalyser& operator=(const CAnalyser&) = delete;
    // The input's largest positive sample (32767/32768 for 16 bits): a sample there or at -1 is
    // clipped. 24-bit full scale until told.
    void SetFullScale(double positive) {
        for (CToneTracker& t : m_trackers) {
            t.SetFullScale(positive);
        }
    }
    void Add(const double* interleaved, size_t frames);
    AnalysisReport Analyse() const;

private:
    struct Meters {
        explicit Meters(int rate) : loudness(rate) {}
        CLoudnessMeter loudness; // one programme per channel
        CTruePeakMeter truePeak;
        // The last second in which both legs of its pair were steady, from sample pairStart.
        std::vector<double> pairSteady;
        int64_t pairStart = -1;
    };
    // Each steady second's figures, the last ten: the noise floor is their mean (a noise's power
    // wanders from second to second, pink noise's most), the rest the newest.
    struct FigureHistory {
        std::deque<PathFigures> seconds;
    };
    void MeasureSteadySeconds();
    void EndSecond();
    ChannelReport Basics(size_t ch, size_t window) const;
    void DiscountCodecTransients(AnalysisReport& report) const;
    void CountUnexplainedGaps(AnalysisReport& report, bool explained) const;
    void RecogniseSurroundIdent(AnalysisReport& report) const;
    void Describe(AnalysisReport& report) const;
    void DescribePairs(AnalysisReport& report, const std::vector<int>& nominal) const;
    void MeasureClock(AnalysisReport& report, const std::vector<int>& nominal) const;

    int m_channels;
    int m_rate;
    double m_dbuOffset;
    int64_t m_samples = 0;
    std::unique_ptr<CSpectrum> m_acquisition; // shared by the trackers, one at a time
    std::vector<CToneTracker> m_trackers;
    std::vector<Meters> m_meters;
    std::vector<double> m_planes; // the block being added, one channel after another
    CPathMeter m_pathMeter;
    std::vector<FigureHistory> m_figures;
};
