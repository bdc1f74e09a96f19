#include "CaptureEngine.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QMutexLocker>
#include <QRegularExpression>
#include <QStandardPaths>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <set>
#include <thread>
#include <utility>

#include "SafeNames.h"
#include "mediacap/engine.hpp"
#include "mediacap/engine_options.hpp"
#include "mediacap/transfers/temporary_file.hpp"

namespace {

// The engine replays each kept download request on this many threads.
constexpr std::uint32_t downloadThreads = 10;

// How long stop() waits for the capture thread and the removal of the empty
// folders: the engine's own bound for its stop, and 200 ms more for the run
// to write what is left and leave; the rest of the window's 500 ms is for
// destroying the period.
constexpr std::chrono::milliseconds stopWaitLimit = mediacap::engine_stop_limit + std::chrono::milliseconds(200);

// Shared by the periods of monitoring, and never destroyed: a thread that
// storage holds may still use them as the program exits.
struct Periods {
    // Held by the run() whose engine is in the capture loop: libnids runs
    // one loop per process.
    std::timed_mutex captureLoop;
    // Every period that exists (GUI thread only), and the threads left to
    // end on their own that destroy an engine or remove folders.
    std::set<CaptureEngine*> alive;
    std::mutex detachedLock;
    std::condition_variable detachedEnded;
    unsigned detached = 0;
};

Periods& periods()
{
    static auto* shared = new Periods;
    return *shared;
}

// Runs `work` on a thread that nobody joins; waitForThreads() waits for it.
// Whatever `work` holds goes before the thread counts as ended.
template <typename Work>
void runDetached(Work work)
{
    Periods& all = periods();
    {
        const std::lock_guard lock(all.detachedLock);
        ++all.detached;
    }
    std::thread([work = std::move(work), &all]() mutable {
        {
            Work job = std::move(work);
            job();
        }
        {
            const std::lock_guard lock(all.detachedLock);
            --all.detached;
        }
        all.detachedEnded.notify_all();
    }).detach();
}

// Removes the folders that `folders` left empty on a thread of its own, and
// waits for that until `limit`: on storage that hangs, rmdir waits in the
// kernel, and the removal then ends after the caller has gone on. A later
// period need not wait for it: SiteFolders never removes a folder that a
// live period files into.
void closeFolders(std::shared_ptr<SiteFolders> folders, const QDeadlineTimer& limit)
{
    struct Removal {
        std::mutex lock;
        std::condition_variable ended;
        bool done = false;
    };
    auto removal = std::make_shared<Removal>();
    runDetached([folders = std::move(folders), removal] {
        folders->closeAll();
        {
            const std::lock_guard lock(removal->lock);
            removal->done = true;
        }
        removal->ended.notify_all();
    });
    std::unique_lock lock(removal->lock);
    removal->ended.wait_for(lock, std::chrono::milliseconds(limit.remainingTime()), [&] { return removal->done; });
}

QStringList loadAdvertisingHosts()
{
    QFile file(QStringLiteral(":/ads.txt"));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    static const QRegularExpression lineBreaks(QStringLiteral("(\r\n)|(\n\r)|\r|\n"));
    return QString::fromLatin1(file.readAll()).split(lineBreaks, Qt::SkipEmptyParts);
}

}  // namespace

// Sites whose kept responses are recorded from the sniffed stream instead of
// being requested a second time: a music-streaming site.
const CaptureEngine::SiteRule CaptureEngine::siteRules[] = {
    {"soundcloud.com", mediacap::handler::capture},
    {nullptr, mediacap::handler::download},
};

CaptureEngine::CaptureEngine(const QString& device, QObject* parent)
    : QThread(parent), adHosts(loadAdvertisingHosts()), device(device)
{
    periods().alive.insert(this);
}

CaptureEngine::~CaptureEngine()
{
    if (!stop()) {
        wait();
        finishPeriod(QDeadlineTimer(stopWaitLimit));
    }
    periods().alive.erase(this);
}

