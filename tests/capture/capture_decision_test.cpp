#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSet>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include "CaptureEngine.h"
#include "VendraxResources.h"
#include "tests/core/exchange.h"

namespace {

constexpr int download = mediacap::handler::download;
constexpr int capture = mediacap::handler::capture;
constexpr int ignore = mediacap::handler::ignore;

// Decides without ever starting the thread: on_response needs no engine.
class DecidingEngine : public CaptureEngine {
public:
    DecidingEngine() : CaptureEngine(QStringLiteral("unused")) {}

    QDate today = QDate(2026, 3, 9);
    QStringList& advertisingHosts() { return adHosts; }

protected:
    QDate currentDate() const override { return today; }
};

mediacap::http::http_tuple response(const std::string& host, const std::string& type, const std::string& length,
                                    const std::string& path = "/media", int status = 200)
{
    auto exchange = makeExchange(host, path, status, {});
    if (!type.empty())
        exchange.response.headers["Content-Type"] = type;
    if (!length.empty())
        exchange.response.headers["Content-Length"] = length;
    return exchange;
}

bool writeFile(const std::string& path)
{
    QFile file(QString::fromStdString(path));
    return file.open(QIODevice::WriteOnly) && file.write("kept") == 4;
}

}  // namespace

class CaptureDecisionTest : public QObject {
    Q_OBJECT

    QTemporaryDir dataHome;
    QString dataLocation;

private slots:
    void initTestCase()
    {
        QVERIFY(dataHome.isValid());
        // Kept files go under the data location, which follows XDG_DATA_HOME.
        qputenv("XDG_DATA_HOME", dataHome.path().toLocal8Bit());
        dataLocation = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
        QVERIFY2(dataLocation.startsWith(dataHome.path()), qPrintable(dataLocation));
        initVendraxResources();
        registerHttpResourceMetaType();
    }

    void advertisingListLoaded()
    {
        DecidingEngine engine;
        const QStringList& hosts = engine.advertisingHosts();
        QVERIFY2(hosts.size() > 1000, qPrintable(QString::number(hosts.size())));
        for (qsizetype i = 0; i < hosts.size(); ++i) {
            const QString& host = hosts[i];
            QVERIFY2(!host.isEmpty() && host.trimmed() == host, qPrintable(host));
            QVERIFY2(!host.startsWith('.') && !host.contains('*') && !host.contains(':') && !host.contains('/'),
                     qPrintable(host));
            if (i > 0)
                QVERIFY2(QString::compare(hosts[i - 1], host, Qt::CaseInsensitive) < 0,
                         qPrintable(hosts[i - 1] + " before " + host));
        }
        QVERIFY(hosts.contains("doubleclick.net"));
    }

