#include "ident.h"

#include <array>
#include <utility>

namespace {

constexpr std::array<std::pair<Ident, const char*>, 10> kKeys{{
    {Ident::none, "none"},
    {Ident::steady, "steady"},
    {Ident::ebu, "ebu"},
    {Ident::ebuR49, "ebu-r49"},
    {Ident::glits, "glits"},
    {Ident::sequence, "sequence"},
    {Ident::unconfirmed, "unconfirmed"},
    {Ident::blits, "blits"},
    {Ident::ebuSurround, "ebu-surround"},
    {Ident::blitsDownmix, "blits-downmix"},
}};

} // namespace

const char* IdentKey(Ident ident) {
    for (const auto& [value, key] : kKeys) {
        if (value == ident) {
            return key;
        }
    }
    return "none";
}

std::optional<Ident> ParseIdent(const std::string& key) {
    for (const auto& [value, word] : kKeys) {
        if (key == word) {
            return value;
        }
    }
    return std::nullopt;
}

bool IsStereoIdent(Ident ident) {
    return ident == Ident::ebu || ident == Ident::ebuR49 || ident == Ident::glits;
}

bool IsSurroundIdent(Ident ident) {
    return ident == Ident::blits || ident == Ident::ebuSurround || ident == Ident::blitsDownmix;
}
