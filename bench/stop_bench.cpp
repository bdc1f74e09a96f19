// Measures the window's Stop (CaptureEngine::stopAndDestroy) while the data
// folder's storage hangs in the removal of the empty folders, over many
// periods of monitoring. Today's day folder is a disk that hangs
// (testkit/hanging_disk); each round makes a period, files a kept image
// (status 200, image/png, 9000 bytes) so that its site folder is made on
// that disk, makes the disk's folder operations hang and times the Stop,
// then lets the disk answer again and waits for every thread the period
// left behind before the next round. The rounds take turns: the period's
// thread started just before (the Stop then races its start: before,
// during or after the engine is built) or never started; and the image's
// transfer never started, still running at the Stop, ended just before the
// disk hung (its folder's removal races the hang) or ended once it hung (the
// removal then waits for the disk).
//
//   stop_bench [ROUNDS]        (default 100; as root, see bench/stop.sh)
//
// Needs root and a mount namespace of its own (the disk is mounted there).
// It starts the periods' threads, which capture on "lo", only in a network
// namespace of its own; elsewhere no period is started. Prints a line
//   rounds=N started=N held=N left_running=N
// (held: rounds whose Stop found a folder removal held by the disk;
// left_running: rounds whose Stop left the period's thread to end on its
// own), then ends with one line, in milliseconds:
//   stop_ms worst=N median=N p90=N over500=N of N
#include <QCoreApplication>
#include <QDate>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QPointer>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "CaptureEngine.h"
#include "VendraxResources.h"
#include "mediacap/http/http_tuple.hpp"
#include "testkit/hanging_disk.hpp"

namespace {

using test_support::hanging_disk;
using Clock = std::chrono::steady_clock;

// True when this process's namespace of `kind` ("net", "mnt") is not the one
// of the process that started it (bench/stop.sh makes it with unshare).
bool namespaceOfItsOwn(const char* kind)
{
    struct stat own {}, parent {};
    const std::string name = std::string("/ns/") + kind;
    if (::stat(("/proc/self" + name).c_str(), &own) != 0
        || ::stat(("/proc/" + std::to_string(::getppid()) + name).c_str(), &parent) != 0)
        return false;
    return own.st_ino != parent.st_ino || own.st_dev != parent.st_dev;
}

// What the decoder hands the handler for an image a browser fetched.
mediacap::http::http_tuple keptImage()
{
    mediacap::http::http_request request;
    request.server_address = "127.0.0.1";
    request.server_port = 80;
    request.method = "GET";
    request.path = "/gallery/stop-bench.png";
    request.headers.emplace("Host", "images.stopbench.test");
    mediacap::http::http_response response;
    response.status = 200;
    response.headers.emplace("Content-Type", "image/png");
    response.headers.emplace("Content-Length", "9000");
    return {request, response};
}

// Lets the disk answer again when a round has kept it hanging for 30 s: a
// Stop that waits for the disk then shows as a slow round instead of holding
// the benchmark for good (a process killed while its own disk holds one of
// its threads cannot end).
class Watchdog {
public:
    explicit Watchdog(hanging_disk& disk)
        : thread([this, &disk] {
              std::unique_lock lock(mutex);
              while (!over) {
                  changed.wait(lock, [this] { return armed || over; });
                  if (!changed.wait_for(lock, std::chrono::seconds(30), [this] { return !armed || over; })) {
                      disk.release();
                      armed = false;
                  }
              }
          })
    {
    }
    ~Watchdog()
    {
        set(over, true);
        thread.join();
    }
    void arm() { set(armed, true); }
    void disarm() { set(armed, false); }

private:
    void set(bool& flag, bool value)
    {
        {
            const std::lock_guard lock(mutex);
            flag = value;
        }
        changed.notify_all();
    }

    std::mutex mutex;
    std::condition_variable changed;
    bool armed = false;
    bool over = false;
    std::thread thread;
};

// What became of the kept image's transfer by the Stop.
enum class Transfer { neverStarted, running, endedBeforeHang, endedOnceHung, kinds };

// The least of the sorted values that `percent` per cent of them do not
// exceed (nearest rank).
double percentile(const std::vector<double>& sorted, int percent)
{
    const std::size_t rank = (sorted.size() * std::size_t(percent) + 99) / 100;
    return sorted[std::max<std::size_t>(rank, 1) - 1];
}

}  // namespace

