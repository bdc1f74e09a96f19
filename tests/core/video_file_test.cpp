// VideoFile against stand-in probe and converter scripts for the exact line
// and argument rules, and against the real programs (through the launchers
// beside the executable) on tiny generated videos.

#include "MediaFixtures.h"
#include "VideoFile.h"

#include <QElapsedTimer>
#include <QImage>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>
#include <QtConcurrent>

#include <climits>
#include <numeric>

#include <sched.h>
#include <sys/resource.h>

using namespace media_fixtures;

class VideoFileTest : public QObject {
    Q_OBJECT

    QTemporaryDir temp_;
    QString dir_;

    QString path(const QString& name) const { return dir_ + QLatin1Char('/') + name; }

    QString fakeProbe(const QString& output, int exitCode = 0)
    {
        QString body;
        if (!output.isEmpty())
            body += QStringLiteral("cat <<'END_OF_OUTPUT'\n") + output + QStringLiteral("END_OF_OUTPUT\n");
        body += QStringLiteral("exit %1\n").arg(exitCode);
        return writeScript(dir_, QStringLiteral("fake-probe"), body);
    }

    // Records its arguments one a line into `argsFile` and copies `frame` to
    // the last argument, as the converter writes its frame there.
    QString recordingConverter(const QString& argsFile, const QString& frame)
    {
        QString body = QStringLiteral("for a in \"$@\"; do printf '%s\\n' \"$a\"; done > %1\n")
                           .arg(shellQuoted(argsFile));
        if (!frame.isEmpty())
            body += QStringLiteral("eval \"last=\\${$#}\"\ncp %1 \"$last\"\n").arg(shellQuoted(frame));
        return writeScript(dir_, QStringLiteral("fake-converter"), body);
    }

    static QStringList readLines(const QString& file)
    {
        QFile f(file);
        if (!f.open(QIODevice::ReadOnly))
            return {};
        QStringList lines = QString::fromUtf8(f.readAll()).split(QLatin1Char('\n'));
        if (!lines.isEmpty() && lines.last().isEmpty())
            lines.removeLast();
        return lines;
    }

    QString frameOfSize(QSize size)
    {
        const QString file = path(QStringLiteral("frame-%1x%2.jpg").arg(size.width()).arg(size.height()));
        QImage frame(size, QImage::Format_RGB32);
        frame.fill(Qt::darkCyan);
        if (!QFile::exists(file))
            frame.save(file, "JPEG");
        return file;
    }

    void useRealPrograms()
    {
        setExternalProgramsForTesting(launcher("ffprobe"), launcher("ffmpeg"));
    }

private slots:
    void initTestCase()
    {
        QVERIFY(temp_.isValid());
        dir_ = temp_.path();
        QVERIFY2(QFileInfo(launcher("ffmpeg")).isExecutable(), qPrintable(launcher("ffmpeg")));
        QVERIFY(makeTestVideo(path(QStringLiteral("clip 320.mp4")), {320, 240}));
        QVERIFY(makeTestVideo(path(QStringLiteral("square.mp4")), {480, 480}, 1));
        QVERIFY(makeTestVideo(path(QStringLiteral("small.mp4")), {200, 100}, 1));
    }

    void init()
    {
        setProgramWaitLimitForTesting(30000);
        useRealPrograms();
    }

    void cleanupTestCase() { setExternalProgramsForTesting({}, {}); }

    void programPathsDefaultToTheExecutablesFolder()
    {
        setExternalProgramsForTesting({}, {});
        const QString folder = QCoreApplication::applicationDirPath();
        QCOMPARE(ffprobeProgram(), folder + QStringLiteral("/3rdparty/ffprobe"));
        QCOMPARE(ffmpegProgram(), folder + QStringLiteral("/3rdparty/ffmpeg"));
        // Made once, whichever thread asks first.
        const QList<QString> seen = QtConcurrent::blockingMapped(
            QList<int>(8, 0), [](int) { return ffmpegProgram(); });
        for (const QString& program : seen)
            QCOMPARE(program, folder + QStringLiteral("/3rdparty/ffmpeg"));
    }