    void decision_data()
    {
        QTest::addColumn<QString>("host");
        QTest::addColumn<QString>("type");
        QTest::addColumn<QString>("length");  // empty: no Content-Length header
        QTest::addColumn<QString>("path");
        QTest::addColumn<int>("status");
        QTest::addColumn<int>("expected");
        const QString video = "video/mp4", image = "image/jpeg", big = "50000", site = "www.site.tv";
        const QString music = QString("media.") + CaptureEngine::siteRules[0].domainSuffix;

        QTest::newRow("video downloaded") << site << video << big << "/v" << 200 << download;
        QTest::newRow("image captured") << site << image << big << "/i" << 200 << capture;
        QTest::newRow("partial content") << site << video << big << "/v" << 206 << ignore;
        QTest::newRow("not modified") << site << image << big << "/i" << 304 << ignore;
        QTest::newRow("not found") << site << video << big << "/v" << 404 << ignore;
        QTest::newRow("redirect") << site << video << big << "/v" << 302 << ignore;

        QTest::newRow("zero length") << site << video << "0" << "/v" << 200 << ignore;
        QTest::newRow("negative length") << site << video << "-50000" << "/v" << 200 << ignore;
        QTest::newRow("length not a number") << site << video << "lots" << "/v" << 200 << ignore;
        QTest::newRow("length beyond int") << site << video << "4294967296" << "/v" << 200 << ignore;
        QTest::newRow("no length") << site << video << "" << "/v" << 200 << ignore;

        QTest::newRow("video at limit") << site << video << "10240" << "/v" << 200 << ignore;
        QTest::newRow("video above limit") << site << video << "10241" << "/v" << 200 << download;
        QTest::newRow("image at limit") << site << image << "5120" << "/i" << 200 << ignore;
        QTest::newRow("image above limit") << site << image << "5121" << "/i" << 200 << capture;
        QTest::newRow("video between limits") << site << video << "8000" << "/v" << 200 << ignore;
        QTest::newRow("audio") << site << "audio/mpeg" << big << "/a" << 200 << ignore;
        QTest::newRow("text") << site << "text/html" << big << "/" << 200 << ignore;
        QTest::newRow("no type") << site << "" << big << "/" << 200 << ignore;
        QTest::newRow("flash video") << site << "application/flv" << big << "/v" << 200 << download;

        QTest::newRow("advertising host") << "doubleclick.net" << image << big << "/i" << 200 << ignore;
        QTest::newRow("advertising sub-domain") << "ad.doubleclick.net" << image << big << "/i" << 200 << ignore;
        QTest::newRow("advertising tail of a label") << "notdoubleclick.net" << image << big << "/i" << 200 << ignore;
        QTest::newRow("advertising host in capitals") << "AD.DoubleClick.NET" << video << big << "/v" << 200 << ignore;
        QTest::newRow("advertising host behind user-info")
            << "user:pass@ad.doubleclick.net" << image << big << "/i" << 200 << ignore;
        QTest::newRow("advertising host with a port") << "doubleclick.net:80" << image << big << "/i" << 200 << ignore;
        QTest::newRow("advertising host fully qualified") << "ad.doubleclick.net." << video << big << "/v" << 200
                                                          << ignore;
        QTest::newRow("advertising name not at the end") << "doubleclick.net.site.tv" << image << big << "/i" << 200
                                                         << capture;

        QTest::newRow("video fragment")
            << site << video << big << "/s.ism/QualityLevels(400000)/Fragments(video=0)" << 200 << ignore;
        QTest::newRow("audio fragment")
            << site << video << big << "/s.ism/QualityLevels(64000)/Fragments(audio=2000)?x=1" << 200 << ignore;
        QTest::newRow("text fragment")
            << site << video << big << "/s.ism/QualityLevels(400000)/Fragments(text=0)" << 200 << download;
        QTest::newRow("fragment pattern is case-sensitive")
            << site << video << big << "/s.ism/qualitylevels(400000)/fragments(video=0)" << 200 << download;
        QTest::newRow("fragment without number")
            << site << video << big << "/s.ism/QualityLevels()/Fragments(video=0)" << 200 << download;

        QTest::newRow("music site image") << music << image << big << "/i" << 200 << capture;
        QTest::newRow("music site video") << music << video << big << "/v" << 200 << capture;
        QTest::newRow("music site host in capitals") << music.toUpper() << video << big << "/v" << 200 << capture;
        QTest::newRow("music site with a port") << music + ":8080" << video << big << "/v" << 200 << capture;
        QTest::newRow("music site audio still ignored") << music << "audio/mpeg" << big << "/a" << 200 << ignore;
        QTest::newRow("no host") << "" << image << big << "/i" << 200 << capture;
    }
    void decision()
    {
        QFETCH(QString, host);
        QFETCH(QString, type);
        QFETCH(QString, length);
        QFETCH(QString, path);
        QFETCH(int, status);
        QFETCH(int, expected);
        DecidingEngine engine;
        std::string target = "untouched";
        const int action = engine.on_response(
            response(host.toStdString(), type.toStdString(), length.toStdString(), path.toStdString(), status), target);
        QCOMPARE(action, expected);
        if (action == ignore)
            QCOMPARE(target, std::string("untouched"));
        else
            QVERIFY2(QString::fromStdString(target).startsWith(dataLocation + "/2026-03-09/"), target.c_str());
    }

