// The parts of the live benchmark (bench/live.sh), one program with four
// commands:
//
//   live_bench serve ADDRESS PORT
//       An HTTP/1.1 server with kept-alive connections, a thread for each.
//       GET /SIZE-SEED.jpg answers 200, image/jpeg, SIZE bytes that SEED
//       picks from a pool of random bytes. Runs until killed.
//   live_bench fetch ADDRESS PORT CLIENTS MIB_PER_S SECONDS MIN MAX LIST
//       CLIENTS kept-alive connections that together ask for MIB_PER_S of
//       bodies of MIN to MAX bytes, each request sent at its time (a client
//       that falls behind sends at once), for SECONDS. Writes the name of
//       every body received whole into LIST, one a line, and prints
//       fetched=N mib=N seconds=N mib_per_s=N
//   live_bench burst ADDRESS PORT CONNECTIONS MIN MAX LIST
//       CONNECTIONS new connections at once, each asking for one body of
//       MIN to MAX bytes, as a page that starts many videos does. Writes
//       LIST and prints a line as fetch does.
//   live_bench capture DEVICE OUT_FOLDER
//       The whole engine live on DEVICE, keeping every image/jpeg response
//       in OUT_FOLDER under its request's name, until SIGINT or SIGTERM.
//       Prints "ready" once capturing, and at the end
//       kept=N failed=N received=N dropped=N interface_dropped=N
//       (packet counts of libpcap).
//   live_bench check OUT_FOLDER LIST
//       Prints kept_exact=N fetched=N: how many of the bodies in LIST lie
//       in OUT_FOLDER byte for byte.
//   live_bench buffer DEVICE
//       Prints the size in KiB of the kernel buffer that the engine's
//       capture takes on DEVICE (for tcpdump -B).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "mediacap/engine.hpp"
#include "mediacap/nids/dispatcher.hpp"
#include "mediacap/nids/kernel_buffer.hpp"

namespace {

using clock_type = std::chrono::steady_clock;

constexpr std::size_t pool_size = std::size_t(64) << 20;
constexpr std::size_t largest_body = std::size_t(16) << 20;

// The bytes every body is cut from, the same in every process.
const std::vector<char>& pool()
{
    static const std::vector<char> bytes = [] {
        std::vector<char> made(pool_size);
        std::uint64_t state = 0x9e3779b97f4a7c15ull;
        for (std::size_t i = 0; i + 8 <= made.size(); i += 8) {
            state ^= state << 13;
            state ^= state >> 7;
            state ^= state << 17;
            std::memcpy(made.data() + i, &state, 8);
        }
        return made;
    }();
    return bytes;
}

const char* body_of(std::size_t size, std::uint64_t seed)
{
    return pool().data() + (seed * 4099 + size) % (pool_size - size + 1);
}

std::string name_of(std::size_t size, std::uint64_t seed)
{
    return std::to_string(size) + "-" + std::to_string(seed) + ".jpg";
}

bool send_all(int socket, const char* data, std::size_t length)
{
    while (length > 0) {
        const ssize_t sent = ::send(socket, data, length, MSG_NOSIGNAL);
        if (sent <= 0)
            return false;
        data += sent;
        length -= static_cast<std::size_t>(sent);
    }
    return true;
}

sockaddr_in address_of(const char* host, int port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    ::inet_pton(AF_INET, host, &address.sin_addr);
    return address;
}

void serve_connection(int socket)
{
    std::string pending;
    char buffer[65536];
    for (;;) {
        std::size_t end;
        while ((end = pending.find("\r\n\r\n")) == std::string::npos) {
            const ssize_t got = ::recv(socket, buffer, sizeof buffer, 0);
            if (got <= 0) {
                ::close(socket);
                return;
            }
            pending.append(buffer, static_cast<std::size_t>(got));
        }
        const std::string head = pending.substr(0, end);
        pending.erase(0, end + 4);
        std::size_t size = 0;
        unsigned long long seed = 0;
        const std::size_t slash = head.find(" /");
        if (slash == std::string::npos || std::sscanf(head.c_str() + slash + 2, "%zu-%llu.jpg", &size, &seed) != 2 ||
            size > largest_body) {
            static const char missing[] = "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n";
            if (!send_all(socket, missing, sizeof missing - 1))
                break;
            continue;
        }
        const std::string answer = "HTTP/1.1 200 OK\r\nContent-Type: image/jpeg\r\nContent-Length: " +
                                   std::to_string(size) + "\r\n\r\n";
        if (!send_all(socket, answer.data(), answer.size()) || !send_all(socket, body_of(size, seed), size))
            break;
    }
    ::close(socket);
}

int serve(const char* host, int port)
{
    pool();
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    const int yes = 1;
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    const sockaddr_in address = address_of(host, port);
    if (::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener, 64) != 0) {
        std::perror("serve");
        return 1;
    }
    std::printf("serving\n");
    std::fflush(stdout);
    for (;;) {
        const int connection = ::accept(listener, nullptr, nullptr);
        if (connection >= 0)
            std::thread(serve_connection, connection).detach();
    }
}

