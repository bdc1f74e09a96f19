#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

// The world around the whole program in its test: a private network with one
// veth link to a web site that runs in a second network namespace, and an X
// server. Everything here is made at the start of main, before any thread
// exists (unshare() and fork() act on the calling thread only), and dies with
// the test process: the namespaces, and with them the veth pair and the
// addresses, are the kernel's to remove once their last process is gone, so
// nothing is left on the machine even when the test crashes.
namespace e2e {

// The link between the application's namespace and the site's, on a
// documentation range that routes nowhere.
inline constexpr const char* application_interface = "veth-app";
inline constexpr const char* site_interface = "veth-site";
inline constexpr const char* application_address = "192.0.2.1";
inline constexpr const char* site_address = "192.0.2.2";

// One page of the site: the request path it answers on port 80, the file it
// sends as the body (read at each request, so the test may write it after
// the site has started) and its Content-Type.
struct site_page {
    std::string path;
    std::string file;
    std::string content_type;
};

class site_network {
public:
    site_network() = default;
    ~site_network();
    site_network(const site_network&) = delete;
    site_network& operator=(const site_network&) = delete;

    // Moves this process into network and mount namespaces of its own (with a
    // sysfs mounted there, so /sys/class/net lists this namespace's
    // interfaces, as it would on a machine where the link were real), starts
    // the site in a child process in another network namespace, links the two
    // with the veth pair and brings it up. The site appends one line per
    // request ("METHOD target Host") to `request_log`. False, with the reason
    // in failure(), when any step fails (not root, no iproute2, ...).
    bool start(const std::vector<site_page>& pages, const std::string& request_log);
    const std::string& failure() const { return failure_; }

private:
    bool fail(const std::string& text);

    pid_t site_ = -1;
    int control_ = -1;  // the site ends when this closes
    std::string failure_ = "not started";
};

// An Xvfb server of the test's own, with one 1280x800 screen of 24 bits.
class display_server {
public:
    display_server() = default;
    ~display_server();
    display_server(const display_server&) = delete;
    display_server& operator=(const display_server&) = delete;

    // Starts the server and waits until it accepts clients; false, with the
    // reason in failure(), when it cannot start.
    bool start();
    // ":N", for DISPLAY.
    const std::string& display() const { return display_; }
    const std::string& failure() const { return failure_; }

private:
    pid_t server_ = -1;
    std::string display_;
    std::string failure_ = "not started";
};

}  // namespace e2e
