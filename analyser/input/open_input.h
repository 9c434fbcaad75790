// The analyser's input, opened by what it holds: an NDI source by name; standard input as raw PCM
// (or the WAV file it turns out to be); a file as a WAV file, an SDP file or, through FFmpeg's
// probe, any recording FFmpeg reads, and as raw PCM only when the command line gives its layout.
#pragma once

#include "pcm_input.h"

#include <memory>
#include <string>

struct InputRequest {
    std::string path; // "-" for standard input
    std::string ndiName;
    std::string ndiExtraIps;
    bool raw = false; // --format, --channels or --rate given
    RawFormat format = RawFormat::s24le;
    int channels = 2;
    int rate = 48000;
    std::string interfaceName;
    std::string ptpSocket;     // ptp4l's, for a stream with a PTP reference; "" never
    double mergeBufferMs = 50; // an ST 2022-7 stream's: how far one leg may lag the other
};

enum class InputKind { ndi, stream, recording };

// nullptr with one line naming the input and why in *error.
std::unique_ptr<CPcmInput> OpenInput(const InputRequest& request, InputKind* kind,
                                     std::string* error);
