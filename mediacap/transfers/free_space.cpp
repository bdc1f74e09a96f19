#include "mediacap/transfers/free_space.hpp"

#include <sys/stat.h>
#include <sys/statvfs.h>

#include <algorithm>
#include <map>
#include <memory>
#include <mutex>

namespace mediacap {

// What this process may still write into one file system (see
// disk_reserve_check_interval). Guarded by its own lock: captures write on
// the writer thread, downloads on the pool's threads.
struct space_account {
    std::mutex lock;
    unsigned files = 0;          // open files in the file system
    std::uint64_t allowance = 0; // bytes that may be taken before the next look
    std::uint64_t in_flight = 0; // bytes taken whose write has not ended: a look does not see them yet
    std::uint64_t block = 1;     // the file system's block size, from the last look
};

space_account* join_account(int descriptor)
{
    struct stat info {};
    if (::fstat(descriptor, &info) != 0)
        return nullptr;
    // One account per file system for the whole process; there are few, so
    // they are kept to the end (and never destroyed, for threads that still
    // write while the process exits).
    static std::mutex lock;
    static auto* accounts = new std::map<dev_t, std::unique_ptr<space_account>>;
    std::lock_guard guard(lock);
    std::unique_ptr<space_account>& account = (*accounts)[info.st_dev];
    if (!account)
        account = std::make_unique<space_account>();
    std::lock_guard count(account->lock);
    ++account->files;
    return account.get();
}

namespace {

std::uint64_t block_size(const struct statvfs& info)
{
    return info.f_frsize != 0 ? info.f_frsize : info.f_bsize;
}

}  // namespace

std::optional<std::uint64_t> space_above_reserve(const struct statvfs& info)
{
    const std::uint64_t unit = block_size(info);
    if (info.f_blocks == 0 || unit == 0)
        return std::nullopt;
    const std::uint64_t free_bytes = std::uint64_t(info.f_bavail) * unit;
    const std::uint64_t reserve =
        std::min(disk_reserve_limit, std::uint64_t(info.f_blocks) * unit / 100 * disk_reserve_percent);
    return free_bytes > reserve ? free_bytes - reserve : 0;
}

bool take_from_account(space_account& account, int descriptor, std::uint64_t size, std::size_t length,
                       std::uint64_t& taken)
{
    {
        std::lock_guard guard(account.lock);
        // The blocks the write adds to the file, which is what it takes
        // from the file system.
        const auto cost = [&] {
            const std::uint64_t unit = account.block;
            return (size + length + unit - 1) / unit * unit - (size + unit - 1) / unit * unit;
        };
        taken = cost();
        // The look is made under the lock: writers that come meanwhile wait
        // for its answer instead of looking each.
        bool allowed = taken <= account.allowance;
        if (allowed) {
            account.allowance -= taken;
        } else {
            struct statvfs info {};
            const std::optional<std::uint64_t> above =
                ::fstatvfs(descriptor, &info) == 0 ? space_above_reserve(info) : std::nullopt;
            if (above) {
                account.block = block_size(info);
                taken = cost();
            }
            const std::uint64_t next = std::max<std::uint64_t>(disk_reserve_check_interval, taken);
            // No figures to go by: look again after the next interval.
            const std::uint64_t headroom =
                !above ? next : *above > account.in_flight ? *above - account.in_flight : 0;
            allowed = taken <= headroom;
            account.allowance = allowed ? std::min(headroom, next) - taken : 0;
        }
        if (allowed) {
            account.in_flight += taken;
            return true;
        }
    }
    taken = 0;
    return false;
}

void write_ended(space_account& account, std::uint64_t length)
{
    std::lock_guard guard(account.lock);
    account.in_flight -= length;
}

void leave_account(space_account& account)
{
    std::lock_guard guard(account.lock);
    if (--account.files == 0)
        account.allowance = 0;
}

}  // namespace mediacap