    // A replay sends GET and POST only: a video asked for otherwise is not kept.
    void downloadsOnlyForReplayableMethods()
    {
        DecidingEngine engine;
        auto head = response("www.site.tv", "video/mp4", "50000", "/v");
        head.request.method = "HEAD";
        std::string target;
        QCOMPARE(engine.on_response(head, target), ignore);
    }

    void capitalEntriesNeverMatch()
    {
        DecidingEngine engine;
        engine.advertisingHosts() = {"AdServer.Example", "tracker.example"};
        std::string target;
        QCOMPARE(engine.on_response(response("AdServer.Example", "image/png", "9000"), target), capture);
        QCOMPARE(engine.on_response(response("adserver.example", "image/png", "9000"), target), capture);
        QCOMPARE(engine.on_response(response("Tracker.Example", "image/png", "9000"), target), ignore);
    }

    void folderAndName_data()
    {
        QTest::addColumn<QString>("host");
        QTest::addColumn<QString>("folder");  // under the day's folder
        QTest::addColumn<QString>("prefix");
        QTest::newRow("sub-domain") << "img.cdn.site.tv" << "site.tv" << "site.tv_";
        QTest::newRow("folder keeps the case as sent") << "IMG.Site.TV" << "Site.TV" << "site.tv_";
        QTest::newRow("com rule") << "www.site.com.br" << "site.com.br" << "site.com.br_";
        QTest::newRow("port dropped") << "img.site.tv:8080" << "site.tv" << "site.tv_";
        QTest::newRow("other port, same folder") << "Site.TV:81" << "Site.TV" << "site.tv_";
        QTest::newRow("no host") << "" << "_" << "";
        QTest::newRow("IPv4 address whole") << "192.168.1.10" << "192.168.1.10" << "192.168.1.10_";
        QTest::newRow("IPv4 address, port dropped") << "10.0.1.10:8080" << "10.0.1.10" << "10.0.1.10_";
        QTest::newRow("user-info dropped") << "user:pass@127.0.0.2" << "127.0.0.2" << "127.0.0.2_";
        QTest::newRow("names keep two labels") << "www.site.co.uk" << "co.uk" << "co.uk_";
    }
    void folderAndName()
    {
        QFETCH(QString, host);
        QFETCH(QString, folder);
        QFETCH(QString, prefix);
        DecidingEngine engine;
        std::string target;
        QCOMPARE(engine.on_response(response(host.toStdString(), "image/png", "9000"), target), capture);
        const QFileInfo file(QString::fromStdString(target));
        QCOMPARE(file.absolutePath(), dataLocation + "/2026-03-09/" + folder);
        QVERIFY2(file.dir().exists(), qPrintable(file.absolutePath()));
        QVERIFY2(QRegularExpression("^" + QRegularExpression::escape(prefix) + "\\d+\\.png$").match(file.fileName()).hasMatch(),
                 qPrintable(file.fileName()));
    }

    void daysAndSitesShareFolders()
    {
        DecidingEngine engine;
        std::string first, second, otherSite, nextDay;
        engine.on_response(response("a.site.tv", "video/mp4", "50000"), first);
        engine.on_response(response("b.site.tv", "image/gif", "50000"), second);
        engine.on_response(response("www.other.tv", "image/gif", "50000"), otherSite);
        engine.today = engine.today.addDays(1);
        engine.on_response(response("a.site.tv", "video/mp4", "50000"), nextDay);
        const auto folder = [](const std::string& path) { return QFileInfo(QString::fromStdString(path)).absolutePath(); };
        QCOMPARE(folder(first), folder(second));
        QVERIFY(QString::fromStdString(first) != QString::fromStdString(second));
        QCOMPARE(folder(otherSite), dataLocation + "/2026-03-09/other.tv");
        QCOMPARE(folder(nextDay), dataLocation + "/2026-03-10/site.tv");
        QVERIFY(QDir(folder(nextDay)).exists());
    }

