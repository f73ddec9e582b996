// A build without rollback protection: any version may be installed.
#include "rollback.hpp"

namespace updater {

bool rollback_protected() { return false; }

VersionFile read_version_file(const char*) { return {}; }

std::vector<std::string> rollback_obstacles() { return {}; }

bool record_current_version(std::uint64_t) { return true; }

bool write_version_floor(std::uint64_t) { return true; }

}  // namespace updater
