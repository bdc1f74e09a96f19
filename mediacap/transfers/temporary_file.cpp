#include "mediacap/transfers/temporary_file.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <system_error>
#include <utility>

namespace mediacap {

namespace {

// error_ of a file stopped by the free-space reserve (errno values are positive).
constexpr int reserve_reached = -1;

// How many names publish tries before it gives up on a crowded folder.
constexpr unsigned most_candidates = 1000;

std::string folder_of(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Cuts `text` to at most `limit` bytes without splitting a UTF-8 sequence.
void cut_at_character(std::string& text, std::size_t limit)
{
    if (text.size() <= limit)
        return;
    std::size_t end = limit;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xc0) == 0x80)
        --end;
    text.resize(end);
}

// Gives the unnamed file of `descriptor` the name `target`, failing with
// EEXIST when the name is taken. With AT_EMPTY_PATH the kernel links the
// descriptor itself, but only for a process allowed to search everything;
// through /proc any user may link it, at the cost of a walk through /proc.
// The first way is taken until it is refused once.
int link_unnamed(int descriptor, const std::string& target)
{
    static std::atomic<bool> empty_path_refused{false};
    int refusal = 0;
    if (!empty_path_refused.load(std::memory_order_relaxed)) {
        if (::linkat(descriptor, "", AT_FDCWD, target.c_str(), AT_EMPTY_PATH) == 0)
            return 0;
        refusal = errno;
        if (refusal != ENOENT && refusal != EPERM)
            return refusal;
    }
    const std::string own = "/proc/self/fd/" + std::to_string(descriptor);
    if (::linkat(AT_FDCWD, own.c_str(), AT_FDCWD, target.c_str(), AT_SYMLINK_FOLLOW) == 0) {
        if (refusal != 0)
            empty_path_refused.store(true, std::memory_order_relaxed);
        return 0;
    }
    return errno;
}

// Renames `from` to `to` unless `to` exists (EEXIST then). NFS takes no
// rename flags, so a link (exclusive as well) stands in there; FAT has no
// links, so the name is claimed with an exclusive create and the rename then
// replaces only that claim of ours.
int rename_exclusive(const std::string& from, const std::string& to)
{
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP)
        return errno;
    if (::link(from.c_str(), to.c_str()) == 0) {
        ::unlink(from.c_str());
        return 0;
    }
    if (errno != EPERM && errno != EOPNOTSUPP)
        return errno;
    const int claim = ::open(to.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0666);
    if (claim < 0)
        return errno;
    ::close(claim);
    if (::rename(from.c_str(), to.c_str()) == 0)
        return 0;
    const int error = errno;
    ::unlink(to.c_str());
    return error;
}

// True when the last component of `path` is short enough to be put in place
// as it is: the first candidate is then the path itself.
bool name_fits(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    return path.size() - (slash == std::string::npos ? 0 : slash + 1) <= longest_file_name;
}

// Tries `place` on the candidates of `final_path` in turn until one is free;
// `placed` gets the name taken. The usual first candidate, the path itself,
// is moved there rather than copied: the caller has no more use for it.
template <typename Place>
int take_free_name(std::string& final_path, std::string& placed, Place place)
{
    for (unsigned number = 0; number <= most_candidates; ++number) {
        const bool itself = number == 0 && name_fits(final_path);
        std::string candidate = itself ? std::string() : final_name_candidate(final_path, number);
        const int error = place(itself ? final_path : candidate);
        if (error == 0) {
            placed = itself ? std::move(final_path) : std::move(candidate);
            return 0;
        }
        if (error != EEXIST)
            return error;
    }
    return EEXIST;
}

