#include "loudness.h"

#include <cmath>

namespace {

constexpr double kPi = 3.141592653589793;

} // namespace

// The filters at any rate from their analogue prototypes by the bilinear transform, as the
// standard's 48 kHz coefficients were made (the prototype values are libebur128's, which
// reproduce those coefficients).
CLoudnessMeter::CLoudnessMeter(int rate) : m_quarter(static_cast<size_t>(rate / 10)) {
    {
        const double f0 = 1681.974450955533, gain = 3.999843853973347, q = 0.7071752369554196;
        const double k = std::tan(kPi * f0 / rate);
        const double vh = std::pow(10.0, gain / 20.0);
        const double vb = std::pow(vh, 0.4996667741545416);
        const double a0 = 1.0 + k / q + k * k;
        m_shelf.b0 = (vh + vb * k / q + k * k) / a0;
        m_shelf.b1 = 2.0 * (k * k - vh) / a0;
        m_shelf.b2 = (vh - vb * k / q + k * k) / a0;
        m_shelf.a1 = 2.0 * (k * k - 1.0) / a0;
        m_shelf.a2 = (1.0 - k / q + k * k) / a0;
    }
    {
        const double f0 = 38.13547087602444, q = 0.5003270373238773;
        const double k = std::tan(kPi * f0 / rate);
        const double a0 = 1.0 + k / q + k * k;
        m_highPass.b0 = 1.0;
        m_highPass.b1 = -2.0;
        m_highPass.b2 = 1.0;
        m_highPass.a1 = 2.0 * (k * k - 1.0) / a0;
        m_highPass.a2 = (1.0 - k / q + k * k) / a0;
    }
}

void CLoudnessMeter::Add(const double* samples, size_t count) {
    Biquad s = m_shelf;
    Biquad h = m_highPass;
    double sum = m_sum;
    size_t inQuarter = m_inQuarter;
    for (size_t i = 0; i < count; ++i) {
        // Transposed direct form II, one filter after the other.
        const double x = samples[i];
        const double y = s.b0 * x + s.z1;
        s.z1 = s.b1 * x - s.a1 * y + s.z2;
        s.z2 = s.b2 * x - s.a2 * y;
        const double w = h.b0 * y + h.z1;
        h.z1 = h.b1 * y - h.a1 * w + h.z2;
        h.z2 = h.b2 * y - h.a2 * w;
        sum += w * w;
        if (++inQuarter == m_quarter) {
            EndQuarter(sum);
            sum = 0;
            inQuarter = 0;
        }
    }
    m_shelf.z1 = s.z1;
    m_shelf.z2 = s.z2;
    m_highPass.z1 = h.z1;
    m_highPass.z2 = h.z2;
    m_sum = sum;
    m_inQuarter = inQuarter;
}

namespace {

constexpr double kGateLufs = -70.0;
constexpr double kBinLu = 0.02;
constexpr size_t kBins =
    4000; // -70 to +10 LUFS; louder blocks (none from a real signal) join the last

double Lufs(double meanSquare) {
    return -0.691 + 10.0 * std::log10(meanSquare);
}

} // namespace

void CLoudnessMeter::EndQuarter(double sum) {
    m_recent[m_next] = sum / static_cast<double>(m_quarter);
    m_next = (m_next + 1) % kRecent;
    ++m_quartersSeen;
    if (m_quartersSeen < 4) {
        return;
    }
    const double block = RecentMean(4);
    static const double absolute = std::pow(10.0, (kGateLufs + 0.691) / 10.0);
    if (block <= absolute) {
        return;
    }
    if (m_bins.empty()) {
        m_bins.resize(kBins);
    }
    const double index = (Lufs(block) - kGateLufs) / kBinLu;
    Bin& bin = m_bins[std::min(kBins - 1, static_cast<size_t>(std::max(0.0, index)))];
    bin.energy += block;
    ++bin.count;
}

double CLoudnessMeter::RecentMean(size_t quarters) const {
    double sum = 0;
    for (size_t i = 1; i <= quarters; ++i) {
        sum += m_recent[(m_next + kRecent - i) % kRecent];
    }
    return sum / static_cast<double>(quarters);
}

