// The least-squares sine at a known frequency over a stretch of samples: what the path figures
// (THD+N, a pair's phase), the tone tracker (a tone just found) and the A/V marker (where a tone
// stopped) each fit.
#pragma once

#include <cstddef>
#include <cstdint>

// Over n samples whose first is sample `first` of the stream, the mean removed:
// x = a sin(w n) + b cos(w n), and the RMS of the tone and of what is left.
struct SineFit {
    double a = 0;
    double b = 0;
    double toneRms = 0;
    double residualRms = 0;
    double Amplitude() const;
};
SineFit FitSine(const double* x, size_t n, int64_t first, double hz, int rate);