struct fetch_result {
    std::vector<std::string> names;
    std::uint64_t bytes = 0;
};

// One kept-alive client: asks for `share` bytes per second in bodies of
// `low` to `high` bytes until `deadline`, or until it has asked for `most`.
void fetch_on_one(const sockaddr_in& address, double share, std::size_t low, std::size_t high, unsigned number,
                  clock_type::time_point deadline, fetch_result& result, std::uint64_t most = UINT64_MAX)
{
    const int socket = ::socket(AF_INET, SOCK_STREAM, 0);
    if (::connect(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(socket);
        return;
    }
    std::uint64_t state = 0x2545f4914f6cdd1dull + number;
    std::vector<char> buffer(1 << 20);
    auto due = clock_type::now();
    for (std::uint64_t count = 0; count < most && clock_type::now() < deadline; ++count) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        const std::size_t size = low + state % (high - low + 1);
        const std::uint64_t seed = (std::uint64_t(number) << 32) | count;
        std::this_thread::sleep_until(due);
        due = std::max(due + std::chrono::duration_cast<clock_type::duration>(std::chrono::duration<double>(size / share)),
                       clock_type::now() - std::chrono::milliseconds(50));
        const std::string request = "GET /" + name_of(size, seed) + " HTTP/1.1\r\nHost: media.example\r\n\r\n";
        if (!send_all(socket, request.data(), request.size()))
            break;
        // The head, then exactly the announced body.
        std::string head;
        std::size_t body_left = 0;
        bool whole = false;
        for (;;) {
            const ssize_t got = ::recv(socket, buffer.data(), buffer.size(), 0);
            if (got <= 0)
                break;
            head.append(buffer.data(), static_cast<std::size_t>(got));
            const std::size_t end = head.find("\r\n\r\n");
            if (end == std::string::npos)
                continue;
            const std::size_t length_at = head.find("Content-Length: ");
            body_left = length_at < end ? std::strtoull(head.c_str() + length_at + 16, nullptr, 10) : 0;
            const std::size_t already = head.size() - end - 4;
            body_left -= std::min(body_left, already);
            whole = true;
            break;
        }
        while (whole && body_left > 0) {
            const ssize_t got = ::recv(socket, buffer.data(), std::min(buffer.size(), body_left), 0);
            if (got <= 0) {
                whole = false;
                break;
            }
            body_left -= static_cast<std::size_t>(got);
        }
        if (!whole)
            break;
        result.names.push_back(name_of(size, seed));
        result.bytes += size;
    }
    ::close(socket);
}

// `clients` clients that ask for `rate` bytes per second together for
// `seconds`, each for `most` bodies at most; writes the list and the line.
int fetch_all(const sockaddr_in& address, unsigned clients, double rate, double seconds, std::size_t low,
              std::size_t high, const char* list_path, std::uint64_t most)
{
    const auto start = clock_type::now();
    const auto deadline = start + std::chrono::duration_cast<clock_type::duration>(std::chrono::duration<double>(seconds));
    std::vector<fetch_result> results(clients);
    std::vector<std::thread> threads;
    for (unsigned i = 0; i < clients; ++i)
        threads.emplace_back(fetch_on_one, std::cref(address), rate / clients, low, high, i, deadline,
                             std::ref(results[i]), most);
    for (auto& thread : threads)
        thread.join();
    const double took = std::chrono::duration<double>(clock_type::now() - start).count();
    std::ofstream list(list_path);
    std::size_t fetched = 0;
    std::uint64_t bytes = 0;
    for (const auto& result : results) {
        for (const auto& name : result.names)
            list << name << "\n";
        fetched += result.names.size();
        bytes += result.bytes;
    }
    std::printf("fetched=%zu mib=%.1f seconds=%.2f mib_per_s=%.1f\n", fetched, bytes / 1048576.0, took,
                bytes / 1048576.0 / took);
    return 0;
}

int fetch(char** argv)
{
    const auto low = static_cast<std::size_t>(std::atoll(argv[5]));
    return fetch_all(address_of(argv[0], std::atoi(argv[1])), static_cast<unsigned>(std::max(1, std::atoi(argv[2]))),
                     std::atof(argv[3]) * 1048576.0, std::atof(argv[4]), low,
                     std::min(largest_body, std::max(low, static_cast<std::size_t>(std::atoll(argv[6])))), argv[7],
                     UINT64_MAX);
}

