#include "FFMpegConverter.h"
#include "VideoFile.h"
#include "VideosFrame.h"
#include "WindowTestSupport.h"

#include "tests/core/MediaFixtures.h"

#include <QComboBox>
#include <QFutureWatcherBase>
#include <QProgressDialog>
#include <QPushButton>
#include <QRegularExpression>
#include <QSettings>
#include <QThreadPool>
#include <QToolButton>

using namespace window_test;

// The videos page: its rows with the real probe and converter on a small
// generated video, and its commands with a small stand-in converter whose
// behaviour each input's name chooses. Every dialog is answered by Prompts.
class VideosFrameTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir files;
    std::unique_ptr<Prompts> prompts;
    QString fakeProbe;
    QString fakeConverter;
    QString conversionLog; // one line per file the stand-in converted

    QTableWidget* table(VideosFrame& page) { return page.findChild<QTableWidget*>("videosTableWidget"); }
    void click(VideosFrame& page, const char* button) { page.findChild<QToolButton*>(button)->click(); }

    static void waitForLoader()
    {
        QVERIFY(QThreadPool::globalInstance()->waitForDone(30000));
        QCoreApplication::processEvents();
    }

    static bool thumbnailsDone(VideosFrame& page)
    {
        return QTest::qWaitFor([&] { return page.findChildren<QFutureWatcherBase*>().isEmpty(); }, 60000);
    }

    QString sitePath(const QString& site, const QString& name) const
    {
        return files.path() + QStringLiteral("/2026-12-07/") + site + QLatin1Char('/') + name;
    }

    // Files that only the stand-in programs read.
    QStringList makeVideos(const QStringList& names, const QString& site = QStringLiteral("example.com"))
    {
        QStringList paths;
        for (const QString& name : names) {
            paths.append(sitePath(site, name));
            writeFile(paths.last(), "video bytes of " + name.toUtf8());
        }
        return paths;
    }

    void fill(VideosFrame& page, const QStringList& paths)
    {
        waitForLoader();
        for (const QString& path : paths)
            page.appendVideoFromFile(path, QStringLiteral("Example.com"));
        QVERIFY(thumbnailsDone(page));
    }

    QStringList converted() const
    {
        QFile log(conversionLog);
        if (!log.open(QIODevice::ReadOnly))
            return {};
        return QString::fromUtf8(log.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }

    void useStandIns() { setExternalProgramsForTesting(fakeProbe, fakeConverter); }

private slots:
    void initTestCase()
    {
        using media_fixtures::shellQuoted;
        conversionLog = files.path() + QStringLiteral("/converted.log");
        fakeProbe = media_fixtures::writeScript(files.path(), "probe", "exit 0\n");
        // Thumbnail requests end at once without a frame. A conversion logs
        // its input and then, by the input's name: "fail" exits 1, "hang"
        // writes part of its output and waits to be killed, anything else
        // reports its duration and progress, writes the output and exits 0.
        fakeConverter = media_fixtures::writeScript(files.path(), "converter", QStringLiteral(R"(
case " $* " in *" -vframes "*) exit 0 ;; esac
input=
previous=
for argument in "$@"; do
    [ "$previous" = "-i" ] && input=$argument
    previous=$argument
    output=$argument
done
echo "$input" >> %1
echo "  Duration: 00:00:02.00, start: 0.000000, bitrate: 10 kb/s" >&2
case "$input" in
    *fail*) exit 1 ;;
    *hang*) echo partial > "$output"; echo "time=00:00:01.00 bitrate=1" >&2; exec sleep 60 ;;
esac
echo "frame=1 time=00:00:02.00 bitrate=1" >&2
echo converted > "$output"
exit 0
)").arg(shellQuoted(conversionLog)));
        QVERIFY(!fakeProbe.isEmpty() && !fakeConverter.isEmpty());
    }

    void init()
    {
        removeCatalogueFiles();
        QFile::remove(conversionLog);
        prompts = std::make_unique<Prompts>();
        prompts->install();
        QSettings().clear();
        useStandIns();
    }

    void cleanup()
    {
        prompts.reset();
        QVERIFY(QThreadPool::globalInstance()->waitForDone(60000));
        setExternalProgramsForTesting({}, {});
    }

    void presetsAndInitialChoice()
    {
        VideosFrame page;
        const auto* presets = page.findChild<QComboBox*>("videoFormatComboBox");
        QCOMPARE(presets->count(), 40);
        QCOMPARE(presets->itemText(0), QStringLiteral("QuickTime"));
        QCOMPARE(presets->currentText(), QStringLiteral("Windows Media Video"));
    }

    void newVideoWithTheRealProbeAndConverter()
    {
        setExternalProgramsForTesting(media_fixtures::launcher("ffprobe"), media_fixtures::launcher("ffmpeg"));
        const QString path = sitePath("example.com", "clip.mp4");
        QDir().mkpath(QFileInfo(path).path());
        QVERIFY(media_fixtures::makeTestVideo(path, QSize(320, 240), 2));

        VideosFrame page;
        waitForLoader();
        page.appendVideoFromFile(path, QStringLiteral("Example.com"));
        QTableWidget* rows = table(page);
        const QString info = rows->item(0, 2)->text();
        const QRegularExpression expected(QStringLiteral(
            "^QuickTime / MOV\nDuration: 00:00:02\nFile size: [0-9.]+ KB\nBit rate: [0-9.]+ KBit/s$"));
        QVERIFY2(expected.match(info).hasMatch(), qPrintable(info));
        QCOMPARE(storedRows("/videos.dat", "VIDEOS"), QStringList{path + "|Example.com|" + info});

        QVERIFY(thumbnailsDone(page));
        QCOMPARE(rows->item(0, 0)->text(), QString());
        QCOMPARE(rows->item(0, 0)->icon().availableSizes(), QList<QSize>{QSize(200, 150)});
        QVERIFY(QFile::exists(thumbnailPath(path)));
    }

    void infoTextFromTheProbe_data()
    {
        QTest::addColumn<QString>("duration");
        QTest::addColumn<QString>("shown");
        QTest::newRow("as printed") << "7265.9" << "02:01:05";
        // Durations beyond an int of seconds are held at its limits.
        QTest::newRow("beyond int") << "1e12" << "596523:14:07";
        QTest::newRow("infinite") << "inf" << "596523:14:07";
        QTest::newRow("beyond int, negative") << "-1e12" << "-596523:-14:-8";
    }
    void infoTextFromTheProbe()
    {
        QFETCH(QString, duration);
        QFETCH(QString, shown);
        // A name holding a marker of the text itself must come through as is.
        const QString probe = media_fixtures::writeScript(files.path(), "talking-probe",
            "echo 'format_long_name=Odd %2 name'\necho duration=" + duration
                + "\necho size=1536\necho bit_rate=2048\n");
        setExternalProgramsForTesting(probe, fakeConverter);
        const QStringList paths = makeVideos({"info.flv"});
        VideosFrame page;
        fill(page, paths);
        const QString info = "Odd %2 name\nDuration: " + shown + "\nFile size: 1.5 KB\nBit rate: 2.0 KBit/s";
        QCOMPARE(table(page)->item(0, 2)->text(), info);
        QCOMPARE(storedRows("/videos.dat", "VIDEOS"), QStringList{paths[0] + "|Example.com|" + info});
    }

    void failedProbeIsStoredEmptyOnceAndProbedAgainAfterRestart()
    {
        const QStringList paths = makeVideos({"clip.flv"});
        setExternalProgramsForTesting(files.path() + "/no-such-probe", fakeConverter);
        {
            VideosFrame page;
            fill(page, paths);
            QCOMPARE(table(page)->item(0, 2)->text(), QString());
        }
        QCOMPARE(storedRows("/videos.dat", "VIDEOS"), QStringList{paths[0] + "|Example.com|"});

        useStandIns(); // a probe that prints nothing: zero values
        VideosFrame page;
        QTableWidget* rows = table(page);
        QTRY_COMPARE_WITH_TIMEOUT(rows->rowCount(), 1, 30000);
        QCOMPARE(rows->item(0, 2)->text(),
                 QStringLiteral("\nDuration: 00:00:00\nFile size: 0.0 bytes\nBit rate: 0.0 bytes/s"));
        QVERIFY(thumbnailsDone(page));
        QCOMPARE(storedRows("/videos.dat", "VIDEOS"), QStringList{paths[0] + "|Example.com|"});
    }

    void deleteTakesThumbnailPlayCopyAndEmptySiteFolder()
    {
        const QStringList only = makeVideos({"a.flv"}, "only.com");
        const QStringList other = makeVideos({"b.flv"}, "other.com");
        const QString thumb = thumbnailPath(only[0]);
        const QString copy = QFileInfo(only[0]).path() + QStringLiteral("/a_flv.wmv");
        QVERIFY(writeFile(thumb, "jpeg") && writeFile(copy, "wmv"));

        VideosFrame page;
        fill(page, only + other);
        selectRows(table(page), {0});
        click(page, "deleteButton");

        QCOMPARE(prompts->messages.size(), 1);
        QCOMPARE(prompts->messages[0].text,
                 QStringLiteral("Are you sure you want to delete 1 selected video files?"));
        QVERIFY(!QFile::exists(only[0]) && !QFile::exists(thumb) && !QFile::exists(copy));
        QVERIFY(!QFileInfo::exists(QFileInfo(only[0]).path()));
        QVERIFY(QFileInfo::exists(files.path() + QStringLiteral("/2026-12-07")));
        QCOMPARE(rowFiles(table(page)), other);
        QCOMPARE(storedRows("/videos.dat", "VIDEOS"), QStringList{other[0] + "|Example.com|" +
                 table(page)->item(0, 2)->text()});
    }

    void saveWarnsWithoutSelectionAndUsesItsOwnKey()
    {
        const QStringList paths = makeVideos({"a.flv"});
        VideosFrame page;
        fill(page, paths);
        click(page, "saveButton");
        QCOMPARE(prompts->messages.last().text, QStringLiteral("Please select at least one video to save."));

        const QString target = files.path() + QStringLiteral("/saved-videos");
        QVERIFY(QDir().mkpath(target));
        prompts->folderAnswer = target;
        selectRows(table(page), {0});
        click(page, "saveButton");
        QVERIFY(QFile::exists(target + QStringLiteral("/a.flv")));
        QCOMPARE(QSettings().value("videos/last_save_dir").toString(), target);
        QVERIFY(!QSettings().contains("images/last_save_dir"));
    }

    void playSelectionWarnings()
    {
        const QStringList paths = makeVideos({"a.flv", "b.flv"});
        VideosFrame page;
        fill(page, paths);
        click(page, "playButton");
        QCOMPARE(prompts->messages.last().title, QStringLiteral("Play"));
        QCOMPARE(prompts->messages.last().text, QStringLiteral("Please select a video to play."));
        selectRows(table(page), {0, 1});
        click(page, "playButton");
        QCOMPARE(prompts->messages.last().text, QStringLiteral("You can only play one video at a time."));
        rowsUnselected(page);
        click(page, "convertButton");
        QCOMPARE(prompts->messages.last().title, QStringLiteral("Convert"));
        QCOMPARE(prompts->messages.last().text, QStringLiteral("Please select at least one video to convert."));
        QVERIFY(converted().isEmpty());
        QVERIFY(page.findChildren<FFMpegConverter*>().isEmpty());
    }

    void playWithAnExistingCopyOpensIt()
    {
        const QStringList paths = makeVideos({"clip.flv"});
        const QString copy = QFileInfo(paths[0]).path() + QStringLiteral("/clip_flv.wmv");
        QVERIFY(writeFile(copy, "left by an earlier play"));
        VideosFrame page;
        fill(page, paths);

        emit table(page)->cellDoubleClicked(0, 2);

        QCOMPARE(prompts->opened.size(), 1);
        QCOMPARE(prompts->opened[0].toLocalFile(), copy);
        QVERIFY(converted().isEmpty());
        QVERIFY(page.findChild<QProgressDialog*>() == nullptr);
        QVERIFY(prompts->messages.isEmpty());
    }

    void playWithoutACopyConvertsThenOpens()
    {
        const QStringList paths = makeVideos({"fresh.flv"});
        const QString copy = QFileInfo(paths[0]).path() + QStringLiteral("/fresh_flv.wmv");
        QVERIFY(!QFile::exists(copy));
        VideosFrame page;
        fill(page, paths);
        selectRows(table(page), {0});

        click(page, "playButton");

        auto* dialog = page.findChild<QProgressDialog*>();
        QVERIFY(dialog);
        QCOMPARE(dialog->windowTitle(), QStringLiteral("Convert"));
        QCOMPARE(dialog->labelText(), QStringLiteral("Converting videos (1 of 1) ..."));
        QCOMPARE(dialog->maximum(), 0);
        QTRY_COMPARE_WITH_TIMEOUT(prompts->opened.size(), 1, 30000);
        QCOMPARE(prompts->opened[0].toLocalFile(), copy);
        QVERIFY(QFile::exists(copy));
        QVERIFY(prompts->messages.isEmpty());
        QTRY_VERIFY_WITH_TIMEOUT(page.findChild<QProgressDialog*>() == nullptr, 30000);
    }

    // Closing the page (or the window) while Play converts stops the
    // converter; what it wrote must not pass for a play copy afterwards.
    void playAfterThePageClosedDuringItsConversionConvertsAgain()
    {
        const QStringList paths = makeVideos({"hang.flv"}, "closed.com");
        const QString folder = QFileInfo(paths[0]).path();
        {
            VideosFrame page;
            fill(page, paths);
            selectRows(table(page), {0});
            click(page, "playButton");
            QTRY_COMPARE_WITH_TIMEOUT(converted().size(), 1, 30000);
        }
        QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden), QStringList{"hang.flv"});

        VideosFrame page;
        fill(page, paths);
        selectRows(table(page), {0});
        click(page, "playButton");
        QTRY_COMPARE_WITH_TIMEOUT(converted().size(), 2, 30000);
        QVERIFY(prompts->opened.isEmpty());
    }

    void convertThreeWhereTheSecondFails()
    {
        const QStringList paths = makeVideos({"one.flv", "two-fail.flv", "three.flv"});
        const QString target = files.path() + QStringLiteral("/converted");
        QVERIFY(QDir().mkpath(target));
        VideosFrame page;
        fill(page, paths);
        selectRows(table(page), {0, 1, 2});
        prompts->folderAnswer = target;

        click(page, "convertButton");

        QCOMPARE(prompts->folderStarts, QStringList{QDir::homePath()});
        QCOMPARE(QSettings().value("videos/last_convert_dir").toString(), target);
        auto* dialog = page.findChild<QProgressDialog*>();
        QVERIFY(dialog);
        QCOMPARE(dialog->labelText(), QStringLiteral("Converting videos (1 of 3) ..."));
        QStringList labels;
        auto* converter = page.findChildren<FFMpegConverter*>().last();
        connect(converter, &FFMpegConverter::conversionStarted, this, [&] { labels.append(dialog->labelText()); });

        QTRY_COMPARE_WITH_TIMEOUT(prompts->opened.size(), 1, 30000);
        QCOMPARE(labels, QStringList{"Converting videos (2 of 3) ..."});
        QCOMPARE(prompts->titles(), QStringList{"Convert Error"});
        QCOMPARE(prompts->messages[0].text, QStringLiteral("Unable to convert video."));
        QCOMPARE(prompts->opened[0].toLocalFile(), target);
        QCOMPARE(converted(), (QStringList{paths[0], paths[1]}));
        QVERIFY(QFile::exists(target + QStringLiteral("/one_flv.wmv")));

        // The next Convert starts in the folder chosen last.
        prompts->folderAnswer.clear();
        click(page, "convertButton");
        QCOMPARE(prompts->folderStarts.last(), target);
        QCOMPARE(converted().size(), 2);
    }

    void cancelThenRunAgain()
    {
        const QStringList paths = makeVideos({"one.flv", "two-hang.flv", "three.flv"});
        const QString target = files.path() + QStringLiteral("/cancelled");
        QVERIFY(QDir().mkpath(target));
        VideosFrame page;
        fill(page, paths);
        selectRows(table(page), {0, 1, 2});
        prompts->folderAnswer = target;

        click(page, "convertButton");
        auto* dialog = page.findChild<QProgressDialog*>();
        QVERIFY(dialog);
        QTRY_COMPARE_WITH_TIMEOUT(dialog->labelText(), QStringLiteral("Converting videos (2 of 3) ..."), 30000);
        QTRY_COMPARE_WITH_TIMEOUT(converted().size(), 2, 30000);

        // While it runs, neither command starts a second conversion.
        selectRows(table(page), {0});
        click(page, "playButton");
        QCOMPARE(prompts->titles(), QStringList{"Play"});
        QCOMPARE(page.findChildren<FFMpegConverter*>().size(), 1);

        // The dialog's own Cancel button.
        dialog->findChild<QPushButton*>()->click();

        QCOMPARE(QDir(target).entryList(QDir::Files | QDir::Hidden), QStringList{"one_flv.wmv"});
        QCoreApplication::processEvents();
        QCOMPARE(converted(), (QStringList{paths[0], paths[1]}));
        QVERIFY(prompts->opened.isEmpty());
        QCOMPARE(prompts->messages.size(), 1);

        // The kept dialog shows the next run, which then disposes of it.
        selectRows(table(page), {2});
        click(page, "convertButton");
        QCOMPARE(page.findChild<QProgressDialog*>(), dialog);
        QCOMPARE(dialog->labelText(), QStringLiteral("Converting videos (1 of 1) ..."));
        QTRY_COMPARE_WITH_TIMEOUT(prompts->opened.size(), 1, 30000);
        QCOMPARE(prompts->messages.size(), 1);
        QTRY_VERIFY_WITH_TIMEOUT(page.findChild<QProgressDialog*>() == nullptr, 30000);
        QCOMPARE(converted().last(), paths[2]);
    }

private:
    void rowsUnselected(VideosFrame& page) { table(page)->clearSelection(); }
};

WINDOW_TEST_MAIN(VideosFrameTest)
#include "videos_frame_test.moc"
