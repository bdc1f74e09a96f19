#include "tests/e2e/test_network.hpp"

#include "tests/support/http_server.hpp"
#include "tests/support/network_namespace.hpp"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fstream>
#include <iterator>
#include <mutex>

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace e2e {
namespace {

std::string errno_text(const char* what)
{
    return std::string(what) + ": " + std::strerror(errno);
}

// Runs one shell command line (iproute2); true when it exited with 0. Its
// output goes to the test's own standard error, so a failure explains itself.
bool run(const std::string& command)
{
    const int status = std::system(command.c_str());
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void write_all(int fd, const std::string& text)
{
    std::size_t sent = 0;
    while (sent < text.size()) {
        const ssize_t written = ::write(fd, text.data() + sent, text.size() - sent);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return;
        sent += std::size_t(written);
    }
}

// Reads one line (without its end) from `fd`, waiting at most `limit_ms`
// for each piece; false on end of file, an error or the time running out.
bool read_line(int fd, std::string& line, int limit_ms)
{
    line.clear();
    for (;;) {
        pollfd ready{fd, POLLIN, 0};
        const int polled = ::poll(&ready, 1, limit_ms);
        if (polled < 0 && errno == EINTR)
            continue;
        if (polled <= 0)
            return false;
        char c;
        const ssize_t got = ::read(fd, &c, 1);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        if (c == '\n')
            return true;
        line.push_back(c);
    }
}

std::string read_file(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// The site process: a network namespace of its own, its end of the link, and
// the web server on port 80 until the test closes `control` (or dies, which
// closes it too). Reports "ok" or the failure on `report`. Never returns.
[[noreturn]] void run_site(int control, int report, const std::vector<site_page>& pages,
                           const std::string& request_log)
{
    // Should the test be killed, the site goes with it.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() == 1)
        _exit(1);
    if (::unshare(CLONE_NEWNET) != 0) {
        write_all(report, errno_text("unshare(CLONE_NEWNET) for the site") + "\n");
        _exit(1);
    }
    write_all(report, "namespace\n");

    // The test moves the far end of the veth pair in here, then says so.
    std::string line;
    if (!read_line(control, line, 20000) || line != "linked")
        _exit(1);
    const std::string address = std::string(site_address) + "/24";
    if (!run("ip link set lo up") || !run("ip addr add " + address + " dev " + site_interface)
        || !run(std::string("ip link set ") + site_interface + " up")) {
        write_all(report, "configuring the site's end of the link failed\n");
        _exit(1);
    }

    try {
        std::mutex log_lock;
        test_support::http_server server(80, site_address);
        for (const site_page& page : pages) {
            server.route(page.path, [&page, &request_log, &log_lock](const test_support::received_request& request) {
                {
                    std::lock_guard<std::mutex> guard(log_lock);
                    std::ofstream log(request_log, std::ios::app);
                    log << request.method << ' ' << request.target << ' ' << request.header("Host") << '\n';
                }
                test_support::http_reply reply(read_file(page.file));
                reply.headers = {{"Content-Type", page.content_type}};
                return reply;
            });
        }
        write_all(report, "ok\n");
        // Serve until the test closes its end of the control pipe.
        char byte;
        while (::read(control, &byte, 1) < 0 && errno == EINTR) {
        }
    } catch (const std::exception& error) {
        write_all(report, std::string("web server: ") + error.what() + "\n");
        _exit(1);
    }
    _exit(0);
}

}  // namespace

bool site_network::fail(const std::string& text)
{
    failure_ = text;
    return false;
}

bool site_network::start(const std::vector<site_page>& pages, const std::string& request_log)
{
    std::string why_not;
    if (!test_support::enter_private_network(why_not))
        return fail("needs root and a private network namespace: " + why_not);

    // sysfs shows the interfaces of the namespace that mounted it: a fresh
    // mount in a private mount namespace lists the veth end, as the capture
    // device list expects of a real interface.
    if (::unshare(CLONE_NEWNS) != 0)
        return fail(errno_text("unshare(CLONE_NEWNS)"));
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return fail(errno_text("making the mounts private"));
    if (::mount("sysfs", "/sys", "sysfs", 0, nullptr) != 0)
        return fail(errno_text("mounting sysfs"));

    int to_site[2], from_site[2];
    if (::pipe2(to_site, O_CLOEXEC) != 0 || ::pipe2(from_site, O_CLOEXEC) != 0)
        return fail(errno_text("pipe2"));
    site_ = ::fork();
    if (site_ < 0)
        return fail(errno_text("fork"));
    if (site_ == 0) {
        ::close(to_site[1]);
        ::close(from_site[0]);
        run_site(to_site[0], from_site[1], pages, request_log);
    }
    ::close(to_site[0]);
    ::close(from_site[1]);
    control_ = to_site[1];
    const int report = from_site[0];

    std::string line;
    bool linked = read_line(report, line, 20000) && line == "namespace";
    if (!linked) {
        ::close(report);
        return fail("the site process did not start: " + line);
    }
    const std::string address = std::string(application_address) + "/24";
    linked = run(std::string("ip link add ") + application_interface + " type veth peer name " + site_interface
                 + " netns " + std::to_string(site_))
        && run("ip addr add " + address + " dev " + application_interface)
        && run(std::string("ip link set ") + application_interface + " up");
    if (!linked) {
        ::close(report);
        return fail("making the veth link failed (is iproute2 installed?)");
    }
    write_all(control_, "linked\n");
    const bool serving = read_line(report, line, 20000) && line == "ok";
    ::close(report);
    if (!serving)
        return fail("the site did not start serving: " + line);
    failure_.clear();
    return true;
}

site_network::~site_network()
{
    if (site_ <= 0)
        return;
    // Closing the control pipe ends the site's server; it then exits.
    if (control_ >= 0)
        ::close(control_);
    int status = 0;
    while (::waitpid(site_, &status, 0) < 0 && errno == EINTR) {
    }
}

bool display_server::start()
{
    int ready[2];
    if (::pipe2(ready, O_CLOEXEC) != 0) {
        failure_ = errno_text("pipe2");
        return false;
    }
    server_ = ::fork();
    if (server_ < 0) {
        failure_ = errno_text("fork");
        return false;
    }
    if (server_ == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        ::close(ready[0]);
        // Xvfb writes its display number to this descriptor once it accepts
        // clients, so it must survive the exec.
        ::fcntl(ready[1], F_SETFD, 0);
        const int quiet = ::open("/dev/null", O_WRONLY);
        if (quiet >= 0) {
            ::dup2(quiet, STDOUT_FILENO);
            ::dup2(quiet, STDERR_FILENO);
        }
        const std::string fd = std::to_string(ready[1]);
        ::execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1280x800x24", "-nolisten", "tcp",
                 static_cast<char*>(nullptr));
        _exit(127);
    }
    ::close(ready[1]);
    std::string number;
    const bool started = read_line(ready[0], number, 20000) && !number.empty();
    ::close(ready[0]);
    if (!started) {
        failure_ = "Xvfb did not start";
        return false;
    }
    display_ = ":" + number;
    failure_.clear();
    return true;
}

display_server::~display_server()
{
    if (server_ <= 0)
        return;
    ::kill(server_, SIGTERM);
    int status = 0;
    while (::waitpid(server_, &status, 0) < 0 && errno == EINTR) {
    }
}

}  // namespace e2e