void CaptureEngine::run()
{
    {
        QMutexLocker locker(&engineLock);
        runEnding = false;
    }
    // A period left to end on its own may still be in the capture loop:
    // its loop ends promptly after its stop, unless storage holds its thread
    // while it makes a folder. Wait for that, unless stopped first; its
    // writer's backlog is none of this period's business.
    std::unique_lock loop(periods().captureLoop, std::defer_lock);
    while (!loop.try_lock_for(std::chrono::milliseconds(50)))
        if (stopRequested())
            return;

    capture([&loop] { loop.unlock(); });
    if (loop.owns_lock())
        loop.unlock();

    std::unique_ptr<mediacap::engine> finished;
    bool cleanUp;
    {
        QMutexLocker locker(&engineLock);
        runEnding = true;
        cleanUp = givenUp;
        if (givenUp)
            finished = std::move(engine);
    }
    // Left to end on its own, the period cleans up after itself: its engine
    // and its empty folders go.
    if (cleanUp) {
        destroyEngine(std::move(finished));
        siteFolders->closeAll();
    }
}

void CaptureEngine::capture(const std::function<void()>& loopEnded)
{
    mediacap::engine_options options;
    options.device = device.toStdString();
    options.temp_directory = QStandardPaths::writableLocation(QStandardPaths::TempLocation).toStdString();
    options.pool_size = downloadThreads;

    // Where the data folder's file system has no unnamed files, a run that
    // crashed may have left hidden partial files in the day and site folders.
    const std::string dataFolder = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation).toStdString();
    if (!mediacap::gives_unnamed_files(dataFolder))
        mediacap::remove_stale_partials(dataFolder, 2);

    try {
        beforeEngineCreated();
        // The engine starts its download threads while it is built, so build
        // it before taking the lock that stop() waits on.
        auto created = std::make_unique<mediacap::engine>(&options, this);
        std::unique_ptr<mediacap::engine> previous;
        mediacap::engine* running = nullptr;
        {
            QMutexLocker locker(&engineLock);
            if (!stopping) {
                previous = std::move(engine);
                engine = std::move(created);
                running = engine.get();
            }
        }
        // Stopped before it began: the new engine never runs. Otherwise an
        // engine may be left by an earlier run of this object whose capture
        // failed. Either way it was never stopped, and an engine's pool must
        // be stopped and waited for before the engine goes.
        std::unique_ptr<mediacap::engine> unused = running ? std::move(previous) : std::move(created);
        if (unused)
            unused->stop();
        unused.reset();
        if (!running)
            return;

        // The engine stays alive through its run: only stop() (or run(), for
        // a period left to end on its own) destroys it, after this has
        // returned. A stop() that came after the hand-over above makes this
        // run return once the captures complete by then are written; the
        // capture loop goes to the next period as soon as it has ended.
        running->run(loopEnded);
    } catch (...) {
        // The engine reports a device it cannot open as nids::error; nothing
        // else is passed on to the user either.
        emit errorStartingEngine();
    }
}

bool CaptureEngine::stop()
{
    const QDeadlineTimer limit(stopWaitLimit, Qt::PreciseTimer);
    mediacap::engine* current = nullptr;
    bool alreadyGivenUp;
    {
        QMutexLocker locker(&engineLock);
        // Only the stop that ends the period stops its engine: a later one
        // (the destructor's) must not stop the capture loop of the next
        // period, which libnids shares.
        if (!stopping)
            current = engine.get();
        stopping = true;
        alreadyGivenUp = givenUp;
    }
    // Called with the lock released: the engine waits for its download pool,
    // and nothing here needs to be held meanwhile.
    if (current)
        current->stop();

    // From inside the capture thread itself (a report that stops monitoring)
    // the engine's run is still on the stack: it has been told to end, and
    // the GUI thread's later stop() or the destructor destroys it.
    if (QThread::currentThread() == this)
        return false;

    // The capture loop notices the stop at its next turn; run() then returns
    // within the engine's bound, unless storage holds this thread in the
    // kernel while it makes a folder. The window does not wait for that.
    if (!wait(alreadyGivenUp ? QDeadlineTimer(0) : limit)) {
        bool ending;
        {
            QMutexLocker locker(&engineLock);
            ending = runEnding;
            givenUp = !ending;
        }
        if (!ending) {
            // Left to end on its own: the captures it still finishes reach
            // the transfers page; a failure to start would stop whichever
            // period the window runs by then.
            disconnect(this, &CaptureEngine::errorStartingEngine, nullptr, nullptr);
            return false;
        }
        // run() is past its last step: only its return is left.
        wait();
    }
    finishPeriod(limit);
    return true;
}

