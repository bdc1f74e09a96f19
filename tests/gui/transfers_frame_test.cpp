#include <QComboBox>
#include <QHeaderView>
#include <QPainter>
#include <QSignalSpy>
#include <QTableWidget>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include <thread>

#include "TextRecorder.h"
#include "TransfersPage.h"
#include "TransfersDelegate.h"
#include "TransfersFrame.h"
#include "VendraxResources.h"

namespace {

enum Kind { Video, Image, Other };

HttpResource resource(const QString& host, Kind kind = Video, qint32 size = 0)
{
    HttpResource result;
    result.host = host;
    result.isVideo = kind == Video;
    result.isImage = kind == Image;
    result.size = size;
    return result;
}

void clickClear(TransfersFrame& page)
{
    page.findChild<QToolButton*>("clearCompletedButton")->click();
}

// The text the delegate paints over the progress bar of `row`: the last text
// drawn (the style may draw the bar's own label before it, in pieces).
QString paintedText(TransfersFrame& page, int row, bool selected = false, int column = 1)
{
    QTableWidget* table = tableOf(page);
    TextRecorder device;
    {
        QPainter painter(&device);
        QStyleOptionViewItem option;
        option.initFrom(table);
        option.rect = QRect(0, 30 * row, 600, 30);
        if (selected)
            option.state |= QStyle::State_Selected;
        table->itemDelegate()->paint(&painter, option, table->model()->index(row, column));
    }
    return device.texts().value(device.texts().size() - 1, "<nothing painted>");
}

QStringList columnTexts(TransfersFrame& page, int column)
{
    QStringList texts;
    QTableWidget* table = tableOf(page);
    for (int row = 0; row < table->rowCount(); ++row)
        texts << (table->item(row, column) ? table->item(row, column)->text() : QString("<none>"));
    return texts;
}

}  // namespace

class TransfersFrameTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { initVendraxResources(); }

    void formIsBuiltAsDesigned()
    {
        TransfersFrame page;
        QTableWidget* table = tableOf(page);
        QVERIFY(table);
        QCOMPARE(table->columnCount(), 3);
        QCOMPARE(table->horizontalHeaderItem(0)->text(), QString("Name"));
        QCOMPARE(table->horizontalHeaderItem(1)->text(), QString("Progress"));
        QCOMPARE(table->horizontalHeaderItem(2)->text(), QString("Origin"));
        QCOMPARE(table->columnWidth(0), 300);
        QCOMPARE(table->columnWidth(1), 150);
        QVERIFY(dynamic_cast<TransfersDelegate*>(table->itemDelegate()));
        QCOMPARE(table->itemDelegate()->parent(), &page);
        QCOMPARE(searchOf(page)->focusPolicy(), Qt::ClickFocus);
        QVERIFY(searchOf(page)->isEditable());
        QCOMPARE(page.findChild<QToolButton*>("clearCompletedButton")->text(), QString("Clear"));

        // The 500 ms repaint runs from the start, with or without transfers.
        bool repaintTimer = false;
        for (const QTimer* timer : page.findChildren<QTimer*>(Qt::FindDirectChildrenOnly))
            repaintTimer = repaintTimer || (timer->interval() == 500 && timer->isActive());
        QVERIFY(repaintTimer);
    }

    void newRowDescribesTheTransfer_data()
    {
        QTest::addColumn<HttpResource>("httpResource");
        QTest::addColumn<QString>("outFile");
        QTest::addColumn<QString>("description");
        QTest::addColumn<QString>("origin");
        QTest::newRow("video with size")
            << resource("cdn.videos.example", Video, 1572864) << "/d/videos.example_1.flv"
            << "Video (FLV format) 1.5 MB" << "Videos.example";
        QTest::newRow("image without size")
            << resource("img.pics.example", Image, 0) << "/d/pics.example_2.jpeg"
            << "Image (JPEG format) " << "Pics.example";
        QTest::newRow("no suffix") << resource("a.b.example", Video, 1024) << "/d/noext"
                                   << "Video ( format) 1.0 KB" << "B.example";
        QTest::newRow("neither video nor image")
            << resource("x.example", Other, 5) << "/d/x.example_3.octet-stream"
            << "Unknown (OCTET-STREAM format) 5.0 bytes" << "X.example";
        QTest::newRow("com second level") << resource("www.shop.com.au", Image, 2048) << "/d/s.png"
                                          << "Image (PNG format) 2.0 KB" << "Shop.com.au";
        QTest::newRow("placeholder-like suffix")
            << resource("x.example", Video, 0) << "/d/x.%1x" << "Video (%1X format) " << "X.example";
    }

    void newRowDescribesTheTransfer()
    {
        QFETCH(HttpResource, httpResource);
        QFETCH(QString, outFile);
        QFETCH(QString, description);
        QFETCH(QString, origin);
        for (bool capture : {true, false}) {
            TransfersFrame page;
            if (capture)
                page.captureStarted(4, httpResource, outFile);
            else
                page.downloadStarted(4, httpResource, outFile);
            QTableWidget* table = tableOf(page);
            QCOMPARE(table->rowCount(), 1);
            QCOMPARE(table->item(0, 0)->text(), description);
            QCOMPARE(table->item(0, 0)->textAlignment(), int(Qt::AlignVCenter));
            QVERIFY(!table->item(0, 1));
            QCOMPARE(table->item(0, 2)->text(), origin);
            QCOMPARE(table->item(0, 2)->textAlignment(), int(Qt::AlignCenter));

            const auto entry = page.entryAt(0);
            QVERIFY(entry);
            QCOMPARE(entry->outFile, outFile);
            QCOMPARE(entry->httpResource.host, httpResource.host);
            QCOMPARE(entry->progress, 0);
            QCOMPARE(entry->finished, false);
            QCOMPARE(entry->captureId, capture ? 4 : -1);
            QCOMPARE(entry->downloadId, capture ? -1 : 4);
            QCOMPARE(entry->statusText, QString());
            QCOMPARE(paintedText(page, 0), QString("Waiting"));
        }
    }

    void entryAtOutsideTheRowsIsNull()
    {
        TransfersFrame page;
        page.downloadStarted(0, resource("a.example"), "/d/a.flv");
        QVERIFY(page.entryAt(0));
        QVERIFY(!page.entryAt(-1));
        QVERIFY(!page.entryAt(1));
    }

    void progressFollowsPositiveValues_data()
    {
        QTest::addColumn<double>("total");
        QTest::addColumn<double>("current");
        QTest::addColumn<int>("progress");
        QTest::addColumn<QString>("text");
        QTest::newRow("total 0") << 0.0 << 50.0 << 0 << "Waiting";
        QTest::newRow("current 0") << 100.0 << 0.0 << 0 << "Waiting";
        QTest::newRow("negative total") << -100.0 << 50.0 << 0 << "Waiting";
        QTest::newRow("below 1 %") << 1000.0 << 9.0 << 0 << "Waiting";
        QTest::newRow("1 %") << 1000.0 << 10.0 << 1 << "1%";
        QTest::newRow("truncated") << 3.0 << 2.0 << 66 << "66%";
        QTest::newRow("all") << 2048.0 << 2048.0 << 100 << "100%";
        QTest::newRow("above 100 %") << 100.0 << 104.0 << 104 << "104%";
        QTest::newRow("absurd ratio") << 1e-300 << 1e300 << 2147483647 << "2147483647%";
    }

    void progressFollowsPositiveValues()
    {
        QFETCH(double, total);
        QFETCH(double, current);
        QFETCH(int, progress);
        QFETCH(QString, text);
        TransfersFrame page;
        page.captureStarted(1, resource("a.example"), "/d/a.flv");
        page.downloadStarted(1, resource("b.example"), "/d/b.flv");
        page.captureProgress(1, total, current);
        page.downloadProgress(1, total, current);
        for (int row : {0, 1}) {
            QCOMPARE(page.entryAt(row)->progress, progress);
            QCOMPARE(paintedText(page, row), QString(text));
        }
    }

    void progressAfterRunningIgnoresZeroValues()
    {
        TransfersFrame page;
        page.downloadStarted(2, resource("a.example"), "/d/a.flv");
        page.downloadProgress(2, 200, 50);
        page.downloadProgress(2, 0, 0);
        QCOMPARE(page.entryAt(0)->progress, 25);
    }

    void finishAnnouncesVideosAndImagesOnly_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<bool>("capture");
        QTest::newRow("captured video") << int(Video) << true;
        QTest::newRow("downloaded video") << int(Video) << false;
        QTest::newRow("captured image") << int(Image) << true;
        QTest::newRow("downloaded image") << int(Image) << false;
        QTest::newRow("captured other") << int(Other) << true;
        QTest::newRow("downloaded other") << int(Other) << false;
    }

    void finishAnnouncesVideosAndImagesOnly()
    {
        QFETCH(int, kind);
        QFETCH(bool, capture);
        TransfersFrame page;
        QSignalSpy videos(&page, &TransfersFrame::downloadedVideo);
        QSignalSpy images(&page, &TransfersFrame::downloadedImage);
        const HttpResource described = resource("media.tube.example", Kind(kind), 100);
        if (capture) {
            page.captureStarted(7, described, "/d/tube.example_9.mp4");
            page.captureProgress(7, 100, 40);
            page.captureFinished(7, "/d/tube.example_9-1.mp4");
        } else {
            page.downloadStarted(7, described, "/d/tube.example_9.mp4");
            page.downloadProgress(7, 100, 40);
            page.downloadFinished(7, "/d/tube.example_9-1.mp4");
        }
        const auto entry = page.entryAt(0);
        QVERIFY(entry->finished);
        QCOMPARE(entry->progress, 100);
        QCOMPARE(entry->captureId, -1);
        QCOMPARE(entry->downloadId, capture ? -1 : 7);
        QCOMPARE(paintedText(page, 0), QString("Completed"));

        // The engine took the next free name: that is the file announced.
        QCOMPARE(entry->outFile, QString("/d/tube.example_9-1.mp4"));
        const QList<QVariant> announced = {QString("/d/tube.example_9-1.mp4"), QString("Tube.example")};
        QCOMPARE(videos.size(), kind == Video ? 1 : 0);
        QCOMPARE(images.size(), kind == Image ? 1 : 0);
        if (kind == Video)
            QCOMPARE(videos[0], announced);
        if (kind == Image)
            QCOMPARE(images[0], announced);
    }

    void failuresShowTheirStatusText()
    {
        TransfersFrame page;
        page.downloadStarted(1, resource("a.example"), "/d/1.flv");
        page.captureStarted(1, resource("a.example"), "/d/2.flv");
        page.captureStarted(2, resource("a.example"), "/d/3.flv");
        page.downloadError(1, 1, "status 404");
        page.captureError(1, 5, QString());
        page.captureProgress(2, 100, 30);
        page.captureStreamClosed(2);
        QCOMPARE(paintedText(page, 0), QString("Network Error"));
        QCOMPARE(paintedText(page, 1), QString("Network Error"));
        QCOMPARE(paintedText(page, 2), QString("Connection closed"));
        QCOMPARE(page.entryAt(2)->progress, -1);
        // Selected rows still paint their text over the highlight.
        QCOMPARE(paintedText(page, 2, true), QString("Connection closed"));
        // The other columns paint their items as usual.
        QCOMPARE(paintedText(page, 2, false, 0), QString("Video (FLV format) "));
        QCOMPARE(paintedText(page, 2, true, 2), QString("A.example"));
    }

    void barIsPaintedInsideItsCellFromTheLeft()
    {
        TransfersFrame page;
        page.downloadStarted(0, resource("a.example"), "/d/a.flv");
        page.downloadProgress(0, 100, 50);
        QTableWidget* table = tableOf(page);
        QImage image(400, 200, QImage::Format_ARGB32);
        image.fill(Qt::white);
        const QRect cell(100, 60, 150, 30);
        {
            QPainter painter(&image);
            QStyleOptionViewItem option;
            option.initFrom(table);
            option.rect = cell;
            table->itemDelegate()->paint(&painter, option, table->model()->index(0, 1));
        }
        int outside = 0;
        for (int y = 0; y < image.height(); ++y) {
            for (int x = 0; x < image.width(); ++x) {
                if (!cell.contains(x, y) && image.pixel(x, y) != qRgb(255, 255, 255))
                    ++outside;
            }
        }
        QCOMPARE(outside, 0);
        // Half the bar is filled: its left quarter looks unlike its right one.
        // The bar spans y 65..84 (a 30-pixel row gives a 20-pixel bar).
        const QRgb filled = image.pixel(cell.x() + 20, 75);
        const QRgb empty = image.pixel(cell.right() - 20, 75);
        QVERIFY2(filled != empty, "the bar shows no progress");
        QCOMPARE(image.pixel(cell.right() - 20, 62), qRgb(255, 255, 255));  // above the bar
        QCOMPARE(image.pixel(cell.right() - 20, 88), qRgb(255, 255, 255));  // below it
    }

    void errorAfterCompletionShowsTheErrorAndClearRemovesIt()
    {
        TransfersFrame page;
        page.downloadStarted(3, resource("a.example"), "/d/a.flv");
        page.downloadFinished(3);
        page.downloadError(3, 3, "move failed");
        const auto entry = page.entryAt(0);
        QVERIFY(entry->finished);
        QCOMPARE(entry->progress, -1);
        QCOMPARE(paintedText(page, 0), QString("Network Error"));
        clickClear(page);
        QCOMPARE(tableOf(page)->rowCount(), 0);
        QVERIFY(!page.entryAt(0));
    }

    void streamClosedAfterFinishChangesNothing()
    {
        TransfersFrame page;
        QSignalSpy videos(&page, &TransfersFrame::downloadedVideo);
        page.captureStarted(5, resource("a.example"), "/d/a.flv");
        page.captureFinished(5);
        page.captureStreamClosed(5);
        page.captureFinished(5);
        QCOMPARE(page.entryAt(0)->progress, 100);
        QCOMPARE(paintedText(page, 0), QString("Completed"));
        QCOMPARE(videos.size(), 1);
    }

    void unknownIdsChangeNothing()
    {
        TransfersFrame page;
        QSignalSpy videos(&page, &TransfersFrame::downloadedVideo);
        page.captureStarted(1, resource("a.example"), "/d/a.flv");
        page.downloadStarted(1, resource("a.example"), "/d/b.flv");
        page.captureProgress(9, 10, 5);
        page.captureError(9, 1, QString());
        page.captureStreamClosed(9);
        page.captureFinished(9);
        page.downloadProgress(9, 10, 5);
        page.downloadError(9, 0, QString());
        page.downloadFinished(9);
        // -1 is the "no id" mark of the other kind, never a transfer's id.
        page.captureFinished(-1);
        page.downloadFinished(-1);
        for (int row : {0, 1}) {
            QCOMPARE(page.entryAt(row)->progress, 0);
            QVERIFY(!page.entryAt(row)->finished);
        }
        QCOMPARE(videos.size(), 0);
    }

    void clearKeepsWaitingAndRunningRows()
    {
        TransfersFrame page;
        page.captureStarted(1, resource("a.one.example"), "/d/waiting.flv");
        page.captureStarted(2, resource("b.two.example"), "/d/done.flv");
        page.downloadStarted(1, resource("c.three.example"), "/d/running.flv");
        page.downloadStarted(2, resource("d.four.example"), "/d/failed.flv");
        page.captureStarted(3, resource("e.one.example"), "/d/running2.flv");
        page.captureFinished(2);
        page.downloadProgress(1, 100, 50);
        page.downloadError(2, 0, QString());
        page.captureProgress(3, 100, 10);
        tableOf(page)->setRowHidden(4, true);

        clickClear(page);
        QCOMPARE(columnTexts(page, 2), QStringList({"One.example", "Three.example", "One.example"}));
        QCOMPARE(page.entryAt(0)->outFile, QString("/d/waiting.flv"));
        QCOMPARE(page.entryAt(1)->outFile, QString("/d/running.flv"));
        QCOMPARE(page.entryAt(2)->outFile, QString("/d/running2.flv"));
        QVERIFY(!page.entryAt(3));
        QVERIFY(tableOf(page)->isRowHidden(2));  // Clear leaves the filter as it was
        QCOMPARE(paintedText(page, 1), QString("50%"));
        // The removed rows' origins are no longer offered.
        QStringList offered = choices(page);
        offered.sort();
        QCOMPARE(offered, QStringList({"", "One.example", "Three.example"}));

        // Only waiting and running rows left: nothing to remove, the choices
        // are rebuilt all the same (a text entered earlier is dropped).
        searchOf(page)->addItem("typed earlier");
        clickClear(page);
        QCOMPARE(tableOf(page)->rowCount(), 3);
        QVERIFY(!choices(page).contains("typed earlier"));

        // Events of cleared transfers reach nobody.
        page.captureFinished(2);
        page.downloadError(2, 0, QString());
        QCOMPARE(tableOf(page)->rowCount(), 3);
    }

    void successiveCapturesOnOneConnectionReachTheirOwnRows()
    {
        TransfersFrame page;
        QSignalSpy videos(&page, &TransfersFrame::downloadedVideo);
        page.captureStarted(6, resource("a.example"), "/d/first.flv");
        page.captureFinished(6);
        page.captureStarted(6, resource("a.example"), "/d/second.flv");
        page.captureProgress(6, 100, 60);
        QCOMPARE(page.entryAt(0)->progress, 100);
        QCOMPARE(page.entryAt(1)->progress, 60);
        page.captureFinished(6);
        QCOMPARE(videos.size(), 2);
        QCOMPARE(videos[1][0].toString(), QString("/d/second.flv"));
    }

    void idsReusedAfterRestartReachTheNewRow()
    {
        // First monitoring: a finished download, a failed download, a failed
        // capture and a waiting capture, each keeping its id.
        TransfersFrame page;
        QSignalSpy videos(&page, &TransfersFrame::downloadedVideo);
        page.downloadStarted(0, resource("a.example"), "/d/old-finished.flv");
        page.downloadFinished(0);
        page.downloadStarted(1, resource("a.example"), "/d/old-failed.flv");
        page.downloadError(1, 0, QString());
        page.captureStarted(0, resource("a.example"), "/d/old-failed-capture.flv");
        page.captureError(0, 4, QString());
        page.captureStarted(1, resource("a.example"), "/d/old-waiting.flv");

        // Monitoring restarts: the ids begin again.
        page.downloadStarted(0, resource("b.example"), "/d/new0.flv");
        page.downloadStarted(1, resource("b.example"), "/d/new1.flv");
        page.captureStarted(0, resource("b.example"), "/d/new-capture0.flv");
        page.captureStarted(1, resource("b.example"), "/d/new-capture1.flv");
        page.downloadProgress(0, 100, 10);
        page.downloadProgress(1, 100, 20);
        page.captureProgress(0, 100, 30);
        page.captureProgress(1, 100, 40);
        page.downloadError(0, 0, QString());
        page.downloadFinished(1);
        page.captureFinished(1);

        QCOMPARE(page.entryAt(0)->progress, 100);   // old finished download untouched
        QCOMPARE(page.entryAt(1)->progress, -1);    // old failed download untouched
        QCOMPARE(page.entryAt(2)->progress, -1);
        QCOMPARE(page.entryAt(3)->progress, 0);     // old waiting capture untouched
        QCOMPARE(page.entryAt(4)->progress, -1);
        QCOMPARE(page.entryAt(5)->progress, 100);
        QCOMPARE(page.entryAt(6)->progress, 30);
        QCOMPARE(page.entryAt(7)->progress, 100);
        QCOMPARE(videos.size(), 3);
        QCOMPARE(videos[1][0].toString(), QString("/d/new1.flv"));
        QCOMPARE(videos[2][0].toString(), QString("/d/new-capture1.flv"));
    }

    void slotsReachedQueuedFromAnotherThread()
    {
        // The capture engine emits from its own threads; the page receives
        // the resource description by value through a queued call.
        registerHttpResourceMetaType();
        TransfersFrame page;
        QSignalSpy images(&page, &TransfersFrame::downloadedImage);
        std::thread engine([&page] {
            QMetaObject::invokeMethod(&page, "captureStarted", Qt::QueuedConnection, Q_ARG(int, 3),
                                      Q_ARG(HttpResource, resource("i.pics.example", Image, 10)),
                                      Q_ARG(QString, "/d/p.png"));
            QMetaObject::invokeMethod(&page, "captureFinished", Qt::QueuedConnection, Q_ARG(int, 3));
        });
        engine.join();
        QTRY_COMPARE_WITH_TIMEOUT(images.size(), 1, 10000);
        QCOMPARE(images[0][1].toString(), QString("Pics.example"));
    }
};

QTEST_MAIN(TransfersFrameTest)
#include "transfers_frame_test.moc"