    void thumbnailPathKeepsTheWholeName_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("thumbnail");
        QTest::newRow("dots kept") << "D:/videos/a.b.flv" << "D:/videos/a.b.flv_thumb.jpg";
        QTest::newRow("relative") << "clip.flv" << "clip.flv_thumb.jpg";
        QTest::newRow("no extension") << "/v/clip" << "/v/clip_thumb.jpg";
    }
    void thumbnailPathKeepsTheWholeName()
    {
        QFETCH(QString, file);
        QFETCH(QString, thumbnail);
        QCOMPARE(thumbnailPath(file), thumbnail);
    }

    void probeLinesAreReadByTheirRules_data()
    {
        QTest::addColumn<QString>("output");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("name");
        QTest::addColumn<double>("duration");
        QTest::addColumn<int>("size");
        QTest::addColumn<int>("bitRate");

        QTest::newRow("format section")
            << "[FORMAT]\nfilename=/v/x.flv\nnb_streams=2\nformat_name=flv\n"
               "format_long_name=FLV (Flash Video)\nstart_time=0.000000\nduration=7.900000\n"
               "size=123456\nbit_rate=125000\nprobe_score=100\n[/FORMAT]\n"
            << 0 << "FLV (Flash Video)" << 7.9 << 123456 << 125000;
        QTest::newRow("value after the first =") << "format_long_name=a=b\n" << 0 << "a=b" << 0.0 << 0 << 0;
        QTest::newRow("value untrimmed") << "format_long_name= spaced \n" << 0 << " spaced " << 0.0 << 0 << 0;
        QTest::newRow("fractions truncate toward zero") << "size=123.9\nbit_rate=-5.5\n" << 0 << "" << 0.0 << 123 << -5;
        QTest::newRow("keys are case-sensitive")
            << "Duration=5\nFORMAT_LONG_NAME=x\nSize=3\nBit_rate=4\n" << 0 << "" << 0.0 << 0 << 0;
        QTest::newRow("lines without a key") << "garbage\n=\nduration\nsize 5\n" << 0 << "" << 0.0 << 0 << 0;
        QTest::newRow("last of a repeated key") << "duration=1\nduration=2.5\n" << 0 << "" << 2.5 << 0 << 0;
        QTest::newRow("not numbers") << "duration=abc\nsize=\nbit_rate=12kb\n" << 0 << "" << 0.0 << 0 << 0;
        QTest::newRow("beyond int saturates")
            << "size=3000000000\nbit_rate=-99999999999\n" << 0 << "" << 0.0 << INT_MAX << INT_MIN;
        QTest::newRow("int limits themselves")
            << "size=2147483647.9\nbit_rate=-2147483648.9\n" << 0 << "" << 0.0 << INT_MAX << INT_MIN;
        QTest::newRow("nan and infinity") << "size=nan\nbit_rate=inf\n" << 0 << "" << 0.0 << 0 << INT_MAX;
        QTest::newRow("no output") << "" << 0 << "" << 0.0 << 0 << 0;
        QTest::newRow("error exit after nothing") << "" << 1 << "" << 0.0 << 0 << 0;
        QTest::newRow("error exit does not matter") << "duration=3\n" << 2 << "" << 3.0 << 0 << 0;
    }
    void probeLinesAreReadByTheirRules()
    {
        QFETCH(QString, output);
        QFETCH(int, exitCode);
        setExternalProgramsForTesting(fakeProbe(output, exitCode), launcher("ffmpeg"));

        // Stale values must be reset by a probe that ran.
        MediaInfo info{QStringLiteral("stale"), 99.0, 99, 99};
        QVERIFY(VideoFile(QStringLiteral("/v/any file.flv")).readMediaInfo(info));
        QTEST(info.formatLongName, "name");
        QTEST(info.duration, "duration");
        QTEST(info.size, "size");
        QTEST(info.bitRate, "bitRate");
    }

    void probeThatDoesNotEndLeavesTheRecordUntouched_data()
    {
        QTest::addColumn<QString>("body");
        QTest::newRow("missing program") << QString();
        QTest::newRow("hangs past the limit") << QStringLiteral("echo duration=5\nexec sleep 60\n");
    }
    void probeThatDoesNotEndLeavesTheRecordUntouched()
    {
        QFETCH(QString, body);
        const QString probe = body.isEmpty() ? path(QStringLiteral("no-such-probe"))
                                             : writeScript(dir_, QStringLiteral("slow-probe"), body);
        setExternalProgramsForTesting(probe, launcher("ffmpeg"));
        setProgramWaitLimitForTesting(300);

        MediaInfo info{QStringLiteral("kept"), 1.5, 7, 8};
        QElapsedTimer timer;
        timer.start();
        QVERIFY(!VideoFile(path(QStringLiteral("clip 320.mp4"))).readMediaInfo(info));
        QVERIFY2(timer.elapsed() < 10000, "the wait limit was not applied");
        QCOMPARE(info.formatLongName, QStringLiteral("kept"));
        QCOMPARE(info.duration, 1.5);
        QCOMPARE(info.size, 7);
        QCOMPARE(info.bitRate, 8);
    }

    // A launcher whose installed program is gone is never started: the probe
    // fails as a missing probe does. Run by hand, the launcher says why and
    // ends with the shell's code for a command it cannot find.
    void launcherWithoutItsProgram_data()
    {
        QTest::addColumn<QString>("program");
        QTest::addColumn<QByteArray>("variable");
        QTest::newRow("probe") << "ffprobe" << QByteArray("VENDRAX_FFPROBE");
        QTest::newRow("converter") << "ffmpeg" << QByteArray("VENDRAX_FFMPEG");
    }
    void launcherWithoutItsProgram()
    {
        QFETCH(QString, program);
        QFETCH(QByteArray, variable);
        qputenv(variable, path(QStringLiteral("not installed/") + program).toLocal8Bit());
        const auto restore = qScopeGuard([&variable] { qunsetenv(variable); });

        QProcess launched;
        launched.start(launcher(program.toLatin1().constData()), {QStringLiteral("-version")});
        QVERIFY(launched.waitForFinished(20000));
        QCOMPARE(launched.exitCode(), 127);
        QVERIFY2(launched.readAllStandardError().contains("is not installed"), qPrintable(program));
        QCOMPARE(launched.readAllStandardOutput(), QByteArray());

        const QString video = path(QStringLiteral("clip 320.mp4"));
        MediaInfo info{QStringLiteral("kept"), 1.5, 7, 8};
        if (program == "ffprobe") {
            QVERIFY(!VideoFile(video).readMediaInfo(info));
            QCOMPARE(info.formatLongName, QStringLiteral("kept"));
        } else {
            QFile::remove(thumbnailPath(video));
            QVERIFY(VideoFile(video).makeThumbnail(267, 150).isNull());
            QVERIFY(!QFile::exists(thumbnailPath(video)));
        }
    }

    void realProbeDescribesAGeneratedVideo()
    {
        const QString video = path(QStringLiteral("clip 320.mp4"));
        MediaInfo info;
        QVERIFY(VideoFile(video).readMediaInfo(info));
        QCOMPARE(info.formatLongName, QStringLiteral("QuickTime / MOV"));
        QVERIFY2(qAbs(info.duration - 2.0) < 0.1, qPrintable(QString::number(info.duration)));
        QCOMPARE(info.size, int(QFileInfo(video).size()));
        QVERIFY(info.bitRate > 0);
    }

    void thumbnailArgumentsAndSeekTime_data()
    {
        QTest::addColumn<QString>("probeOutput");
        QTest::addColumn<QString>("seek");
        QTest::newRow("7.9 s") << "duration=7.9\n" << "00:00:03";
        QTest::newRow("1.0 s") << "duration=1.0\n" << "00:00:00";
        QTest::newRow("7265.0 s") << "duration=7265.0\n" << "01:00:32";
        QTest::newRow("zero") << "duration=0\n" << "00:00:03";
        QTest::newRow("negative") << "duration=-4\n" << "00:00:03";
        QTest::newRow("not a number") << "duration=N/A\n" << "00:00:03";
        QTest::newRow("no duration line") << "size=5\n" << "00:00:03";
        QTest::newRow("half beyond int") << "duration=1e300\n" << "00:00:03";
        QTest::newRow("a million years") << "duration=1e12\n" << "00:00:03";
        QTest::newRow("infinite") << "duration=inf\n" << "00:00:03";
        QTest::newRow("largest half that fits") << "duration=4294967295\n" << "596523:14:07";
        QTest::newRow("probe missing") << QString() << "00:00:03";
    }
    void thumbnailArgumentsAndSeekTime()
    {
        QFETCH(QString, probeOutput);
        QFETCH(QString, seek);
        const QString probe = probeOutput.isNull() ? path(QStringLiteral("no-such-probe")) : fakeProbe(probeOutput);
        const QString argsFile = path(QStringLiteral("converter-args"));
        QFile::remove(argsFile);
        setExternalProgramsForTesting(probe, recordingConverter(argsFile, frameOfSize({200, 100})));

        const QString video = path(QStringLiteral("not there/my clip.v1.flv"));
        QDir().mkpath(path(QStringLiteral("not there")));
        const QString thumb = video + QStringLiteral("_thumb.jpg");
        QFile::remove(thumb);

        // The seek comes before the input, so that the converter seeks in it
        // rather than decode everything up to the seek time.
        const QImage image = VideoFile(video).makeThumbnail(267, 150);
        QCOMPARE(readLines(argsFile),
                 (QStringList{QStringLiteral("-ss"), seek, QStringLiteral("-i"), video, QStringLiteral("-an"),
                              QStringLiteral("-r"), QStringLiteral("1"), QStringLiteral("-vframes"),
                              QStringLiteral("1"), QStringLiteral("-vf"),
                              QStringLiteral("scale=w='min(267,iw)':h='min(150,ih)':force_original_aspect_ratio=decrease"),
                              QStringLiteral("-update"), QStringLiteral("1"), QStringLiteral("-y"), thumb}));
        QCOMPARE(image.size(), QSize(200, 100));
    }

    void thumbnailFitsTheBox_data()
    {
        QTest::addColumn<QSize>("frame");
        QTest::addColumn<QSize>("fitted");
        QTest::newRow("480x480") << QSize(480, 480) << QSize(150, 150);
        QTest::newRow("200x100 unscaled") << QSize(200, 100) << QSize(200, 100);
        QTest::newRow("exactly the box") << QSize(267, 150) << QSize(267, 150);
        QTest::newRow("wide") << QSize(300, 100) << QSize(267, 89);
        QTest::newRow("tall") << QSize(1000, 2000) << QSize(75, 150);
    }
    void thumbnailFitsTheBox()
    {
        QFETCH(QSize, frame);
        QFETCH(QSize, fitted);
        const QString argsFile = path(QStringLiteral("converter-args"));
        setExternalProgramsForTesting(fakeProbe(QStringLiteral("duration=4\n")),
                                      recordingConverter(argsFile, frameOfSize(frame)));
        const QString video = path(QStringLiteral("fit.flv"));
        QFile::remove(thumbnailPath(video));

        QCOMPARE(VideoFile(video).makeThumbnail(267, 150).size(), fitted);
        // A file larger than the box (this stand-in ignores the scaling, and
        // catalogues of earlier versions hold whole frames) is fitted when
        // found, and left as it is.
        QCOMPARE(QImage(thumbnailPath(video)).size(), frame);
        QFile::remove(argsFile);
        QCOMPARE(VideoFile(video).makeThumbnail(267, 150).size(), fitted);
        QCOMPARE(QImage(thumbnailPath(video)).size(), frame);
        QVERIFY2(!QFile::exists(argsFile), "a program was started although the thumbnail existed");
    }

    void thumbnailFailuresGiveANullImage_data()
    {
        QTest::addColumn<QString>("converterBody");
        QTest::newRow("no frame written") << QStringLiteral("exit 0\n");
        QTest::newRow("converter hangs") << QStringLiteral("exec sleep 60\n");
        QTest::newRow("converter missing") << QString();
    }
    void thumbnailFailuresGiveANullImage()
    {
        QFETCH(QString, converterBody);
        const QString converter = converterBody.isNull()
                                      ? path(QStringLiteral("no-such-converter"))
                                      : writeScript(dir_, QStringLiteral("bad-converter"), converterBody);
        setExternalProgramsForTesting(fakeProbe(QStringLiteral("duration=4\n")), converter);
        setProgramWaitLimitForTesting(300);
        const QString video = path(QStringLiteral("broken.flv"));
        QFile::remove(thumbnailPath(video));

        QElapsedTimer timer;
        timer.start();
        QVERIFY(VideoFile(video).makeThumbnail(267, 150).isNull());
        QVERIFY2(timer.elapsed() < 10000, "the wait limit was not applied");
    }

    void realConverterMakesFittedThumbnailsInParallel()
    {
        struct Case {
            QString video;
            QSize frame, fitted;
        };
        const QList<Case> cases = {
            {path(QStringLiteral("clip 320.mp4")), {320, 240}, {200, 150}},
            {path(QStringLiteral("square.mp4")), {480, 480}, {150, 150}},
            {path(QStringLiteral("small.mp4")), {200, 100}, {200, 100}},
        };
        for (const Case& c : cases)
            QFile::remove(thumbnailPath(c.video));

        // Pool threads, as the videos page runs its thumbnail jobs.
        const QList<QImage> images = QtConcurrent::blockingMapped(
            cases, [](const Case& c) { return VideoFile(c.video).makeThumbnail(267, 150); });
        // The file is written at the size shown.
        for (int i = 0; i < cases.size(); ++i) {
            QCOMPARE(images[i].size(), cases[i].fitted);
            QCOMPARE(QImage(thumbnailPath(cases[i].video)).size(), cases[i].fitted);
        }

        // Found again without any program.
        setExternalProgramsForTesting(path(QStringLiteral("no-such-probe")),
                                      path(QStringLiteral("no-such-converter")));
        for (const Case& c : cases)
            QCOMPARE(VideoFile(c.video).makeThumbnail(267, 150).size(), c.fitted);
    }

    // Names come from the wire; the converter's image writer would read "%"
    // sequences in them as a pattern for numbered files.
    void realThumbnailOfANameWithPercentSigns_data()
    {
        QTest::addColumn<QString>("name");
        QTest::newRow("%d") << "%d";
        QTest::newRow("%%") << "%%";
        QTest::newRow("%03d") << "%03d";
    }
    void realThumbnailOfANameWithPercentSigns()
    {
        QFETCH(QString, name);
        const QString folder = path(QStringLiteral("site ") + name);
        const QString video = folder + QStringLiteral("/clip.mp4") + name;
        QVERIFY(QDir().mkpath(folder) && QFile::copy(path(QStringLiteral("small.mp4")), video));

        QCOMPARE(VideoFile(video).makeThumbnail(267, 150).size(), QSize(200, 100));
        // Nothing beside the video but its thumbnail, so Delete leaves nothing.
        QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden, QDir::Name),
                 (QStringList{QFileInfo(video).fileName(), QFileInfo(thumbnailPath(video)).fileName()}));
        QCOMPARE(QDir(dir_).entryList({QStringLiteral("site*")}, QDir::Dirs).size(), 1);
        QVERIFY(QDir(folder).removeRecursively());
    }

    void realConverterReplacesACorruptThumbnail()
    {
        const QString video = path(QStringLiteral("small.mp4"));
        QFile corrupt(thumbnailPath(video));
        QVERIFY(corrupt.open(QIODevice::WriteOnly | QIODevice::Truncate));
        corrupt.write("not a jpeg");
        corrupt.close();

        QCOMPARE(VideoFile(video).makeThumbnail(267, 150).size(), QSize(200, 100));
        QCOMPARE(QImage(thumbnailPath(video)).size(), QSize(200, 100));
    }

    // Each stand-in leaves the /proc/<pid>/stat line of its own process.
    void programsRunBelowTheApplication_data()
    {
        QTest::addColumn<bool>("thumbnail");
        QTest::newRow("probe") << false;
        QTest::newRow("thumbnail's converter") << true;
    }
    void programsRunBelowTheApplication()
    {
        QFETCH(bool, thumbnail);
        const QString stat = path(QStringLiteral("program.stat")), video = path(QStringLiteral("priority.flv"));
        QFile::remove(stat);
        QFile::remove(thumbnailPath(video));
        const QString body = QStringLiteral("cat /proc/$$/stat > %1\n").arg(shellQuoted(stat));
        const QString recorder = writeScript(dir_, QStringLiteral("stat-program"), body);
        setExternalProgramsForTesting(thumbnail ? fakeProbe({}) : recorder, recorder);

        MediaInfo info;
        QVERIFY(thumbnail ? VideoFile(video).makeThumbnail(267, 150).isNull() : VideoFile(video).readMediaInfo(info));
        // Fields from the third, the state, on: the 19th is the niceness, the 41st the policy.
        const QString line = readLines(stat).value(0);
        const QStringList fields = line.mid(line.lastIndexOf(QLatin1Char(')')) + 2).split(QLatin1Char(' '));
        const int own = getpriority(PRIO_PROCESS, 0);
        QCOMPARE(fields.value(19 - 3).toInt(), thumbnail ? qMin(19, own + 10) : own);
        QCOMPARE(fields.value(41 - 3).toInt(), SCHED_BATCH);
    }

    // Each stand-in notes itself in a folder, counts the notes there, holds a
    // while and goes; the jobs run on threads enough for all at once.
    void thumbnailProgramsRunAtMostTheLimitAtOnce_data()
    {
        QTest::addColumn<int>("jobs");
        QTest::newRow("one over the limit") << thumbnailProgramLimit() + 1;
        QTest::newRow("three times the limit") << 3 * thumbnailProgramLimit();
    }
    void thumbnailProgramsRunAtMostTheLimitAtOnce()
    {
        QFETCH(int, jobs);
        const QString running = path(QStringLiteral("running")), seen = path(QStringLiteral("seen"));
        QVERIFY(QDir(running).removeRecursively() && QDir().mkpath(running));
        QFile::remove(seen);
        const QString counter = writeScript(dir_, QStringLiteral("counting-program"),
                                            QStringLiteral("touch %1/$$\nls %1 | wc -l >> %2\nsleep 0.5\nrm %1/$$\n")
                                                .arg(shellQuoted(running), shellQuoted(seen)));
        setExternalProgramsForTesting(counter, counter);

        QThreadPool threads;
        threads.setMaxThreadCount(jobs);
        QList<int> videos(jobs);
        std::iota(videos.begin(), videos.end(), 0);
        QtConcurrent::blockingMap(&threads, videos, [this](int n) {
            VideoFile(path(QStringLiteral("burst %1.flv").arg(n))).makeThumbnail(267, 150);
        });
        const QStringList counts = readLines(seen);
        QCOMPARE(counts.size(), 2 * jobs);  // a probe and a converter each
        int most = 0;
        for (const QString& count : counts)
            most = qMax(most, count.trimmed().toInt());
        QCOMPARE(most, thumbnailProgramLimit());
    }

    void fileThatIsNotAVideo()
    {
        const QString text = path(QStringLiteral("notes.flv"));
        QFile file(text);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("this is not a video\n");
        file.close();

        // The probe ends (with an error code) and prints no keys.
        MediaInfo info;
        QVERIFY(VideoFile(text).readMediaInfo(info));
        QCOMPARE(info.formatLongName, QString());
        QCOMPARE(info.duration, 0.0);
        QVERIFY(VideoFile(text).makeThumbnail(267, 150).isNull());
    }
};

QTEST_MAIN(VideoFileTest)
#include "video_file_test.moc"
