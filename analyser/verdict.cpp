#include "verdict.h"

#include "values.h"

#include "pattern.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace {

// BLITS's 2 kHz (6 dB under line-up on six legs) through the ITU-R BS.775 downmix (Lo = L +
// 0.707 C + 0.707 Ls): 0.5 x (1 + 0.707 + 0.707) of line-up against the 1 kHz section, which only
// L and R carry.
const double kItuDownmix2kDb = 20 * std::log10(0.50118723 * (1 + 2 * 0.70710678));

std::string Fixed(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

std::string PairName(int channel) {
    const int left = (channel - 1) / 2 * 2 + 1;
    return std::to_string(left) + "-" + std::to_string(left + 1);
}

// A number and nothing else ("-60", "50.5"), nullopt otherwise.
std::optional<double> Number(const std::string& text) {
    return wire::ParseNumber(text);
}

} // namespace

std::optional<Expectation> ParseExpectation(const std::string& text, std::string* error) {
    Expectation expect;
    std::istringstream items(text);
    std::string item;
    while (std::getline(items, item, ',')) {
        const size_t equals = item.find('=');
        const std::string key = item.substr(0, equals);
        std::string value = equals == std::string::npos ? "" : item.substr(equals + 1);
        const std::optional<int64_t> whole = wire::ParseInteger(value, 1, 384000);
        const bool plain = value.find_first_not_of("0123456789") == std::string::npos;
        if (key == "channels" && whole && plain && *whole <= kMaxInputChannels) {
            expect.channels = static_cast<int>(*whole);
        } else if (key == "level" && value == "ebu") {
            expect.dbu = 0.0;
        } else if (key == "level" && value == "smpte") {
            expect.dbu = 4.0;
        } else if (key == "level" && value.ends_with("dBFS") &&
                   Number(value.substr(0, value.size() - 4))) {
            expect.dbfs = *Number(value.substr(0, value.size() - 4));
        } else if (key == "level" && Number(value)) {
            expect.dbu = *Number(value);
        } else if (key == "ident" && ParseIdent(value) && value != "none" &&
                   value != "unconfirmed" && value != "blits-downmix") {
            expect.ident = ParseIdent(value);
        } else if (key == "layout" && (value == "5.1" || value == "7.1" || value == "stereo")) {
            expect.layout = value;
        } else if (key == "frequency" && value == "multi") {
            expect.multi = true;
        } else if (key == "frequency" && value == "sequence") {
            expect.ident = Ident::sequence;
        } else if (key == "frequency" && whole && plain) {
            expect.frequency = static_cast<int>(*whole);
        } else if (key == "noise" && Number(value) && *Number(value) > 0) {
            expect.limits.snrDb = *Number(value);
        } else if (key == "hum" && Number(value) && *Number(value) > 0) {
            expect.limits.humDb = *Number(value);
        } else if (key == "crosstalk" && Number(value) && *Number(value) < 0) {
            expect.limits.crosstalkDb = *Number(value);
        } else if (key == "av" && ParseAvTolerance(value)) {
            expect.av = *ParseAvTolerance(value);
            expect.avAsked = true;
        } else if (key == "pairs" && (value == "all" || value == "none")) {
            expect.pairs.assign(8, value == "all");
        } else if (key == "pairs") {
            expect.pairs.assign(8, false);
            std::istringstream pairs(value);
            std::string pair;
            int good = 0;
            while (std::getline(pairs, pair, '+')) {
                const auto left = static_cast<int>(
                    wire::ParseInteger(pair.substr(0, pair.find('-')), 1, 15).value_or(0));
                if (left >= 1 && left <= 15 && left % 2 == 1 &&
                    pair == std::to_string(left) + "-" + std::to_string(left + 1)) {
                    expect.pairs[static_cast<size_t>(left / 2)] = true;
                    ++good;
                }
            }
            if (good == 0) {
                *error = "--expect: pairs '" + value + "' is not accepted; expected all, none " +
                         "or pairs like 1-2+9-10";
                return std::nullopt;
            }
        } else {
            *error = "--expect: '" + item + "' is not accepted; expected channels=N (1 to " +
                     std::to_string(kMaxInputChannels) + "), " + "level=ebu|smpte|DBU|-18dBFS, " +
                     "ident=ebu|ebu-r49|glits|sequence|steady|blits|ebu-surround, " +
                     "layout=5.1|7.1|stereo, " +
                     "frequency=HZ|multi|sequence, pairs=all|none|1-2+3-4, " +
                     "noise=DB (least SNR), hum=DB (under the tone), crosstalk=-DB, " +
                     "av=+AHEAD/-BEHIND (ms)";
            return std::nullopt;
        }
    }
    return expect;
}

