// lirafon-check's command line: its help, and the options it was given.
#pragma once

#include "alarms.h"
#include "nmos_settings.h"
#include "values.h"
#include "verdict.h"

#include <optional>
#include <string>
#include <vector>

struct Options {
    std::string input; // a file, "-" for standard input; "" with --ndi
    std::string ndiName;
    std::string ndiExtraIps;
    // Raw PCM's layout; given at all, the file is read as raw PCM.
    std::string format = "s24le";
    int channels = 2;
    int rate = 48000;
    bool raw = false;
    std::string interfaceName;
    double mergeBufferMs = 50; // an ST 2022-7 stream's two legs
    double dbuOffset = 24.0;   // dBu = peak dBFS + this (SMPTE; 18 for EBU)
    std::optional<Expectation> expect;
    double duration = 0; // seconds; 0 the whole input
    bool json = false;
    // From the environment, read with the arguments: LIRAFON_PTP as the generator reads it (""
    // when off: never asked), and whether the table may be coloured (NO_COLOR unset).
    std::string ptpSocket;
    bool colourAllowed = true;
    // A probe left on the path: every input (a file, an SDP file, --ndi) judged until stopped,
    // alarms raised and cleared as JSON lines.
    bool monitor = false;
    // With --monitor: every input in the order given, each with the expectation it is judged
    // against (the nearest --expect before it; inputs before the first --expect take the first).
    struct Watched {
        std::string path;    // a file, "-"; "" for an NDI source
        std::string ndiName; // --ndi NAME
        std::optional<Expectation> expect;
    };
    std::vector<Watched> watched;
    AlarmLimits alarms;
    // --listen ADDRESS:PORT: the probe's metrics there (port 0: any free one); the token
    // (LIRAFON_CHECK_TOKEN) is needed on any address but loopback.
    std::string listenAddress;
    std::optional<int> listenPort;
    std::string token;
    // --nmos: the probe as an NMOS node on the --listen address, with --receivers audio
    // receivers a controller routes (LIRAFON_NMOS* as the generator reads them).
    bool nmos = false;
    int receivers = 1;
    nmos::Settings nmosSettings;
};

extern const char* const kUsage;

// The options, or nullopt with *exitCode: 0 after --help or --version (printed), 2 after a
// usage error (said on standard error).
// getenv: the environment to read (std::getenv's; a table in tests).
std::optional<Options> ParseOptions(int argc, char** argv, int* exitCode,
                                    wire::EnvironmentReader getenv);

// Says what is wrong on standard error; returns 2, the exit status for bad usage or input.
int Usage(const std::string& message);
