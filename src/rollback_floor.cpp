// A build with rollback protection: no update below the device's version
// floor is installed.
#include <utility>

#include "constants.hpp"
#include "manifest.hpp"
#include "rollback.hpp"
#include "storage.hpp"

namespace updater {
namespace {

/// Longer than any version line ("9223372036854775807\n").
constexpr std::size_t version_file_limit = 32;

/// Writes `version` to `path` durably, through `temporary`.
bool write_version(const char* path, const char* temporary, std::uint64_t version) {
    return write_durably(path, temporary, std::to_string(version) + "\n", image_directory);
}

}  // namespace

bool rollback_protected() { return true; }

VersionFile read_version_file(const char* path) {
    VersionFile file;
    file.present = exists(path);
    const std::optional<std::string> text = read_small_file(path, version_file_limit);
    if (file.present && text && !text->empty() && text->back() == '\n') {
        file.version = parse_version(std::string_view(*text).substr(0, text->size() - 1));
    }
    return file;
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

bool record_current_version(std::uint64_t version) {
    return write_version(current_version, current_version_new, version);
}

bool write_version_floor(std::uint64_t version) {
    return write_version(version_floor, version_floor_new, version);
}

}  // namespace updater
