#include "console.hpp"

#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "process.hpp"

namespace updater {

void say(const char* line) {
    if (writable_unless_stopped(STDOUT_FILENO)) {
        std::puts(line);
        std::fflush(stdout);
    }
}

void warn(const std::string& reason) {
    if (writable_unless_stopped(STDERR_FILENO)) {
        std::fprintf(stderr, "init-updater: %s\n", reason.c_str());
    }
}

void warn_error(const std::string& reason, int error) {
    warn(reason + ": " + std::strerror(error));
}

}  // namespace updater
