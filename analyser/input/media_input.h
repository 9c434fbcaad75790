// Recordings in any container FFmpeg reads (Matroska, MP4, MOV, MXF, MPEG-TS, ...), decoded by
// FFmpeg's own libraries: the audio stream for the analyser, and every picture of the video
// stream, reduced to its mean luma for the A/V offset, on the recording's presentation times.
#pragma once

#include "pcm_input.h"

#include <memory>
#include <string>

// "" error on success; fails when the file cannot be read or holds no audio stream.
std::unique_ptr<CPcmInput> OpenMedia(const std::string& path, std::string* error);
