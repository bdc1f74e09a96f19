// The whole program once, as a person uses it: the main window on a real X
// server, monitoring started from the Welcome page on one end of a veth link,
// a browser stand-in fetching two pictures and a video from a web site at the
// other end (a second network namespace), and then the transfers, the files,
// both catalogues with their thumbnails and stores, the badges, and Stop.
// Needs root (namespaces, capture) and Xvfb.

#include "ApplicationSetup.h"
#include "CaptureEngine.h"
#include "CatalogueCommands.h"
#include "Formatting.h"
#include "HttpResource.h"
#include "MainWindow.h"
#include "TransfersFrame.h"
#include "VideoFile.h"
#include "WelcomeFrame.h"
#include "tests/e2e/catalogue_tables.hpp"
#include "tests/e2e/site_media.hpp"
#include "tests/e2e/test_network.hpp"
#include "tests/gui/WindowTestSupport.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QDate>
#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QFutureWatcherBase>
#include <QLabel>
#include <QPointer>
#include <QRegularExpression>
#include <QStackedWidget>
#include <QThreadPool>
#include <QToolButton>

#include <cstdlib>
#include <algorithm>
#include <functional>
#include <memory>
#include <string>

using namespace e2e;

namespace {

// The site as the browser names it; its files land in a folder of its domain.
const char siteHost[] = "media.sitename.test";
const QString siteFolder = QStringLiteral("sitename.test");
const QString siteOrigin = QStringLiteral("Sitename.test");

enum SideRow { WelcomeRow, TransfersRow, VideosRow, ImagesRow };

} // namespace

class WholeProgramLiveTest : public QObject {
    Q_OBJECT

public:
    WholeProgramLiveTest(QString whyNot, QString siteFiles)
        : whyNot_(std::move(whyNot)), siteFiles_(std::move(siteFiles))
    {
    }

private:
    const QString whyNot_;
    const QString siteFiles_;
    QList<Medium> media_;
    window_test::Prompts prompts_;
    std::unique_ptr<MainWindow> window_;
    QPointer<CaptureEngine> engine_;
    QDate firstDay_;
    QStringList listedVideos_, listedImages_;  // the catalogue rows, as "file|origin|info"

    void openWindow()
    {
        // The update check asks a port where nobody listens: it fails at once.
        window_ = std::make_unique<MainWindow>(nullptr, QUrl(QStringLiteral("http://127.0.0.1:1/update-check-v11/")));
        window_->show();
        QVERIFY(QTest::qWaitForWindowExposed(window_.get()));
    }

    void closeWindow()
    {
        // Thumbnails still on their way are waited for before the pages go.
        QVERIFY(QTest::qWaitFor([&] { return window_->findChildren<QFutureWatcherBase*>().isEmpty(); }, 30000));
        QVERIFY(window_->close());
        QVERIFY(!window_->isVisible());
        window_.reset();
    }

    template <typename T>
    T* find(const char* name) const
    {
        return window_ ? window_->findChild<T*>(QLatin1String(name)) : nullptr;
    }

    TransfersFrame* transfers() const { return window_ ? window_->findChild<TransfersFrame*>() : nullptr; }

    QList<QSharedPointer<TransferEntry>> transferEntries() const
    {
        QList<QSharedPointer<TransferEntry>> entries;
        auto* table = find<QTableWidget>("transfersTableWidget");
        for (int row = 0; table && row < table->rowCount(); ++row)
            entries.append(transfers()->entryAt(row));
        return entries;
    }

    // The served medium whose content the kept file's suffix names.
    const Medium* mediumOf(const QString& file) const
    {
        for (const Medium& medium : media_)
            if (QFileInfo(file).suffix() == medium.suffix)
                return &medium;
        return nullptr;
    }

    // Every transfer has ended, and each medium has at least one.
    bool transfersEnded() const
    {
        const auto entries = transferEntries();
        for (const auto& entry : entries)
            if (!entry || (!entry->finished && entry->progress >= 0))
                return false;
        for (const Medium& medium : media_)
            if (std::none_of(entries.begin(), entries.end(),
                             [&](const auto& entry) { return mediumOf(entry->outFile) == &medium; }))
                return false;
        return true;
    }

    // The kept files of one kind ("Image" or "Video"), in transfer order.
    QStringList keptFiles(const QString& kind) const
    {
        QStringList files;
        for (const auto& entry : transferEntries())
            if (const Medium* medium = mediumOf(entry->outFile); medium && medium->kind == kind)
                files.append(entry->outFile);
        return files;
    }