std::string AvToleranceName(const AvTolerance& t) {
    std::string named("+");
    named.append(Fixed(t.aheadMs, 0)).append("/-").append(Fixed(t.behindMs, 0)).append(" ms");
    return t.standard.empty() ? named : t.standard + " (" + named + ")";
}

std::vector<std::string> AvFaults(const AvReport* av, const Expectation& expect) {
    std::vector<std::string> faults;
    if (av == nullptr) {
        if (expect.avAsked) {
            faults.push_back("A/V: no pictures arrived to measure against the sound");
        }
        return faults;
    }
    const AvTolerance& t = expect.av;
    const std::string named = AvToleranceName(t);
    if (!av->offsetMs) {
        // Pictures without a single flash are a source not in its A/V sync mode: a fault only
        // when the offset was asked for.
        if (expect.avAsked || av->flashes > 0) {
            faults.push_back("A/V: no offset measured: " + av->problem);
        }
        return faults;
    }
    // The worst marker decides: a path that slid out of tolerance for part of the run fails.
    const double worst = av->maxOffsetMs > t.aheadMs     ? av->maxOffsetMs
                         : -av->minOffsetMs > t.behindMs ? av->minOffsetMs
                                                         : 0;
    if (worst != 0) {
        faults.push_back("A/V: offset " + Fixed(worst, 1) + " ms (sound " +
                         (worst > 0 ? "ahead of" : "behind") + " the picture; median " +
                         Fixed(*av->offsetMs, 1) + " ms) is outside " + named);
    }
    if (av->missingFlashes > 0) {
        faults.push_back("A/V: " + av->problem);
    }
    return faults;
}

void RunHistory::Add(const AnalysisReport& report) {
    ++seconds;
    channels.resize(std::max(channels.size(), report.channels.size()));
    for (const ChannelReport& r : report.channels) {
        Channel& c = channels[static_cast<size_t>(r.channel - 1)];
        if (r.tone && r.dbu > -199) {
            ++c.toneSeconds;
            c.minDbu = std::min(c.minDbu, r.dbu);
            c.maxDbu = std::max(c.maxDbu, r.dbu);
            c.minDbfs = std::min(c.minDbfs, r.levelDbfs);
            c.maxDbfs = std::max(c.maxDbfs, r.levelDbfs);
            c.dbu.push_back(r.dbu);
            c.dbfs.push_back(r.levelDbfs);
        }
        c.invertedSeconds += r.inverted ? 1 : 0;
    }
}

std::vector<std::string> RunHistory::Notes(size_t from) const {
    std::vector<std::string> notes;
    for (size_t i = from; i < channels.size(); ++i) {
        const Channel& c = channels[i];
        if (c.toneSeconds >= 2 && c.maxDbu - c.minDbu > 0.2) {
            notes.push_back("channel " + std::to_string(i + 1) + ": level from " +
                            Fixed(c.minDbu, 1) + " to " + Fixed(c.maxDbu, 1) +
                            " dBu during the run");
        }
        if (c.invertedSeconds > 0 && c.invertedSeconds < seconds) {
            notes.push_back("channel " + std::to_string(i + 1) + ": polarity inverted in " +
                            std::to_string(c.invertedSeconds) + " of " + std::to_string(seconds) +
                            " s");
        }
    }
    return notes;
}

