#include "tests/support/network_namespace.hpp"

#include <cerrno>
#include <cstring>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace test_support {
namespace {

bool ready = false;
std::string failure = "enter_private_network() was not called";

bool fail(std::string& why_not, const std::string& text)
{
    why_not = text;
    failure = text;
    ready = false;
    return false;
}

}  // namespace

bool enter_private_network(std::string& why_not)
{
    if (geteuid() != 0)
        return fail(why_not, "not running as root");
    if (unshare(CLONE_NEWNET) != 0)
        return fail(why_not, std::string("unshare(CLONE_NEWNET): ") + std::strerror(errno));

    // A new namespace has only "lo", and it is down.
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return fail(why_not, std::string("socket: ") + std::strerror(errno));
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    bool up = ioctl(fd, SIOCGIFFLAGS, &request) == 0;
    if (up) {
        request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP | IFF_RUNNING);
        up = ioctl(fd, SIOCSIFFLAGS, &request) == 0;
    }
    const int saved_errno = errno;
    ::close(fd);
    if (!up)
        return fail(why_not, std::string("bringing lo up: ") + std::strerror(saved_errno));

    why_not.clear();
    failure.clear();
    ready = true;
    return true;
}

bool private_network_ready()
{
    return ready;
}

const std::string& private_network_failure()
{
    return failure;
}

}  // namespace test_support