// One body on each connection, all asked for at once (no pacing: a rate far
// beyond any link), within a minute.
int burst(char** argv)
{
    const auto low = static_cast<std::size_t>(std::atoll(argv[3]));
    return fetch_all(address_of(argv[0], std::atoi(argv[1])), static_cast<unsigned>(std::max(1, std::atoi(argv[2]))),
                     1e15, 60, low, std::min(largest_body, std::max(low, static_cast<std::size_t>(std::atoll(argv[4])))),
                     argv[5], 1);
}

// Keeps every image/jpeg response under its request's name; never downloads.
class keep_images : public mediacap::handler {
public:
    explicit keep_images(std::string folder) : folder_(std::move(folder)) {}

    int on_response(const mediacap::http::http_tuple& exchange, std::string& path) override
    {
        const auto type = exchange.response.headers.find("Content-Type");
        if (exchange.response.status != 200 || type == exchange.response.headers.end() ||
            type->second != "image/jpeg")
            return ignore;
        path = folder_ + exchange.request.path;
        return capture;
    }
    void on_download_started(unsigned, const mediacap::http::http_tuple&, const std::string&) override {}
    void on_download_progress(unsigned, double, double) override {}
    void on_download_finished(unsigned, const std::string&) override {}
    void on_download_error(unsigned, int, const std::string&) override {}
    void on_capture_started(unsigned, const mediacap::http::http_tuple&, const std::string&) override {}
    void on_capture_progress(unsigned, double, double) override {}
    void on_capture_finished(unsigned, const std::string&) override { ++kept; }
    void on_capture_error(unsigned, int code, const std::string&) override
    {
        ++failed;
        ++codes[code >= 0 && code < 8 ? code : 0];
    }
    void on_capture_stream_closed(unsigned) override { ++failed; }

    unsigned long kept = 0, failed = 0;
    unsigned long codes[8] = {};

private:
    std::string folder_;
};

int capture(const char* device, const char* folder)
{
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    keep_images handler(folder);
    mediacap::engine_options options;
    options.device = device;
    options.pool_size = 1;
    mediacap::engine engine(&options, &handler);
    std::atomic<bool> failed{false};
    std::thread run([&] {
        try {
            engine.run();
        } catch (const std::exception& e) {
            std::fprintf(stderr, "%s\n", e.what());
            failed = true;
        }
    });
    std::printf("ready\n");
    std::fflush(stdout);
    int received = 0;
    sigwait(&signals, &received);
    engine.stop();
    run.join();
    if (failed)
        return 1;
    const auto counts = nids::dispatcher::instance().last_counts().value_or(nids::capture_counts{});
    std::printf("kept=%lu failed=%lu (write %lu, inflate %lu, cut %lu) received=%u dropped=%u interface_dropped=%u\n",
                handler.kept, handler.failed, handler.codes[1], handler.codes[4], handler.codes[5], counts.received,
                counts.dropped, counts.interface_dropped);
    return 0;
}

int check(const char* folder, const char* list_path)
{
    std::ifstream list(list_path);
    std::string name;
    std::size_t fetched = 0, exact = 0;
    std::vector<char> bytes;
    while (std::getline(list, name)) {
        ++fetched;
        std::size_t size = 0;
        unsigned long long seed = 0;
        if (std::sscanf(name.c_str(), "%zu-%llu.jpg", &size, &seed) != 2)
            continue;
        std::ifstream kept(std::string(folder) + "/" + name, std::ios::binary);
        bytes.assign(size + 1, 0);
        kept.read(bytes.data(), static_cast<std::streamsize>(size + 1));
        exact += static_cast<std::size_t>(kept.gcount()) == size && std::memcmp(bytes.data(), body_of(size, seed), size) == 0;
    }
    std::printf("kept_exact=%zu fetched=%zu\n", exact, fetched);
    return 0;
}

int usage()
{
    std::fprintf(stderr, "usage: live_bench serve ADDRESS PORT\n"
                         "       live_bench fetch ADDRESS PORT CLIENTS MIB_PER_S SECONDS MIN MAX LIST\n"
                         "       live_bench capture DEVICE OUT_FOLDER\n"
                         "       live_bench burst ADDRESS PORT CONNECTIONS MIN MAX LIST\n"
                         "       live_bench check OUT_FOLDER LIST\n"
                         "       live_bench buffer DEVICE\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "serve" && argc == 4)
        return serve(argv[2], std::atoi(argv[3]));
    if (command == "fetch" && argc == 10)
        return fetch(argv + 2);
    if (command == "capture" && argc == 4)
        return capture(argv[2], argv[3]);
    if (command == "burst" && argc == 8)
        return burst(argv + 2);
    if (command == "check" && argc == 4)
        return check(argv[2], argv[3]);
    if (command == "buffer" && argc == 3) {
        std::printf("%d\n", nids::kernel_buffer_bytes_for(argv[2]) / 1024);
        return 0;
    }
    return usage();
}
