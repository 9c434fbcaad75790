// The loudness of one channel as ITU-R BS.1770-4 and EBU Tech 3341 define it: K-weighting (a
// high shelf for the head, then a high-pass), mean squares over 400 ms blocks every 100 ms.
// Integrated: the blocks under -70 LUFS left out, then those more than 10 LU under the mean of
// the rest. Momentary: the last 400 ms; short-term: the last 3 s (both at 100 ms steps).
//
// The gated blocks are kept as a histogram of 0.02 LU bins holding each bin's energy, not one
// by one: a probe left on a path for weeks keeps its memory and its per-second cost flat, and
// only blocks within a bin of the relative gate can be weighed differently (a few thousandths of
// a LU at most).
//
// Written here rather than taken from libebur128, which measures the same within a hundredth of
// a LU on EBU Tech 3341's signals (the tests hold it to that): libebur128 filters one sample at
// a time through its generic multichannel path and was a quarter of the analyser's CPU; this
// filters a block at a time with the filter's state in registers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

class CLoudnessMeter {
public:
    explicit CLoudnessMeter(int rate);
    // One channel's samples, in order.
    void Add(const double* samples, size_t count);
    // Two channels' at once, their filters side by side in one register (each filter's chain of
    // dependent arithmetic is what a sample costs).
    static void AddTwo(CLoudnessMeter& a, const double* x, CLoudnessMeter& b, const double* y,
                       size_t count);
    // LUFS; -200 until a block passes the gates.
    double Integrated() const;
    // LUFS over the last 400 ms and 3 s; -200 until that much has been measured.
    double Momentary() const;
    double ShortTerm() const;

private:
    void EndQuarter(double sum);
    struct Biquad {
        double b0 = 1, b1 = 0, b2 = 0, a1 = 0, a2 = 0;
        double z1 = 0, z2 = 0;
    };
    Biquad m_shelf;
    Biquad m_highPass;
    size_t m_quarter; // samples in 100 ms
    size_t m_inQuarter = 0;
    double m_sum = 0; // of the weighted squares in the quarter going on
    // The last 30 quarters' mean squares (3 s), the newest at m_next - 1.
    static constexpr size_t kRecent = 30;
    double m_recent[kRecent] = {};
    size_t m_next = 0;
    size_t m_quartersSeen = 0;
    // Every block above the absolute gate, by loudness: each bin's energy and count.
    struct Bin {
        double energy = 0;
        uint64_t count = 0;
    };
    std::vector<Bin> m_bins; // allocated with the first such block
    double RecentMean(size_t quarters) const;
};