    void clickSideRow(int row)
    {
        auto* side = find<QTableWidget>("sideTableWidget");
        QTest::mouseClick(side->viewport(), Qt::LeftButton, {}, side->visualItemRect(side->item(row, 0)).center());
    }

    QImage badge(int row) const
    {
        const auto* label = qobject_cast<QLabel*>(find<QTableWidget>("sideTableWidget")->cellWidget(row, 1));
        return label ? label->pixmap().toImage() : QImage();
    }

    // Saves a picture of the whole window into $VENDRAX_SCREENSHOTS, when set.
    void screenshot(const QString& name)
    {
        const QString folder = qEnvironmentVariable("VENDRAX_SCREENSHOTS");
        if (folder.isEmpty())
            return;
        QDir().mkpath(folder);
        const QString path = folder + QLatin1Char('/') + name + QStringLiteral(".png");
        QVERIFY2(window_->grab().save(path, "PNG"), qPrintable(path));
    }

    QStringList pageRows(const char* tableName) const { return catalogueRows(find<QTableWidget>(tableName)); }
    bool thumbnailsShown(const char* tableName) const { return thumbnailsIn(find<QTableWidget>(tableName)); }
    void checkThumbnails(const char* tableName) { checkThumbnailSizes(find<QTableWidget>(tableName)); }

private slots:
    void initTestCase()
    {
        if (!whyNot_.isEmpty())
            QSKIP(qPrintable(whyNot_));

        const QImage photo = noise(320, 200), picture = noise(200, 120);
        media_ = {
            {"/images/photo.png", "photo.png", "image/png", "png", "Image", encoded(photo, "PNG")},
            {"/images/picture.jpg", "picture.jpg", "image/jpeg", "jpeg", "Image", encoded(picture, "JPEG")},
            {"/videos/clip.mp4", "clip.mp4", "video/mp4", "mp4", "Video",
             testVideo(siteFiles_ + QStringLiteral("/clip.mp4"))},
        };
        for (const Medium& medium : std::as_const(media_)) {
            // Above the sizes below which the program takes a file for an icon
            // or a player's decoration.
            QVERIFY2(medium.body.size() > (medium.kind == QLatin1String("Video") ? 10240 : 5120),
                     qPrintable(medium.fileName));
            QVERIFY(window_test::writeFile(siteFiles_ + QLatin1Char('/') + medium.fileName, medium.body));
        }

        // The real probe and converter (beside the executable in the program).
        setExternalProgramsForTesting(QStringLiteral(VENDRAX_EXTERNAL_PROGRAMS_DIR "/ffprobe"),
                                      QStringLiteral(VENDRAX_EXTERNAL_PROGRAMS_DIR "/ffmpeg"));
        // No box may wait for a click that never comes; every one is recorded.
        prompts_.install();
    }

    void cleanupTestCase()
    {
        window_.reset();
        QThreadPool::globalInstance()->waitForDone(30000);
        setExternalProgramsForTesting({}, {});
    }

    void startMonitoringOnTheLink()
    {
        openWindow();
        if (QTest::currentTestFailed())
            return;

        // The person picks the link's interface from the device list...
        auto* combo = find<QComboBox>("ifaceComboBox");
        const int index = combo->findData(QString::fromLatin1(e2e::application_interface));
        QVERIFY2(index > 0, qPrintable(QStringLiteral("%1 is not offered").arg(e2e::application_interface)));
        QCOMPARE(combo->itemText(index), QString::fromLatin1(e2e::application_interface));
        QTest::mouseClick(combo, Qt::LeftButton);
        QAbstractItemView* list = combo->view();
        QTRY_VERIFY_WITH_TIMEOUT(list->isVisible(), 30000);
        // The person moves to the entry and confirms it with the Return key:
        // a mouse click into a popup that a loaded machine has not laid out
        // yet can miss its item.
        list->setCurrentIndex(combo->model()->index(index, 0));
        QTest::keyClick(list, Qt::Key_Return);
        QTRY_COMPARE_WITH_TIMEOUT(combo->currentIndex(), index, 30000);
        QTRY_VERIFY_WITH_TIMEOUT(!list->isVisible(), 30000);

        // ...and presses Start.
        auto* start = find<QToolButton>("startButton");
        QCOMPARE(start->text(), QStringLiteral("Start Monitoring"));
        QTest::mouseClick(start, Qt::LeftButton);
        QCOMPARE(start->text(), QStringLiteral("Stop Monitoring"));
        QVERIFY(!combo->isEnabled());
        engine_ = window_->findChild<CaptureEngine*>();
        QVERIFY(engine_);
        QTRY_VERIFY_WITH_TIMEOUT(engine_->isRunning(), 30000);
        QVERIFY2(prompts_.messages.isEmpty(), qPrintable(prompts_.titles().join(", ")));
    }

