// A build with rollback protection: no update below the device's version
// floor is installed.
#include <algorithm>
#include <cstdint>
#include <utility>

#include "constants.hpp"
#include "rollback.hpp"
#include "storage.hpp"

namespace updater {
namespace {

/// Longer than any version line ("9223372036854775807\n").
constexpr std::size_t version_file_limit = 32;

/// The version the file at `path` holds as one line, when it reads as one.
std::optional<std::uint64_t> read_version(const char* path) {
    const std::optional<std::string> text = read_small_file(path, version_file_limit);
    if (!text || text->empty() || text->back() != '\n') {
        return std::nullopt;
    }
    return parse_version(std::string_view(*text).substr(0, text->size() - 1));
}

/// Writes `version` to `path` durably, through `temporary`.
bool write_version(const char* path, const char* temporary, std::uint64_t version) {
    return write_durably(path, temporary, std::to_string(version) + "\n", image_directory);
}

}  // namespace

std::optional<std::string> downgrade_problem(const std::optional<Manifest>& manifest,
                                             bool current_confirmed) {
    if (!manifest || !manifest->version) {
        return std::string(
            "the update's signature names no version: "
            "this device takes only versioned updates");
    }
    const std::optional<std::uint64_t> recorded = read_version(current_version);
    std::optional<std::uint64_t> floor = read_version(version_floor);
    if (!floor) {
        floor = recorded;
    } else if (current_confirmed && recorded) {
        floor = std::max(*floor, *recorded);
    }
    if (floor && *manifest->version < *floor) {
        return "the update's version " + std::to_string(*manifest->version) +
               " is below this device's version floor " + std::to_string(*floor);
    }
    return std::nullopt;
}

std::vector<std::string> rollback_obstacles() {
    std::vector<std::string> obstacles;
    for (const char* path :
         {version_floor, version_floor_new, current_version, current_version_new}) {
        if (std::optional<std::string> obstacle = write_obstacle(path)) {
            obstacles.push_back(std::move(*obstacle));
        }
    }
    return obstacles;
}

bool record_current_version(const std::optional<Manifest>& manifest) {
    if (!manifest || !manifest->version) {
        return true;
    }
    return write_version(current_version, current_version_new, *manifest->version);
}

bool raise_version_floor() {
    const std::optional<std::uint64_t> recorded = read_version(current_version);
    if (!recorded) {
        return true;
    }
    const std::optional<std::uint64_t> floor = read_version(version_floor);
    if (floor && *floor >= *recorded) {
        return true;
    }
    return write_version(version_floor, version_floor_new, *recorded);
}

}  // namespace updater
