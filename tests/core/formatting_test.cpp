#include <QTest>

#include "Formatting.h"

class FormattingTest : public QObject {
    Q_OBJECT

private slots:
    void duration_data()
    {
        QTest::addColumn<int>("seconds");
        QTest::addColumn<QString>("expected");
        QTest::newRow("zero") << 0 << "00:00:00";
        QTest::newRow("under a minute") << 59 << "00:00:59";
        QTest::newRow("one minute") << 60 << "00:01:00";
        QTest::newRow("under an hour") << 3599 << "00:59:59";
        QTest::newRow("one hour") << 3600 << "01:00:00";
        QTest::newRow("under a day") << 86399 << "23:59:59";
        QTest::newRow("hundred hours keeps all digits") << 360000 << "100:00:00";
        QTest::newRow("negative fields") << -61 << "00:-1:-1";
        QTest::newRow("negative hours") << -3661 << "-1:-1:-1";
    }
    void duration()
    {
        QFETCH(int, seconds);
        QFETCH(QString, expected);
        QCOMPARE(formatDuration(seconds), expected);
    }

    void domain_data()
    {
        QTest::addColumn<QString>("host");
        QTest::addColumn<bool>("capitalize");
        QTest::addColumn<QString>("expected");
        QTest::newRow("empty") << "" << false << "";
        QTest::newRow("empty capitalized") << "" << true << "";
        QTest::newRow("no dots") << "localhost" << false << "localhost";
        QTest::newRow("two labels") << "site.tv" << false << "site.tv";
        QTest::newRow("three labels") << "www.site.tv" << false << "site.tv";
        QTest::newRow("many labels") << "a.b.cdn.site.net" << false << "site.net";
        QTest::newRow("com under country") << "www.site.com.au" << false << "site.com.au";
        QTest::newRow("com in any case") << "www.site.COM.au" << false << "site.COM.au";
        QTest::newRow("com as first of three") << "w.com.t" << false << "w.com.t";
        QTest::newRow("mixed-case com whole") << "w.Com.t" << false << "w.Com.t";
        QTest::newRow("other second level") << "www.site.co.uk" << false << "co.uk";
        QTest::newRow("empty middle label") << "s..t" << false << ".t";
        QTest::newRow("trailing dot") << "s.t." << false << "t.";
        QTest::newRow("labels keep their case") << "WWW.Site.TV" << false << "Site.TV";
        QTest::newRow("capitalize first only") << "www.site.tv" << true << "Site.tv";
        QTest::newRow("capitalize keeps the rest") << "www.sITE.tv" << true << "SITE.tv";
        QTest::newRow("capitalize short host") << "s.t" << true << "S.t";
        QTest::newRow("capitalize digit") << "cdn.1site.tv" << true << "1site.tv";
        QTest::newRow("IPv4 address whole") << "192.168.1.10" << false << "192.168.1.10";
        QTest::newRow("IPv4 address with port whole") << "10.0.1.10:8080" << true << "10.0.1.10:8080";
        QTest::newRow("not an address") << "1.2.3.256" << false << "3.256";
        QTest::newRow("bracketed IPv6 whole") << "[::ffff:10.0.1.10]:80" << false << "[::ffff:10.0.1.10]:80";
        QTest::newRow("user-info dropped") << "user:pass@127.0.0.2" << false << "127.0.0.2";
        QTest::newRow("user-info before a name") << "u@www.site.tv" << true << "Site.tv";
    }
    void domain()
    {
        QFETCH(QString, host);
        QFETCH(bool, capitalize);
        QFETCH(QString, expected);
        QCOMPARE(domainFromHost(host, capitalize), expected);
    }

    void size_data()
    {
        QTest::addColumn<qint64>("value");
        QTest::addColumn<bool>("bits");
        QTest::addColumn<QString>("expected");
        const qint64 kilo = 1024;
        QTest::newRow("zero") << qint64(0) << false << "0.0 bytes";
        QTest::newRow("small") << qint64(5) << false << "5.0 bytes";
        QTest::newRow("negative") << qint64(-5) << false << "-5.0 bytes";
        QTest::newRow("large negative stays bytes") << qint64(-5000) << false << "-5000.0 bytes";
        QTest::newRow("below a kilobyte") << qint64(1023) << false << "1023.0 bytes";
        QTest::newRow("one kilobyte") << kilo << false << "1.0 KB";
        QTest::newRow("one and a half") << qint64(1536) << false << "1.5 KB";
        QTest::newRow("just below a megabyte") << qint64(1048575) << false << "1024.0 KB";
        QTest::newRow("one megabyte") << kilo * kilo << false << "1.0 MB";
        QTest::newRow("single precision") << qint64(16777217) << false << "16.0 MB";
        QTest::newRow("one gigabyte") << kilo * kilo * kilo << false << "1.0 GB";
        QTest::newRow("one terabyte") << kilo * kilo * kilo * kilo << false << "1.0 TB";
        QTest::newRow("beyond terabytes") << (qint64(1) << 51) << false << "2048.0 TB";
        QTest::newRow("bits below a kilobit") << qint64(1023) << true << "1023.0 bytes";
        QTest::newRow("one kilobit") << kilo << true << "1.0 KBit";
        QTest::newRow("megabits") << qint64(3) * kilo * kilo / 2 << true << "1.5 MBit";
        QTest::newRow("gigabits") << kilo * kilo * kilo << true << "1.0 GBit";
        QTest::newRow("terabits") << kilo * kilo * kilo * kilo * 3 << true << "3.0 TBit";
    }
    void size()
    {
        QFETCH(qint64, value);
        QFETCH(bool, bits);
        QFETCH(QString, expected);
        QCOMPARE(formatSize(value, bits), expected);
    }
};

QTEST_APPLESS_MAIN(FormattingTest)
#include "formatting_test.moc"
