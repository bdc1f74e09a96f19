#include <set>
#include <thread>
#include <vector>

#include <QRegularExpression>
#include <QTest>

#include "HttpResource.h"
#include "tests/core/exchange.h"

namespace {

HttpResource resourceWith(const char* contentType, const std::string& host = "www.site.tv")
{
    if (!contentType)
        return HttpResource(makeExchange(host, "/v", 200, {{"Content-Length", "100"}}));
    return HttpResource(makeExchange(host, "/v", 200, {{"Content-Type", contentType}, {"Content-Length", "100"}}));
}

// The part of a generated name after the domain prefix and before the extension.
QString numberOf(const QString& name)
{
    static const QRegularExpression number(QStringLiteral("^(?:[^_]*_)?(\\d+)\\."));
    return number.match(name).captured(1);
}

}  // namespace

class HttpResourceTest : public QObject {
    Q_OBJECT

private slots:
    void contentType_data()
    {
        QTest::addColumn<QString>("contentType");  // "<none>": no Content-Type header
        QTest::addColumn<bool>("video");
        QTest::addColumn<bool>("audio");
        QTest::addColumn<bool>("image");
        QTest::addColumn<QString>("extension");
        QTest::newRow("mp4") << "video/mp4" << true << false << false << ".mp4";
        QTest::newRow("x- dropped") << "video/x-flv" << true << false << false << ".flv";
        QTest::newRow("only x- dropped") << "video/x-ms-wmv" << true << false << false << ".ms-wmv";
        QTest::newRow("every x- dropped") << "video/x-x-flv" << true << false << false << ".flv";
        QTest::newRow("X- kept") << "video/X-flv" << true << false << false << ".X-flv";
        QTest::newRow("mpeg major") << "mpeg/stream" << true << false << false << ".stream";
        QTest::newRow("divx major") << "divx/avi" << true << false << false << ".avi";
        QTest::newRow("webm major") << "webm/webm" << true << false << false << ".webm";
        QTest::newRow("image parameter dropped") << "image/jpeg;charset=x" << false << false << true << ".jpeg";
        QTest::newRow("image png") << "image/png" << false << false << true << ".png";
        QTest::newRow("audio") << "audio/mpeg" << false << true << false << ".mpeg";
        QTest::newRow("application/flv") << "application/flv" << true << false << false << ".flv";
        QTest::newRow("application/f4v") << "application/f4v" << true << false << false << ".f4v";
        QTest::newRow("flv-application") << "flv-application/octet-stream" << true << false << false << ".octet-stream";
        QTest::newRow("application/flv with parameter")
            << "application/flv; charset=x" << false << false << false << ".flv";
        QTest::newRow("case-sensitive major") << "Video/MP4" << false << false << false << ".MP4";
        QTest::newRow("untrimmed major") << " video/mp4" << false << false << false << ".mp4";
        QTest::newRow("text") << "text/html" << false << false << false << ".html";
        QTest::newRow("no header") << "<none>" << false << false << false << ".unknown";
        QTest::newRow("empty header") << "" << false << false << false << ".unknown";
        QTest::newRow("one part") << "video" << false << false << false << ".video";
        QTest::newRow("empty subtype") << "video/" << true << false << false << ".unknown";
        QTest::newRow("semicolon only") << "image;q=1" << false << false << true << ".q=1";
    }
    void contentType()
    {
        QFETCH(QString, contentType);
        QFETCH(bool, video);
        QFETCH(bool, audio);
        QFETCH(bool, image);
        QFETCH(QString, extension);
        const QByteArray type = contentType.toLatin1();
        const HttpResource resource = resourceWith(contentType == "<none>" ? nullptr : type.constData());
        QCOMPARE(resource.isVideo, video);
        QCOMPARE(resource.isAudio, audio);
        QCOMPARE(resource.isImage, image);
        QVERIFY2(resource.name.endsWith(extension), qPrintable(resource.name));
        QCOMPARE(resource.name.count(QLatin1Char('.')), extension.count(QLatin1Char('.')) + 1);
    }

