// FFMpegConverter against a stand-in converter script for the exact protocol
// (signal order, exit codes, cancel), its standard-error parser fed directly,
// and the real launcher converting a tiny video with every preset.

#include "FFMpegConverter.h"
#include "MediaFixtures.h"
#include "VideoFile.h"

#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <memory>

#include <sys/stat.h>

using namespace media_fixtures;

class ConverterTest : public QObject {
    Q_OBJECT

    QTemporaryDir temp_;
    QString dir_;

    QString path(const QString& name) const { return dir_ + QLatin1Char('/') + name; }

    // Records every signal of a converter as one text, in order.
    static QStringList* record(FFMpegConverter& converter)
    {
        auto* events = new QStringList;
        QObject::connect(&converter, &QObject::destroyed, [events] { delete events; });
        QObject::connect(&converter, &FFMpegConverter::conversionStarted,
                         [events](int k, int n) { events->append(QStringLiteral("started %1/%2").arg(k).arg(n)); });
        QObject::connect(&converter, &FFMpegConverter::conversionProgress,
                         [events](int t, int d) { events->append(QStringLiteral("progress %1/%2").arg(t).arg(d)); });
        QObject::connect(&converter, &FFMpegConverter::conversionFinished,
                         [events](int code) { events->append(QStringLiteral("finished %1").arg(code)); });
        return events;
    }

    // The bytes of a file; empty when it is not there.
    static QByteArray contentOf(const QString& file)
    {
        QFile f(file);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

    static bool writeEarlierOutput(const QString& file)
    {
        QFile f(file);
        return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write("earlier") == 7;
    }

    // Whether a program has written into `folder` since it held `before`: a
    // new file holds bytes, or `output` no longer holds what it did.
    static bool writtenSince(const QString& folder, const QStringList& before, const QString& output)
    {
        const QFileInfoList files = QDir(folder).entryInfoList(QDir::Files | QDir::Hidden);
        return std::any_of(files.begin(), files.end(), [&](const QFileInfo& file) {
            if (before.contains(file.fileName()))
                return file.filePath() == output && contentOf(output) != "earlier";
            return file.size() > 0;
        });
    }

    static QStringList linesOf(const QString& file)
    {
        QFile f(file);
        if (!f.open(QIODevice::ReadOnly))
            return {};
        QStringList lines = QString::fromUtf8(f.readAll()).split(QLatin1Char('\n'));
        lines.removeLast();
        return lines;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(temp_.isValid());
        dir_ = temp_.path();
        // Acts on the input's name: "fail" exits 1 and "crash" dies of a
        // signal, both after writing part of their output; "refuse" exits 1
        // before writing anything; "hang" writes part of its output and waits
        // to be killed; "idle" exits 0 having written nothing; anything else
        // reports 10 s of input, 5 s done, and writes its output. Every run
        // leaves its arguments in the output's folder, under the input's name
        // followed by ".args".
        const QString script = writeScript(dir_, QStringLiteral("fake-ffmpeg"), QStringLiteral(R"(
input=; output=; previous=
for a in "$@"; do
    [ "$previous" = "-i" ] && input=$a
    previous=$a; output=$a
done
record="${output%/*}/${input##*/}"
printf '%s\n' "$@" > "$record.args"
case "$input" in
    *refuse*) exit 1 ;;
    *fail*) printf partial > "$output"; printf 'Duration: 00:00:10.00, start: 0\n' >&2; exit 1 ;;
    *crash*) printf partial > "$output"; kill -SEGV $$ ;;
    *hang*) printf partial > "$output"; : > "$record.running"; exec sleep 60 ;;
    *idle*) exit 0 ;;
