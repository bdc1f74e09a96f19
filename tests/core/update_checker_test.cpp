#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include "UpdateChecker.h"

// A one-page HTTP server on loopback: every request gets `response` verbatim,
// then the connection is closed.
class CannedServer : public QObject {
public:
    CannedServer()
    {
        connect(&server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* socket = server.nextPendingConnection()) {
                connect(socket, &QTcpSocket::readyRead, socket, [this, socket] {
                    request += socket->readAll();
                    if (!request.contains("\r\n\r\n"))
                        return;
                    socket->write(response);
                    socket->disconnectFromHost();
                });
                connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            }
        });
        if (!server.listen(QHostAddress::LocalHost, 0))
            qFatal("cannot listen on loopback");
    }

    QUrl url() const
    {
        return QUrl(QString("http://127.0.0.1:%1/update-check-v11/?os=win").arg(server.serverPort()));
    }

    QTcpServer server;
    QByteArray response;
    QByteArray request;
};

namespace {

QByteArray page(const QByteArray& status, const QByteArray& body)
{
    return "HTTP/1.1 " + status + "\r\nContent-Type: text/html\r\nContent-Length: "
        + QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

}  // namespace

class UpdateCheckerTest : public QObject {
    Q_OBJECT

private slots:
    void defaultAddressAsksTheUpdateCheckPage()
    {
        const QUrl address = UpdateChecker::defaultAddress();
        QCOMPARE(address.scheme(), QString("http"));
        QVERIFY(address.host().endsWith(".example"));
        QCOMPARE(address.path(), QString("/update-check-v11/"));
        QCOMPARE(address.query(), QString("os=win"));
    }

    void completedReplyReportsTheMarker_data()
    {
        QTest::addColumn<QByteArray>("response");
        QTest::addColumn<bool>("isUpdated");
        const QByteArray marker = "<!-- UP-TO-DATE -->";
        QTest::newRow("marker alone") << page("200 OK", marker) << true;
        QTest::newRow("marker inside a page")
            << page("200 OK", "<html><body><p>Version 1.1</p>" + marker + "</body></html>") << true;
        QTest::newRow("zero byte after the marker") << page("200 OK", marker + QByteArray("\0tail", 5)) << true;
        QTest::newRow("no marker") << page("200 OK", "<html><body>Get 1.2 now</body></html>") << false;
        QTest::newRow("empty body") << page("200 OK", "") << false;
        QTest::newRow("other letter case") << page("200 OK", "<!-- up-to-date -->") << false;
        QTest::newRow("other spacing") << page("200 OK", "<!--UP-TO-DATE-->") << false;
        QTest::newRow("zero byte before the marker")
            << page("200 OK", QByteArray("<html>\0", 7) + marker) << false;
    }

    void completedReplyReportsTheMarker()
    {
        QFETCH(QByteArray, response);
        QFETCH(bool, isUpdated);
        CannedServer server;
        server.response = response;
        UpdateChecker checker(nullptr, server.url());
        QSignalSpy results(&checker, &UpdateChecker::checkResult);
        QSignalSpy errors(&checker, &UpdateChecker::checkError);
        checker.check();
        QVERIFY2(results.wait(30000), "no checkResult within 30 s");
        QCOMPARE(results.size(), 1);
        QCOMPARE(results[0][0].toBool(), isUpdated);
        QCOMPARE(errors.size(), 0);
        QVERIFY(server.request.startsWith("GET /update-check-v11/?os=win HTTP/1.1\r\n"));
    }

    // The check asks one page with one plain GET: a redirect is an answer
    // like any other (its body is read for the marker), never followed.
    void redirectIsNotFollowed_data()
    {
        QTest::addColumn<QByteArray>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<bool>("isUpdated");
        QTest::newRow("301 without the marker") << QByteArray("301 Moved Permanently") << QByteArray("moved") << false;
        QTest::newRow("302 with the marker") << QByteArray("302 Found") << QByteArray("<!-- UP-TO-DATE -->") << true;
        QTest::newRow("307") << QByteArray("307 Temporary Redirect") << QByteArray() << false;
        QTest::newRow("308") << QByteArray("308 Permanent Redirect") << QByteArray() << false;
    }
    void redirectIsNotFollowed()
    {
        QFETCH(QByteArray, status);
        QFETCH(QByteArray, body);
        QFETCH(bool, isUpdated);
        CannedServer target;
        target.response = page("200 OK", "<!-- UP-TO-DATE --> elsewhere");
        CannedServer server;
        server.response = page(status, body).replace(
            "\r\n\r\n", "\r\nLocation: " + target.url().toEncoded() + "\r\n\r\n");
        UpdateChecker checker(nullptr, server.url());
        QSignalSpy results(&checker, &UpdateChecker::checkResult);
        QSignalSpy errors(&checker, &UpdateChecker::checkError);
        checker.check();
        QVERIFY2(results.wait(30000), "no checkResult within 30 s");
        QCOMPARE(results[0][0].toBool(), isUpdated);
        QCOMPARE(errors.size(), 0);
        QCOMPARE(server.request.count("GET "), 1);
        QCOMPARE(target.request, QByteArray());
    }

    void failedRequestReportsOnlyAnError_data()
    {
        QTest::addColumn<QByteArray>("response");
        QTest::newRow("not found") << page("404 Not Found", "<!-- UP-TO-DATE -->");
        QTest::newRow("server error") << page("500 Internal Server Error", "");
        QTest::newRow("connection closed without a reply") << QByteArray();
    }

    void failedRequestReportsOnlyAnError()
    {
        QFETCH(QByteArray, response);
        CannedServer server;
        server.response = response;
        UpdateChecker checker(nullptr, server.url());
        QSignalSpy results(&checker, &UpdateChecker::checkResult);
        QSignalSpy errors(&checker, &UpdateChecker::checkError);
        checker.check();
        QVERIFY2(errors.wait(30000), "no checkError within 30 s");
        // Give the reply's finished() the chance to come through as well.
        QTest::qWait(100);
        QCOMPARE(errors.size(), 1);
        QCOMPARE(results.size(), 0);
    }

    void refusedConnectionReportsOnlyAnError()
    {
        quint16 port = 0;
        {
            QTcpServer closed;
            QVERIFY(closed.listen(QHostAddress::LocalHost, 0));
            port = closed.serverPort();
        }
        UpdateChecker checker(nullptr, QUrl(QString("http://127.0.0.1:%1/update-check-v11/?os=win").arg(port)));
        QSignalSpy results(&checker, &UpdateChecker::checkResult);
        QSignalSpy errors(&checker, &UpdateChecker::checkError);
        checker.check();
        QVERIFY2(errors.wait(30000), "no checkError within 30 s");
        QTest::qWait(100);
        QCOMPARE(errors.size(), 1);
        QCOMPARE(results.size(), 0);
    }
};

QTEST_GUILESS_MAIN(UpdateCheckerTest)
#include "update_checker_test.moc"