    void browseTwoPicturesAndAVideo()
    {
        QVERIFY(engine_);
        firstDay_ = QDate::currentDate();

        // libnids follows only connections whose opening it saw, and nothing
        // shows when its capture has opened: the first picture is fetched
        // again until its capture appears on the transfers page.
        auto* table = find<QTableWidget>("transfersTableWidget");
        const Medium& first = media_[0];
        const QDeadlineTimer limit(30000);
        bool seen = false;
        while (!seen && !limit.hasExpired()) {
            QCOMPARE(fetch(siteHost, first.path), first.body);
            seen = QTest::qWaitFor([&] { return table->rowCount() > 0; }, 2000);
        }
        QVERIFY2(seen, "no capture of the first picture within 30 s");

        for (const Medium& medium : std::as_const(media_).mid(1))
            QCOMPARE(fetch(siteHost, medium.path), medium.body);

        QTRY_VERIFY_WITH_TIMEOUT(transfersEnded(), 30000);
    }

    void transfersCompletedIntoTheSiteFolder()
    {
        const auto entries = transferEntries();
        QVERIFY(!entries.isEmpty());
        const QString data = window_test::dataFolder();
        const QStringList days = {firstDay_.toString(QStringLiteral("yyyy-MM-dd")),
                                  QDate::currentDate().toString(QStringLiteral("yyyy-MM-dd"))};
        auto* table = find<QTableWidget>("transfersTableWidget");
        QCOMPARE(entries.size(), table->rowCount());
        for (int row = 0; row < entries.size(); ++row) {
            const TransferEntry& entry = *entries[row];
            const QString file = entry.outFile;
            QVERIFY2(entry.finished && entry.progress == 100,
                     qPrintable(QStringLiteral("%1: progress %2, %3").arg(file).arg(entry.progress).arg(entry.statusText)));
            const Medium* medium = mediumOf(file);
            QVERIFY2(medium, qPrintable(file));

            // Pictures are kept as they pass; the video is fetched again by
            // the program itself.
            if (medium->kind == QLatin1String("Image"))
                QVERIFY2(entry.downloadId == -1, qPrintable(file));
            else
                QVERIFY2(entry.downloadId >= 1, qPrintable(file));

            const QFileInfo info(file);
            QVERIFY2(info.path() == data + QLatin1Char('/') + days[0] + QLatin1Char('/') + siteFolder
                         || info.path() == data + QLatin1Char('/') + days[1] + QLatin1Char('/') + siteFolder,
                     qPrintable(file));
            QVERIFY2(QRegularExpression(QStringLiteral("^sitename\\.test_\\d+\\.%1$").arg(medium->suffix))
                         .match(info.fileName()).hasMatch(),
                     qPrintable(info.fileName()));
            QVERIFY2(fileBytes(file) == medium->body, qPrintable(file + QStringLiteral(" differs from the served body")));

            QCOMPARE(table->item(row, 0)->text(), QStringLiteral("%1 (%2 format) %3")
                                                      .arg(medium->kind, medium->suffix.toUpper(),
                                                           formatSize(medium->body.size(), false)));
            QCOMPARE(table->item(row, 2)->text(), siteOrigin);
        }

        // The video went to the site twice: the browser's request, then the
        // program's own with the browser's headers.
        QStringList videoRequests;
        QFile log(siteFiles_ + QStringLiteral("/requests.log"));
        QVERIFY(log.open(QIODevice::ReadOnly));
        for (const QByteArray& line : log.readAll().split('\n'))
            if (line.contains(" /videos/clip.mp4 "))
                videoRequests.append(QString::fromLatin1(line));
        QCOMPARE(videoRequests, QStringList(2, QStringLiteral("GET /videos/clip.mp4 media.sitename.test")));
    }

