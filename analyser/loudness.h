// The integrated loudness of one channel as ITU-R BS.1770-4 defines it: K-weighting (a high
// shelf for the head, then a high-pass), mean squares over 400 ms blocks every 100 ms, the
// blocks under -70 LUFS left out, then those more than 10 LU under the mean of the rest.
//
// Written here rather than taken from libebur128, which measures the same within a hundredth of
// a LU on EBU Tech 3341's signals (the tests hold it to that): libebur128 filters one sample at
// a time through its generic multichannel path and was a quarter of the analyser's CPU; this
// filters a block at a time with the filter's state in registers.
#pragma once

#include <cstddef>
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
    double m_sum = 0;               // of the weighted squares in the quarter going on
    std::vector<double> m_quarters; // the last three quarters' mean squares
    std::vector<double> m_blocks;   // every 400 ms block's mean square
};
