// What the analyser says of a path: the line-up pattern it recognised and, per received channel,
// the tone, where it came from, and what the path did to it.
#pragma once

#include "ident.h"
#include "surround.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// Mains hum on a channel: the fundamental and the harmonics heard above the noise.
struct Hum {
    int mainsHz = 50;
    double fundamentalDbfs = -200;                 // peak level
    std::vector<std::pair<int, double>> harmonics; // (Hz, dBFS) of those heard, 2nd to 5th
};

// Another channel's tone heard on this one.
struct Crosstalk {
    int fromChannel = 0; // received, from 1
    double hz = 0;
    double dbfs = -200;       // its peak level here
    double relativeDb = -200; // against that channel's own tone
};

// What a path does to a steady tone besides moving it, from one steady second of it.
struct PathFigures {
    // THD+N of the tone, re the tone: everything that is not the tone (harmonics, noise, hum,
    // crosstalk). Over the last second in which the tone was steady (no gap, no dropout), so an
    // ident's gap in the final second does not blank it.
    std::optional<double> thdnDb;
    // What is under the tone: the noise floor with the tone, its harmonics, hum and other
    // channels' tones set aside (RMS; unweighted over the whole band, and weighted by ITU-R
    // BS.468's curve), and the tone's RMS over that noise.
    std::optional<double> noiseDbfs;
    std::optional<double> noiseWeightedDbfs;
    std::optional<double> snrDb;
    std::optional<Hum> hum;
    std::vector<Crosstalk> crosstalk;
};

// One received channel: its tone, where it came from, and (as PathFigures) what is under it.
struct ChannelReport : PathFigures {
    int channel = 0; // received, from 1
    bool tone = false;
    double frequencyHz = 0;
    double peakDbfs = -200;    // the loudest sample of the last second
    double levelDbfs = -200;   // the tone's own peak (its sine's amplitude), whatever is under it
    double toneRmsDbfs = -200; // the tone's own RMS (3.01 dB under its peak)
    double rmsDbfs = -200;     // the whole signal's, over the last second
    double dbu = -200;         // of the tone's peak on the chosen reference
    int side = -1;             // 0 left, 1 right, -1 unknown
    int plane = -1;            // the generator channel (from 0) it carries, -1 unknown
    bool inverted = false;
    int invertedAgainst = 0; // the received channel it is inverted against
    std::string role;        // a surround ident's leg it carries ("C", "Ls"), "" otherwise
    uint64_t dropouts = 0;
    double lastDropoutS = 0;
    int64_t lastDropoutSamples = 0;
    std::string lastDropoutKind; // "tone gone", "held sample", "break in the waveform"

    // What a path does to a tone besides moving it (over the whole run unless said).
    double truePeakDbtp = -200;  // EBU R128 / ITU-R BS.1770 true peak
    double loudnessLufs = -200;  // integrated loudness of the channel as a programme
    double momentaryLufs = -200; // ... over the last 400 ms, and the last 3 s
    double shortTermLufs = -200;
    uint64_t clipped = 0; // samples at full scale
    double dcDbfs = -200; // the signal's mean
    // Against the other leg of its pair (the left leg carries the pair's figures), over the last
    // second in which both legs were steady.
    std::optional<double> correlation;     // -1 to 1
    std::optional<double> legDelaySamples; // the right leg's delay behind the left, in samples
};

struct AnalysisReport {
    double seconds = 0;  // of audio analysed
    std::string pattern; // for people
    Ident ident = Ident::none;
    bool multiFrequency = false;
    double clockPpm = 0; // the tones' frequency against the generator's nominal ones
    bool clockKnown = false;
    // Ident-length gaps were heard but the run ended before a pattern's period could be
    // confirmed. The audio a run needs, from its start, to confirm the ident those gaps suggest.
    bool tooShort = false;
    double neededSeconds = 0;
    // A surround ident (EBU Tech 3304), when one was recognised: its legs, by role.
    SurroundResult surround;
    std::vector<ChannelReport> channels;
};
