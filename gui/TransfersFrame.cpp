#include "TransfersFrame.h"

#include "ui_TransfersFrame.h"

#include <QFileInfo>
#include <QTableWidgetItem>
#include <QTimer>

#include <limits>

#include "Formatting.h"
#include "SearchBox.h"
#include "TransfersDelegate.h"

namespace {

// The search box offers the origins, which stand in this column.
constexpr int originColumn = 2;

}  // namespace

TransfersFrame::TransfersFrame(QWidget* parent) : QWidget(parent), ui(new Ui::TransfersFrame)
{
    ui->setupUi(this);
    ui->transfersTableWidget->setColumnWidth(0, 300);
    ui->transfersTableWidget->setItemDelegate(new TransfersDelegate(this));

    // The slots only change records; this repaint is what shows the changes.
    auto* repaintTimer = new QTimer(this);
    connect(repaintTimer, &QTimer::timeout, this, qOverload<>(&QWidget::repaint));
    repaintTimer->start(500);

    ui->searchComboBox->installEventFilter(this);
    ui->searchComboBox->setFocusPolicy(Qt::ClickFocus);
    refreshSearchChoices();
}

TransfersFrame::~TransfersFrame()
{
    delete ui;
}

QSharedPointer<TransferEntry> TransfersFrame::entryAt(int row) const
{
    QReadLocker locker(&entriesLock);
    if (row < 0 || row >= entries.size())
        return {};
    return entries.at(row);
}

void TransfersFrame::addTransferRow(const QString& host, const QString& description)
{
    QTableWidget* table = ui->transfersTableWidget;
    const int row = table->rowCount();
    table->insertRow(row);
    auto* name = new QTableWidgetItem(description);
    name->setTextAlignment(Qt::AlignVCenter);
    table->setItem(row, 0, name);
    auto* origin = new QTableWidgetItem(domainFromHost(host, true));
    origin->setTextAlignment(Qt::AlignCenter);
    table->setItem(row, originColumn, origin);
    ++originRows[origin->text()];
    // Column 1 holds no item: the delegate paints the progress there.
}

void TransfersFrame::addTransfer(int period, int captureId, int downloadId, const HttpResource& httpResource,
                                 const QString& outFile)
{
    QWriteLocker locker(&entriesLock);

    const QString sizeText = httpResource.size > 0 ? formatSize(httpResource.size, false) : QString();
    const QString kind = httpResource.isVideo ? QStringLiteral("Video")
        : httpResource.isImage                ? QStringLiteral("Image")
                                              : QStringLiteral("Unknown");
    const QString format = QFileInfo(outFile).suffix().toUpper();
    // One substitution pass: the suffix comes from a sniffed content type and
    // may itself hold "%1"-like text, which successive arg() calls would
    // replace again.
    addTransferRow(httpResource.host, QStringLiteral("%2 (%1 format) %3").arg(format, kind, sizeText));

    auto entry = QSharedPointer<TransferEntry>::create();
    entry->outFile = outFile;
    entry->httpResource = httpResource;
    entry->period = period;
    entry->captureId = captureId;
    entry->downloadId = downloadId;
    entries.append(entry);

    // Successive captures on a connection share one id, and to a sender that
    // gives no period number ids restart with every engine, while rows stay
    // until Clear: an older record that still holds the id gives it up, so
    // the new transfer's events reach the new row only. -1 marks a record of the
    // other kind: no id, never indexed.
    const auto takeId = [&entry, period](QHash<quint64, QSharedPointer<TransferEntry>>& byId, int id,
                                         int TransferEntry::*field) {
        if (id == -1)
            return;
        if (const auto older = byId.value(key(period, id)))
            (*older).*field = -1;
        byId.insert(key(period, id), entry);
    };
    takeId(capturesById, captureId, &TransferEntry::captureId);
    takeId(downloadsById, downloadId, &TransferEntry::downloadId);
}

quint64 TransfersFrame::key(int period, int id)
{
    return (quint64(quint32(period)) << 32) | quint32(id);
}

QSharedPointer<TransferEntry> TransfersFrame::findByDownloadId(int period, int downloadId) const
{
    QReadLocker locker(&entriesLock);
    return downloadsById.value(key(period, downloadId));
}

QSharedPointer<TransferEntry> TransfersFrame::findByCaptureId(int period, int captureId) const
{
    QReadLocker locker(&entriesLock);
    return capturesById.value(key(period, captureId));
}

void TransfersFrame::releaseCaptureId(TransferEntry* entry)
{
    QWriteLocker locker(&entriesLock);
    capturesById.remove(key(entry->period, entry->captureId));
    entry->captureId = -1;
}

