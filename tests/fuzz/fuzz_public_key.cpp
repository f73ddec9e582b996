// Fuzz target: a public key file. A key is taken only from the one text that
// writes it: a comment line, and the padded base64 of "Ed", its key number and
// its key as libsodium encodes them.

#include <sodium.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_check.hpp"
#include "signify.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace updater;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const std::optional<SignifyPublicKey> key = parse_public_key(text);
    if (!key) {
        return 0;
    }
    std::vector<unsigned char> bytes{'E', 'd'};
    bytes.insert(bytes.end(), key->number.begin(), key->number.end());
    bytes.insert(bytes.end(), key->key.begin(), key->key.end());
    std::string line(sodium_base64_ENCODED_LEN(bytes.size(), sodium_base64_VARIANT_ORIGINAL), '\0');
    sodium_bin2base64(line.data(), line.size(), bytes.data(), bytes.size(),
                      sodium_base64_VARIANT_ORIGINAL);
    line.resize(line.size() - 1);
    const std::size_t first = text.find('\n');
    fuzz_check(first != std::string_view::npos && text.substr(0, 19) == "untrusted comment: ",
               "a key without its comment line");
    fuzz_check(first <= 19 + 1024, "a key with a comment too long");
    fuzz_check(text.substr(first + 1) == line + "\n", "a key from another text than its own");
    return 0;
}
