// Renders the three pages under the application's style sheet, filled as a
// user would see them, and checks that the resources they draw from are
// there. With VENDRAX_SCREENSHOT_DIR set, the renderings are also written
// there as PNG files for a person to look at.
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QTabWidget>
#include <QTableWidget>
#include <QTest>
#include <QToolButton>

#include "CaptureDevices.h"
#include "PreferencesDialog.h"
#include "TransferResources.h"
#include "TransfersFrame.h"
#include "VendraxResources.h"
#include "WelcomeFrame.h"

namespace {

void keep(QWidget* widget, const QString& name)
{
    const QImage image = widget->grab().toImage();
    QVERIFY2(!image.isNull(), qPrintable(name));
    const QString folder = qEnvironmentVariable("VENDRAX_SCREENSHOT_DIR");
    if (!folder.isEmpty()) {
        QDir().mkpath(folder);
        QVERIFY(image.save(folder + "/" + name + ".png"));
    }
}

}  // namespace

class PageRenderingTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        initVendraxResources();
        QFile styleSheet(":/ui/stylesheet.qss");
        QVERIFY(styleSheet.open(QIODevice::ReadOnly));
        qApp->setStyleSheet(QString::fromLatin1(styleSheet.readAll()));
    }

    void formImagesExist()
    {
        for (const char* name : {"search", "clear", "monitor", "vendrax"})
            QVERIFY2(!QPixmap(QString(":/images/%1.png").arg(name)).isNull(), name);
    }

    void welcomePage()
    {
        WelcomeFrame page(nullptr, CaptureDevices(QDir::tempPath(), QDir::tempPath() + "/no-routes", [] {
                              return std::optional<QList<CaptureDevices::PcapDevice>>(QList<CaptureDevices::PcapDevice>());
                          }));
        page.resize(760, 460);
        page.show();
        QVERIFY(!page.findChild<QLabel*>("label_2")->pixmap().isNull());
        QVERIFY(!page.findChild<QToolButton*>("startButton")->icon().isNull());
        keep(&page, "welcome");
    }

    void transfersPage()
    {
        TransfersFrame page;
        page.resize(760, 460);
        page.captureStarted(1, transferResource("v1.clips.example", true, 15728640), "/d/clips.example_1.mp4");
        page.captureStarted(2, transferResource("img.pics.example", false, 48213), "/d/pics.example_2.jpeg");
        page.downloadStarted(1, transferResource("cdn.tube.example", true, 104857600), "/d/tube.example_3.flv");
        page.downloadStarted(2, transferResource("www.news.co.example", false, 0), "/d/news_4.png");
        page.captureStarted(3, transferResource("media.shop.com.example", true, 2048000), "/d/shop_5.webm");
        page.captureProgress(1, 15728640, 9437184);
        page.captureFinished(2);
        page.downloadProgress(1, 104857600, 31457280);
        page.downloadError(2, 1, QString());
        page.captureStreamClosed(3);
        page.show();
        page.findChild<QTableWidget*>("transfersTableWidget")->selectRow(2);
        QVERIFY(!page.findChild<QToolButton*>("clearCompletedButton")->icon().isNull());
        keep(&page, "transfers");
    }

    void preferencesDialog()
    {
        PreferencesDialog dialog;
        dialog.show();
        keep(&dialog, "preferences-general");
        dialog.findChild<QTabWidget*>("tabWidget")->setCurrentIndex(1);
        keep(&dialog, "preferences-advanced");
    }
};

QTEST_MAIN(PageRenderingTest)
#include "page_rendering_test.moc"
