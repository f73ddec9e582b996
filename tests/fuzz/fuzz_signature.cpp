// Fuzz target: a whole signature file, as a stick could carry it, judged for
// a fixed update (digest FUZZ_DIGEST, FUZZ_SIZE bytes) against the fuzz
// build's keys; and the same bytes as a manifest. A verdict that lets the
// update in must be one a correct check could give; a manifest must be in
// the one form that writes it.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

#include "fuzz_check.hpp"
#include "manifest.hpp"
#include "signing_key.hpp"
#include "verdict.hpp"

namespace updater {
namespace {

/// `manifest` written out as a manifest.
std::string manifest_text(const Manifest& manifest) {
    std::string text =
        "sha512 " + manifest.digest + "\nsize " + std::to_string(manifest.size) + "\n";
    if (manifest.version) {
        text += "version " + std::to_string(*manifest.version) + "\n";
    }
    if (manifest.compatible) {
        text += "compatible " + *manifest.compatible + "\n";
    }
    return text;
}

bool is_base64_line(std::string_view line) {
    for (const char c : line) {
        const bool digit = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                           (c >= '0' && c <= '9') || c == '+' || c == '/' || c == '=';
        if (!digit) {
            return false;
        }
    }
    return line.size() == 100 && line.find('=') == 99;
}

}  // namespace
}  // namespace updater

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace updater;
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    const std::variant<Manifest, std::string> parsed = parse_manifest(text);
    if (const Manifest* manifest = std::get_if<Manifest>(&parsed)) {
        fuzz_check(manifest_text(*manifest) == text, "a manifest not in its one written form");
        fuzz_check(!manifest->version || *manifest->version <= manifest_version_limit,
                   "a version over the limit");
    } else {
        fuzz_check(!std::get<std::string>(parsed).empty(), "a manifest refused without a reason");
    }

    static const std::vector<SignifyPublicKey> keys = trusted_keys();
    const Verdict verdict = signature_verdict(text, FUZZ_DIGEST, FUZZ_SIZE, keys);
    if (verdict.problem) {
        fuzz_check(!verdict.problem->empty() && !verdict.manifest, "a refusal with a manifest");
        return 0;
    }
    // Let in: two lines of signify's form, then nothing or a manifest of
    // this update.
    const std::size_t first = text.find('\n');
    fuzz_check(text.substr(0, 19) == "untrusted comment: " && first != std::string_view::npos,
               "let in without the comment line");
    const std::size_t second = text.find('\n', first + 1);
    fuzz_check(second != std::string_view::npos &&
                   is_base64_line(text.substr(first + 1, second - first - 1)),
               "let in without a base64 line of a signature");
    const std::string_view rest = text.substr(second + 1);
    fuzz_check(rest.empty() == !verdict.manifest, "a manifest without an embedded message");
    if (verdict.manifest) {
        fuzz_check(verdict.manifest->digest == FUZZ_DIGEST && verdict.manifest->size == FUZZ_SIZE,
                   "let in with the manifest of another update");
        fuzz_check(manifest_text(*verdict.manifest) == rest, "let in with another manifest");
    }
    return 0;
}
