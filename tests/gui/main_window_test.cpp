#include "ApplicationSetup.h"
#include "CaptureDevices.h"
#include "CaptureEngine.h"
#include "HttpResource.h"
#include "ImagesFrame.h"
#include "MainWindow.h"
#include "TransfersFrame.h"
#include "VideoFile.h"
#include "VideosFrame.h"
#include "WelcomeFrame.h"
#include "WindowTestSupport.h"

#include "tests/support/http_server.hpp"

#include <QFutureWatcherBase>
#include <QLabel>
#include <QMenuBar>
#include <QStackedWidget>
#include <QThreadPool>
#include <QToolButton>

#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <iterator>

using namespace window_test;

namespace {

// The window disposes of its update checker once the check has answered
// (either way); seeing that disposal tells the test the answer was handled.
struct UpdateAnswer : QObject {
    bool disposed = false;
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::DeferredDelete && qobject_cast<UpdateChecker*>(watched))
            disposed = true;
        return false;
    }
};

// Takes the capture rights out of this thread's effective set while it lives;
// the permitted set keeps them, so they come back. A thread started meanwhile
// inherits the lack.
class CaptureRightsDropped {
public:
    explicit CaptureRightsDropped(bool drop)
    {
        if (!drop || ::syscall(SYS_capget, &header, saved) != 0)
            return;
        __user_cap_data_struct lowered[_LINUX_CAPABILITY_U32S_3];
        std::copy(std::begin(saved), std::end(saved), lowered);
        for (const int capability : {CAP_NET_RAW, CAP_NET_ADMIN})
            lowered[CAP_TO_INDEX(capability)].effective &= ~CAP_TO_MASK(capability);
        dropped = ::syscall(SYS_capset, &header, lowered) == 0;
    }
    ~CaptureRightsDropped()
    {
        if (dropped)
            ::syscall(SYS_capset, &header, saved);
    }
    CaptureRightsDropped(const CaptureRightsDropped&) = delete;
    CaptureRightsDropped& operator=(const CaptureRightsDropped&) = delete;

private:
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct saved[_LINUX_CAPABILITY_U32S_3] = {};
    bool dropped = false;
};

} // namespace

// The whole window with its real pages, the real update check against a
// server on loopback, and the real capture thread's start that fails. Stop,
// Start and Quit are stop_and_quit_test's.
class MainWindowTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<Prompts> prompts;
    std::unique_ptr<test_support::http_server> server;
    QTemporaryDir files;

    QUrl serverAddress() const
    {
        return QUrl(QString::fromStdString(server->url("/update-check-v11/?os=win")));
    }

    static QTableWidget* sideTable(MainWindow& window)
    {
        return window.findChild<QTableWidget*>("sideTableWidget");
    }

    static void selectPage(MainWindow& window, int row) { sideTable(window)->setCurrentCell(row, 0); }

    // The badge image beside a side row, or a null image when there is none.
    static QImage badge(MainWindow& window, int row)
    {
        const auto* label = qobject_cast<QLabel*>(sideTable(window)->cellWidget(row, 1));
        return label ? label->pixmap().toImage() : QImage();
    }

    static QImage resourceImage(const QString& name) { return QPixmap(name).toImage(); }

    void announceVideo(MainWindow& window)
    {
        auto* transfers = window.findChild<TransfersFrame*>();
        emit transfers->downloadedVideo(files.path() + QStringLiteral("/clip.flv"), QStringLiteral("Example.com"));
    }

    void announceImage(MainWindow& window)
    {
        auto* transfers = window.findChild<TransfersFrame*>();
        emit transfers->downloadedImage(files.path() + QStringLiteral("/picture.png"), QStringLiteral("Example.com"));
    }

    static bool settle(MainWindow& window)
    {
        return QTest::qWaitFor([&] { return window.findChildren<QFutureWatcherBase*>().isEmpty(); }, 30000);
    }