    // A site folder, and then its day folder, goes when the last transfer
    // filed there has ended and left nothing in it (on the folder thread, soon
    // after the report); never while another one is on its way into it, and
    // never while it holds anything.
    void foldersLeftEmptyGo()
    {
        const QString day = dataLocation + "/2026-05-01";
        std::string failed, pending, kept, alsoFailed, neverStarted;
        {
            DecidingEngine engine;
            engine.today = QDate(2026, 5, 1);
            const auto video = response("a.site.tv", "video/mp4", "50000");
            const auto image = response("www.other.tv", "image/gif", "50000");
            engine.on_response(video, failed);
            engine.on_response(response("b.site.tv", "image/gif", "50000"), pending);
            engine.on_response(image, kept);
            engine.on_download_started(1, video, failed);
            engine.on_capture_started(1, image, pending);
            engine.on_capture_started(2, image, kept);

            engine.on_download_error(1, 2, "Error opening temporary file");
            QVERIFY(QDir(day + "/site.tv").exists());
            QVERIFY(writeFile(kept));
            engine.on_capture_finished(2, kept);
            engine.on_response(response("c.other.tv", "image/gif", "50000"), alsoFailed);
            engine.on_capture_started(2, image, alsoFailed);
            engine.on_capture_error(2, 5, "");
            QVERIFY(QFile::exists(QString::fromStdString(kept)));
            engine.on_capture_stream_closed(1);
            QTRY_VERIFY_WITH_TIMEOUT(!QDir(day + "/site.tv").exists(), 30000);
            QVERIFY(QDir(day).exists());

            // A response kept but never transferred holds its folder until
            // monitoring ends.
            engine.today = QDate(2026, 5, 2);
            engine.on_response(video, neverStarted);
            QVERIFY(QDir(dataLocation + "/2026-05-02/site.tv").exists());
        }
        QVERIFY(!QDir(dataLocation + "/2026-05-02").exists());
        QVERIFY(QFile::exists(QString::fromStdString(kept)));
        QVERIFY(QDir(dataLocation).exists());

        // A period that ends spares a folder that the next one has made for
        // its own transfer; that transfer's failure removes it.
        const auto video = response("a.site.tv", "video/mp4", "50000");
        DecidingEngine next;
        next.today = QDate(2026, 5, 3);
        {
            DecidingEngine ended;
            ended.today = next.today;
            ended.on_response(video, failed);
            next.on_response(video, pending);
            ended.on_download_started(1, video, failed);
            ended.on_download_error(1, 2, "");
        }
        QVERIFY(QDir(dataLocation + "/2026-05-03/site.tv").exists());
        next.on_download_started(1, video, pending);
        next.on_download_error(1, 2, "");
        QTRY_VERIFY_WITH_TIMEOUT(!QDir(dataLocation + "/2026-05-03").exists(), 30000);
    }

