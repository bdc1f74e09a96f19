#pragma once

#include <functional>
#include <memory>
#include <string>

#include <QDate>
#include <QDeadlineTimer>
#include <QMutex>
#include <QString>
#include <QStringList>
#include <QThread>

#include "HttpResource.h"
#include "SiteFolders.h"
#include "mediacap/handler.hpp"

namespace mediacap {
class engine;
}

// One period of monitoring: a thread that runs the capture engine on `device`,
// and the engine's handler, which decides what is kept and where it is filed
// and turns every transfer report into a signal.
//
// Threads: constructor, stop(), stopAndDestroy() and destructor on the GUI
// thread (the object lives there, so every signal reaches GUI receivers
// queued). run(), on_response() and the capture reports on this thread,
// inside the engine's packet loop; the download reports on the engine's pool
// threads, several at once. The reports build arguments and emit, and tell
// `siteFolders` (which has its own locking, and removes folders on a thread
// of its own) when a transfer starts and ends; none of them calls on storage.
// One period at a time runs the capture loop (libnids has one per process),
// and an earlier period lets go of it as soon as its loop has ended, promptly
// after its stop: a period started meanwhile waits in run() for that only.
// The earlier period may still write the captures that were complete at its
// stop and remove its empty folders: that goes on beside the new period, whose
// folders it leaves alone (see SiteFolders). The two periods' reports may then
// interleave, and their transfer ids, which start again with each engine,
// repeat: a receiver tells the periods apart by their sender.
class CaptureEngine : public QThread, public mediacap::handler {
    Q_OBJECT

public:
    // A host suffix whose kept responses are handled with `mode` (a
    // mediacap::handler::action) instead of the default download.
    struct SiteRule {
        const char* domainSuffix;
        int mode;
    };
    // Ended by a row whose domainSuffix is null.
    static const SiteRule siteRules[];

    CaptureEngine(const QString& device, QObject* parent = nullptr);
    // Stops monitoring and waits for the thread first, so the engine never
    // calls into a half-destroyed handler: a thread that storage holds is
    // waited for however long that takes. An owner that must not wait uses
    // stopAndDestroy().
    ~CaptureEngine() override;

    // Ends this period of monitoring: tells the engine to stop (capturing
    // ends, its downloads are cancelled and its pool is waited for, for a
    // bounded time) and waits for run() to end, 450 ms at most from the call
    // (stopWaitLimit; the whole call stays under 500 ms). Also ends a period whose run() has not yet created its
    // engine: that run() then returns without capturing. Returns at once when
    // the thread has already ended.
    //
    // True when the thread has ended: the engine is destroyed (on a thread of
    // its own when storage that hangs holds the engine's threads) and the
    // folders left empty are gone (or, past the limit, go once that storage
    // answers). False when the thread is still running at the limit: the
    // engine's writer still writes the captures that were complete at the
    // stop (on slow storage, or until it gives up on storage that hangs), or
    // storage holds the thread in the kernel while it makes a folder. The
    // period is then left to end on its own: its transfer signals still reach
    // their receivers, so each capture it finishes gets its row's finished
    // and its catalogue entry (each transfer still ends once: the engine
    // reports nothing twice, and no transfer of this period starts any more),
    // but errorStartingEngine reaches no one. Once the run returns, the
    // thread destroys the engine and removes the empty folders itself before
    // it ends; a later stop() waits no more.
    bool stop();

    // Ends `period` with stop() and destroys it: at once when its thread has
    // ended, otherwise when the thread ends (meanwhile it is nobody's child).
    // The caller forgets the pointer.
    static void stopAndDestroy(CaptureEngine* period);

