#define FUSE_USE_VERSION 31

#include "testkit/hanging_disk.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <fuse.h>
#include <fuse_lowlevel.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <utility>

namespace test_support {

namespace {

// Requests served at once: a write that hangs holds one of them.
constexpr int serving_threads = 4;

hanging_disk& disk()
{
    return *static_cast<hanging_disk*>(fuse_get_context()->private_data);
}

std::string real(const char* path)
{
    return disk().backing_path(path);
}

int result(int value)
{
    return value < 0 ? -errno : 0;
}

void* on_init(fuse_conn_info*, fuse_config* config)
{
    // An unlinked open file goes at once, as on a local disk.
    config->hard_remove = 1;
    return fuse_get_context()->private_data;
}

int on_getattr(const char* path, struct stat* info, fuse_file_info* file)
{
    return result(file ? ::fstat(static_cast<int>(file->fh), info) : ::lstat(real(path).c_str(), info));
}

int on_readdir(const char* path, void* buffer, fuse_fill_dir_t fill, off_t, fuse_file_info*, fuse_readdir_flags)
{
    DIR* listing = ::opendir(real(path).c_str());
    if (!listing)
        return -errno;
    while (const dirent* entry = ::readdir(listing))
        fill(buffer, entry->d_name, nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    ::closedir(listing);
    return 0;
}

int on_mkdir(const char* path, mode_t mode)
{
    disk().before(hanging_disk::operations::folders);
    disk().before(hanging_disk::operations::making_folders);
    return result(::mkdir(real(path).c_str(), mode));
}

int on_unlink(const char* path)
{
    return result(::unlink(real(path).c_str()));
}

int on_rmdir(const char* path)
{
    disk().before(hanging_disk::operations::folders);
    return result(::rmdir(real(path).c_str()));
}

int on_rename(const char* from, const char* to, unsigned int flags)
{
    disk().before(hanging_disk::operations::renames);
    return result(::renameat2(AT_FDCWD, real(from).c_str(), AT_FDCWD, real(to).c_str(), flags));
}

int on_link(const char* from, const char* to)
{
    disk().before(hanging_disk::operations::renames);
    return result(::link(real(from).c_str(), real(to).c_str()));
}

int on_truncate(const char* path, off_t size, fuse_file_info* file)
{
    return result(file ? ::ftruncate(static_cast<int>(file->fh), size) : ::truncate(real(path).c_str(), size));
}

int on_open(const char* path, fuse_file_info* file)
{
    const int descriptor = ::open(real(path).c_str(), file->flags);
    if (descriptor < 0)
        return -errno;
    file->fh = static_cast<std::uint64_t>(descriptor);
    return 0;
}

int on_create(const char* path, mode_t mode, fuse_file_info* file)
{
    const int descriptor = ::open(real(path).c_str(), file->flags, mode);
    if (descriptor < 0)
        return -errno;
    file->fh = static_cast<std::uint64_t>(descriptor);
    return 0;
}

int on_read(const char*, char* buffer, size_t size, off_t offset, fuse_file_info* file)
{
    const ssize_t done = ::pread(static_cast<int>(file->fh), buffer, size, offset);
    return done < 0 ? -errno : static_cast<int>(done);
}

int on_write(const char*, const char* data, size_t size, off_t offset, fuse_file_info* file)
{
    disk().before(hanging_disk::operations::writes);
    disk().pace(size);
    const ssize_t done = ::pwrite(static_cast<int>(file->fh), data, size, offset);
    return done < 0 ? -errno : static_cast<int>(done);
}

int on_statfs(const char* path, struct statvfs* info)
{
    return result(::statvfs(real(path).c_str(), info));
}

int on_flush(const char*, fuse_file_info*)
{
    return 0;
}

int on_release(const char*, fuse_file_info* file)
{
    return result(::close(static_cast<int>(file->fh)));
}

int on_fsync(const char*, int, fuse_file_info* file)
{
    return result(::fsync(static_cast<int>(file->fh)));
}

fuse_operations served_operations()
{
    fuse_operations ops{};
    ops.init = on_init;
    ops.getattr = on_getattr;
    ops.readdir = on_readdir;
    ops.mkdir = on_mkdir;
    ops.unlink = on_unlink;
    ops.rmdir = on_rmdir;
    ops.rename = on_rename;
    ops.link = on_link;
    ops.truncate = on_truncate;
    ops.open = on_open;
    ops.create = on_create;
    ops.read = on_read;
    ops.write = on_write;
    ops.statfs = on_statfs;
    ops.flush = on_flush;
    ops.release = on_release;
    ops.fsync = on_fsync;
    return ops;
}

}  // namespace

hanging_disk::hanging_disk(std::string backing, std::string mount_point)
    : backing_(std::move(backing)), mount_point_(std::move(mount_point))
{
}

std::unique_ptr<hanging_disk> hanging_disk::mount(const std::string& backing, const std::string& mount_point,
                                                  std::string& why_not)
{
    if (::access("/dev/fuse", R_OK | W_OK) != 0) {
        why_not = std::string("/dev/fuse: ") + std::strerror(errno);
        return nullptr;
    }
    std::unique_ptr<hanging_disk> made(new hanging_disk(backing, mount_point));
    char name[] = "vendrax-hanging-disk";
    char* argv[] = {name, nullptr};
    fuse_args args = FUSE_ARGS_INIT(1, argv);
    const fuse_operations ops = served_operations();
    made->fuse_ = fuse_new(&args, &ops, sizeof ops, made.get());
    fuse_opt_free_args(&args);
    if (!made->fuse_) {
        why_not = "fuse_new failed";
        return nullptr;
    }
    if (fuse_mount(made->fuse_, mount_point.c_str()) != 0) {
        why_not = "fuse_mount failed on " + mount_point;
        fuse_destroy(std::exchange(made->fuse_, nullptr));
        return nullptr;
    }
    for (int i = 0; i < serving_threads; ++i)
        made->threads_.emplace_back([disk = made.get()] { disk->serve(); });
    struct stat info {};
    if (::stat(mount_point.c_str(), &info) == 0)
        made->connection_ = minor(info.st_dev);
    return made;
}

void hanging_disk::serve()
{
    fuse_session* session = fuse_get_session(fuse_);
    fuse_buf buffer{};
    while (!fuse_session_exited(session)) {
        const int received = fuse_session_receive_buf(session, &buffer);
        if (received == -EINTR)
            continue;
        if (received <= 0)
            break;
        fuse_session_process_buf(session, &buffer);
    }
    std::free(buffer.mem);
}

hanging_disk::~hanging_disk()
{
    release();
    // The kernel ends every wait for a request once the connection goes: at
    // the unmount when nothing is open on the disk any more, or at once
    // through the connection's abort file where fusectl is mounted. Only
    // then is the descriptor closed (by fuse_unmount), never under a read.
    ::umount2(mount_point_.c_str(), MNT_DETACH);
    const std::string abort = "/sys/fs/fuse/connections/" + std::to_string(connection_) + "/abort";
    if (FILE* file = std::fopen(abort.c_str(), "w")) {
        std::fputs("1", file);
        std::fclose(file);
    }
    fuse_session_exit(fuse_get_session(fuse_));
    for (auto& thread : threads_)
        thread.join();
    fuse_unmount(fuse_);
    fuse_destroy(fuse_);
}

void hanging_disk::hang(operations which)
{
    const std::lock_guard lock(mutex_);
    hanging_ = true;
    hung_ = which;
}

void hanging_disk::release()
{
    {
        const std::lock_guard lock(mutex_);
        hanging_ = false;
    }
    changed_.notify_all();
}

std::size_t hanging_disk::held()
{
    const std::lock_guard lock(mutex_);
    return held_;
}

void hanging_disk::slow(std::size_t bytes_per_second)
{
    const std::lock_guard lock(mutex_);
    rate_ = bytes_per_second;
}

void hanging_disk::pace(std::size_t bytes)
{
    std::unique_lock lock(mutex_);
    if (rate_ == 0)
        return;
    next_write_ = std::max(next_write_, std::chrono::steady_clock::now()) +
                  std::chrono::nanoseconds(bytes * 1000000000ull / rate_);
    const auto done = next_write_;
    lock.unlock();
    std::this_thread::sleep_until(done);
}

void hanging_disk::before(operations which)
{
    std::unique_lock lock(mutex_);
    if (!hanging_ || hung_ != which)
        return;
    ++held_;
    changed_.wait(lock, [this] { return !hanging_; });
    --held_;
}

}  // namespace test_support
