// What a path does to a steady tone besides moving it, read from one steady second of the
// channel: THD+N (everything that is not the tone, in the time domain), and from its spectrum the
// noise floor (unweighted and ITU-R BS.468 weighted), mains hum at 50 or 60 Hz with its
// harmonics, and the other channels' tones leaking in (crosstalk), each set apart from the rest.
#pragma once

#include "report.h"
#include "sine_fit.h"
#include "spectrum.h"

#include <cstdint>
#include <optional>
#include <vector>

// Another channel's tone, as that channel carries it.
struct OtherTone {
    int channel = 0; // received, from 1
    double hz = 0;
    double level = 0; // linear peak
};

class CPathMeter {
public:
    explicit CPathMeter(int rate);
    // second: the channel's samples in time order; channel: its own number (from 1).
    PathFigures Measure(const std::vector<double>& second, int64_t first, int channel, double hz,
                        double level, const std::vector<OtherTone>& others);

private:
    int m_rate;
    CSpectrum m_spectrum;
    std::vector<double> m_weight468;
    std::vector<double> m_residual; // the second with its tone taken out
};

double Decibels(double linear);