    // The Host header, the request target and the Content-Type are whatever
    // the sniffed client and server sent. Every name made from them must stay
    // inside the day's folder, be one that any file system takes (ext4,
    // exFAT, NTFS, SMB), and never name the file of another exchange.
    void hostileNamesAreSafe()
    {
        using namespace std::string_literals;
        const std::vector<std::string> hosts = {
            "..", "../../../../etc", "a.b/../../../../tmp/x", "x/..", "/etc/passwd", "....", "../..com/..",
            "a\0b.tv"s, "a\0c.tv"s, "site.tv:8080", "site.tv:81", "[::1]:8080", "[::1", ":80", "", "?", "*",
            "..\\..\\evil.tv", "ex<am>ple.tv", "\"|?*.tv", "\x01\x1f\x7f.tv", "tab\there.tv", "caf\xe9.tv",
            "site.tv.", ".hidden.tv", "con.example", "CON", "lpt1.example.com.br", std::string(300, 'h') + ".tv",
            "a." + std::string(300, 'l'), std::string(300, '.') + "tv", "SITE.tv", "site.TV",
            "site.tv. ", "a\x85" "b.tv", "x." + std::string(300, '\xe9')};
        const std::vector<std::string> types = {
            "video/mp4", "image/png", "image/" + std::string(260, 'p'), "video/mp\0x"s, "video/mp\0y"s,
            "video/..", "video/a:b", "image/x-", "image/svg+xml", "video/con", "image/<>|?*\"\\", "video/mp4.",
            "image/\x01\x1f", "image/tab\tx", "video/" + std::string(70, '.'), "image/png ",
            "image/" + std::string(200, '\xe9')};
        const QString day = dataLocation + "/2026-03-09/";
        const QString refused = QStringLiteral(":<>\"|?*\\/");
        DecidingEngine engine;
        QSet<QString> paths, foldedPaths;
        for (const std::string& host : hosts) {
            for (const std::string& type : types) {
                std::string target;
                QVERIFY(engine.on_response(response(host, type, "50000", "/@evil:81/x\0y"s), target) != ignore);
                const QString path = QString::fromStdString(target);
                const QString where = QString::fromLatin1(QByteArray::fromStdString(host + " " + type).toPercentEncoding(" /"))
                    + " -> " + path;
                QVERIFY2(target.find('\0') == std::string::npos, qPrintable(where));
                QVERIFY2(path.startsWith(day) && QDir::cleanPath(path) == path, qPrintable(where));
                const QStringList components = path.mid(day.size()).split('/');
                QVERIFY2(components.size() == 2, qPrintable(where));
                for (const QString& component : components) {
                    QVERIFY2(!component.isEmpty() && component.toUtf8().size() <= 255, qPrintable(where));
                    QVERIFY2(!component.startsWith('.') && !component.endsWith('.') && !component.endsWith(' '),
                             qPrintable(where));
                    for (const QChar c : component)
                        QVERIFY2(c.isPrint() && !refused.contains(c), qPrintable(where));
                    static const QRegularExpression device("^(CON|PRN|AUX|NUL|COM\\d|LPT\\d)(\\.|$)",
                                                           QRegularExpression::CaseInsensitiveOption);
                    QVERIFY2(!device.match(component).hasMatch(), qPrintable(where));
                }
                // The number and an extension survive any cut.
                QVERIFY2(QRegularExpression("(^|_)\\d{13,}\\.[^.]").match(components[1]).hasMatch(), qPrintable(where));
                QFile file(path);
                QVERIFY2(file.open(QIODevice::NewOnly), qPrintable(where + ": " + file.errorString()));
                // Distinct on a file system that ignores case, too.
                QVERIFY2(!paths.contains(path) && !foldedPaths.contains(path.toLower()), qPrintable(where));
                paths.insert(path);
                foldedPaths.insert(path.toLower());
            }
        }
    }

