// Fuzz target: a line of the checksum command's output. A digest is the
// line's first 128 characters (after one leading backslash) when they are
// hexadecimal digits and a space follows them, and nothing else.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "digest.hpp"
#include "fuzz_check.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace updater;
    std::string_view line(reinterpret_cast<const char*>(data), size);
    const std::optional<std::string> digest = parse_digest_line(line);
    if (!line.empty() && line.front() == '\\') {
        line.remove_prefix(1);
    }
    bool expected = line.size() > digest_length && line[digest_length] == ' ';
    for (std::size_t i = 0; expected && i < digest_length; ++i) {
        const char c = line[i];
        expected = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    }
    fuzz_check(digest.has_value() == expected, "a digest taken or refused against its rule");
    fuzz_check(!digest || *digest == line.substr(0, digest_length),
               "another digest than the line's");
    return 0;
}
