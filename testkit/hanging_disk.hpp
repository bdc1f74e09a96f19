#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct fuse;

namespace test_support {

// A file system in user space, served by this process, that shows the folder
// `backing` at `mount_point` and whose writes can be made to hang the way
// those of a device that stops answering do: the writing thread waits in the
// kernel until the disk is released.
//
// Mounting needs root and /dev/fuse; call it inside a private mount namespace
// (private_mounts.hpp). The destructor releases the held writes and unmounts;
// files still open on the disk must be closed before, or its threads cannot
// end.
class hanging_disk {
public:
    // Mounts the disk; null, with the reason in `why_not`, when it cannot.
    static std::unique_ptr<hanging_disk> mount(const std::string& backing, const std::string& mount_point,
                                               std::string& why_not);
    ~hanging_disk();

    hanging_disk(const hanging_disk&) = delete;
    hanging_disk& operator=(const hanging_disk&) = delete;

    // What hangs: writes into files, the renames and links that put a file
    // in place, the making and removing of folders, or their making alone.
    enum class operations { writes, renames, folders, making_folders };

    // From now on every such operation waits until release().
    void hang(operations which = operations::writes);
    void release();
    // Operations waiting now.
    std::size_t held();
    // From now on writes take their time: `bytes_per_second` for all of
    // them together (0: at full speed).
    void slow(std::size_t bytes_per_second);

    // The file system's side; public for its C callbacks only.
    std::string backing_path(const char* path) const { return backing_ + path; }
    void before(operations which);
    void pace(std::size_t bytes);

private:
    hanging_disk(std::string backing, std::string mount_point);
    void serve();

    std::string backing_;
    std::string mount_point_;
    ::fuse* fuse_ = nullptr;
    unsigned connection_ = 0;  // the kernel's number of the mount's connection
    std::mutex mutex_;
    std::condition_variable changed_;
    bool hanging_ = false;
    operations hung_ = operations::writes;
    std::size_t held_ = 0;
    std::size_t rate_ = 0;
    std::chrono::steady_clock::time_point next_write_;
    std::vector<std::thread> threads_;
};

}  // namespace test_support
