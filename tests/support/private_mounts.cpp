#include "tests/support/private_mounts.hpp"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace test_support {
namespace {

bool ready = false;
std::string failure = "enter_private_mounts() was not called";

bool fail(std::string& why_not, const std::string& what)
{
    why_not = what + ": " + std::strerror(errno);
    return false;
}

}  // namespace

bool enter_private_mounts(std::string& why_not)
{
    ready = false;
    if (geteuid() != 0) {
        failure = why_not = "not running as root";
        return false;
    }
    // Without MS_PRIVATE a mount made here would still propagate to the
    // machine's namespace through the shared root.
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        fail(why_not, "unshare(CLONE_NEWNS)");
        failure = why_not;
        return false;
    }
    why_not.clear();
    failure.clear();
    ready = true;
    return true;
}

bool private_mounts_ready()
{
    return ready;
}

const std::string& private_mounts_failure()
{
    return failure;
}

bool mount_small_disk(const std::string& folder, std::size_t bytes, std::string& why_not)
{
    const std::string options = "size=" + std::to_string(bytes) + ",mode=0755";
    if (mount("vendrax-test", folder.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) != 0)
        return fail(why_not, "mounting a tmpfs at " + folder);
    return true;
}

bool fill_disk(const std::string& folder)
{
    const std::string path = folder + "/filler";
    const int descriptor = open(path.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
    if (descriptor < 0)
        return false;
    struct statvfs info {};
    bool filled = fstatvfs(descriptor, &info) == 0 &&
                  posix_fallocate(descriptor, 0, off_t(info.f_bavail) * off_t(info.f_frsize)) == 0 &&
                  fstatvfs(descriptor, &info) == 0 && info.f_bavail == 0;
    close(descriptor);
    return filled;
}

}  // namespace test_support
