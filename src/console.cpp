#include "console.hpp"

#include <cstdio>
#include <cstring>

namespace updater {

void say(const char* line) {
    std::puts(line);
    std::fflush(stdout);
}

void warn(const std::string& reason) { std::fprintf(stderr, "init-updater: %s\n", reason.c_str()); }

void warn_error(const std::string& reason, int error) {
    warn(reason + ": " + std::strerror(error));
}

}  // namespace updater