// The process that made a partial file, from its name; 0 when the name is
// not one of ours.
pid_t partial_owner(const char* name)
{
    const std::string_view text(name);
    const std::string_view prefix(partial_prefix);
    if (text.substr(0, prefix.size()) != prefix)
        return 0;
    pid_t owner = 0;
    std::size_t at = prefix.size();
    for (; at < text.size() && text[at] >= '0' && text[at] <= '9' && owner < 100000000; ++at)
        owner = owner * 10 + (text[at] - '0');
    return at < text.size() && text[at] == '-' ? owner : 0;
}

bool process_gone(pid_t owner)
{
    return owner != ::getpid() && ::kill(owner, 0) != 0 && errno == ESRCH;
}

}  // namespace

temporary_file::temporary_file(const std::string& final_path, naming how)
    : final_path_(final_path)
{
    const std::string folder = folder_of(final_path);
    if (how == naming::unnamed_first) {
        descriptor_ = ::open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
        if (descriptor_ >= 0) {
            account_ = join_account(descriptor_);
            return;
        }
        // EISDIR: a kernel without O_TMPFILE; EOPNOTSUPP: a file system without.
        if (errno != EOPNOTSUPP && errno != EISDIR) {
            error_ = errno;
            return;
        }
    }
    static std::atomic<unsigned> next_number{0};
    const std::string stem = folder + "/" + partial_prefix + std::to_string(::getpid()) + "-";
    for (unsigned attempt = 0; attempt < most_candidates; ++attempt) {
        std::string name = stem + std::to_string(next_number++);
        descriptor_ = ::open(name.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0666);
        if (descriptor_ >= 0) {
            named_path_ = std::move(name);
            account_ = join_account(descriptor_);
            return;
        }
        if (errno != EEXIST)
            break;
    }
    error_ = errno;
}

temporary_file::~temporary_file()
{
    leave_account();
    if (descriptor_ >= 0)
        ::close(descriptor_);
    if (!named_path_.empty())
        ::unlink(named_path_.c_str());
}

temporary_file::temporary_file(temporary_file&& other) noexcept
    : descriptor_(std::exchange(other.descriptor_, -1)),
      error_(std::exchange(other.error_, EBADF)),
      final_path_(std::move(other.final_path_)),
      named_path_(std::exchange(other.named_path_, {})),
      size_(other.size_),
      account_(std::exchange(other.account_, nullptr)),
      clock_(std::exchange(other.clock_, nullptr))
{
}

temporary_file& temporary_file::operator=(temporary_file&& other) noexcept
{
    if (this != &other) {
        temporary_file old(std::move(*this));
        descriptor_ = std::exchange(other.descriptor_, -1);
        error_ = std::exchange(other.error_, EBADF);
        final_path_ = std::move(other.final_path_);
        named_path_ = std::exchange(other.named_path_, {});
        size_ = other.size_;
        account_ = std::exchange(other.account_, nullptr);
        clock_ = std::exchange(other.clock_, nullptr);
    }
    return *this;
}

bool temporary_file::write(const char* data, std::size_t length)
{
    std::uint64_t taken = 0;
    if (!good() || !reserve_allows(length, taken))
        return false;
    while (length > 0) {
        const ssize_t done = ::write(descriptor_, data, std::min(length, longest_write));
        if (done < 0) {
            if (errno == EINTR)
                continue;
            const int error = errno;
            written(taken);
            fail(error);
            return false;
        }
        data += done;
        length -= static_cast<std::size_t>(done);
        size_ += static_cast<std::uint64_t>(done);
        if (clock_ && done > 0)
            clock_->store(std::chrono::steady_clock::now().time_since_epoch().count(), std::memory_order_relaxed);
    }
    written(taken);
    return true;
}

bool temporary_file::reserve_allows(std::size_t length, std::uint64_t& taken)
{
    if (!account_)
        return true;  // a file system that cannot be told has no figures either
    if (take_from_account(*account_, descriptor_, size_, length, taken))
        return true;
    fail(reserve_reached);
    return false;
}

// The write that took `length` bytes from the account has ended, however.
void temporary_file::written(std::uint64_t length)
{
    if (!account_)
        return;
    write_ended(*account_, length);
}

