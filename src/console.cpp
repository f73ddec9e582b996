#include "console.hpp"

#include <cstdio>

namespace updater {

void say(const char* line) {
    std::puts(line);
    std::fflush(stdout);
}

}  // namespace updater
