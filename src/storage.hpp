// Making written files durable, and guarding the image partition.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "descriptor.hpp"

namespace updater {

/// Flushes the file at `path` and then the directory `directory` that holds
/// its entry to storage (fsync of each), so both survive a power cut, and
/// drops the file's pages from the page cache, so that the next read of it
/// comes from the medium. Returns true exactly when all of that succeeded;
/// otherwise says why on standard error. Closes what it opened.
bool flush_to_storage(const char* path, const char* directory);

/// Creates the empty file `path` in `directory` (an existing file is kept)
/// and flushes both. Returns true exactly when the file exists on storage;
/// otherwise says why on standard error.
bool create_durably(const char* path, const char* directory);

/// Removes the file `path` from `directory`, if it is there, and flushes the
/// directory. Returns true exactly when the removal is on storage; otherwise
/// says why on standard error.
bool remove_durably(const char* path, const char* directory);

/// Replaces the file `path` in `directory` by one holding `contents`, such
/// that a power cut at any moment leaves the old file or the new one: removes
/// whatever stands at `temporary`, creates it afresh (exclusively, following
/// no link, so no other name of an old file there is written through), writes
/// and flushes it, renames it to `path` and flushes the directory. Returns
/// true exactly when the new file is on storage; otherwise says why on
/// standard error, and removes what it wrote at `temporary`.
bool write_durably(const char* path, const char* temporary, std::string_view contents,
                   const char* directory);

/// Renames `from` to `to` in `directory` and flushes the directory, so that a
/// power cut leaves `to` as it was or as `from` was. Returns true exactly
/// when the rename is on storage; otherwise says why on standard error.
bool rename_durably(const char* from, const char* to, const char* directory);

/// The contents of the file at `path` when it is a regular file (links
/// followed) of at most `limit` bytes; otherwise std::nullopt. Opened
/// without waiting, so a FIFO or a device there cannot hold the run up.
std::optional<std::string> read_small_file(const char* path, std::size_t limit);

/// True when anything exists at `path`, a dangling link included.
bool exists(const char* path);

/// Returns std::nullopt when `path` is a regular file itself (not a link to
/// one) or nothing at all, so the tool may write one there; otherwise why it
/// may not, as a reason line.
std::optional<std::string> write_obstacle(const char* path);

/// True when `path` is a non-empty regular file itself (not a link to one):
/// an image the device can boot.
bool is_image_file(const char* path);

/// What the regular file `path` itself (not a link) holds on its file system,
/// in bytes, when removing it would free that: 0 for anything else, and for
/// a file with another name, which keeps its blocks.
std::uint64_t held_bytes(const char* path);

/// The size of the file at `path`, links followed; 0 when there is none.
std::uint64_t file_size(const char* path);

/// The file system holding `directory`: its allocation unit, the bytes free
/// to this process for file data (on ext4 without the clusters it keeps for
/// itself, which not even root may use), and, on ext4, the bytes of a file
/// for which it may need one more extent block; when it can be asked.
struct FreeRoom {
    std::uint64_t block;
    std::uint64_t free;
    std::uint64_t bookkeeping_every;
};
std::optional<FreeRoom> free_room(const char* directory);

/// True when `path`, links followed, is on another file system than
/// `directory`; false also when `path` is not there (it is then no file at
/// all, and reading it says so).
bool leads_off(const char* path, const char* directory);

/// True when `a` and `b` name the same file once links are followed.
bool same_file(const char* a, const char* b);

/// Takes the exclusive lock on the directory `directory` (flock on the
/// directory itself, so no file is made), waiting while another run holds it.
/// The lock is held while the returned descriptor lives and is never passed
/// to commands. Returns std::nullopt when a stop is requested while waiting,
/// or, saying why on standard error, when the directory cannot be locked.
std::optional<FileDescriptor> lock_directory(const char* directory);

}  // namespace updater
