// A windowed power spectrum of one channel's samples, by FFmpeg's real FFT (libavutil's av_tx),
// and what the analyser reads off it: the strongest peak, a component's amplitude at a frequency
// between bins, and the power of the bins left when named components are set aside.
//
// The window is a 4-term Blackman-Harris (sidelobes 92 dB down), so a -18 dBFS tone leaks nothing
// above -110 dBFS into bins a few hertz away: noise floors, hum and crosstalk far under the tone
// are measured beside it. A component's amplitude is read from the bin nearest to it and corrected
// by the window's own response at that fraction of a bin, so a tone between two bins reads right.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

class CSpectrum {
public:
    // size: a power of two (the transform's length).
    explicit CSpectrum(size_t size);
    ~CSpectrum();
    CSpectrum(const CSpectrum&) = delete;
    CSpectrum& operator=(const CSpectrum&) = delete;

    size_t Size() const { return m_size; }
    // The last Size() samples of `samples` (fewer are zero-padded at the start), mean removed.
    void Compute(const double* samples, size_t count, double rate);

    size_t Bins() const { return m_power.size(); }
    double BinHz() const { return m_binHz; }
    // |X|^2 of bin k.
    double Power(size_t bin) const { return m_power[bin]; }
    // The largest bin between the two frequencies, 0 when none.
    size_t PeakBin(double fromHz, double toHz) const;
    // The frequency of a peak at `bin`, from the log-magnitude parabola through it and its
    // neighbours.
    double PeakHz(size_t bin) const;
    // The amplitude (peak, re the samples' own scale) of a sine at `hz`: the strongest bin within
    // a bin of it, corrected for the window's response where it falls.
    double Amplitude(double hz) const;
    // The mean square of the samples in the bins not within `halfWidthHz` of any of `excludedHz`
    // nor below `lowHz`, scaled up to the whole band as if the excluded bins held the same;
    // `weight` (per bin, as a gain) optional.
    double ResidualMeanSquare(const std::vector<double>& excludedHz, double halfWidthHz,
                              double lowHz, const std::vector<double>* weight = nullptr) const;
    // The median bin power in [fromHz, toHz] away from components: the local noise a component
    // is judged against (per bin).
    double LocalNoise(double hz, double nearHz, double farHz) const;
    // The per-bin power a sine of amplitude `amplitude` puts in its own bin (at its centre).
    double SinePower(double amplitude) const;

private:
    struct Transform;
    void SetWindow(size_t length);
    size_t m_size;
    double m_padding = 1; // transform bins per bin of the window's own length
    double m_binHz = 1;
    struct KeptWindow {
        std::vector<double> window;
        double sum = 0;
        double squares = 0;
    };
    std::vector<KeptWindow> m_windows;
    std::vector<double> m_window;
    double m_windowSum = 0;        // coherent gain times size
    double m_windowSquares = 0;    // sum of squares
    std::vector<double> m_scallop; // the window's response at 0 to 0.5 bin, in 16 steps
    std::vector<double> m_power;
    std::unique_ptr<Transform> m_transform;
};

// ITU-R BS.468's weighting curve as a gain at `hz` (0 dB at 1 kHz, +12.2 dB at 6.3 kHz).
double Bs468Gain(double hz);
