// Where a source's session descriptions are kept: one private folder per user, files written
// whole or not at all.
#pragma once

#include <string>

// The folder of the source descriptions: $XDG_RUNTIME_DIR/qel-ndi-lirafon, or a private
// /tmp/qel-ndi-lirafon-<uid> (mode 0700, ours, not a link) when XDG_RUNTIME_DIR is unset.
// Created when missing; "" with the reason in *error when it cannot be used.
std::string SessionFolder(std::string* error);
// "<source name>.sdp", or "<source name>-<part>.sdp", with characters a file name cannot hold
// replaced by '_'.
std::string SdpFileName(const std::string& sourceName, const std::string& part = "");
// Writes text to path through a temporary file and a rename, so a reader never sees half of it.
bool WriteFileAtomically(const std::string& path, const std::string& text, std::string* error);