void TransfersFrame::setProgress(TransferEntry* entry, double total, double current)
{
    if (!(total > 0 && current > 0))
        return;
    // No upper bound: more data than announced shows above 100 %. The int
    // conversion is only bounded so that an absurd ratio cannot overflow it.
    const double percent = current / total * 100;
    entry->progress = percent >= std::numeric_limits<int>::max() ? std::numeric_limits<int>::max()
                                                                 : static_cast<int>(percent);
}

void TransfersFrame::setFailed(TransferEntry* entry, const QString& statusText)
{
    entry->progress = -1;
    entry->statusText = statusText;
}

void TransfersFrame::finish(TransferEntry* entry, const QString& outFile)
{
    if (!outFile.isEmpty())
        entry->outFile = outFile;
    entry->finished = true;
    entry->progress = 100;
    const QString origin = domainFromHost(entry->httpResource.host, true);
    if (entry->httpResource.isVideo)
        emit downloadedVideo(entry->outFile, origin);
    else if (entry->httpResource.isImage)
        emit downloadedImage(entry->outFile, origin);
}

void TransfersFrame::downloadStarted(int downloadId, HttpResource httpResource, QString outFile, int period)
{
    addTransfer(period, -1, downloadId, httpResource, outFile);
    refreshSearchChoices();
}

void TransfersFrame::downloadProgress(int downloadId, double total, double current, int period)
{
    if (const auto entry = findByDownloadId(period, downloadId))
        setProgress(entry.data(), total, current);
}

void TransfersFrame::downloadError(int downloadId, int, QString, int period)
{
    if (const auto entry = findByDownloadId(period, downloadId))
        setFailed(entry.data(), tr("Network Error"));
}

void TransfersFrame::downloadFinished(int downloadId, const QString& outFile, int period)
{
    if (const auto entry = findByDownloadId(period, downloadId))
        finish(entry.data(), outFile);
}

void TransfersFrame::captureStarted(int captureId, HttpResource httpResource, QString outFile, int period)
{
    addTransfer(period, captureId, -1, httpResource, outFile);
    refreshSearchChoices();
}

void TransfersFrame::captureProgress(int captureId, double total, double current, int period)
{
    if (const auto entry = findByCaptureId(period, captureId))
        setProgress(entry.data(), total, current);
}

void TransfersFrame::captureStreamClosed(int captureId, int period)
{
    const auto entry = findByCaptureId(period, captureId);
    if (entry && !entry->finished)
        setFailed(entry.data(), tr("Connection closed"));
}

void TransfersFrame::captureError(int captureId, int, QString, int period)
{
    if (const auto entry = findByCaptureId(period, captureId))
        setFailed(entry.data(), tr("Network Error"));
}

void TransfersFrame::captureFinished(int captureId, const QString& outFile, int period)
{
    if (const auto entry = findByCaptureId(period, captureId)) {
        releaseCaptureId(entry.data());
        finish(entry.data(), outFile);
    }
}

void TransfersFrame::on_clearCompletedButton_clicked()
{
    QWriteLocker locker(&entriesLock);
    QList<int> rows;
    for (int row = 0; row < entries.size(); ++row) {
        if (entries[row]->finished || entries[row]->progress < 0)
            rows.append(row);
    }
    // Runs of neighbouring rows go in one removal each (a view's removal
    // costs as much for one row as for many), walking backwards so that the
    // collected indices stay valid.
    QTableWidget* table = ui->transfersTableWidget;
    for (qsizetype end = rows.size(); end > 0;) {
        qsizetype begin = end - 1;
        while (begin > 0 && rows[begin - 1] == rows[begin] - 1)
            --begin;
        const int first = rows[begin];
        const int count = int(end - begin);
        for (int row = first; row < first + count; ++row) {
            const TransferEntry& ended = *entries[row];
            if (ended.downloadId != -1)
                downloadsById.remove(key(ended.period, ended.downloadId));
            if (ended.captureId != -1)
                capturesById.remove(key(ended.period, ended.captureId));
            const QString origin = table->item(row, originColumn)->text();
            if (--originRows[origin] == 0)
                originRows.remove(origin);
        }
        entries.remove(first, count);
        table->model()->removeRows(first, count);
        end = begin;
    }
    refreshSearchChoices();
}

bool TransfersFrame::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == ui->searchComboBox && SearchBox::handleEvent(ui->searchComboBox, event))
        showAllRows();
    return false;  // the combo still receives every event
}

void TransfersFrame::refreshSearchChoices()
{
    SearchBox::refreshChoices(ui->searchComboBox, originRows.keys());
}

void TransfersFrame::filterRows(const QString& text)
{
    SearchBox::filterRows(ui->transfersTableWidget, text);
}

void TransfersFrame::showAllRows()
{
    SearchBox::showAllRows(ui->transfersTableWidget);
}

void TransfersFrame::on_searchComboBox_textActivated(const QString& arg1)
{
    filterRows(arg1.trimmed());
}