void CaptureEngine::stopAndDestroy(CaptureEngine* period)
{
    if (period->stop()) {
        delete period;
        return;
    }
    period->setParent(nullptr);
    connect(period, &QThread::finished, period, &QObject::deleteLater);
    // The thread may have ended before the connection was made; a second
    // deleteLater() does no harm.
    if (period->isFinished())
        period->deleteLater();
}

void CaptureEngine::finishPeriod(const QDeadlineTimer& limit)
{
    std::unique_ptr<mediacap::engine> finished;
    {
        QMutexLocker locker(&engineLock);
        finished = std::move(engine);
        // The thread has ended, so the flag has done its work: a later start()
        // begins a new period of monitoring.
        stopping = false;
    }
    destroyEngine(std::move(finished));
    // No transfer reports any more: folders they left empty go. A removal
    // left running keeps its own record; a later period starts afresh.
    closeFolders(std::exchange(siteFolders, std::make_shared<SiteFolders>()), limit);
}

void CaptureEngine::destroyEngine(std::unique_ptr<mediacap::engine> finished)
{
    // The engine's stop and run have returned, so it reports nothing more;
    // but one of its threads may still be held in the kernel by storage that
    // hangs, and its destruction would wait for that. The window does not:
    // such an engine is destroyed on a thread of its own.
    if (finished && !finished->settled())
        runDetached([doomed = std::move(finished)]() mutable { doomed.reset(); });
}

bool CaptureEngine::periodsEnded()
{
    const std::set<CaptureEngine*>& alive = periods().alive;
    return std::none_of(alive.begin(), alive.end(), [](CaptureEngine* period) { return period->isRunning(); });
}

void CaptureEngine::giveUpWriting()
{
    for (CaptureEngine* period : periods().alive) {
        // Only a stopped period: a running one would lose what it still
        // captures. The engine stays under the lock while it is told.
        QMutexLocker locker(&period->engineLock);
        if (period->stopping && period->engine)
            period->engine->give_up_writing();
    }
}

bool CaptureEngine::waitForThreads(const QDeadlineTimer& limit)
{
    Periods& all = periods();
    for (CaptureEngine* period : all.alive)
        if (!period->wait(limit))
            return false;
    std::unique_lock lock(all.detachedLock);
    return all.detachedEnded.wait_for(lock, std::chrono::milliseconds(limit.remainingTime()),
                                      [&] { return all.detached == 0; });
}

bool CaptureEngine::stopRequested()
{
    QMutexLocker locker(&engineLock);
    return stopping;
}

QDate CaptureEngine::currentDate() const
{
    return QDate::currentDate();
}

int CaptureEngine::siteRule(const HttpResource& resource)
{
    if (resource.isImage)
        return mediacap::handler::capture;
    const QString host = siteHost(resource.host);
    for (const SiteRule* rule = siteRules; rule->domainSuffix; ++rule)
        if (host.endsWith(QLatin1String(rule->domainSuffix)))
            return rule->mode;
    return mediacap::handler::download;
}

bool CaptureEngine::isNotStreamFragment(const QString& url)
{
    // Smooth-streaming URLs: each request fetches a few seconds of one
    // quality level of one track.
    static const QRegularExpression fragment(
        QStringLiteral(R"(/QualityLevels\(\d+\)/Fragments\((video|audio)=\d+\))"));
    return !fragment.match(url).hasMatch();
}

