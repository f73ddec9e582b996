// Facts for the tests of decide: a device with a confirmed, readable current
// image A, a fallback image, and a stick with an authentic B, and the
// changes the tables make to it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "policy.hpp"

namespace updater {

inline const std::optional<std::string> none;
inline const std::optional<std::string> a = std::string(128, 'a');
inline const std::optional<std::string> b = std::string(128, 'b');

/// The update is signed as version 4 on a device with rollback protection
/// and the floor 5.
inline void below_floor(Facts& f) {
    f.rollback_protection = true;
    f.update_version = 4;
    f.floor = {true, 5};
}

/// A partition of 4 KiB blocks with `free` of them free, an old fallback image
/// of `fallback` blocks, and a current image of 4 and an update of 6 blocks.
inline void tight(Facts& f, std::uint64_t free, std::uint64_t fallback) {
    f.room = {4096, free * 4096, 6 * 4096, 4 * 4096, 4 * 4096, fallback * 4096};
}

inline Facts device() {
    Facts facts;
    facts.current_present = true;
    facts.current_digest = a;
    facts.update_digest = b;
    facts.fallback_present = true;
    return facts;
}

template <typename Change>
inline Facts with(Change change) {
    Facts facts = device();
    change(facts);
    return facts;
}

}  // namespace updater