double CLoudnessMeter::Momentary() const {
    return m_quartersSeen < 4 ? -200 : std::max(-200.0, Lufs(RecentMean(4)));
}

double CLoudnessMeter::ShortTerm() const {
    return m_quartersSeen < kRecent ? -200 : std::max(-200.0, Lufs(RecentMean(kRecent)));
}

void CLoudnessMeter::AddTwo(CLoudnessMeter& a, const double* x, CLoudnessMeter& b, const double* y,
                            size_t count) {
    if (a.m_quarter != b.m_quarter || a.m_inQuarter != b.m_inQuarter) {
        a.Add(x, count);
        b.Add(y, count);
        return;
    }
    typedef double Pair __attribute__((vector_size(2 * sizeof(double))));
    const auto pair = [](double u, double v) { return Pair{u, v}; };
    const Biquad &sa = a.m_shelf, &sb = b.m_shelf, &ha = a.m_highPass, &hb = b.m_highPass;
    const Pair sb0 = pair(sa.b0, sb.b0), sb1 = pair(sa.b1, sb.b1), sb2 = pair(sa.b2, sb.b2);
    const Pair sa1 = pair(sa.a1, sb.a1), sa2 = pair(sa.a2, sb.a2);
    const Pair hb0 = pair(ha.b0, hb.b0), hb1 = pair(ha.b1, hb.b1), hb2 = pair(ha.b2, hb.b2);
    const Pair ha1 = pair(ha.a1, hb.a1), ha2 = pair(ha.a2, hb.a2);
    Pair s1 = pair(sa.z1, sb.z1), s2 = pair(sa.z2, sb.z2);
    Pair h1 = pair(ha.z1, hb.z1), h2 = pair(ha.z2, hb.z2);
    Pair sum = pair(a.m_sum, b.m_sum);
    size_t inQuarter = a.m_inQuarter;
    for (size_t i = 0; i < count; ++i) {
        const Pair in = pair(x[i], y[i]);
        const Pair shelved = sb0 * in + s1;
        s1 = sb1 * in - sa1 * shelved + s2;
        s2 = sb2 * in - sa2 * shelved;
        const Pair w = hb0 * shelved + h1;
        h1 = hb1 * shelved - ha1 * w + h2;
        h2 = hb2 * shelved - ha2 * w;
        sum += w * w;
        if (++inQuarter == a.m_quarter) {
            a.EndQuarter(sum[0]);
            b.EndQuarter(sum[1]);
            sum = pair(0, 0);
            inQuarter = 0;
        }
    }
    a.m_shelf.z1 = s1[0];
    b.m_shelf.z1 = s1[1];
    a.m_shelf.z2 = s2[0];
    b.m_shelf.z2 = s2[1];
    a.m_highPass.z1 = h1[0];
    b.m_highPass.z1 = h1[1];
    a.m_highPass.z2 = h2[0];
    b.m_highPass.z2 = h2[1];
    a.m_sum = sum[0];
    b.m_sum = sum[1];
    a.m_inQuarter = b.m_inQuarter = inQuarter;
}

double CLoudnessMeter::Integrated() const {
    double sum = 0;
    uint64_t count = 0;
    for (const Bin& bin : m_bins) {
        sum += bin.energy;
        count += bin.count;
    }
    if (count == 0) {
        return -200;
    }
    // The relative gate, 10 LU under the mean of the blocks above the absolute one; a bin counts
    // when its middle is above it.
    const double relative = Lufs(sum / static_cast<double>(count)) - 10.0;
    sum = 0;
    count = 0;
    for (size_t i = 0; i < m_bins.size(); ++i) {
        if (kGateLufs + (static_cast<double>(i) + 0.5) * kBinLu > relative) {
            sum += m_bins[i].energy;
            count += m_bins[i].count;
        }
    }
    return count == 0 ? -200 : Lufs(sum / static_cast<double>(count));
}