    void hostAndPrefix_data()
    {
        QTest::addColumn<QString>("hostHeader");  // empty: no Host header
        QTest::addColumn<QString>("host");
        QTest::addColumn<QString>("prefix");
        QTest::newRow("sub-domain") << "www.site.tv" << "www.site.tv" << "site.tv_";
        QTest::newRow("lower-cased prefix, host as received") << "WWW.Site.TV" << "WWW.Site.TV" << "site.tv_";
        QTest::newRow("com rule") << "cdn.site.com.br" << "cdn.site.com.br" << "site.com.br_";
        QTest::newRow("port left out of the name") << "site.tv:8080" << "site.tv:8080" << "site.tv_";
        QTest::newRow("IPv4 address whole") << "192.168.1.10:8080" << "192.168.1.10:8080" << "192.168.1.10_";
        QTest::newRow("user-info left out") << "user:pass@127.0.0.2" << "user:pass@127.0.0.2" << "127.0.0.2_";
        QTest::newRow("no host") << "" << "?" << "";
    }
    void hostAndPrefix()
    {
        QFETCH(QString, hostHeader);
        QFETCH(QString, host);
        QFETCH(QString, prefix);
        const HttpResource resource = resourceWith("video/mp4", hostHeader.toStdString());
        QCOMPARE(resource.host, host);
        const QRegularExpression expected(
            QStringLiteral("^%1\\d+\\.mp4$").arg(QRegularExpression::escape(prefix)));
        QVERIFY2(expected.match(resource.name).hasMatch(), qPrintable(resource.name));
    }

    void size_data()
    {
        QTest::addColumn<QString>("contentLength");  // "<none>": no Content-Length header
        QTest::addColumn<int>("size");
        QTest::newRow("plain") << "123456" << 123456;
        QTest::newRow("largest 32-bit") << "2147483647" << 2147483647;
        QTest::newRow("beyond 32-bit") << "2147483648" << 0;
        QTest::newRow("far beyond") << "99999999999" << 0;
        QTest::newRow("not a number") << "abc" << 0;
        QTest::newRow("trailing garbage") << "12ab" << 0;
        QTest::newRow("negative") << "-5" << -5;
        QTest::newRow("absent") << "<none>" << 0;
    }
    void size()
    {
        QFETCH(QString, contentLength);
        QFETCH(int, size);
        auto exchange = makeExchange("www.site.tv", "/v", 200, {{"Content-Type", "video/mp4"}});
        if (contentLength != "<none>")
            exchange.response.headers["Content-Length"] = contentLength.toStdString();
        QCOMPARE(HttpResource(exchange).size, size);
    }

    void headerNamesIgnoreCase()
    {
        const HttpResource resource(makeExchange("", "/v", 200, {{"content-type", "image/gif"}, {"CONTENT-LENGTH", "9000"}}));
        QVERIFY(resource.isImage);
        QCOMPARE(resource.size, 9000);
    }

    void sameExchangeGetsNewNames()
    {
        const auto exchange = makeExchange("www.site.tv", "/v", 200, {{"Content-Type", "video/mp4"}});
        // Many in a row: most of them share a millisecond.
        QString previous = HttpResource(exchange).name;
        for (int i = 0; i < 1000; ++i) {
            const QString name = HttpResource(exchange).name;
            QVERIFY2(numberOf(name).toLongLong() > numberOf(previous).toLongLong(),
                     qPrintable(previous + " then " + name));
            previous = name;
        }
    }

    void namesUniqueAcrossThreads()
    {
        constexpr int threadCount = 8;
        constexpr int perThread = 5000;
        const auto exchange = makeExchange("www.site.tv", "/v", 200, {{"Content-Type", "image/png"}});
        std::vector<std::vector<QString>> names(threadCount);
        std::vector<std::thread> threads;
        for (int t = 0; t < threadCount; ++t)
            threads.emplace_back([&, t] {
                names[t].reserve(perThread);
                for (int i = 0; i < perThread; ++i)
                    names[t].push_back(HttpResource(exchange).name);
            });
        for (auto& thread : threads)
            thread.join();
        std::set<QString> unique;
        for (const auto& list : names)
            for (const QString& name : list)
                QVERIFY2(unique.insert(name).second, qPrintable("duplicate name " + name));
        QCOMPARE(int(unique.size()), threadCount * perThread);
    }

    void copiesTravelAsMetaType()
    {
        registerHttpResourceMetaType();
        QCOMPARE(QMetaType::fromName("HttpResource"), QMetaType::fromType<HttpResource>());
        const HttpResource original = resourceWith("video/mp4");
        const QVariant carried = QVariant::fromValue(original);
        const HttpResource copy = carried.value<HttpResource>();
        QCOMPARE(copy.name, original.name);
        QCOMPARE(copy.host, original.host);
        QCOMPARE(copy.isVideo, original.isVideo);
        QCOMPARE(copy.size, original.size);
    }
};

QTEST_GUILESS_MAIN(HttpResourceTest)
#include "http_resource_test.moc"
