// Fuzz target: the superblock of an update that should be a squashfs image.
// The input is the file's size (8 bytes, little-endian) and then its first
// bytes; the tables at the image's end are read from those bytes too. A
// superblock is taken only when its magic, version, block size and used size
// are as the check requires.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_check.hpp"
#include "squashfs.hpp"

namespace {

std::uint64_t little_endian(std::string_view bytes, std::size_t offset, std::size_t width) {
    std::uint64_t value = 0;
    for (std::size_t i = width; i-- > 0;) {
        value = (value << 8) | static_cast<unsigned char>(bytes[offset + i]);
    }
    return value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace updater;
    if (size < 8) {
        return 0;
    }
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::uint64_t file_size = little_endian(input, 0, 8);
    const std::string_view superblock = input.substr(8);
    const std::optional<std::string> problem = squashfs_problem(superblock, file_size);
    if (!problem) {
        // The input is the image's start: its tables are read from there.
        const ImageReader read = [superblock](std::uint64_t offset, std::size_t length) {
            return offset <= superblock.size() && length <= superblock.size() - offset
                       ? std::optional<std::string>(superblock.substr(offset, length))
                       : std::nullopt;
        };
        const std::optional<std::string> tables = squashfs_tables_problem(superblock, read);
        fuzz_check(!tables || !tables->empty(), "a table problem without words");
        fuzz_check(superblock.size() >= squashfs_superblock_size, "a short superblock taken");
        fuzz_check(superblock.substr(0, 4) == "hsqs", "a superblock without the magic taken");
        fuzz_check(little_endian(superblock, 28, 2) == 4 && little_endian(superblock, 30, 2) == 0,
                   "another version taken");
        const std::uint64_t block_size = little_endian(superblock, 12, 4);
        fuzz_check(
            block_size >= 4096 && block_size <= 1048576 && (block_size & (block_size - 1)) == 0,
            "a block size out of range taken");
        fuzz_check(little_endian(superblock, 40, 8) <= file_size,
                   "an image longer than its file taken");
    } else {
        fuzz_check(!problem->empty(), "a problem without words");
    }
    return 0;
}