    void cataloguesListTheFilesWithThumbnails()
    {
        const QStringList videos = keptFiles(QStringLiteral("Video")), images = keptFiles(QStringLiteral("Image"));
        QCOMPARE(videos.size(), 1);
        QVERIFY(images.size() >= 2);

        // Each row: the file, its origin, its info; then its thumbnail.
        QStringList expectedVideos, expectedImages;
        for (const QString& file : videos) {
            MediaInfo probed;
            QVERIFY(VideoFile(file).readMediaInfo(probed));
            const QStringList info = {
                QStringLiteral("QuickTime / MOV"), QStringLiteral("Duration: 00:00:02"),
                QStringLiteral("File size: ") + formatSize(mediumOf(file)->body.size(), false),
                QStringLiteral("Bit rate: ") + formatSize(probed.bitRate, true) + QStringLiteral("/s")};
            expectedVideos.append(file + QLatin1Char('|') + siteOrigin + QLatin1Char('|') + info.join(QLatin1Char('\n')));
        }
        for (const QString& file : images) {
            const QString size = mediumOf(file)->suffix == QLatin1String("png") ? QStringLiteral("320x200")
                                                                                 : QStringLiteral("200x120");
            expectedImages.append(file + QLatin1Char('|') + siteOrigin + QStringLiteral("|Size: ") + size);
        }
        QCOMPARE(pageRows("videosTableWidget"), expectedVideos);
        QCOMPARE(pageRows("imagesTableWidget"), expectedImages);
        listedVideos_ = expectedVideos;
        listedImages_ = expectedImages;

        QTRY_VERIFY_WITH_TIMEOUT(thumbnailsShown("videosTableWidget") && thumbnailsShown("imagesTableWidget"), 30000);
        checkThumbnails("videosTableWidget");
        checkThumbnails("imagesTableWidget");
        for (const QString& file : videos)
            QVERIFY2(QFileInfo::exists(thumbnailPath(file)), qPrintable(thumbnailPath(file)));

        // The stores hold the same rows, read through a connection of our own.
        QCOMPARE(window_test::storedRows(QStringLiteral("/videos.dat"), QStringLiteral("VIDEOS")), expectedVideos);
        QCOMPARE(window_test::storedRows(QStringLiteral("/images.dat"), QStringLiteral("IMAGES")), expectedImages);
    }

    void badgesAndTheFourPages()
    {
        const int videoCount = keptFiles(QStringLiteral("Video")).size();
        const int imageCount = keptFiles(QStringLiteral("Image")).size();
        const QImage videoBadge = resourceImage(QStringLiteral(":/images/red%1.png").arg(videoCount));
        const QImage imageBadge = resourceImage(QStringLiteral(":/images/red%1.png").arg(imageCount));
        QVERIFY(!videoBadge.isNull() && !imageBadge.isNull());
        auto* side = find<QTableWidget>("sideTableWidget");
        auto* pages = find<QStackedWidget>("centerStackedWidget");

        // The person stayed on the Welcome page while browsing.
        QCOMPARE(side->currentRow(), int(WelcomeRow));
        QCOMPARE(badge(VideosRow), videoBadge);
        QCOMPARE(badge(ImagesRow), imageBadge);
        screenshot(QStringLiteral("1-welcome"));

        clickSideRow(TransfersRow);
        QCOMPARE(pages->currentIndex(), int(TransfersRow));
        QCOMPARE(badge(VideosRow), videoBadge);
        QCOMPARE(badge(ImagesRow), imageBadge);
        screenshot(QStringLiteral("2-transfers"));

        // Showing a catalogue takes its badge off the side list (the label
        // goes on the next turn of the event loop).
        QPointer<QWidget> videoBadgeLabel = side->cellWidget(VideosRow, 1);
        clickSideRow(VideosRow);
        QCOMPARE(pages->currentIndex(), int(VideosRow));
        QVERIFY(badge(VideosRow).isNull());
        QTRY_VERIFY_WITH_TIMEOUT(videoBadgeLabel.isNull(), 30000);
        QCOMPARE(badge(ImagesRow), imageBadge);
        screenshot(QStringLiteral("3-videos"));

        QPointer<QWidget> imageBadgeLabel = side->cellWidget(ImagesRow, 1);
        clickSideRow(ImagesRow);
        QCOMPARE(pages->currentIndex(), int(ImagesRow));
        QVERIFY(badge(ImagesRow).isNull());
        QTRY_VERIFY_WITH_TIMEOUT(imageBadgeLabel.isNull(), 30000);
        screenshot(QStringLiteral("4-images"));

        clickSideRow(WelcomeRow);
        QCOMPARE(pages->currentIndex(), int(WelcomeRow));
    }

