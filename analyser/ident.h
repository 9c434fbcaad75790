// The line-up patterns the analyser knows, and their words in --expect and in JSON.
#pragma once

#include <optional>
#include <string>

enum class Ident {
    none,        // no line-up pattern
    steady,      // a steady tone, no ident
    ebu,         // EBU stereo ident, 280 ms gaps
    ebuR49,      // ... with EBU R49's 250 ms gaps
    glits,       // GLITS
    sequence,    // one channel at a time
    unconfirmed, // an ident's gap, the run too short to confirm it
    blits,       // the surround idents of EBU Tech 3304
    ebuSurround,
    blitsDownmix,
};

// "ebu-r49", "blits-downmix", ...
const char* IdentKey(Ident ident);
std::optional<Ident> ParseIdent(const std::string& key);
// The stereo idents, whose gaps tell left from right.
bool IsStereoIdent(Ident ident);
bool IsSurroundIdent(Ident ident);
