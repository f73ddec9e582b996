#include "digest.hpp"

#include <new>

#include "constants.hpp"
#include "shell.hpp"

namespace updater {
namespace {

bool is_hex_digit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

/// The operand that names exactly `path` to the checksum command: a relative
/// path that looks like an option is given a leading "./".
std::string checksum_operand(std::string_view path) {
    std::string operand = path.front() == '-' ? "./" : "";
    operand += path;
    return shell_quote(operand);
}

}  // namespace

std::optional<std::string> parse_digest_line(std::string_view line) {
    if (!line.empty() && line.front() == '\\') {
        line.remove_prefix(1);
    }
    if (line.size() <= digest_length || line[digest_length] != ' ') {
        return std::nullopt;
    }
    for (std::size_t i = 0; i < digest_length; ++i) {
        if (!is_hex_digit(line[i])) {
            return std::nullopt;
        }
    }
    return std::string(line.substr(0, digest_length));
}

std::optional<std::string> _get_shasum(std::string_view path) {
    if (path.empty() || path.find('\0') != std::string_view::npos) {
        return std::nullopt;
    }
    try {
        const std::optional<std::string> line =
            first_output_line(checksum_command + checksum_operand(path));
        if (!line) {
            return std::nullopt;
        }
        return parse_digest_line(*line);
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
}

}  // namespace updater
