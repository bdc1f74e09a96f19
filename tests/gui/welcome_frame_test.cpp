#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>

#include "CaptureDevices.h"
#include "UserPrompts.h"
#include "VendraxResources.h"
#include "WelcomeFrame.h"

namespace {

struct Message {
    QWidget* parent;
    QString title;
    QString text;
};

const char routeHeader[] =
    "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n";

// One line of /proc/net/route with the given destination and gateway (hex).
QByteArray routeLine(const char* iface, const char* destination, const char* gateway)
{
    return QByteArray(iface) + '\t' + destination + '\t' + gateway
        + "\t0003\t0\t0\t0\t00000000\t0\t0\t0\n";
}

CaptureDevices::Enumerator fixedDevices(QList<CaptureDevices::PcapDevice> devices)
{
    return [devices] { return std::optional<QList<CaptureDevices::PcapDevice>>(devices); };
}

QStringList comboTexts(const QComboBox* combo)
{
    QStringList texts;
    for (int i = 0; i < combo->count(); ++i)
        texts << combo->itemText(i);
    return texts;
}

QStringList comboData(const QComboBox* combo)
{
    QStringList data;
    for (int i = 0; i < combo->count(); ++i)
        data << combo->itemData(i, Qt::UserRole).toString();
    return data;
}

}  // namespace

class WelcomeFrameTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir folder;
    QString sysClassNet;
    QList<Message> messages;

    QString writeRoutes(const QByteArray& lines)
    {
        static int counter = 0;
        const QString path = folder.filePath(QString("route%1").arg(++counter));
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly))
            qFatal("cannot write %s", qPrintable(path));
        file.write(routeHeader);
        file.write(lines);
        return path;
    }

    void makeInterfaces(const QStringList& names)
    {
        for (const QString& name : names)
            QDir(sysClassNet).mkpath(name);
    }

