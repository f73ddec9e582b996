// The manifest parser: manifests as kestran-sign writes them, and texts that
// are almost manifests.

#include "manifest.hpp"

#include <gtest/gtest.h>

#include <string>

namespace updater {
namespace {

const std::string digest(128, 'c');
const std::string head = "sha512 " + digest + "\nsize 4096\n";

TEST(Manifest, Parses) {
    struct Case {
        const char* name;
        std::string text;
        const char* problem;  // part of the reason; nullptr: a manifest
        std::uint64_t size = 4096;
        std::optional<std::uint64_t> version = std::nullopt;
        std::optional<std::string> compatible = std::nullopt;
    };
    const std::string max_version = "9223372036854775807";
    const Case cases[] = {
        {"sha512 and size", head, nullptr},
        {"with version", head + "version 12\n", nullptr, 4096, 12},
        {"with version 0", head + "version 0\n", nullptr, 4096, 0},
        {"largest version", head + "version " + max_version + "\n", nullptr, 4096,
         9223372036854775807u},
        {"with compatible", head + "compatible kestran-a1\n", nullptr, 4096, std::nullopt,
         "kestran-a1"},
        {"with both", head + "version 3\ncompatible A.z_0+9-\n", nullptr, 4096, 3, "A.z_0+9-"},
        {"compatible of 64", head + "compatible " + std::string(64, 'x') + "\n", nullptr, 4096,
         std::nullopt, std::string(64, 'x')},
        {"largest size", "sha512 " + digest + "\nsize 18446744073709551615\n", nullptr,
         18446744073709551615u},
        {"empty", "", "empty"},
        {"no last newline", head.substr(0, head.size() - 1), "newline"},
        {"size first", "size 4096\nsha512 " + digest + "\n", "first line"},
        {"no size", "sha512 " + digest + "\n", "second line"},
        {"upper-case digest", "sha512 " + std::string(128, 'C') + "\nsize 4096\n", "sha512"},
        {"short digest", "sha512 " + std::string(127, 'c') + "\nsize 4096\n", "sha512"},
        {"long digest", "sha512 " + std::string(129, 'c') + "\nsize 4096\n", "sha512"},
        {"two spaces", "sha512  " + digest + "\nsize 4096\n", "sha512"},
        {"carriage return", "sha512 " + digest + "\r\nsize 4096\n", "sha512"},
        {"size with leading zero", "sha512 " + digest + "\nsize 04096\n", "size"},
        {"size too big", "sha512 " + digest + "\nsize 18446744073709551616\n", "size"},
        {"size not a number", "sha512 " + digest + "\nsize 4k\n", "size"},
        {"size empty", "sha512 " + digest + "\nsize \n", "size"},
        {"version with leading zero", head + "version 012\n", "version"},
        {"version too big", head + "version 9223372036854775808\n", "version"},
        {"version negative", head + "version -1\n", "version"},
        {"compatible empty", head + "compatible \n", "compatible"},
        {"compatible of 65", head + "compatible " + std::string(65, 'x') + "\n", "compatible"},
        {"compatible with a space", head + "compatible a b\n", "compatible"},
        {"compatible with a high byte", head + "compatible a\xc4z\n", "compatible"},
        {"version after compatible", head + "compatible a\nversion 1\n", "other than"},
        {"version twice", head + "version 1\nversion 1\n", "other than"},
        {"unknown name", head + "flavour mint\n", "other than"},
        {"blank line", head + "\n", "other than"},
        {"blank line in between", "sha512 " + digest + "\n\nsize 4096\n", "second line"},
        {"NUL after the size", "sha512 " + digest + "\nsize 4096" + std::string(1, '\0') + "\n",
         "size"},
    };
    for (const Case& c : cases) {
        const std::variant<Manifest, std::string> parsed = parse_manifest(c.text);
        if (c.problem == nullptr) {
            const Manifest* manifest = std::get_if<Manifest>(&parsed);
            ASSERT_NE(manifest, nullptr) << c.name << ": " << std::get<std::string>(parsed);
            EXPECT_EQ(manifest->digest, digest) << c.name;
            EXPECT_EQ(manifest->size, c.size) << c.name;
            EXPECT_EQ(manifest->version, c.version) << c.name;
            EXPECT_EQ(manifest->compatible, c.compatible) << c.name;
        } else {
            const std::string* problem = std::get_if<std::string>(&parsed);
            ASSERT_NE(problem, nullptr) << c.name << ": accepted";
            EXPECT_NE(problem->find(c.problem), std::string::npos) << c.name << ": " << *problem;
        }
    }
}

}  // namespace
}  // namespace updater