esac
printf 'Duration: 00:00:10.00, start: 0.000000\nframe=1 time=00:00:05.00 bitrate=1\n' >&2
printf converted > "$output"
)"));
        setExternalProgramsForTesting(launcher("ffprobe"), script);
    }

    void cleanupTestCase() { setExternalProgramsForTesting({}, {}); }

    void presetTableAsPrinted()
    {
        const QStringList names = FFMpegConverter::presetNames();
        QCOMPARE(names.size(), 40);
        QCOMPARE(names.first(), QStringLiteral("QuickTime"));
        QCOMPARE(names[34], QStringLiteral("MP3 - 256 kbps (Best)"));
        QCOMPARE(names.last(), QStringLiteral("Windows Media Video"));
        QCOMPARE(FFMpegConverter::playPresetName, QStringLiteral("Windows Media Video"));
        QCOMPARE(QSet<QString>(names.begin(), names.end()).size(), 40);

        QStringList withoutSeek, withoutFormat, audioOnly, sameQuality;
        for (const QString& name : names) {
            const DevicePreset preset = FFMpegConverter::findPreset(name);
            QCOMPARE(QLatin1String(preset.name), name);
            const QString arguments = QLatin1String(preset.arguments);
            QVERIFY2(arguments.startsWith(QLatin1String("-y -i \"%1\" ")), preset.arguments);
            QVERIFY2(arguments.endsWith(QLatin1String(" \"%2\"")), preset.arguments);
            QCOMPARE(arguments.count(QLatin1String("%1")), 1);
            QCOMPARE(arguments.count(QLatin1String("%2")), 1);
            const QString number = QString::number(names.indexOf(name) + 1);
            if (!arguments.contains(QLatin1String(" -ss 0.00 ")))
                withoutSeek << number;
            if (!arguments.contains(QLatin1String(" -f ")))
                withoutFormat << number;
            if (arguments.contains(QLatin1String(" -vn ")))
                audioOnly << number;
            if (arguments.contains(QLatin1String(" -sameq ")))
                sameQuality << number;
        }
        QCOMPARE(withoutSeek, (QStringList{"1", "38", "39", "40"}));
        QCOMPARE(withoutFormat, (QStringList{"1", "28", "29", "40"}));
        QCOMPARE(audioOnly, (QStringList{"35", "36", "37"}));
        QCOMPARE(sameQuality, (QStringList{"38", "39", "40"}));

        const DevicePreset appleTv = FFMpegConverter::findPreset(QStringLiteral("Apple TV - 720x480"));
        QCOMPARE(QLatin1String(appleTv.arguments),
                 QLatin1String("-y -i \"%1\" -ss 0.00 -vcodec libx264 -r 30.00 -s 720x480 -b 4000000 "
                               "-acodec libvo_aacenc -ab 128000 -ar 48000 -ac 2 -f mp4 \"%2\""));
        QCOMPARE(QLatin1String(appleTv.suffix), QLatin1String("_AppleTV_720x480.mp4"));

        // Exact names only; the all-null row otherwise.
        for (const char* unknown : {"quicktime", "Windows media video", "", "QuickTime "}) {
            const DevicePreset none = FFMpegConverter::findPreset(QLatin1String(unknown));
            QVERIFY2(!none.name && !none.arguments && !none.suffix, unknown);
        }
    }

    void outputFileNames_data()
    {
        QTest::addColumn<QString>("folder");
        QTest::addColumn<QString>("input");
        QTest::addColumn<QString>("preset");
        QTest::addColumn<QString>("output");
        QTest::newRow("device preset") << "/out" << "a.flv" << "iPad - 768x576" << "/out/a_flv_iPad_768x576.mp4";
        QTest::newRow("play copy") << "/out" << "/in/a.flv" << "Windows Media Video" << "/out/a_flv.wmv";
        QTest::newRow("every dot") << "/out" << "/in/a.b.flv" << "MPEG1" << "/out/a_b_flv.mpeg";
        QTest::newRow("unknown preset: no suffix") << "/out" << "/in/a.flv" << "mpeg1" << "/out/a_flv";
        QTest::newRow("shared suffix MPEG4") << "/out" << "/in/a.flv" << "MPEG4" << "/out/a_flv.mpeg";
        QTest::newRow("shared suffix PSP") << "/o" << "x.mp4" << "PSP - 480x272" << "/o/x_mp4_PSP_480x272.mp4";
        QTest::newRow("shared suffix PSP 3000") << "/o" << "x.mp4" << "PSP 3000 - 480x272" << "/o/x_mp4_PSP_480x272.mp4";
        QTest::newRow("same name, other folder") << "/o" << "/elsewhere/x.mp4" << "PSP - 480x272" << "/o/x_mp4_PSP_480x272.mp4";
    }
    void outputFileNames()
    {
        QFETCH(QString, folder);
        QFETCH(QString, input);
        QFETCH(QString, preset);
        QTEST(FFMpegConverter::outputFileName(folder, input, preset), "output");
    }

    void endsAtOnceWithoutFilesOrWithAnUnknownPreset_data()
    {
        QTest::addColumn<QStringList>("files");
        QTest::addColumn<QString>("preset");
        QTest::addColumn<QString>("end");
        QTest::newRow("empty list") << QStringList{} << "QuickTime" << "finished 0";
        QTest::newRow("empty list, unknown preset") << QStringList{} << "nothing" << "finished 0";
        QTest::newRow("preset differs in case") << QStringList{"/in/a.flv"} << "quicktime" << "finished 1";
    }
    void endsAtOnceWithoutFilesOrWithAnUnknownPreset()
    {
        QFETCH(QStringList, files);
        QFETCH(QString, preset);
        QFETCH(QString, end);
        FFMpegConverter converter(files, path(QStringLiteral("out-none")), preset);
        QStringList* events = record(converter);
        converter.start();
        QCOMPARE(*events, QStringList{end}); // before start() returned
        QCOMPARE(QDir(path(QStringLiteral("out-none"))).exists(), false);
    }

    void threeFilesConvertInOrder()
    {
        QDir().mkpath(path(QStringLiteral("in")));
        QDir().mkpath(path(QStringLiteral("out 1")));
        // Blanks, a quote and a URL-style "%2F" stay inside their argument.
        const QStringList files = {path(QStringLiteral("in/first clip.flv")),
                                   path(QStringLiteral("in/se\"cond%2F.flv")),
                                   path(QStringLiteral("in/third.mp4"))};
        FFMpegConverter converter(files, path(QStringLiteral("out 1")), QStringLiteral("iPhone - 480x320"));
        QStringList* events = record(converter);
        QSignalSpy finished(&converter, &FFMpegConverter::conversionFinished);
        converter.start();
        QVERIFY(finished.wait(30000) || finished.size() == 1);
        QCOMPARE(*events, (QStringList{"started 1/3", "progress 5/10", "started 2/3", "progress 5/10",
                                       "started 3/3", "progress 5/10", "finished 0"}));

        const QString second = FFMpegConverter::outputFileName(path(QStringLiteral("out 1")), files[1],
                                                               QStringLiteral("iPhone - 480x320"));
        QCOMPARE(second, path(QStringLiteral("out 1/se\"cond%2F_flv_iPhone_480x320.mp4")));
        for (const QString& file : files)
            QVERIFY(QFile::exists(FFMpegConverter::outputFileName(path(QStringLiteral("out 1")), file,
                                                                  QStringLiteral("iPhone - 480x320"))));
        // Written under a hidden name beside the output, with its extension,
        // then moved into place: nothing else is left in the folder.
        QStringList arguments = linesOf(path(QStringLiteral("out 1/se\"cond%2F.flv.args")));
        const QString written = arguments.takeLast();
        QCOMPARE(arguments,
                 (QStringList{"-y", "-i", files[1], "-ss", "0.00", "-vcodec", "libx264", "-r", "30.00", "-s",
                              "480x320", "-b", "1000000", "-acodec", "libvo_aacenc", "-ab", "128000", "-ar",
                              "44100", "-ac", "2", "-f", "mp4"}));
        QVERIFY2(written.startsWith(path(QStringLiteral("out 1/.se\"cond%2F_flv_iPhone_480x320."))) &&
                     written.endsWith(QLatin1String(".mp4")), qPrintable(written));
        QCOMPARE(QDir(path(QStringLiteral("out 1"))).entryList(QDir::Files | QDir::Hidden, QDir::Name),
                 (QStringList{"first clip.flv.args", "first clip_flv_iPhone_480x320.mp4", "se\"cond%2F.flv.args",
                              "se\"cond%2F_flv_iPhone_480x320.mp4", "third.mp4.args", "third_mp4_iPhone_480x320.mp4"}));
    }

    void failureEndsTheRun_data()
    {
        QTest::addColumn<QString>("second");
        QTest::addColumn<bool>("outputWasThere");
        QTest::newRow("exit code 1") << "in/fail.flv" << false;
        QTest::newRow("killed by a signal") << "in/crash.flv" << false;
        // An earlier file of that name is never removed, written over or not.
        QTest::newRow("exit code 1, output there before") << "in/fail again.flv" << true;
        QTest::newRow("refused, output there before") << "in/refuse.flv" << true;
        QTest::newRow("exit code 0, nothing written") << "in/idle.flv" << false;
    }
    void failureEndsTheRun()
    {
        QFETCH(QString, second);
        QFETCH(bool, outputWasThere);
        const QString out = path(QStringLiteral("out-fail"));
        QDir().mkpath(out);
        const QStringList files = {path(QStringLiteral("in/one.flv")), path(second),
                                   path(QStringLiteral("in/three.flv"))};
        const QString failedOutput = FFMpegConverter::outputFileName(out, files[1], QStringLiteral("QuickTime"));
        QFile::remove(failedOutput);
        if (outputWasThere)
            QVERIFY(writeEarlierOutput(failedOutput));
        FFMpegConverter converter(files, out, QStringLiteral("QuickTime"));
        QStringList* events = record(converter);
        QSignalSpy finished(&converter, &FFMpegConverter::conversionFinished);
        converter.start();
        QVERIFY(finished.wait(30000) || finished.size() == 1);
        QCOMPARE(events->first(), QStringLiteral("started 1/3"));
        QVERIFY(events->contains(QStringLiteral("started 2/3")));
        QCOMPARE(events->last(), QStringLiteral("finished 2"));
        QVERIFY(!events->contains(QStringLiteral("started 3/3")));
        QVERIFY(!QFile::exists(FFMpegConverter::outputFileName(out, files[2], QStringLiteral("QuickTime"))));
        // The first file's output stays; the failed one leaves nothing, and
        // an earlier file of its name as it was.
        QVERIFY(QFile::exists(FFMpegConverter::outputFileName(out, files[0], QStringLiteral("QuickTime"))));
        QCOMPARE(contentOf(failedOutput), outputWasThere ? QByteArray("earlier") : QByteArray());
        QCOMPARE(QDir(out).entryList({QStringLiteral(".*")}, QDir::Files | QDir::Hidden), QStringList());
        QFile::remove(failedOutput);
    }

    void programThatDoesNotStart()
    {
        setExternalProgramsForTesting(launcher("ffprobe"), path(QStringLiteral("no-such-ffmpeg")));
        FFMpegConverter converter({path(QStringLiteral("in/a.flv")), path(QStringLiteral("in/b.flv"))},
                                  path(QStringLiteral("out-missing")), QStringLiteral("QuickTime"));
        QStringList* events = record(converter);
        converter.start();
        QCOMPARE(*events, QStringList{"finished 2"});
        initTestCase(); // the stand-in converter again
    }

    // The launcher beside the executable with its installed converter gone:
    // a program that does not start, not one that started and failed.
    void launcherWithoutItsProgram()
    {
        setExternalProgramsForTesting(launcher("ffprobe"), launcher("ffmpeg"));
        qputenv("VENDRAX_FFMPEG", path(QStringLiteral("not installed/ffmpeg")).toLocal8Bit());
        const auto restore = qScopeGuard([this] {
            qunsetenv("VENDRAX_FFMPEG");
            initTestCase();
        });
        FFMpegConverter converter({path(QStringLiteral("in/a.flv"))}, path(QStringLiteral("out-uninstalled")),
                                  QStringLiteral("QuickTime"));
        QStringList* events = record(converter);
        converter.start();
        QCOMPARE(*events, QStringList{"finished 2"});
    }

    void cancelDuringTheSecondFile()
    {
        const QString out = path(QStringLiteral("out-cancel"));
        QDir().mkpath(out);
        const QStringList files = {path(QStringLiteral("in/one.flv")), path(QStringLiteral("in/hang.flv")),
                                   path(QStringLiteral("in/three.flv"))};
        const QString preset = QStringLiteral("MPEG1");
        FFMpegConverter converter(files, out, preset);
        QStringList* events = record(converter);
        converter.start();
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(out + QStringLiteral("/hang.flv.running")), 30000);
        QCOMPARE(events->last(), QStringLiteral("started 2/3"));

        converter.cancel();
        QCOMPARE(QDir(out).entryList(QDir::Files | QDir::Hidden, QDir::Name),
                 (QStringList{"hang.flv.args", "hang.flv.running", "one.flv.args", "one_flv.mpeg"}));
        QCoreApplication::processEvents();
        QCoreApplication::sendPostedEvents();
        QCOMPARE(events->last(), QStringLiteral("started 2/3"));
    }

    void cancelKeepsAnOutputThatWasThereBefore()
    {
        const QString out = path(QStringLiteral("out-cancel-earlier"));
        QDir().mkpath(out);
        const QString input = path(QStringLiteral("in/hang again.flv"));
        const QString preset = QStringLiteral("MPEG1");
        const QString output = FFMpegConverter::outputFileName(out, input, preset);
        QVERIFY(writeEarlierOutput(output));
        FFMpegConverter converter({input}, out, preset);
        converter.start();
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(out + QStringLiteral("/hang again.flv.running")), 30000);
        converter.cancel();
        QCOMPARE(contentOf(output), QByteArray("earlier"));
    }

    void cancelAfterTheRunKeepsTheOutput()
    {
        const QString out = path(QStringLiteral("out-done"));
        QDir().mkpath(out);
        FFMpegConverter converter({path(QStringLiteral("in/only.flv"))}, out, QStringLiteral("QuickTime"));
        QSignalSpy finished(&converter, &FFMpegConverter::conversionFinished);
        converter.start();
        QVERIFY(finished.wait(30000) || finished.size() == 1);
        QCOMPARE(finished.first().first().toInt(), 0);
        converter.cancel();
        QVERIFY(QFile::exists(
            FFMpegConverter::outputFileName(out, path(QStringLiteral("in/only.flv")), QStringLiteral("QuickTime"))));
    }

    void progressParsing_data()
    {
        QTest::addColumn<QList<QByteArray>>("reads");
        QTest::addColumn<QStringList>("progress");
        using Reads = QList<QByteArray>;
        QTest::newRow("duration, then time")
            << Reads{"  Duration: 00:01:30.50, start: 0.0\n", "frame=10 time=00:00:45.99 bitrate"}
            << QStringList{"45/90"};
        QTest::newRow("two times in one read, tail joins the next")
            << Reads{"Duration: 00:01:30.50\ntime=00:00:01.00 x time=00:00:02.50 tim", "e=00:00:03.00"}
            << QStringList{"2/90", "3/90"};
        QTest::newRow("time before duration is dropped")
            << Reads{"time=00:00:01.00 ", "Duration: 00:00:10.00\n", "time=00:00:04.00"}
            << QStringList{"4/10"};
        QTest::newRow("duration split across reads")
            << Reads{"Dura", "tion: 00:00:10.00, start", "time=00:00:02.00"} << QStringList{"2/10"};
        QTest::newRow("duration without h:m:s")
            << Reads{"Duration: N/A, start\n", "time=00:00:02.00"} << QStringList{};
        QTest::newRow("only the first duration counts")
            << Reads{"Duration: 00:00:10.00 Duration: 00:00:20.00\n", "time=00:00:02.00"} << QStringList{"2/10"};
        QTest::newRow("time beyond duration is not limited")
            << Reads{"Duration: 00:00:10.00\n", "time=00:00:12.00"} << QStringList{"12/10"};
        QTest::newRow("text after a zero byte is ignored")
            << Reads{QByteArray("Duration: 00:00:10.00\0 time=00:00:05.00", 40), "time=00:00:06.00"}
            << QStringList{"6/10"};
        QTest::newRow("huge hours held at the int limit")
            << Reads{"Duration: 9999999:00:00.00\n", "time=1000000:00:00.00"}
            << QStringList{"2147483647/2147483647"};
        QTest::newRow("empty hour and minute fields")
            << Reads{"Duration: ::10.5\n", "time=::.9"} << QStringList{"0/10"};
    }
    void progressParsing()
    {
        QFETCH(QList<QByteArray>, reads);
        FFMpegConverter converter({}, QString(), QStringLiteral("QuickTime"));
        QStringList progress;
        connect(&converter, &FFMpegConverter::conversionProgress,
                [&progress](int t, int d) { progress << QStringLiteral("%1/%2").arg(t).arg(d); });
        for (const QByteArray& read : reads)
            converter.appendStandardError(read);
        QTEST(progress, "progress");
    }

    void launcherMapsOlderOptions_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QStringList>("passed");
        QTest::newRow("aac encoder and bare bit rate")
            << QStringList{"-y", "-i", "/in/a.flv", "-b", "900000", "-acodec", "libvo_aacenc", "-ab", "96000", "/o/x.mp4"}
            << QStringList{"-y", "-i", "/in/a.flv", "-b:v", "900000", "-acodec", "aac", "-ab", "96000", "/o/x.mp4"};
        QTest::newRow("same quality")
            << QStringList{"-y", "-i", "/in/a.flv", "-vcodec", "wmv2", "-acodec", "wmav2", "-sameq", "/o/x.wmv"}
            << QStringList{"-y", "-i", "/in/a.flv", "-vcodec", "wmv2", "-acodec", "wmav2", "-q:v", "2", "/o/x.wmv"};
        QTest::newRow("file names are never rewritten")
            << QStringList{"-y", "-i", "-sameq", "-sameq", "-b"}
            << QStringList{"-y", "-i", "-sameq", "-q:v", "2", "-b"};
        QTest::newRow("blanks and quotes kept")
            << QStringList{"-i", "/in/a \"b\" c.flv", "-acodec", "copy", "/o/ x y .mp4"}
            << QStringList{"-i", "/in/a \"b\" c.flv", "-acodec", "copy", "/o/ x y .mp4"};
    }
    void launcherMapsOlderOptions()
    {
        QFETCH(QStringList, arguments);
        const QString record = path(QStringLiteral("launcher-args"));
        const QString fake = writeScript(
            dir_, QStringLiteral("recording-ffmpeg"),
            QStringLiteral("printf '%s\\n' \"$@\" > %1\nprintf 'some error text\\n' >&2\nexit 3\n")
                .arg(shellQuoted(record)));
        QProcess launched;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("VENDRAX_FFMPEG"), fake);
        launched.setProcessEnvironment(environment);
        launched.start(launcher("ffmpeg"), arguments);
        QVERIFY(launched.waitForFinished(20000));
        QCOMPARE(launched.exitCode(), 3);
        QCOMPARE(launched.readAllStandardError(), QByteArray("some error text\n"));
        QTEST(linesOf(record), "passed");
    }

    // A real conversion that does not succeed leaves nothing under the
    // output's name, and an earlier output as it was: cancelled or cut short
    // (the converter destroyed with its page) while the program writes, or
    // failed. The program is kept writing by an input that is a pipe fed
    // with most of a video and then held open; the failure is the real
    // converter refusing to make a PSP container without sound.
    void realConversionThatDoesNotSucceed_data()
    {
        QTest::addColumn<QString>("ending");
        QTest::addColumn<bool>("earlier");
        QTest::newRow("cancelled") << "cancel" << false;
        QTest::newRow("cancelled, earlier output") << "cancel" << true;
        QTest::newRow("destroyed") << "destroy" << false;
        QTest::newRow("destroyed, earlier output") << "destroy" << true;
        QTest::newRow("failed") << "fail" << false;
        QTest::newRow("failed, earlier output") << "fail" << true;
    }
    void realConversionThatDoesNotSucceed()
    {
        QFETCH(QString, ending);
        QFETCH(bool, earlier);
        setExternalProgramsForTesting(launcher("ffprobe"), launcher("ffmpeg"));
        const auto restore = qScopeGuard([this] { initTestCase(); });
        const QString out = path(QStringLiteral("real-unfinished/") + QTest::currentDataTag());
        QVERIFY(QDir().mkpath(out));

        QString input = path(QStringLiteral("silent.mp4"));
        QString preset = QStringLiteral("PS3 - 720x480");
        QProcess feeder;
        const auto stopFeeder = qScopeGuard([&feeder] {
            feeder.kill();
            feeder.waitForFinished();
        });
        if (ending == QLatin1String("fail")) {
            QVERIFY(QFile::exists(input) || makeTestVideo(input, {160, 120}, 1, false));
        } else {
            const QString video = path(QStringLiteral("ten seconds.flv"));
            QVERIFY(QFile::exists(video) || makeTestVideo(video, {160, 120}, 10));
            input = out + QStringLiteral("/pipe.flv");
            QCOMPARE(::mkfifo(QFile::encodeName(input).constData(), 0600), 0);
            // The shell opens the pipe for writing, which waits for the program.
            feeder.start(QStringLiteral("/bin/sh"),
                         {QStringLiteral("-c"), QStringLiteral("exec > \"$1\"; head -c %1 \"$0\"; exec sleep 60")
                                                    .arg(QFileInfo(video).size() * 9 / 10), video, input});
            preset = FFMpegConverter::playPresetName;
        }
        const QString output = FFMpegConverter::outputFileName(out, input, preset);
        if (earlier)
            QVERIFY(writeEarlierOutput(output));
        const QStringList before = QDir(out).entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name);

        auto converter = std::make_unique<FFMpegConverter>(QStringList{input}, out, preset);
        QStringList* events = record(*converter);
        converter->start();
        if (ending == QLatin1String("fail")) {
            QTRY_COMPARE_WITH_TIMEOUT(events->last(), QStringLiteral("finished 2"), 60000);
        } else {
            // Until the program has written something of the conversion.
            QTRY_VERIFY_WITH_TIMEOUT(writtenSince(out, before, output), 30000);
            QCOMPARE(events->first(), QStringLiteral("started 1/1"));
            QVERIFY2(!events->last().startsWith(QLatin1String("finished")), qPrintable(events->last()));
            if (ending == QLatin1String("cancel"))
                converter->cancel();
            else
                converter.reset();
        }

        QCOMPARE(QDir(out).entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name), before);
        QCOMPARE(contentOf(output), earlier ? QByteArray("earlier") : QByteArray());
    }

    // Every preset through the real launcher and ffmpeg, several at a time,
    // each output read back by the real probe.
    void everyPresetConvertsARealVideo()
    {
        setExternalProgramsForTesting(launcher("ffprobe"), launcher("ffmpeg"));
        const QString input = path(QStringLiteral("real input.mp4"));
        QVERIFY(makeTestVideo(input, {160, 120}, 2));

        const QStringList presets = FFMpegConverter::presetNames();
        const int parallel = qBound(2, QThread::idealThreadCount(), 6);
        QMap<QString, int> codes;
        QMap<QString, QString> outputs;
        std::vector<std::unique_ptr<FFMpegConverter>> running;
        int next = 0;
        std::function<void()> startNext = [&] {
            if (next >= presets.size())
                return;
            const QString preset = presets[next];
            // Presets that share a suffix get folders of their own.
            const QString out = path(QStringLiteral("real/%1").arg(next++));
            QDir().mkpath(out);
            outputs[preset] = FFMpegConverter::outputFileName(out, input, preset);
            auto* converter = new FFMpegConverter({input}, out, preset);
            running.emplace_back(converter);
            connect(converter, &FFMpegConverter::conversionFinished, this, [&, preset](int code) {
                codes[preset] = code;
                QMetaObject::invokeMethod(this, startNext, Qt::QueuedConnection);
            });
            converter->start();
        };
        for (int i = 0; i < parallel; ++i)
            startNext();
        QTRY_VERIFY_WITH_TIMEOUT(codes.size() == presets.size(), 240000);

        for (const QString& preset : presets) {
            QVERIFY2(codes[preset] == 0, qPrintable(preset));
            MediaInfo info;
            QVERIFY(VideoFile(outputs[preset]).readMediaInfo(info));
            QVERIFY2(!info.formatLongName.isEmpty() && info.duration > 1.0,
                     qPrintable(QStringLiteral("%1: %2 (%3 s)").arg(outputs[preset], info.formatLongName)
                                    .arg(info.duration)));
        }
        initTestCase();
    }
};

QTEST_MAIN(ConverterTest)
#include "converter_test.moc"