private slots:
    // Each test gets an interface folder of its own.
    void init()
    {
        messages.clear();
        static int counter = 0;
        sysClassNet = folder.filePath(QString("class-net-%1").arg(++counter));
        QVERIFY(QDir().mkpath(sysClassNet));
    }

    void initTestCase()
    {
        initVendraxResources();
        QVERIFY(folder.isValid());
        PromptHooks hooks;
        hooks.message = [this](QMessageBox::Icon icon, QWidget* parent, const QString& title,
                               const QString& text) {
            if (icon == QMessageBox::Critical)
                messages.append({parent, title, text});
            return QMessageBox::Ok;
        };
        setPromptHooks(hooks);
    }

    void cleanupTestCase() { setPromptHooks({}); }

    void deviceListLeavesOutLoopbackAndPseudoDevices()
    {
        const auto real = CaptureDevices::pcapDevices();
        QVERIFY2(real.has_value(), "pcap_findalldevs failed on this machine");
        // The fake interface folder holds every real device except one
        // non-loopback device, plus an interface libpcap does not know.
        QString missing;
        QStringList expected;
        for (const auto& device : *real) {
            if (!device.loopback && missing.isEmpty() && device.name != "any") {
                missing = device.name;
                continue;
            }
            if (device.name == "any")
                continue;  // libpcap's pseudo-device: never an interface folder
            makeInterfaces({device.name});
            if (!device.loopback)
                expected << device.name;
        }
        makeInterfaces({"not-a-pcap-device"});

        const CaptureDevices devices(sysClassNet, writeRoutes(""));
        const auto choices = devices.choices();
        QVERIFY(choices.has_value());
        QStringList texts;
        for (const auto& choice : *choices) {
            QCOMPARE(choice.device, choice.text);
            texts << choice.text;
        }
        QCOMPARE(texts, expected);
        QVERIFY(!texts.contains("any"));
        QVERIFY(missing.isEmpty() || !texts.contains(missing));
    }

    void realSystemOffersOnlyRealInterfaces()
    {
        const auto choices = CaptureDevices().choices();
        QVERIFY(choices.has_value());
        for (const auto& choice : *choices) {
            QVERIFY2(QFileInfo::exists("/sys/class/net/" + choice.device), qPrintable(choice.device));
            QVERIFY(choice.device != "lo");
            QVERIFY(choice.device != "any");
        }
    }

    void comboHoldsAutoThenDevicesInLibraryOrder()
    {
        makeInterfaces({"wlan7", "eth7", "lo7"});
        WelcomeFrame page(nullptr, CaptureDevices(sysClassNet, writeRoutes(""),
                                                  fixedDevices({{"wlan7", false},
                                                                {"lo7", true},
                                                                {"nflog", false},
                                                                {"../class-net-3/eth7", false},
                                                                {"..", false},
                                                                {"eth7", false}})));
        auto* combo = page.findChild<QComboBox*>("ifaceComboBox");
        QVERIFY(combo);
        QCOMPARE(comboTexts(combo), QStringList({"Auto", "wlan7", "eth7"}));
        QCOMPARE(comboData(combo), QStringList({"", "wlan7", "eth7"}));
        QCOMPARE(combo->currentIndex(), 0);
        QCOMPARE(messages.size(), 0);
    }

    void emptyDeviceListShowsNoError()
    {
        WelcomeFrame page(nullptr, CaptureDevices(sysClassNet, writeRoutes(""), fixedDevices({})));
        QCOMPARE(comboTexts(page.findChild<QComboBox*>("ifaceComboBox")), QStringList({"Auto"}));
        QCOMPARE(messages.size(), 0);
    }

    void failedEnumerationWarnsAndKeepsAuto()
    {
        const QString routes = writeRoutes(routeLine("eth7", "00000000", "0100A8C0"));
        WelcomeFrame page(nullptr, CaptureDevices(sysClassNet, routes, [] {
                              return std::optional<QList<CaptureDevices::PcapDevice>>();
                          }));
        QCOMPARE(messages.size(), 1);
        QCOMPARE(messages[0].title, QString("Fatal Error"));
        QCOMPARE(messages[0].text, QString("Unable to detect capture interfaces."));
        QCOMPARE(messages[0].parent, &page);
        QCOMPARE(comboTexts(page.findChild<QComboBox*>("ifaceComboBox")), QStringList({"Auto"}));

        // The page stays usable: "Auto" still resolves a device.
        QSignalSpy started(&page, &WelcomeFrame::startMonitoring);
        page.findChild<QToolButton*>("startButton")->click();
        QCOMPARE(started.size(), 1);
        QCOMPARE(started[0][0].toString(), QString("eth7"));
    }

    void autoPicksFirstInterfaceWithGateway_data()
    {
        QTest::addColumn<QByteArray>("routes");
        QTest::addColumn<QString>("device");
        QTest::newRow("no routes") << QByteArray() << "";
        QTest::newRow("no default route")
            << routeLine("eth0", "0000A8C0", "00000000") << "";
        QTest::newRow("default route without gateway")
            << routeLine("tun0", "00000000", "00000000") << "";
        QTest::newRow("one gateway")
            << routeLine("eth0", "0000A8C0", "00000000") + routeLine("eth1", "00000000", "0100A8C0")
            << "eth1";
        QTest::newRow("two gateways, first listed wins")
            << routeLine("wlan0", "00000000", "0101A8C0") + routeLine("eth0", "00000000", "0100A8C0")
            << "wlan0";
        QTest::newRow("gateway on a non-default route ignored")
            << routeLine("eth2", "0000000A", "0100000A") + routeLine("eth3", "00000000", "0100000B")
            << "eth3";
        QTest::newRow("malformed lines skipped")
            << QByteArray("garbage\n eth9 zz 01\n") + routeLine("eth4", "00000000", "FE01A8C0")
            << "eth4";
    }

    void autoPicksFirstInterfaceWithGateway()
    {
        QFETCH(QByteArray, routes);
        QFETCH(QString, device);
        QCOMPARE(CaptureDevices(sysClassNet, writeRoutes(routes)).defaultRouteDevice(), device);
    }

    void autoWithUnreadableRouteFileIsEmpty()
    {
        QCOMPARE(CaptureDevices(sysClassNet, folder.filePath("no-such-file")).defaultRouteDevice(), QString());
    }

    void startWithoutDeviceWarnsAndStaysIdle()
    {
        WelcomeFrame page(nullptr, CaptureDevices(sysClassNet, writeRoutes(""), fixedDevices({})));
        QSignalSpy started(&page, &WelcomeFrame::startMonitoring);
        QSignalSpy stopped(&page, &WelcomeFrame::stopMonitoring);
        auto* button = page.findChild<QToolButton*>("startButton");
        button->click();
        QCOMPARE(messages.size(), 1);
        QCOMPARE(messages[0].parent, &page);
        QCOMPARE(messages[0].title, QString("Start Monitoring"));
        QCOMPARE(messages[0].text,
                 QString("Unable to detect your internet connection interface. Please make sure you "
                         "are connected before start monitoring."));
        QCOMPARE(started.size(), 0);
        QCOMPARE(stopped.size(), 0);
        QCOMPARE(button->text(), QString("Start Monitoring"));
        QVERIFY(page.findChild<QComboBox*>("ifaceComboBox")->isEnabled());
    }

    void buttonAlternatesBetweenStartAndStop()
    {
        makeInterfaces({"eth7"});
        const QString routes = writeRoutes(routeLine("wlan9", "00000000", "0100A8C0"));
        WelcomeFrame page(nullptr, CaptureDevices(sysClassNet, routes, fixedDevices({{"eth7", false}})));
        QSignalSpy started(&page, &WelcomeFrame::startMonitoring);
        QSignalSpy stopped(&page, &WelcomeFrame::stopMonitoring);
        auto* button = page.findChild<QToolButton*>("startButton");
        auto* combo = page.findChild<QComboBox*>("ifaceComboBox");

        button->click();  // "Auto" follows the route file, not the device list
        QCOMPARE(started.size(), 1);
        QCOMPARE(started[0][0].toString(), QString("wlan9"));
        QCOMPARE(button->text(), QString("Stop Monitoring"));
        QVERIFY(!combo->isEnabled());

        button->click();
        QCOMPARE(started.size(), 1);
        QCOMPARE(stopped.size(), 1);
        QCOMPARE(button->text(), QString("Start Monitoring"));
        QVERIFY(combo->isEnabled());

        combo->setCurrentIndex(1);
        button->click();
        QCOMPARE(started.size(), 2);
        QCOMPARE(started[1][0].toString(), QString("eth7"));
        QCOMPARE(stopped.size(), 1);

        button->click();
        QCOMPARE(stopped.size(), 2);
        QCOMPARE(started.size(), 2);
    }

    void failedStartReturnsToIdleWithoutStopSignal()
    {
        const QString routes = writeRoutes(routeLine("eth7", "00000000", "0100A8C0"));
        WelcomeFrame page(nullptr, CaptureDevices(sysClassNet, routes, fixedDevices({})));
        QSignalSpy started(&page, &WelcomeFrame::startMonitoring);
        QSignalSpy stopped(&page, &WelcomeFrame::stopMonitoring);
        auto* button = page.findChild<QToolButton*>("startButton");
        auto* combo = page.findChild<QComboBox*>("ifaceComboBox");

        button->click();
        QCOMPARE(started.size(), 1);
        page.errorStartingMonitoring();
        QCOMPARE(button->text(), QString("Start Monitoring"));
        QVERIFY(combo->isEnabled());
        QCOMPARE(stopped.size(), 0);

        // The next press starts again, once.
        button->click();
        QCOMPARE(started.size(), 2);
        QCOMPARE(stopped.size(), 0);
        QCOMPARE(button->text(), QString("Stop Monitoring"));
    }

    void lateErrorReportDoesNotDoubleTheButton()
    {
        // The user stopped before the capture thread's queued failure arrived:
        // returning to idle twice must not wire the start slot twice.
        const QString routes = writeRoutes(routeLine("eth7", "00000000", "0100A8C0"));
        WelcomeFrame page(nullptr, CaptureDevices(sysClassNet, routes, fixedDevices({})));
        QSignalSpy started(&page, &WelcomeFrame::startMonitoring);
        QSignalSpy stopped(&page, &WelcomeFrame::stopMonitoring);
        auto* button = page.findChild<QToolButton*>("startButton");

        button->click();
        button->click();
        page.errorStartingMonitoring();
        page.errorStartingMonitoring();
        QCOMPARE(stopped.size(), 1);

        button->click();
        QCOMPARE(started.size(), 2);
        button->click();
        QCOMPARE(stopped.size(), 2);
        QCOMPARE(started.size(), 2);
    }
};

QTEST_MAIN(WelcomeFrameTest)
#include "welcome_frame_test.moc"
