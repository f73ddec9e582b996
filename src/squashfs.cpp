#include "squashfs.hpp"

#include <algorithm>

namespace updater {
namespace {

/// The little-endian unsigned number of `width` bytes at `offset`.
std::uint64_t little_endian(std::string_view bytes, std::size_t offset, std::size_t width) {
    std::uint64_t value = 0;
    for (std::size_t i = width; i-- > 0;) {
        value = (value << 8) | static_cast<unsigned char>(bytes[offset + i]);
    }
    return value;
}

/// A table start that marks an absent table.
constexpr std::uint64_t no_table = ~std::uint64_t{0};

}  // namespace

std::optional<std::string> squashfs_problem(std::string_view superblock, std::uint64_t file_size) {
    if (superblock.size() < squashfs_superblock_size) {
        return "it is too short for a squashfs image";
    }
    if (superblock.substr(0, 4) != "hsqs") {
        return "it is not a squashfs image (no \"hsqs\" magic)";
    }
    const std::uint64_t major = little_endian(superblock, 28, 2);
    const std::uint64_t minor = little_endian(superblock, 30, 2);
    if (major != 4 || minor != 0) {
        return "it is squashfs version " + std::to_string(major) + "." + std::to_string(minor) +
               ", not 4.0";
    }
    const std::uint64_t block_size = little_endian(superblock, 12, 4);
    const std::uint64_t block_log = little_endian(superblock, 22, 2);
    if (block_size < 4096 || block_size > 1048576 || (block_size & (block_size - 1)) != 0 ||
        block_log >= 64 || (std::uint64_t{1} << block_log) != block_size) {
        return "its squashfs block size " + std::to_string(block_size) + " is not sane";
    }
    const std::uint64_t compression = little_endian(superblock, 20, 2);
    if (compression < 1 || compression > 6) {
        return "its squashfs compression " + std::to_string(compression) + " is unknown";
    }
    if (little_endian(superblock, 26, 2) == 0) {
        return "its squashfs superblock names no ids";
    }
    const std::uint64_t bytes_used = little_endian(superblock, 40, 8);
    if (bytes_used > file_size) {
        return "it is cut short: the squashfs image needs " + std::to_string(bytes_used) +
               " bytes, the file has " + std::to_string(file_size);
    }
    // Each table lies after the superblock and before the end of what is
    // used; the directory table follows the inode table.
    const std::uint64_t inode_table = little_endian(superblock, 64, 8);
    const std::uint64_t directory_table = little_endian(superblock, 72, 8);
    if (directory_table < inode_table) {
        return "its squashfs tables are out of order";
    }
    // id, xattr ids, inodes, directories, fragments, export lookup; only the
    // first, third and fourth are always there.
    for (const std::size_t offset : {48u, 56u, 64u, 72u, 80u, 88u}) {
        const std::uint64_t table = little_endian(superblock, offset, 8);
        const bool optional = offset == 56 || offset >= 80;
        if ((table != no_table || !optional) &&
            (table < squashfs_superblock_size || table >= bytes_used)) {
            return "its squashfs tables lie outside the image";
        }
    }
    return std::nullopt;
}

namespace {

/// Bytes a squashfs metadata block holds at most.
constexpr std::uint64_t metadata_size = 8192;

/// Whether the index of `blocks` pointers at `index` that `read` reads points
/// to metadata blocks that lie from `lowest` on and end by `end`, each with a
/// header giving it 1 to 8192 bytes; the index is read a few pointers at a
/// time. Returns nothing when they do, otherwise "is missing" or "cannot be
/// read".
std::optional<std::string> index_problem(const ImageReader& read, std::uint64_t index,
                                         std::uint64_t blocks, std::uint64_t lowest,
                                         std::uint64_t end) {
    constexpr std::uint64_t chunk = 512;
    for (std::uint64_t first = 0; first < blocks; first += chunk) {
        const std::uint64_t count = std::min(chunk, blocks - first);
        const std::optional<std::string> pointers = read(index + first * 8, count * 8);
        if (!pointers) {
            return std::string("cannot be read");
        }
        for (std::uint64_t i = 0; i < count; ++i) {
            const std::uint64_t block = little_endian(*pointers, i * 8, 8);
            const std::optional<std::string> header =
                block >= lowest && block < end ? read(block, 2) : std::nullopt;
            const std::uint64_t length = header ? little_endian(*header, 0, 2) & 0x7fff : 0;
            if (length == 0 || length > metadata_size || block + 2 + length > end) {
                return std::string("is missing (cut short?)");
            }
        }
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::string> squashfs_tables_problem(std::string_view superblock,
                                                   const ImageReader& read) {
    const std::uint64_t bytes_used = little_endian(superblock, 40, 8);
    const std::uint64_t directory_table = little_endian(superblock, 72, 8);
    // Table, its index's start, and the bytes of one entry and their number.
    struct Table {
        const char* name;
        std::uint64_t start;
        std::uint64_t entries;
        std::uint64_t entry_size;
    };
    const Table tables[] = {
        {"id", little_endian(superblock, 48, 8), little_endian(superblock, 26, 2), 4},
        {"fragment", little_endian(superblock, 80, 8), little_endian(superblock, 16, 4), 16},
        {"export", little_endian(superblock, 88, 8), little_endian(superblock, 4, 4), 8},
    };
    for (const Table& table : tables) {
        if (table.start == no_table || table.entries == 0) {
            continue;
        }
        const std::uint64_t blocks =
            (table.entries * table.entry_size + metadata_size - 1) / metadata_size;
        const std::string what = std::string("its squashfs ") + table.name + " table ";
        if (blocks * 8 > bytes_used - table.start) {
            return what + "lies outside the image";
        }
        if (std::optional<std::string> problem =
                index_problem(read, table.start, blocks, directory_table, table.start)) {
            return what + *problem;
        }
    }
    // The extended attributes, where there are any, come last: a header
    // (where their own table starts, how many ids), then the index of the
    // id blocks that lie between the two.
    const std::uint64_t xattr_ids_start = little_endian(superblock, 56, 8);
    if (xattr_ids_start == no_table) {
        return std::nullopt;
    }
    const std::string what = "its squashfs xattr table ";
    const std::optional<std::string> header =
        bytes_used - xattr_ids_start >= 16 ? read(xattr_ids_start, 16) : std::nullopt;
    if (!header) {
        return what + "lies outside the image";
    }
    const std::uint64_t xattr_table = little_endian(*header, 0, 8);
    const std::uint64_t ids = little_endian(*header, 8, 4);
    const std::uint64_t blocks = (ids * 16 + metadata_size - 1) / metadata_size;
    if (xattr_table < directory_table || xattr_table >= xattr_ids_start ||
        blocks * 8 > bytes_used - xattr_ids_start - 16) {
        return what + "is missing (cut short?)";
    }
    if (std::optional<std::string> problem =
            index_problem(read, xattr_ids_start + 16, blocks, xattr_table, xattr_ids_start)) {
        return what + *problem;
    }
    return std::nullopt;
}

}  // namespace updater