void temporary_file::leave_account()
{
    if (!account_)
        return;
    mediacap::leave_account(*account_);
    account_ = nullptr;
}

void temporary_file::fail(int error)
{
    if (error_ == 0)
        error_ = error;
    leave_account();
    if (descriptor_ >= 0)
        ::close(std::exchange(descriptor_, -1));
    if (!named_path_.empty())
        ::unlink(std::exchange(named_path_, {}).c_str());
}

void temporary_file::discard()
{
    fail(ECANCELED);
}

bool temporary_file::close_checked()
{
    // Data that a network file system could not store shows up here.
    leave_account();
    if (::close(std::exchange(descriptor_, -1)) == 0)
        return true;
    fail(errno);
    return false;
}

temporary_file::outcome temporary_file::publish(std::string& path)
{
    if (!good())
        return outcome::write_failed;
    std::string placed;
    if (named_path_.empty()) {
        // The descriptor is the file's only handle: link first, close after.
        const int descriptor = descriptor_;
        const int error = take_free_name(final_path_, placed,
                                         [descriptor](const std::string& name) { return link_unnamed(descriptor, name); });
        if (error != 0) {
            fail(error);
            return outcome::place_failed;
        }
        if (!close_checked()) {
            ::unlink(placed.c_str());
            return outcome::write_failed;
        }
    } else {
        if (!close_checked())
            return outcome::write_failed;
        const std::string& from = named_path_;
        const int error = take_free_name(final_path_, placed,
                                         [&from](const std::string& name) { return rename_exclusive(from, name); });
        if (error != 0) {
            fail(error);
            return outcome::place_failed;
        }
        named_path_.clear();
    }
    path = std::move(placed);
    return outcome::published;
}

std::string temporary_file::failure() const
{
    if (good())
        return {};
    if (error_ == reserve_reached)
        return "free-space reserve reached";
    return std::error_code(error_ != 0 ? error_ : EBADF, std::generic_category()).message();
}

std::string final_name_candidate(const std::string& path, unsigned number)
{
    const std::size_t slash = path.rfind('/');
    const std::size_t start = slash == std::string::npos ? 0 : slash + 1;
    // The usual case: the chosen name is free and short enough as it is.
    if (number == 0 && path.size() - start <= longest_file_name)
        return path;
    const std::string name = path.substr(start);
    std::size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0)
        dot = name.size();
    std::string stem = name.substr(0, dot);
    std::string extension = name.substr(dot);
    const std::string suffix = number == 0 ? std::string() : "-" + std::to_string(number);
    const std::size_t room = longest_file_name - suffix.size();
    if (extension.size() > room) {
        cut_at_character(extension, room);
        stem.clear();
    } else {
        cut_at_character(stem, room - extension.size());
    }
    return path.substr(0, start) + stem + suffix + extension;
}

bool gives_unnamed_files(const std::string& folder)
{
    const int descriptor = ::open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    if (descriptor < 0)
        return false;
    ::close(descriptor);
    return true;
}

unsigned remove_stale_partials(const std::string& folder, unsigned depth)
{
    DIR* listing = ::opendir(folder.c_str());
    if (!listing)
        return 0;
    unsigned removed = 0;
    while (const dirent* entry = ::readdir(listing)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        const std::string path = folder + "/" + name;
        if (const pid_t owner = partial_owner(entry->d_name); owner > 0) {
            if (process_gone(owner) && ::unlink(path.c_str()) == 0)
                ++removed;
            continue;
        }
        if (depth == 0)
            continue;
        bool is_folder = entry->d_type == DT_DIR;
        if (entry->d_type == DT_UNKNOWN) {
            struct stat info {};
            is_folder = ::lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
        }
        if (is_folder)
            removed += remove_stale_partials(path, depth - 1);
    }
    ::closedir(listing);
    return removed;
}

}  // namespace mediacap