std::vector<std::string> ImpairmentFaults(const ChannelReport& r, const PathLimits& limits) {
    std::vector<std::string> faults;
    if (r.hum) {
        double loudest = r.hum->fundamentalDbfs;
        for (const auto& [hz, dbfs] : r.hum->harmonics) {
            loudest = std::max(loudest, dbfs);
        }
        if (r.levelDbfs - loudest < limits.humDb) {
            std::string line = "hum " + std::to_string(r.hum->mainsHz) + " Hz at " +
                               Fixed(r.hum->fundamentalDbfs, 1) + " dBFS (" +
                               Fixed(r.levelDbfs - r.hum->fundamentalDbfs, 1) +
                               " dB under the tone)";
            for (size_t i = 0; i < r.hum->harmonics.size(); ++i) {
                line += (i == 0 ? ", with " : ", ") + std::to_string(r.hum->harmonics[i].first) +
                        " Hz at " + Fixed(r.hum->harmonics[i].second, 1) + " dBFS";
            }
            faults.push_back(line + "; the limit is " + Fixed(limits.humDb, 0) +
                             " dB under the tone");
        }
    }
    if (r.snrDb && r.noiseDbfs && *r.snrDb < limits.snrDb) {
        faults.push_back(
            "noise floor " + Fixed(*r.noiseDbfs, 1) + " dBFS RMS (SNR " + Fixed(*r.snrDb, 1) +
            " dB; " + Fixed(r.noiseWeightedDbfs.value_or(-200), 1) +
            " dBFS ITU-R BS.468 weighted); the least SNR is " + Fixed(limits.snrDb, 0) + " dB");
    }
    for (const Crosstalk& c : r.crosstalk) {
        if (c.relativeDb > limits.crosstalkDb) {
            faults.push_back("crosstalk from channel " + std::to_string(c.fromChannel) + " at " +
                             Fixed(c.relativeDb, 1) + " dB (its " + Fixed(c.hz, 0) + " Hz at " +
                             Fixed(c.dbfs, 1) + " dBFS here); the limit is " +
                             Fixed(limits.crosstalkDb, 0) + " dB");
        }
    }
    return faults;
}