int CaptureEngine::on_response(const mediacap::http::http_tuple& exchange, std::string& path)
{
    if (exchange.response.status != 200)
        return mediacap::handler::ignore;

    const auto length = exchange.response.headers.find("Content-Length");
    if (length != exchange.response.headers.end()) {
        bool converted = false;
        const int value = QString::fromLatin1(length->second.data(), qsizetype(length->second.size()))
                              .toInt(&converted, 10);
        if (!converted || value == 0)
            return mediacap::handler::ignore;
    }

    const HttpResource resource(exchange);

    // Plain suffixes with no dot boundary: an entry also matches a longer last
    // label ("xads.example" for "ads.example").
    const QString host = siteHost(resource.host);
    for (const QString& adHost : adHosts)
        if (host.endsWith(adHost))
            return mediacap::handler::ignore;

    // Small videos are mostly player chrome and small images mostly icons.
    if (resource.isVideo) {
        if (resource.size <= 10240)
            return mediacap::handler::ignore;
    } else if (resource.isImage) {
        if (resource.size <= 5120)
            return mediacap::handler::ignore;
    } else {
        return mediacap::handler::ignore;
    }

    if (!isNotStreamFragment(QString::fromLatin1(exchange.request.path.data(), qsizetype(exchange.request.path.size()))))
        return mediacap::handler::ignore;

    const int mode = siteRule(resource);
    // A replay sends GET or POST only, and refuses any other method before it
    // starts: such a response is not kept, and gets no folder.
    const std::string& method = exchange.request.method;
    if (mode == mediacap::handler::download && method != "GET" && method != "POST")
        return mediacap::handler::ignore;

    // The folder's name comes from the host as sent, reduced to characters
    // that every file system takes and never "." or "..".
    const QString dir = QStringLiteral("%1/%2/%3")
                            .arg(QStandardPaths::writableLocation(QStandardPaths::AppDataLocation),
                                 currentDate().toString(QStringLiteral("yyyy-MM-dd")),
                                 siteFolderName(resource.host));
    siteFolders->open(dir);
    path = QDir::toNativeSeparators(QStringLiteral("%1/%2").arg(dir, resource.name)).toStdString();
    return mode;
}

// Paths came from on_response as UTF-8 (toStdString); reading them back as
// UTF-8 keeps a data folder with non-ASCII characters intact.

namespace {

// Download ids and capture ids are separate counters of the engine.
quint64 downloadKey(unsigned id)
{
    return (quint64(1) << 32) | id;
}

quint64 captureKey(unsigned id)
{
    return id;
}

}  // namespace

void CaptureEngine::on_download_started(unsigned id, const mediacap::http::http_tuple& exchange, const std::string& path)
{
    siteFolders->started(downloadKey(id), QString::fromStdString(path));
    emit downloadStarted(int(id), HttpResource(mediacap::http::http_tuple(exchange)), QString::fromStdString(path));
}

void CaptureEngine::on_download_progress(unsigned id, double total, double received)
{
    emit downloadProgress(int(id), total, received);
}

void CaptureEngine::on_download_finished(unsigned id, const std::string& path)
{
    siteFolders->ended(downloadKey(id));
    emit downloadFinished(int(id), QString::fromStdString(path));
}

void CaptureEngine::on_download_error(unsigned id, int code, const std::string& message)
{
    siteFolders->ended(downloadKey(id));
    emit downloadError(int(id), code, QString::fromLatin1(message.data(), qsizetype(message.size())));
}

void CaptureEngine::on_capture_started(unsigned id, const mediacap::http::http_tuple& exchange, const std::string& path)
{
    siteFolders->started(captureKey(id), QString::fromStdString(path));
    emit captureStarted(int(id), HttpResource(mediacap::http::http_tuple(exchange)), QString::fromStdString(path));
}

void CaptureEngine::on_capture_progress(unsigned id, double total, double received)
{
    emit captureProgress(int(id), total, received);
}

void CaptureEngine::on_capture_finished(unsigned id, const std::string& path)
{
    siteFolders->ended(captureKey(id));
    emit captureFinished(int(id), QString::fromStdString(path));
}

void CaptureEngine::on_capture_error(unsigned id, int code, const std::string& message)
{
    siteFolders->ended(captureKey(id));
    emit captureError(int(id), code, QString::fromLatin1(message.data(), qsizetype(message.size())));
}

void CaptureEngine::on_capture_stream_closed(unsigned id)
{
    siteFolders->ended(captureKey(id));
    emit captureStreamClosed(int(id));
}
