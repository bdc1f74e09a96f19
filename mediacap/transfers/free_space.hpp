#pragma once

#include <sys/statvfs.h>

#include <cstddef>
#include <cstdint>
#include <optional>

namespace mediacap {

// Free space that writing never eats into on the file system of a kept file:
// the lesser of 1 GiB and 5 % of the file system's size.
inline constexpr std::uint64_t disk_reserve_limit = std::uint64_t(1) << 30;
inline constexpr std::uint64_t disk_reserve_percent = 5;
// The files open in one file system, whichever threads write them, draw on
// one account of its free space: its first write looks at the free space,
// and the next look comes after this much was written there by all of them
// together. Between two looks they never write more than the last look left
// above the reserve, counting the writes still under way at the look and
// each write as the whole blocks it adds to its file. The
// account starts again from a look once no file of it is open.
inline constexpr std::uint64_t disk_reserve_check_interval = std::uint64_t(16) << 20;

// The bytes that may be written into the file system whose figures `info`
// gives before its free space would fall under the reserve; nothing for a
// file system that reports no size (some FUSE ones) or no block size, which
// is then written like one whose figures cannot be read: without a reserve.
std::optional<std::uint64_t> space_above_reserve(const struct statvfs& info);

// What this process may still write into one file system: its account, kept
// in free_space.cpp. There is one per file system for the whole process, made
// by the first join_account there and never destroyed, so that threads still
// writing while the process exits find it; a file holds a pointer to it from
// join_account to leave_account. Every call below takes the account's lock,
// so the files of one file system may be written on different threads
// (captures on the writer thread, downloads on the pool's threads); each call
// is made by the thread that uses the file.
struct space_account;

// The account of the file system that holds `descriptor`, with the file
// counted in; null when the file system cannot be told.
space_account* join_account(int descriptor);

// Takes from `account` what writing `length` bytes at the end of a file of
// `size` bytes adds to it (its new whole blocks), looking at the free space
// of `descriptor`'s file system, under the lock, when the allowance left
// does not cover them. True with `taken` the bytes taken, to be passed to
// write_ended once the write has ended; false, with nothing taken (`taken`
// 0), when the write would eat into the reserve.
bool take_from_account(space_account& account, int descriptor, std::uint64_t size, std::size_t length,
                       std::uint64_t& taken);

// The write that took `length` bytes from `account` has ended, however.
void write_ended(space_account& account, std::uint64_t length);

// The file is counted out of `account`, once, when it closes or fails; the
// last file out ends the allowance, so that the account starts again from a
// look.
void leave_account(space_account& account);

}  // namespace mediacap
