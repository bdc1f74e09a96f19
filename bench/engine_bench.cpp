// Measures the capture path over a pcap file read by libnids in file mode.
//
//   engine_bench --reassemble-only FILE.pcap   libnids alone: both halves of
//                                              every connection collected
//                                              and discarded
//   engine_bench --decode-only FILE.pcap       the capture loop and the HTTP
//                                              decoder, signals counted
//   engine_bench FILE.pcap OUT_FOLDER          the whole engine: every 200
//                                              response with a length and an
//                                              image or video type is captured
//                                              into its own file in OUT_FOLDER
//   engine_bench FILE.pcap OUT_FOLDER --floor  the whole engine, then in the
//                                              same process its floor:
//                                              reassembly alone, and the same
//                                              number of files of the same
//                                              sizes written serially, each
//                                              with one write to a temporary
//                                              name and a rename
//
// Each run ends with one line:
//   mb_per_s=N packets_per_s=N files=N peak_kb=N
// mb_per_s counts the file's bytes (MiB) per second of the run, packets_per_s
// its frames; files is the number of sized response bodies completed; peak_kb
// is the process's peak resident size. The whole engine also prints the most
// out-of-order data libnids held at once, the connection sides it gave up
// at its bounds, and the most charged to the memory budget at once. With
// --floor a last line follows:
//   engine_s=N floor_s=N reassembly_s=N ratio=N
// floor_s is reassembly_s plus the serial writing (write_s, on the line
// before), and ratio is engine_s / floor_s.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <pcap.h>

#include <atomic>
#include <filesystem>

#include "mediacap/decoder/http_decoder.hpp"
#include "mediacap/engine.hpp"
#include "mediacap/nids/decoder_feed.hpp"
#include "mediacap/nids/dispatcher.hpp"

namespace {

struct measured {
    unsigned long long files = 0;
    std::string detail;  // printed before the result line
    std::vector<std::string> kept;  // the files the whole engine put in place
};

double seconds_since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

struct file_facts {
    unsigned long long bytes = 0;
    unsigned long long packets = 0;
};

// Size and frame count of the input, read before the clock starts.
bool inspect(const char* path, file_facts& facts)
{
    struct stat info {};
    if (stat(path, &info) != 0)
        return false;
    facts.bytes = static_cast<unsigned long long>(info.st_size);
    char errbuf[PCAP_ERRBUF_SIZE];
    pcap_t* file = pcap_open_offline(path, errbuf);
    if (!file) {
        std::fprintf(stderr, "%s\n", errbuf);
        return false;
    }
    pcap_pkthdr* header;
    const u_char* data;
    while (pcap_next_ex(file, &header, &data) == 1)
        ++facts.packets;
    pcap_close(file);
    return true;
}

// The capture loop over the file with callbacks that take every byte and
// keep none: libnids' reassembly and the loop's own cost, nothing else.
measured reassemble_only(const char* path)
{
    nids::dispatcher& loop = nids::dispatcher::instance();
    nids::callback_scope scope(loop);
    const auto discard = [](tuple4*, const char*, unsigned length) { return length; };
    loop.request_bytes = discard;
    loop.response_bytes = discard;
    nids::options settings;
    settings.capture_file = path;
    nids::configure(settings);
    loop.run({80, 8080});
    return {};
}

measured decode_only(const char* path)
{
    measured result;
    unsigned long long exchanges = 0, body_bytes = 0, closed = 0;
    mediacap::decoder::http_decoder decoder;
    decoder.exchange_signal.connect([&](unsigned, const mediacap::http::http_tuple&) { ++exchanges; });
    decoder.data_signal.connect([&](unsigned, const char*, unsigned length) { body_bytes += length; });
    decoder.finished_signal.connect([&](unsigned) { ++result.files; });
    decoder.closed_signal.connect([&](unsigned) { ++closed; });

    nids::dispatcher& loop = nids::dispatcher::instance();
    nids::options settings;
    settings.capture_file = path;
    nids::configure(settings);
    {
        nids::decoder_feed feed(loop, decoder);
        loop.run({80, 8080});
    }
    result.detail = "exchanges=" + std::to_string(exchanges) + " body_bytes=" + std::to_string(body_bytes) +
                    " connections=" + std::to_string(closed) + "\n";
    return result;
}

// Captures every complete image or video response; never downloads, so the
// benchmark sends nothing to the addresses in the file.
class capture_everything : public mediacap::handler {
public:
    explicit capture_everything(std::string folder) : folder_(std::move(folder)) {}

