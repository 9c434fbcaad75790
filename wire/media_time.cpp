#include "media_time.h"

#include "values.h"

#include <time.h>

namespace wire {

int64_t TaiNowNs() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return (static_cast<int64_t>(now.tv_sec) + kTaiMinusUtcSeconds) * kNsPerSecond + now.tv_nsec;
}

std::string TaiText(int64_t ns) {
    return std::to_string(ns / kNsPerSecond) + ":" + std::to_string(ns % kNsPerSecond);
}

std::optional<int64_t> ParseTaiText(std::string_view text) {
    const size_t colon = text.find(':');
    if (colon == std::string_view::npos || colon == 0 || colon > 12 ||
        text.size() - colon - 1 > 9 || text.size() == colon + 1) {
        return std::nullopt;
    }
    for (size_t i = 0; i < text.size(); ++i) {
        if (i != colon && (text[i] < '0' || text[i] > '9')) {
            return std::nullopt; // digits only: no sign, no spaces
        }
    }
    const std::optional<int64_t> seconds = ParseInteger(text.substr(0, colon));
    const std::optional<int64_t> nanos = ParseInteger(text.substr(colon + 1));
    if (!seconds || !nanos) {
        return std::nullopt;
    }
    return *seconds * kNsPerSecond + *nanos;
}

} // namespace wire

int64_t TimestampAgeNs(int64_t nowNs, uint32_t timestamp, int64_t rateHz) {
    const int64_t count = NsToSamplesSinceEpoch(nowNs, rateHz);
    const auto behind =
        static_cast<int64_t>(static_cast<int32_t>(static_cast<uint32_t>(count) - timestamp));
    return nowNs - SamplesSinceEpochToNs(count - behind, rateHz);
}
