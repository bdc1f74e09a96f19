// The transfers page with many rows: the reports of each transfer reach its
// own row by id, through restarts of monitoring (ids begin again) and Clear.

#include <QComboBox>
#include <QSignalSpy>
#include <QTableWidget>
#include <QTest>
#include <QToolButton>

#include "TransfersFrame.h"
#include "VendraxResources.h"

class TransfersIdsTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { initVendraxResources(); }

    void manyRowsWithIdsReusedAfterRestarts()
    {
        // Three periods of monitoring, each with downloads and captures of ids
        // 1..n on a site of its own. Download i finishes when i % 4 == 0 and
        // fails when i % 4 == 1; capture i finishes when i % 3 == 0. In the
        // first period everything ends.
        constexpr int periods = 3;
        constexpr int n = 600;
        const QStringList sites = {"a.one.example", "b.two.example", "c.three.example"};
        TransfersFrame page;
        QSignalSpy videos(&page, &TransfersFrame::downloadedVideo);
        for (int period = 0; period < periods; ++period) {
            HttpResource video;
            video.host = sites[period];
            video.isVideo = true;
            for (int id = 1; id <= n; ++id) {
                page.downloadStarted(id, video, QStringLiteral("/d/%1-download-%2.flv").arg(period).arg(id));
                page.captureStarted(id, video, QStringLiteral("/d/%1-capture-%2.flv").arg(period).arg(id));
            }
            for (int id = 1; id <= n; ++id) {
                page.downloadProgress(id, 100, 10 + period);
                page.captureProgress(id, 100, 20 + period);
                if (id % 4 == 0 || period == 0)
                    page.downloadFinished(id);
                else if (id % 4 == 1)
                    page.downloadError(id, 1, QString());
                if (id % 3 == 0 || period == 0)
                    page.captureFinished(id);
                // Reports after the end reach no other row.
                page.captureStreamClosed(id);
            }
        }

        const auto expectedDownload = [](int period, int id) {
            return id % 4 == 0 || period == 0 ? 100 : id % 4 == 1 ? -1 : 10 + period;
        };
        const auto expectedCapture = [](int period, int id) {
            return id % 3 == 0 || period == 0 ? 100 : -1;  // the rest closed
        };
        for (int period = 0; period < periods; ++period) {
            for (int id = 1; id <= n; ++id) {
                const int row = (period * n + id - 1) * 2;
                QCOMPARE(page.entryAt(row)->progress, expectedDownload(period, id));
                QCOMPARE(page.entryAt(row + 1)->progress, expectedCapture(period, id));
            }
        }
        QCOMPARE(videos.size(), 2 * n + (periods - 1) * (n / 4 + n / 3));
        QCOMPARE(videos.last()[0].toString(), QStringLiteral("/d/2-capture-%1.flv").arg(n));

        // Clear leaves the running downloads of the last two periods; their
        // ids answer only in the latest period's rows.
        page.findChild<QToolButton*>("clearCompletedButton")->click();
        QTableWidget* table = page.findChild<QTableWidget*>("transfersTableWidget");
        QCOMPARE(table->rowCount(), (periods - 1) * n / 2);
        for (int id = 1; id <= n; ++id) {
            page.downloadProgress(id, 100, 50);
            page.captureFinished(id);
            page.downloadFinished(id + n);
        }
        for (int row = 0; row < table->rowCount(); ++row) {
            const bool latest = row >= n / 2;
            QCOMPARE(page.entryAt(row)->progress, latest ? 50 : 11);
            QCOMPARE(table->item(row, 2)->text(), latest ? QString("Three.example") : QString("Two.example"));
        }
        QStringList offered;
        const QComboBox* search = page.findChild<QComboBox*>("searchComboBox");
        for (int i = 0; i < search->count(); ++i)
            offered << search->itemText(i);
        offered.sort();
        QCOMPARE(offered, QStringList({"", "Three.example", "Two.example"}));
    }

    void stoppedPeriodReportsBesideTheNextOne()
    {
        // A stopped period still writes while the next one reports the same
        // ids: each report reaches its own period's row.
        TransfersFrame page;
        HttpResource image;
        image.isImage = true;
        page.captureStarted(1, image, "/d/1-capture.png", 1);
        page.downloadStarted(1, image, "/d/1-download.png", 1);
        page.captureStarted(1, image, "/d/2-capture.png", 2);
        page.downloadStarted(1, image, "/d/2-download.png", 2);
        page.captureFinished(1, QString(), 1);
        page.downloadError(1, 1, QString(), 2);
        page.downloadProgress(1, 100, 70, 1);
        page.captureStreamClosed(1, 2);
        QCOMPARE(page.entryAt(0)->progress, 100);
        QCOMPARE(page.entryAt(1)->progress, 70);
        QCOMPARE(page.entryAt(2)->progress, -1);
        QCOMPARE(page.entryAt(3)->progress, -1);
    }
};

QTEST_MAIN(TransfersIdsTest)
#include "transfers_ids_test.moc"