    int on_response(const mediacap::http::http_tuple& exchange, std::string& path) override
    {
        const auto& headers = exchange.response.headers;
        const auto type = headers.find("Content-Type");
        if (exchange.response.status != 200 || type == headers.end() ||
            (type->second.rfind("image/", 0) != 0 && type->second.rfind("video/", 0) != 0))
            return ignore;
        path = folder_ + "/" + std::to_string(++next_);
        return capture;
    }
    void on_download_started(unsigned, const mediacap::http::http_tuple&, const std::string&) override {}
    void on_download_progress(unsigned, double, double) override {}
    void on_download_finished(unsigned, const std::string&) override {}
    void on_download_error(unsigned, int, const std::string&) override {}
    void on_capture_started(unsigned, const mediacap::http::http_tuple&, const std::string&) override { ++started; }
    void on_capture_progress(unsigned, double, double) override {}
    void on_capture_finished(unsigned, const std::string& path) override
    {
        ++finished;
        kept.push_back(path);
    }
    void on_capture_error(unsigned, int, const std::string&) override { ++errors; }
    void on_capture_stream_closed(unsigned) override { ++errors; }

    unsigned long long started = 0, finished = 0, errors = 0;
    std::vector<std::string> kept;

private:
    std::string folder_;
    unsigned long long next_ = 0;
};

// Processor seconds of the calling thread.
double thread_cpu_seconds()
{
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    const auto seconds = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Processor seconds of this process's thread named `name`, 0 when none.
double named_thread_cpu_seconds(const std::string& name)
{
    const long ticks = sysconf(_SC_CLK_TCK);
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::FILE* stat = std::fopen((task.path() / "stat").c_str(), "r");
        if (!stat)
            continue;
        char line[1024] = {};
        const bool read = std::fgets(line, sizeof line, stat) != nullptr;
        std::fclose(stat);
        const char* open = std::strchr(line, '(');
        const char* close = std::strrchr(line, ')');
        unsigned long user = 0, system = 0;
        if (read && open && close && std::string(open + 1, close) == name &&
            std::sscanf(close + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &user, &system) == 2)
            return double(user + system) / double(ticks);
    }
    return 0;
}

measured whole_engine(const char* path, const char* out_folder)
{
    std::filesystem::create_directories(out_folder);
    capture_everything handler(out_folder);
    mediacap::engine_options options;
    options.pool_size = 1;
    options.capture_file = path;
    mediacap::engine engine(&options, &handler);
    const double capture_cpu = thread_cpu_seconds();
    engine.run();
    engine.stop();
    measured result;
    result.files = handler.finished;
    char cpu[96];
    std::snprintf(cpu, sizeof cpu, "capture_thread_cpu_s=%.2f writer_thread_cpu_s=%.2f\n",
                  thread_cpu_seconds() - capture_cpu, named_thread_cpu_seconds("capture-writer"));
    result.detail = cpu;
    result.detail += "captures=" + std::to_string(handler.started) + " finished=" + std::to_string(handler.finished) +
                    " failed=" + std::to_string(handler.errors) + "\n";
    const nids::out_of_order_counts held = nids::dispatcher::instance().last_out_of_order();
    result.detail += "out_of_order_peak_kb=" + std::to_string(held.peak_bytes / 1024) +
                     " sides_given_up=" + std::to_string(held.sides_given_up) +
                     " budget_peak_kb=" + std::to_string(nids::dispatcher::instance().budget().peak() / 1024) + "\n";
    result.kept = std::move(handler.kept);
    return result;
}

// The writing half of the floor: files of the given sizes written one after
// another into `folder`, each to a temporary name with one write, closed and
// renamed, as a minimal program would. Returns the seconds taken, or a
// negative number when a file could not be written.
double write_serially(const std::string& folder, const std::vector<off_t>& sizes)
{
    off_t largest = 0;
    for (const off_t size : sizes)
        largest = std::max(largest, size);
    const std::vector<char> bytes(static_cast<std::size_t>(largest), 'x');
    const std::string temporary = folder + "/tmp";
    const auto start = std::chrono::steady_clock::now();
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        const int file = ::open(temporary.c_str(), O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC, 0644);
        if (file < 0)
            return -1;
        const auto size = static_cast<std::size_t>(sizes[i]);
        const bool written = ::write(file, bytes.data(), size) == static_cast<ssize_t>(size);
        if (::close(file) != 0 || !written || ::rename(temporary.c_str(), (folder + "/" + std::to_string(i)).c_str()) != 0)
            return -1;
    }
    return seconds_since(start);
}