int main(int argc, char** argv)
{
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 100;
    if (rounds < 1) {
        std::fprintf(stderr, "usage: stop_bench [ROUNDS]\n");
        return 2;
    }
    if (::geteuid() != 0 || !namespaceOfItsOwn("mnt")) {
        std::fprintf(stderr, "stop_bench needs root and a mount namespace of its own (run bench/stop.sh)\n");
        return 2;
    }
    const bool startPeriods = namespaceOfItsOwn("net");
    if (!startPeriods)
        std::fprintf(stderr, "note: no network namespace of its own: no period is started\n");

    // The data folder, settings and caches of this run only, set before the
    // application reads them.
    QTemporaryDir home;
    if (!home.isValid()) {
        std::fprintf(stderr, "no temporary folder: %s\n", qPrintable(home.errorString()));
        return 1;
    }
    qputenv("HOME", QFile::encodeName(home.path()));
    qputenv("XDG_DATA_HOME", QFile::encodeName(home.path() + "/data"));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(home.path() + "/config"));
    qputenv("XDG_CACHE_HOME", QFile::encodeName(home.path() + "/cache"));

    QCoreApplication application(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("Tormane Solutions"));
    QCoreApplication::setApplicationName(QStringLiteral("Vendrax"));
    initVendraxResources();

    const QString today = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) + "/"
        + QDate::currentDate().toString(QStringLiteral("yyyy-MM-dd"));
    const QString backing = home.path() + "/backing";
    std::string whyNot = "cannot make " + today.toStdString();
    std::unique_ptr<hanging_disk> disk = QDir().mkpath(today) && QDir().mkpath(backing)
        ? hanging_disk::mount(backing.toStdString(), today.toStdString(), whyNot)
        : nullptr;
    if (!disk) {
        std::fprintf(stderr, "no disk that hangs: %s\n", whyNot.c_str());
        return 1;
    }

    const mediacap::http::http_tuple image = keptImage();
    std::vector<double> stopMs;
    int started = 0, held = 0, leftRunning = 0;
    int status = 0;
    {
        Watchdog watchdog(*disk);
        for (int round = 0; round < rounds; ++round) {
            const bool start = startPeriods && round % 2 == 1;
            const auto transfer = Transfer((round / 2) % int(Transfer::kinds));
            const unsigned id = unsigned(round) + 1;

            auto* period = new CaptureEngine(QStringLiteral("lo"));
            QPointer<CaptureEngine> alive = period;
            if (start) {
                period->start();
                ++started;
            }
            std::string path;
            if (period->on_response(image, path) != mediacap::handler::capture) {
                std::fprintf(stderr, "the image was not kept\n");
                delete period;
                status = 1;
                break;
            }
            if (transfer != Transfer::neverStarted)
                period->on_capture_started(id, image, path);
            if (transfer == Transfer::endedBeforeHang)
                period->on_capture_stream_closed(id);
            watchdog.arm();
            disk->hang(hanging_disk::operations::folders);
            if (transfer == Transfer::endedOnceHung)
                period->on_capture_stream_closed(id);

            const Clock::time_point before = Clock::now();
            CaptureEngine::stopAndDestroy(period);
            stopMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - before).count());

            held += disk->held() > 0;
            leftRunning += !alive.isNull();
            disk->release();
            watchdog.disarm();
            // A period left running is destroyed once its thread has ended,
            // by the events its end posts.
            const bool ended = CaptureEngine::waitForThreads(QDeadlineTimer(std::chrono::seconds(30)));
            QCoreApplication::sendPostedEvents();
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
            if (!ended || !alive.isNull()) {
                std::fprintf(stderr, "round %d: the period's threads did not end within 30 s\n", round + 1);
                status = 1;
                break;
            }
        }
    }
    if (stopMs.empty())
        return status ? status : 1;

    std::vector<double>& sorted = stopMs;
    std::sort(sorted.begin(), sorted.end());
    const auto over500 = std::count_if(sorted.begin(), sorted.end(), [](double ms) { return ms > 500; });
    std::printf("rounds=%zu started=%d held=%d left_running=%d\n", sorted.size(), started, held, leftRunning);
    std::printf("stop_ms worst=%.0f median=%.0f p90=%.0f over500=%ld of %zu\n", sorted.back(), percentile(sorted, 50),
                percentile(sorted, 90), long(over500), sorted.size());
    return status;
}
