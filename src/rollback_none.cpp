// A build without rollback protection: any version may be installed.
#include "rollback.hpp"

namespace updater {

std::optional<std::string> downgrade_problem(const std::optional<Manifest>&, bool) {
    return std::nullopt;
}

std::vector<std::string> rollback_obstacles() { return {}; }

bool record_current_version(const std::optional<Manifest>&) { return true; }

bool raise_version_floor() { return true; }

}  // namespace updater