// Prints the floor of a whole-engine run that took `engine_s`.
int print_floor(const char* capture, const char* out_folder, const measured& engine, double engine_s)
{
    std::vector<off_t> sizes;
    for (const std::string& path : engine.kept) {
        struct stat info {};
        if (stat(path.c_str(), &info) == 0)
            sizes.push_back(info.st_size);
    }
    const auto start = std::chrono::steady_clock::now();
    reassemble_only(capture);
    const double reassembly_s = seconds_since(start);
    const std::string folder = std::string(out_folder) + "/floor";
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    const double write_s = write_serially(folder, sizes);
    std::filesystem::remove_all(folder);
    if (write_s < 0) {
        std::fprintf(stderr, "cannot write the floor's files in %s\n", folder.c_str());
        return 1;
    }
    const double floor_s = reassembly_s + write_s;
    std::printf("write_s=%.3f files=%zu\n", write_s, sizes.size());
    std::printf("engine_s=%.3f floor_s=%.3f reassembly_s=%.3f ratio=%.2f\n", engine_s, floor_s, reassembly_s,
                engine_s / floor_s);
    return 0;
}

struct mode {
    const char* option;
    std::function<measured(const char* path)> run;
};

const mode modes[] = {
    {"--reassemble-only", reassemble_only},
    {"--decode-only", decode_only},
};

int usage(const char* program)
{
    std::fprintf(stderr,
                 "usage: %s --reassemble-only FILE.pcap\n       %s --decode-only FILE.pcap\n"
                 "       %s FILE.pcap OUT_FOLDER [--floor]\n",
                 program, program, program);
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    const bool floor = argc == 4 && std::strcmp(argv[3], "--floor") == 0;
    if (argc != 3 && !floor)
        return usage(argv[0]);
    const mode* chosen = nullptr;
    for (const mode& m : modes)
        if (std::strcmp(argv[1], m.option) == 0)
            chosen = &m;
    // Without a mode option: FILE.pcap OUT_FOLDER, the whole engine.
    const bool whole = !chosen && argv[1][0] != '-';
    if ((!chosen && !whole) || (floor && !whole))
        return usage(argv[0]);
    const char* capture = whole ? argv[1] : argv[2];

    file_facts facts;
    if (!inspect(capture, facts)) {
        std::fprintf(stderr, "cannot read %s\n", capture);
        return 1;
    }
    try {
        const auto start = std::chrono::steady_clock::now();
        const measured result = whole ? whole_engine(capture, argv[2]) : chosen->run(capture);
        const double seconds = seconds_since(start);
        rusage usage{};
        getrusage(RUSAGE_SELF, &usage);
        std::printf("%sseconds=%.3f bytes=%llu packets=%llu\n", result.detail.c_str(), seconds, facts.bytes,
                    facts.packets);
        std::printf("mb_per_s=%.1f packets_per_s=%.0f files=%llu peak_kb=%ld\n", facts.bytes / 1048576.0 / seconds,
                    facts.packets / seconds, result.files, usage.ru_maxrss);
        if (floor) {
            std::fflush(stdout);
            return print_floor(capture, argv[2], result, seconds);
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}