std::vector<std::string> Faults(const AnalysisReport& report, const InputStats& input,
                                const Expectation& expect, const RunHistory* history) {
    std::vector<std::string> faults;
    const int received = static_cast<int>(report.channels.size());
    if (expect.channels > 0 && received != expect.channels) {
        faults.push_back("channels: " + std::to_string(received) + " received, " +
                         std::to_string(expect.channels) + " expected");
    }
    // "ebu" is the EBU stereo ident with either gap length (280 ms, or EBU R49's 250 ms, which
    // the report names apart); "ebu-r49" asks for the 250 ms gap itself.
    // "blits" is met by BLITS itself and by its stereo downmix (with layout=stereo to insist).
    const bool identMatches =
        expect.ident && (report.ident == *expect.ident ||
                         (*expect.ident == Ident::ebu && report.ident == Ident::ebuR49) ||
                         (*expect.ident == Ident::blits && report.ident == Ident::blitsDownmix));
    const std::string asked = expect.ident ? IdentKey(*expect.ident) : "";
    if (expect.ident && !identMatches && report.tooShort) {
        faults.push_back("pattern: the run (" + Fixed(report.seconds, 1) +
                         " s) was too short to confirm the expected ident (" + asked +
                         "): an ident's gap was heard, and confirming it needs " +
                         Fixed(report.neededSeconds, 1) + " s of audio (the gap again one cycle " +
                         "on); give --duration " +
                         std::to_string(static_cast<int>(std::ceil(report.neededSeconds)) + 1) +
                         " or more");
    } else if (expect.ident && !identMatches) {
        faults.push_back("pattern: " + report.pattern + ", expected " + asked);
    }
    const SurroundResult& surround = report.surround;
    if (!expect.layout.empty() && surround.layout != expect.layout) {
        faults.push_back("layout: " +
                         (surround.layout.empty() ? std::string("no surround ident recognised")
                                                  : surround.layout) +
                         ", expected " + expect.layout);
    }
    for (const std::string& line : SurroundFaults(surround)) {
        faults.push_back(line);
    }
    if (surround.downmix2kDb && std::abs(*surround.downmix2kDb - kItuDownmix2kDb) > 1.0) {
        faults.push_back("downmix: the 2 kHz section " + Fixed(*surround.downmix2kDb, 1) +
                         " dB re the 1 kHz line-up, expected " + Fixed(kItuDownmix2kDb, 1) +
                         " dB (ITU-R BS.775 coefficients): legs lost or mixed at other levels");
    }
    // The legs of a recognised surround ident are judged above; the channels beside it below.
    const size_t surroundLegs =
        surround.ident == Ident::none
            ? 0
            : std::min(SurroundOrder(surround.layout).size(), report.channels.size());
    if (expect.multi && !report.multiFrequency) {
        faults.push_back("pattern: " + report.pattern + ", expected the multi-frequency set");
    }
    const bool sequence = report.ident == Ident::sequence;
    for (const ChannelReport& r : report.channels) {
        if (static_cast<size_t>(r.channel) <= surroundLegs) {
            continue;
        }
        const std::string name = "channel " + std::to_string(r.channel) + ": ";
        const size_t pair = static_cast<size_t>((r.channel - 1) / 2);
        const bool expected =
            expect.pairs.empty() || (pair < expect.pairs.size() && expect.pairs[pair]);
        if (!expected && !sequence) {
            if (r.tone) {
                faults.push_back(name + "carries tone, expected silence");
            }
            continue;
        }
        const bool present = r.tone || (sequence && r.plane >= 0);
        if (!present) {
            faults.push_back(name + (r.peakDbfs > -80 ? "no line-up tone" : "silent"));
            continue;
        }
        // Over the whole run: any second at the wrong level is a fault, even if the last is right.
        const RunHistory::Channel* past =
            history != nullptr && static_cast<size_t>(r.channel) <= history->channels.size()
                ? &history->channels[static_cast<size_t>(r.channel - 1)]
                : nullptr;
        if (past != nullptr && past->toneSeconds > 0 && (expect.dbu || expect.dbfs)) {
            const std::vector<double>& figures = expect.dbu ? past->dbu : past->dbfs;
            const double want = expect.dbu ? *expect.dbu : *expect.dbfs;
            const int off =
                static_cast<int>(std::count_if(figures.begin(), figures.end(),
                                               [&](double v) { return std::abs(v - want) > 0.5; }));
            if (off > 0) {
                const double low = expect.dbu ? past->minDbu : past->minDbfs;
                const double high = expect.dbu ? past->maxDbu : past->maxDbfs;
                const std::string unit = expect.dbu ? " dBu" : " dBFS";
                const std::string reference = expect.dbu && !expect.reference.empty()
                                                  ? " on " + expect.reference
                                                  : std::string();
                if (high - low < 0.1) {
                    faults.push_back(name + "level " + Fixed(high, 1) + unit + " (" +
                                     Fixed(high - want, 1) + " dB), expected " + Fixed(want, 1) +
                                     unit + reference);
                } else {
                    faults.push_back(name + "level off in " + std::to_string(off) + " of " +
                                     std::to_string(past->toneSeconds) + " s (from " +
                                     Fixed(low, 1) + " to " + Fixed(high, 1) + unit +
                                     "), expected " + Fixed(want, 1) + unit + reference);
                }
            }
        } else if (expect.dbu && r.tone && std::abs(r.dbu - *expect.dbu) > 0.5) {
            faults.push_back(name + "level " + Fixed(r.dbu, 1) + " dBu (" +
                             Fixed(r.dbu - *expect.dbu, 1) + " dB), expected " +
                             Fixed(*expect.dbu, 1) + " dBu" +
                             (expect.reference.empty() ? "" : " on " + expect.reference));
        }
        if (past == nullptr && expect.dbfs && r.tone &&
            std::abs(r.levelDbfs - *expect.dbfs) > 0.5) {
            faults.push_back(name + "peak " + Fixed(r.levelDbfs, 1) + " dBFS (" +
                             Fixed(r.levelDbfs - *expect.dbfs, 1) + " dB), expected " +
                             Fixed(*expect.dbfs, 1) + " dBFS");
        }
        if (expect.frequency > 0 && r.tone &&
            std::abs(r.frequencyHz - expect.frequency) > expect.frequency * 0.005) {
            faults.push_back(name + Fixed(r.frequencyHz, 1) + " Hz, expected " +
                             std::to_string(expect.frequency) + " Hz");
        }
        if (r.plane >= 0 && r.plane != r.channel - 1) {
            faults.push_back(name + "carries generator channel " + std::to_string(r.plane + 1) +
                             " (swapped)");
        } else if (r.side >= 0 && r.side != (r.channel - 1) % 2) {
            faults.push_back(name + "carries a " + (r.side == 0 ? "left" : "right") +
                             " channel, expected the " + (r.side == 0 ? "right" : "left") +
                             " of pair " + PairName(r.channel) + " (left and right swapped)");
        }
        if (r.inverted) {
            faults.push_back(name + "polarity inverted against channel " +
                             std::to_string(r.invertedAgainst));
        } else if (past != nullptr && past->invertedSeconds > 0) {
            faults.push_back(name + "polarity inverted in " +
                             std::to_string(past->invertedSeconds) + " of " +
                             std::to_string(history->seconds) + " s");
        }
        if (r.dropouts > 0) {
            faults.push_back(
                name + std::to_string(r.dropouts) + " dropout" + (r.dropouts == 1 ? "" : "s") +
                ", the last at " + Fixed(r.lastDropoutS, 3) + " s for " +
                std::to_string(r.lastDropoutSamples) + " samples (" + r.lastDropoutKind + ")");
        }
        for (const std::string& line : ImpairmentFaults(r, expect.limits)) {
            faults.push_back(name + line);
        }
    }
    // A tone at no frequency of the generator, where none was named: another source, or a
    // sample-rate mismatch on the way (44.1 kHz played at 48 kHz turns 1000 Hz into 1088 Hz).
    if (expect.frequency == 0 && !expect.multi && !sequence) {
        for (const ChannelReport& r : report.channels) {
            if (!r.tone || r.frequencyHz <= 0 || static_cast<size_t>(r.channel) <= surroundLegs) {
                continue;
            }
            int nearest = kOfferedFrequencies[0];
            for (const int f : kOfferedFrequencies) {
                if (std::abs(r.frequencyHz - f) < std::abs(r.frequencyHz - nearest)) {
                    nearest = f;
                }
            }
            const double off = (r.frequencyHz / nearest - 1.0) * 100.0;
            if (std::abs(off) > 0.1) {
                faults.push_back(
                    "channel " + std::to_string(r.channel) + ": " + Fixed(r.frequencyHz, 1) +
                    " Hz is no frequency of the generator "
                    "(nearest " +
                    std::to_string(nearest) + " Hz, " + (off > 0 ? "+" : "") + Fixed(off, 2) +
                    " %; beyond 0.1 % it is not a clock error: another tone, or a "
                    "sample-rate mismatch)");
            }
        }
    }
    if (report.clockKnown && std::abs(report.clockPpm) > 50) {
        faults.push_back("clock: the tones run " + Fixed(report.clockPpm, 0) +
                         " ppm off their nominal frequencies (sample rate)");
    }
    if (input.network && input.lost > 0) {
        faults.push_back("network: " + std::to_string(input.lost) + " packets lost");
    }
    return faults;
}