    void reportsBecomeSignals()
    {
        DecidingEngine engine;
        QSignalSpy downloadStarted(&engine, &CaptureEngine::downloadStarted);
        QSignalSpy downloadProgress(&engine, &CaptureEngine::downloadProgress);
        QSignalSpy downloadFinished(&engine, &CaptureEngine::downloadFinished);
        QSignalSpy downloadError(&engine, &CaptureEngine::downloadError);
        QSignalSpy captureStarted(&engine, &CaptureEngine::captureStarted);
        QSignalSpy captureProgress(&engine, &CaptureEngine::captureProgress);
        QSignalSpy captureFinished(&engine, &CaptureEngine::captureFinished);
        QSignalSpy captureError(&engine, &CaptureEngine::captureError);
        QSignalSpy captureStreamClosed(&engine, &CaptureEngine::captureStreamClosed);

        const auto exchange = response("www.site.tv", "video/x-flv", "20000");
        std::string path;
        QCOMPARE(engine.on_response(exchange, path), download);

        engine.on_download_started(7, exchange, path);
        engine.on_download_progress(7, 20000, 512);
        engine.on_download_error(8, 1, "HTTP status 404");
        engine.on_download_finished(7, path + "-1");
        engine.on_capture_started(4294967295u, exchange, path);
        engine.on_capture_progress(4294967295u, 20000, 20000);
        engine.on_capture_error(9, 5, "");
        engine.on_capture_stream_closed(10);
        engine.on_capture_finished(4294967295u, path);

        QCOMPARE(downloadStarted.size(), 1);
        QCOMPARE(downloadStarted[0][0].toInt(), 7);
        const auto resource = downloadStarted[0][1].value<HttpResource>();
        QCOMPARE(resource.host, QString("www.site.tv"));
        QVERIFY(resource.isVideo);
        QCOMPARE(resource.size, 20000);
        // Built anew, so it carries a name of its own; the file is outFile.
        QVERIFY(!QString::fromStdString(path).endsWith(resource.name));
        QCOMPARE(downloadStarted[0][2].toString(), QString::fromStdString(path));

        QCOMPARE(downloadProgress.size(), 1);
        QCOMPARE(downloadProgress[0], (QList<QVariant>{7, 20000.0, 512.0}));
        QCOMPARE(downloadError.size(), 1);
        QCOMPARE(downloadError[0], (QList<QVariant>{8, 1, QString("HTTP status 404")}));
        QCOMPARE(downloadFinished.size(), 1);
        QCOMPARE(downloadFinished[0][0].toInt(), 7);
        QCOMPARE(downloadFinished[0][1].toString(), QString::fromStdString(path + "-1"));

        // The int of a signal carries the same bits as the engine's unsigned id.
        QCOMPARE(captureStarted.size(), 1);
        QCOMPARE(captureStarted[0][0].toInt(), -1);
        QCOMPARE(captureStarted[0][2].toString(), QString::fromStdString(path));
        QCOMPARE(captureProgress.size(), 1);
        QCOMPARE(captureProgress[0], (QList<QVariant>{-1, 20000.0, 20000.0}));
        QCOMPARE(captureError.size(), 1);
        QCOMPARE(captureError[0], (QList<QVariant>{9, 5, QString()}));
        QCOMPARE(captureStreamClosed.size(), 1);
        QCOMPARE(captureStreamClosed[0][0].toInt(), 10);
        QCOMPARE(captureFinished.size(), 1);
        QCOMPARE(captureFinished[0][0].toInt(), -1);
        QCOMPARE(captureFinished[0][1].toString(), QString::fromStdString(path));
    }

    // The path goes to the engine as 8-bit text and comes back with the
    // started report; a data folder with non-ASCII letters must survive that.
    void nonAsciiDataLocationSurvivesTheRoundTrip()
    {
        QTemporaryDir home;
        const QString accented = home.path() + QString::fromUtf8("/donn\xc3\xa9" "es");
        const QByteArray saved = qgetenv("XDG_DATA_HOME");
        qputenv("XDG_DATA_HOME", accented.toUtf8());
        DecidingEngine engine;
        QSignalSpy captureStarted(&engine, &CaptureEngine::captureStarted);
        const auto exchange = response("www.site.tv", "image/png", "9000");
        std::string path;
        const int action = engine.on_response(exchange, path);
        qputenv("XDG_DATA_HOME", saved);
        QCOMPARE(action, capture);
        const QString file = QString::fromStdString(path);
        QVERIFY2(file.startsWith(accented + "/"), qPrintable(file));
        QVERIFY(QFileInfo(file).dir().exists());
        engine.on_capture_started(1, exchange, path);
        QCOMPARE(captureStarted.size(), 1);
        QCOMPARE(captureStarted[0][2].toString(), file);
    }
};

int main(int argc, char* argv[])
{
    QCoreApplication application(argc, argv);
    QCoreApplication::setOrganizationName("Tormane Solutions");
    QCoreApplication::setApplicationName("Vendrax");
    CaptureDecisionTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "capture_decision_test.moc"
