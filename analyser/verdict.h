// What the far end expects of a path (--expect), and the faults a report shows against it, each
// one line naming the channel.
#pragma once

#include "av_sync.h"
#include "pcm_input.h"
#include "report.h"

#include <optional>
#include <string>
#include <vector>

// The limits an impairment is a fault beyond, changeable by --expect noise=, hum=, crosstalk=.
// AES17's measurements (unweighted RMS noise over the whole band, a tone's own level), with
// defaults for a line-up check of a professional path: noise 50 dB under the line-up tone's RMS
// (a 16-bit path has more than 75 dB, a good analogue link 60 to 70 dB), hum 60 dB under it
// (inaudible under programme at line-up level), crosstalk 60 dB under the leaking channel's tone.
struct PathLimits {
    double snrDb = 50;
    double humDb = 60;
    double crosstalkDb = -60;
};

struct Expectation {
    int channels = 0;           // 0: any
    std::optional<double> dbu;  // the line-up level
    std::optional<double> dbfs; // ... or its peak in dBFS of the input's own scale
    std::string reference;      // what dBu means for this input, said in level faults
    // ebu (either gap length), ebuR49, glits, sequence, steady, blits (or its stereo downmix),
    // ebuSurround; none asked: any.
    std::optional<Ident> ident;
    std::string layout;      // a surround ident's: 5.1, 7.1, stereo (a downmix); "" any
    int frequency = 0;       // one frequency on every channel; 0 any
    bool multi = false;      // the multi-frequency set
    std::vector<bool> pairs; // which pairs carry tone (index 0 = channels 1-2); empty: all
    // What is under the tone: the least signal-to-noise ratio (tone RMS over the unweighted
    // noise floor), how far under the tone hum and its harmonics must stay, and how far under
    // another channel's tone its crosstalk must stay.
    PathLimits limits;
    // Sound against picture, judged wherever both arrive; asked for (av=) or the default.
    AvTolerance av;
    bool avAsked = false;
};

// What every second of the run showed, channel by channel: the verdict covers the whole duration,
// not only its last second.
struct RunHistory {
    struct Channel {
        int toneSeconds = 0;
        double minDbu = 1e9;
        double maxDbu = -1e9;
        double minDbfs = 1e9;
        double maxDbfs = -1e9;
        int invertedSeconds = 0;
        std::vector<double> dbu; // per second with tone
        std::vector<double> dbfs;
    };
    int seconds = 0;
    std::vector<Channel> channels;
    void Add(const AnalysisReport& report);
    // "channel 2: level from -3.1 to 0.0 dBu during the run" for each figure that moved.
    // From channel `from` on (0-based): a surround ident's legs move by design.
    std::vector<std::string> Notes(size_t from = 0) const;
};

// "channels=16,level=smpte,ident=glits": nullopt with the reason in *error.
std::optional<Expectation> ParseExpectation(const std::string& text, std::string* error);

// The impairments of one channel beyond their limits, each in its own words (no channel name).
std::vector<std::string> ImpairmentFaults(const ChannelReport& report, const PathLimits& limits);

std::vector<std::string> Faults(const AnalysisReport& report, const InputStats& input,
                                const Expectation& expect, const RunHistory* history = nullptr);

// The A/V faults: an offset outside the tolerance (the worst marker), or why none was measured
// (pictures without any flash only when av= was asked for). av null: no pictures arrived (a fault
// only when av= was asked for).
std::vector<std::string> AvFaults(const AvReport* av, const Expectation& expect);
// "ITU-R BT.1359 detectability (+45/-125 ms)".
std::string AvToleranceName(const AvTolerance& tolerance);
