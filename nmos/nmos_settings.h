// What a program's NMOS node is told at start, from the environment, the same for the generator
// and the probe: LIRAFON_NMOS (on, off), LIRAFON_NMOS_REGISTRY (registries in priority order) and
// LIRAFON_NMOS_ALLOWED_ORIGINS (the browser origins that may change the node's state). Free of
// Qt, so each program's start-up parser reads it with the rest.
#pragma once

#include "values.h"

#include <string>
#include <vector>

namespace nmos {

struct Settings {
    bool enabled = true;
    bool named = false;                  // LIRAFON_NMOS was set: say why when there can be no node
    std::vector<std::string> registries; // "http://host:port/", in priority order
    // Browser origins that may change the node's state, in lower case ("null" is one); pages of
    // every other origin may only read.
    std::vector<std::string> allowedOrigins;
};

// False with one line naming the variable and what it expects in *error.
bool ReadSettings(wire::EnvironmentReader getenv, Settings* settings, std::string* error);

} // namespace nmos
