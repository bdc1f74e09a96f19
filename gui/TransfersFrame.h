#pragma once

#include <QHash>
#include <QList>
#include <QReadWriteLock>
#include <QSharedPointer>
#include <QString>
#include <QWidget>

#include "HttpResource.h"

namespace Ui {
class TransfersFrame;
}

// What the transfers page knows about one capture or download. Always held
// through QSharedPointer, so a record that a slot or the delegate still holds
// outlives its removal from the page.
struct TransferEntry {
    QString outFile;             // the file being written; once finished, the file really written
    HttpResource httpResource;   // as received with the start signal
    int progress = 0;            // 0 waiting, 1.. percent (may pass 100), -1 failed
    bool finished = false;
    int period = 0;              // the period of monitoring whose engine reported it
    int downloadId = -1;         // -1 for a capture
    int captureId = -1;          // -1 for a download, and once the capture finished
    QString statusText;          // the failure text shown instead of the bar's
};

// The transfers page: one table row per capture and download of the running
// capture engine, its progress painted by TransfersDelegate, failures marked,
// finished videos and images announced with their origin domain. Clear drops
// the finished and failed rows; the search box filters the rows.
//
// Threads: everything here runs on the GUI thread. The engine's signals come
// from the capture and download threads and reach the slots queued. The slots
// change the records only, never the table: a timer repaints the page every
// 500 ms, and the delegate paints what the records say at that moment.
//
// Row i of the table is described by element i of `entries`; rows and records
// are appended and removed together under the write lock, and the table is
// never sorted. The records that still answer to an id are also indexed by
// it, and the origins by the number of rows showing each, so that a report
// and a new row cost the same with ten rows or a hundred thousand.
class TransfersFrame : public QWidget {
    Q_OBJECT

public:
    explicit TransfersFrame(QWidget* parent = nullptr);
    ~TransfersFrame() override;

    // The record of table row `row`; null when there is no such row.
    QSharedPointer<TransferEntry> entryAt(int row) const;

    bool eventFilter(QObject* watched, QEvent* event) override;

signals:
    void downloadedVideo(QString fileName, QString origin);
    void downloadedImage(QString fileName, QString origin);

public slots:
    // The capture engine's transfer signals, connected each time monitoring
    // starts, with the number of that period of monitoring: a period that
    // still writes after its stop reports beside the next one, and ids
    // restart with every engine. A transfer is known by its period, its kind
    // and its id; a new transfer takes its id over from any older row of the
    // same period that still holds it.
    void downloadStarted(int downloadId, HttpResource httpResource, QString outFile, int period = 0);
    void downloadProgress(int downloadId, double total, double current, int period = 0);
    void downloadError(int downloadId, int error, QString message, int period = 0);
    // `outFile`, when given, is the file really written; it replaces the
    // started report's path in the record and in the announcement.
    void downloadFinished(int downloadId, const QString& outFile = QString(), int period = 0);
    void captureStarted(int captureId, HttpResource httpResource, QString outFile, int period = 0);
    void captureProgress(int captureId, double total, double current, int period = 0);
    void captureStreamClosed(int captureId, int period = 0);
    void captureError(int captureId, int error, QString message, int period = 0);
    void captureFinished(int captureId, const QString& outFile = QString(), int period = 0);

private slots:
    void on_clearCompletedButton_clicked();
    void on_searchComboBox_textActivated(const QString& arg1);

private:
    void addTransferRow(const QString& host, const QString& description);
    void addTransfer(int period, int captureId, int downloadId, const HttpResource& httpResource,
                     const QString& outFile);
    // The key of a period's id in the indexes below.
    static quint64 key(int period, int id);
    QSharedPointer<TransferEntry> findByDownloadId(int period, int downloadId) const;
    QSharedPointer<TransferEntry> findByCaptureId(int period, int captureId) const;
    // A finished capture's record stops answering to its id (the next capture
    // on the connection comes with the same one).
    void releaseCaptureId(TransferEntry* entry);

    static void setProgress(TransferEntry* entry, double total, double current);
    static void setFailed(TransferEntry* entry, const QString& statusText);
    void finish(TransferEntry* entry, const QString& outFile);

    void refreshSearchChoices();
    void filterRows(const QString& text);
    void showAllRows();

    Ui::TransfersFrame* ui;
    QList<QSharedPointer<TransferEntry>> entries;
    // Under entriesLock with `entries`: the record holding each period's id
    // (a record is here exactly while its id field is not -1), and how many
    // rows show each origin (the search box offers these).
    QHash<quint64, QSharedPointer<TransferEntry>> downloadsById;
    QHash<quint64, QSharedPointer<TransferEntry>> capturesById;
    QHash<QString, int> originRows;
    mutable QReadWriteLock entriesLock;
};
