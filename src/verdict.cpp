#include "verdict.hpp"

#include <string>
#include <utility>
#include <variant>

namespace updater {

Verdict signature_verdict(std::string_view signature_file, std::string_view digest,
                          std::uint64_t update_size, const std::vector<SignifyPublicKey>& keys) {
    const SignatureCheck check =
        check_signature_file(signature_file, std::string(digest) + "\n", keys);
    if (check.problem) {
        return {check.problem, std::nullopt};
    }
    if (!check.message) {
        return {};
    }
    std::variant<Manifest, std::string> parsed = parse_manifest(*check.message);
    if (const std::string* problem = std::get_if<std::string>(&parsed)) {
        return {"the message it signs is no manifest: " + *problem, std::nullopt};
    }
    Manifest& manifest = std::get<Manifest>(parsed);
    if (manifest.digest != digest) {
        return {"it signs the manifest of another update (another sha512)", std::nullopt};
    }
    if (manifest.size != update_size) {
        return {"it signs the manifest of another update (" + std::to_string(manifest.size) +
                    " bytes, not " + std::to_string(update_size) + ")",
                std::nullopt};
    }
    return {std::nullopt, std::move(manifest)};
}

}  // namespace updater