private slots:
    void initTestCase()
    {
        startWindowTests(files.path());
        server = std::make_unique<test_support::http_server>();
    }

    void cleanupTestCase() { endWindowTests(); }

    void init()
    {
        removeCatalogueFiles();
        prompts = std::make_unique<Prompts>();
        prompts->install();
    }

    void cleanup() { prompts.reset(); }

    void sideListPagesAndLinks()
    {
        MainWindow window(nullptr, refusedAddress());
        QTableWidget* side = sideTable(window);
        QCOMPARE(side->rowCount(), 4);
        const QStringList texts = {"Welcome", "Transfering", "Videos", "Images"};
        for (int row = 0; row < 4; ++row)
            QCOMPARE(side->item(row, 0)->text(), texts[row]);
        QCOMPARE(side->currentRow(), 0);

        auto* pages = window.findChild<QStackedWidget*>("centerStackedWidget");
        QCOMPARE(pages->count(), 4);
        QVERIFY(qobject_cast<WelcomeFrame*>(pages->widget(0)));
        QVERIFY(qobject_cast<TransfersFrame*>(pages->widget(1)));
        QVERIFY(qobject_cast<VideosFrame*>(pages->widget(2)));
        QVERIFY(qobject_cast<ImagesFrame*>(pages->widget(3)));
        selectPage(window, 3);
        QCOMPARE(pages->currentIndex(), 3);

        // The selected row's icon is the inverted image.
        // Compared premultiplied: an inverted fully transparent pixel is
        // still just transparent.
        const auto comparable = [](const QImage& image) {
            return image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
        };
        const QIcon icon = side->item(1, 0)->icon();
        const QImage normal(":/images/transfers.png");
        QImage inverted = normal;
        inverted.invertPixels(QImage::InvertRgb);
        const QSize size = normal.size();
        QCOMPARE(comparable(icon.pixmap(size, QIcon::Active).toImage()), comparable(normal));
        QCOMPARE(comparable(icon.pixmap(size, QIcon::Selected).toImage()), comparable(inverted));
        QVERIFY(comparable(normal) != comparable(inverted));

        const auto* feedback = window.findChild<QLabel*>("feedbackLabel");
        QCOMPARE(feedback->text(), QStringLiteral("<a href=\"http://www.vendrax.example/support/"
                                                  "?v=1.1&os=win&from=app_feedback\">Feedback and Suggestions</a>"));

        for (QAction* menu : window.menuBar()->actions())
            for (QAction* action : menu->menu()->actions())
                if (action->text() == QStringLiteral("Support") || action->text() == QStringLiteral("About Vendrax"))
                    action->trigger();
        QCOMPARE(prompts->opened, QList<QUrl>{QUrl("http://www.vendrax.example/support/?v=1.1&os=win&from=app")});
        QCOMPARE(prompts->titles(), QStringList{"About Vendrax"});
        QVERIFY(prompts->messages[0].text.contains("<strong>Vendrax 1.1</strong>"));
    }

    void badges()
    {
        MainWindow window(nullptr, refusedAddress());
        const QImage red1 = resourceImage(":/images/red1.png");
        QVERIFY(!red1.isNull() && red1 != resourceImage(":/images/red2.png"));

        // While another page shows, the first video is listed and gets badge 1.
        auto* videos = window.findChild<QTableWidget*>("videosTableWidget");
        announceVideo(window);
        QCOMPARE(videos->rowCount(), 1);
        QCOMPARE(badge(window, 2), red1);

        for (int count = 2; count <= 30; ++count)
            announceVideo(window);
        QCOMPARE(badge(window, 2), resourceImage(":/images/red30.png"));
        announceVideo(window);
        QCOMPARE(badge(window, 2), resourceImage(":/images/red_n.png"));

        // Images count on their own; other rows reset nothing.
        announceImage(window);
        announceImage(window);
        QCOMPARE(badge(window, 3), resourceImage(":/images/red2.png"));
        selectPage(window, 1);
        selectPage(window, 0);
        QCOMPARE(badge(window, 2), resourceImage(":/images/red_n.png"));
        QCOMPARE(badge(window, 3), resourceImage(":/images/red2.png"));

        // Showing the Videos page removes its badge and resets its count;
        // videos arriving meanwhile add none.
        selectPage(window, 2);
        QVERIFY(badge(window, 2).isNull());
        announceVideo(window);
        QVERIFY(badge(window, 2).isNull());
        QCOMPARE(videos->rowCount(), 32);
        selectPage(window, 3);
        QVERIFY(badge(window, 3).isNull());
        announceVideo(window);
        QCOMPARE(badge(window, 2), red1);
        announceImage(window);
        selectPage(window, 0);
        announceImage(window);
        QCOMPARE(badge(window, 3), red1);
        QVERIFY(settle(window));
    }

    void updateNotice_data()
    {
        QTest::addColumn<QByteArray>("page"); // empty: no answer at all
        QTest::addColumn<QString>("label");
        QTest::newRow("newer version") << QByteArray("<html>new release</html>")
            << "<a href=\"http://www.vendrax.example/update/?v=1.1&os=win&from=app_update\">"
               "A new version of Vendrax is available!</a>";
        QTest::newRow("up to date") << QByteArray("<html><!-- UP-TO-DATE --></html>") << "";
        QTest::newRow("no network") << QByteArray() << "";
    }

    void updateNotice()
    {
        QFETCH(QByteArray, page);
        QFETCH(QString, label);
        test_support::http_reply reply;
        reply.body = page.toStdString();
        server->route("/update-check-v11/", reply);
        const QUrl address = page.isEmpty() ? refusedAddress() : serverAddress();

        UpdateAnswer answer;
        qApp->installEventFilter(&answer);
        MainWindow window(nullptr, address);
        QTRY_VERIFY_WITH_TIMEOUT(answer.disposed, 20000);
        qApp->removeEventFilter(&answer);
        QCOMPARE(window.findChild<QLabel*>("updateLabel")->text(), label);
    }

    void startThatFails_data()
    {
        QTest::addColumn<QString>("device");
        QTest::addColumn<bool>("rights"); // may the thread that starts monitoring capture?
        QTest::addColumn<QString>("text");
        QTest::newRow("device that cannot be opened")
            << "no-such-device0" << true
            << "Unable to start monitoring. Please make sure that you selected either \"Auto\" or a valid interface.";
        QTest::newRow("no rights to capture")
            << "lo" << false
            << "Unable to start monitoring: capturing packets needs the rights to capture. Run Vendrax as root, or "
               "give the program the capture capabilities:\n\nsudo setcap cap_net_raw,cap_net_admin=eip "
                + QCoreApplication::applicationFilePath();
    }

    void startThatFails()
    {
        QFETCH(QString, device);
        QFETCH(bool, rights);
        QFETCH(QString, text);
        if (rights && !CaptureDevices::hasCaptureRights())
            QSKIP("needs the rights to capture");
        const CaptureRightsDropped dropped(!rights);
        QCOMPARE(CaptureDevices::hasCaptureRights(), rights);
        MainWindow window(nullptr, refusedAddress());
        auto* welcome = window.findChild<WelcomeFrame*>();

        emit welcome->startMonitoring(device);

        QTRY_COMPARE_WITH_TIMEOUT(prompts->messages.size(), 1, 20000);
        QCOMPARE(prompts->messages[0].icon, QMessageBox::Critical);
        QCOMPARE(prompts->messages[0].title, QStringLiteral("Start Monitoring"));
        QCOMPARE(prompts->messages[0].text, text);
        QTRY_VERIFY_WITH_TIMEOUT(window.findChild<CaptureEngine*>() == nullptr, 30000);
        QCOMPARE(window.findChild<QToolButton*>("startButton")->text(), QStringLiteral("Start Monitoring"));
    }
};

WINDOW_TEST_MAIN(MainWindowTest)

#include "main_window_test.moc"