    // For Quit, over every period that exists, stopped or not; GUI thread.
    // periodsEnded: no period's thread runs, so no report comes any more.
    // giveUpWriting: each stopped period that still writes the captures
    // complete at its stop gives them up at once (mediacap::engine::
    // give_up_writing), reporting each failed, and its run ends unless
    // storage holds its thread in the kernel. waitForThreads: waits until,
    // besides, every thread that a period left to destroy its engine or
    // remove its folders has ended; false when one still runs at `limit`
    // (held in the kernel by storage that hangs, say).
    static bool periodsEnded();
    static void giveUpWriting();
    static bool waitForThreads(const QDeadlineTimer& limit);

    // The action for a kept resource: images and the rule's sites are
    // captured as they pass, everything else is downloaded again.
    static int siteRule(const HttpResource& resource);
    // False for the URL of a fragment of an adaptive stream; those pieces are
    // worthless on their own.
    static bool isNotStreamFragment(const QString& url);

    // mediacap::handler
    int on_response(const mediacap::http::http_tuple& exchange, std::string& path) override;
    void on_download_started(unsigned id, const mediacap::http::http_tuple& exchange, const std::string& path) override;
    void on_download_progress(unsigned id, double total, double received) override;
    void on_download_finished(unsigned id, const std::string& path) override;
    void on_download_error(unsigned id, int code, const std::string& message) override;
    void on_capture_started(unsigned id, const mediacap::http::http_tuple& exchange, const std::string& path) override;
    void on_capture_progress(unsigned id, double total, double received) override;
    void on_capture_finished(unsigned id, const std::string& path) override;
    void on_capture_error(unsigned id, int code, const std::string& message) override;
    void on_capture_stream_closed(unsigned id) override;

signals:
    // The engine could not be created or its capture could not start (or
    // failed); the thread has ended.
    void errorStartingEngine();
    void downloadStarted(int downloadId, HttpResource httpResource, QString outFile);
    void downloadProgress(int downloadId, double total, double current);
    void downloadError(int downloadId, int error, QString message);
    // `outFile` is the file really written: the started report's path, or
    // the next free name beside it when a file already had that name.
    void downloadFinished(int downloadId, QString outFile);
    void captureStarted(int captureId, HttpResource httpResource, QString outFile);
    void captureProgress(int captureId, double total, double current);
    void captureStreamClosed(int captureId);
    void captureError(int captureId, int error, QString message);
    void captureFinished(int captureId, QString outFile);

protected:
    void run() override;

    // Test seams: the day that names the folder of a kept response; a hook
    // that run() calls on the capture thread before it builds the engine; the
    // state of a stop request; the advertising host list (":/ads.txt").
    virtual QDate currentDate() const;
    virtual void beforeEngineCreated() {}
    bool stopRequested();
    QStringList adHosts;

private:
    // run() once this thread may use the capture loop; `loopEnded` is
    // called on this thread once the engine's loop has ended.
    void capture(const std::function<void()>& loopEnded);
    // After the thread has ended: destroys the engine, removes the folders
    // left empty (waiting for that until `limit`, then leaving it to a thread
    // of its own), and lets a later start() begin a new period.
    void finishPeriod(const QDeadlineTimer& limit);
    // Destroys a stopped engine whose run has returned: on a thread of its
    // own when one of its threads is still busy.
    static void destroyEngine(std::unique_ptr<mediacap::engine> finished);

    QString device;
    // Handed between the capture thread (run() publishes it) and the GUI
    // thread (stop() stops and destroys it) under engineLock. `stopping` is
    // set by stop() under the same lock, so a run() that has not published
    // its engine yet sees it and never starts capturing; only the stop that
    // sets it stops the engine. `runEnding` is set by run() as it leaves,
    // `givenUp` by a stop() that did not see it in time (the period is left
    // to end on its own): whichever comes second decides who destroys the
    // engine.
    QMutex engineLock;
    std::unique_ptr<mediacap::engine> engine;
    bool stopping = false;
    bool runEnding = false;
    bool givenUp = false;
    // The day and site folders of the kept responses, removed again when
    // their transfers left nothing in them; shared with the thread that
    // removes them after the period.
    std::shared_ptr<SiteFolders> siteFolders = std::make_shared<SiteFolders>();
};