    void stopAndClose()
    {
        QVERIFY(engine_);
        bool threadFinished = false;
        connect(engine_, &QThread::finished, this, [&] { threadFinished = true; }, Qt::DirectConnection);

        auto* stop = find<QToolButton>("startButton");
        QCOMPARE(stop->text(), QStringLiteral("Stop Monitoring"));
        QTest::mouseClick(stop, Qt::LeftButton);
        // Stopping waits for the capture thread and destroys it.
        QVERIFY(threadFinished);
        QVERIFY(engine_.isNull());
        QVERIFY(window_->findChild<CaptureEngine*>() == nullptr);
        QCOMPARE(stop->text(), QStringLiteral("Start Monitoring"));
        QVERIFY(find<QComboBox>("ifaceComboBox")->isEnabled());

        closeWindow();
        if (QTest::currentTestFailed())
            return;
        QVERIFY2(prompts_.messages.isEmpty(), qPrintable(prompts_.titles().join(", ")));
    }

    void nextStartListsTheSameFiles()
    {
        QVERIFY(!listedVideos_.isEmpty() && !listedImages_.isEmpty());
        openWindow();
        if (QTest::currentTestFailed())
            return;

        // The rows come back from the stores alone, in the order stored, with
        // their thumbnails (the video's frame file is reused); nothing is
        // stored twice and nothing counts as new.
        QTRY_COMPARE_WITH_TIMEOUT(pageRows("videosTableWidget"), listedVideos_, 30000);
        QTRY_COMPARE_WITH_TIMEOUT(pageRows("imagesTableWidget"), listedImages_, 30000);
        QTRY_VERIFY_WITH_TIMEOUT(thumbnailsShown("videosTableWidget") && thumbnailsShown("imagesTableWidget"), 30000);
        checkThumbnails("imagesTableWidget");
        checkThumbnails("videosTableWidget");
        // The video's frame file was written within the thumbnail bounds and
        // is shown as it was written.
        auto* videos = find<QTableWidget>("videosTableWidget");
        for (int row = 0; row < videos->rowCount(); ++row) {
            const QIcon icon = videos->item(row, 0)->icon();
            const QImage frame(thumbnailPath(videos->item(row, 0)->data(Qt::UserRole).toString()));
            QVERIFY(!icon.isNull() && !frame.isNull());
            QCOMPARE(icon.availableSizes().value(0), frame.size());
        }
        clickSideRow(VideosRow);
        screenshot(QStringLiteral("5-videos-after-restart"));
        clickSideRow(WelcomeRow);
        QCOMPARE(window_test::storedRows(QStringLiteral("/videos.dat"), QStringLiteral("VIDEOS")), listedVideos_);
        QCOMPARE(window_test::storedRows(QStringLiteral("/images.dat"), QStringLiteral("IMAGES")), listedImages_);
        QVERIFY(badge(VideosRow).isNull() && badge(ImagesRow).isNull());
        QCOMPARE(find<QTableWidget>("transfersTableWidget")->rowCount(), 0);

        closeWindow();
        if (QTest::currentTestFailed())
            return;
        QVERIFY2(prompts_.messages.isEmpty(), qPrintable(prompts_.titles().join(", ")));
    }
};

int main(int argc, char** argv)
{
    // No proxy may take the program's requests or its replayed downloads
    // anywhere but to the site.
    for (const char* name : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"})
        ::unsetenv(name);

    // Everything that forks or changes namespace comes before any thread.
    QTemporaryDir siteFiles;
    const std::string site = siteFiles.path().toStdString();
    const std::vector<e2e::site_page> pages = {
        {"/images/photo.png", site + "/photo.png", "image/png"},
        {"/images/picture.jpg", site + "/picture.jpg", "image/jpeg"},
        {"/videos/clip.mp4", site + "/clip.mp4", "video/mp4"},
    };
    e2e::site_network network;
    e2e::display_server display;
    QString whyNot;
    if (!siteFiles.isValid())
        whyNot = QStringLiteral("cannot make a temporary folder");
    else if (!network.start(pages, site + "/requests.log"))
        whyNot = QString::fromStdString(network.failure());
    else if (!display.start())
        whyNot = QStringLiteral("needs an X server: ") + QString::fromStdString(display.failure());

    if (whyNot.isEmpty()) {
        qputenv("DISPLAY", QByteArray::fromStdString(display.display()));
        qputenv("QT_QPA_PLATFORM", "xcb");
    } else {
        qputenv("QT_QPA_PLATFORM", "offscreen");  // only to report the skip
    }

    // As the program's main sets itself up, with a home of the test's own.
    window_test::PrivateHome home;
    QApplication application(argc, argv);
    setUpApplication(application);

    WholeProgramLiveTest test(whyNot, siteFiles.path());
    return QTest::qExec(&test, argc, argv);
}

#include "whole_program_live_test.moc"
