// The main window as a person sees it: its four pages filled with rows (real
// thumbnails of real images and videos), at the window's designed size and
// at a larger one, under the program's own start-up and style sheet. With
// VENDRAX_SCREENSHOT_DIR set, every page at every size is also written there
// as a PNG file for a person to look at (run under xvfb-run with
// QT_QPA_PLATFORM=xcb to see the X11 rendering).
#include "ImagesFrame.h"
#include "MainWindow.h"
#include "TransfersFrame.h"
#include "VideoFile.h"
#include "VideosFrame.h"
#include "WindowTestSupport.h"

#include "tests/core/MediaFixtures.h"
#include "tests/gui/TransferResources.h"

#include <QComboBox>
#include <QFileDialog>
#include <QFutureWatcherBase>
#include <QHeaderView>
#include <QPainter>
#include <QStyleOptionComboBox>
#include <QStackedWidget>
#include <QThreadPool>
#include <QToolButton>

using namespace window_test;

namespace {

const QList<QSize> windowSizes = {QSize(960, 500), QSize(1280, 800)};
const QStringList pageNames = {"welcome", "transfers", "videos", "images"};

// A cell as the table's delegate paints it, with or without the focus.
QImage paintedCell(const QTableWidget* table, int row, int column, bool focus)
{
    const QModelIndex index = table->model()->index(row, column);
    QStyleOptionViewItem option;
    option.initFrom(table);
    option.widget = table;
    option.rect = QRect(QPoint(0, 0), table->visualRect(index).size());
    option.decorationSize = table->iconSize();
    option.state.setFlag(QStyle::State_HasFocus, focus);
    QImage image(option.rect.size(), QImage::Format_ARGB32);
    image.fill(Qt::white);
    QPainter painter(&image);
    table->itemDelegate()->paint(&painter, option, index);
    return image;
}

// The pixels of the combo's drop-down button, inside its left border, that
// are dark enough to be an arrow.
int arrowPixels(QComboBox* combo)
{
    QStyleOptionComboBox option;
    option.initFrom(combo);
    option.editable = combo->isEditable();
    option.subControls = QStyle::SC_All;
    const QRect button =
        combo->style()->subControlRect(QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxArrow, combo);
    const QImage image = combo->grab().toImage();
    int dark = 0;
    for (int y = button.top() + 1; y < button.bottom(); ++y)
        for (int x = button.left() + 2; x < button.right(); ++x)
            dark += qGray(image.pixel(x, y)) < 128;
    return dark;
}

} // namespace

class WindowLookTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir files;
    std::unique_ptr<Prompts> prompts;
    std::unique_ptr<MainWindow> window;

    QString sitePath(const QString& site, const QString& name) const
    {
        return files.path() + QStringLiteral("/2026-12-07/") + site + QLatin1Char('/') + name;
    }

    // Shows a page as a person leaves it after clicking into its table.
    void showPage(int row, QSize size)
    {
        window->findChild<QTableWidget*>("sideTableWidget")->setCurrentCell(row, 0);
        window->resize(size);
        window->activateWindow();
        QCoreApplication::processEvents();
        QWidget* page = window->findChild<QStackedWidget*>("centerStackedWidget")->currentWidget();
        auto* table = page->findChild<QTableWidget*>();
        if (table && table->focusPolicy() != Qt::NoFocus)
            table->setFocus();
        QCoreApplication::processEvents();
    }

    static void keep(QWidget* widget, const QString& name)
    {
        const QString folder = qEnvironmentVariable("VENDRAX_SCREENSHOT_DIR");
        if (folder.isEmpty())
            return;
        QDir().mkpath(folder);
        QVERIFY(widget->grab().save(folder + QLatin1Char('/') + name + QStringLiteral(".png")));
    }

private slots:
    void initTestCase()
    {
        QGuiApplication::setQuitOnLastWindowClosed(false);
        setExternalProgramsForTesting(media_fixtures::launcher("ffprobe"), media_fixtures::launcher("ffmpeg"));
        prompts = std::make_unique<Prompts>();
        prompts->install();
        removeCatalogueFiles();

        window = std::make_unique<MainWindow>(nullptr, QUrl(QStringLiteral("http://127.0.0.1:1/")));
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));

        auto* transfers = window->findChild<TransfersFrame*>();
        transfers->captureStarted(1, transferResource("v1.clips.example", true, 15728640), "/d/clips.example_1.mp4");
        transfers->captureStarted(2, transferResource("img.pics.example", false, 48213), "/d/pics.example_2.jpeg");
        transfers->downloadStarted(1, transferResource("cdn.tube.example", true, 104857600), "/d/tube.example_3.flv");
        transfers->captureProgress(1, 15728640, 9437184);
        transfers->captureStreamClosed(2);
        transfers->downloadProgress(1, 104857600, 31457280);

        auto* videos = window->findChild<VideosFrame*>();
        for (const QString name : {"clip.mp4", "wide.mkv"}) {
            const QString path = sitePath("clips.example", name);
            QDir().mkpath(QFileInfo(path).path());
            QVERIFY(media_fixtures::makeTestVideo(path, name == QLatin1String("clip.mp4") ? QSize(320, 240)
                                                                                           : QSize(640, 200)));
            videos->appendVideoFromFile(path, QStringLiteral("Clips.example"));
        }
        auto* images = window->findChild<ImagesFrame*>();
        const QList<QPair<QString, QSize>> pictures = {
            {"photo.jpg", QSize(1200, 800)}, {"banner.webp", QSize(728, 90)}, {"icon.png", QSize(64, 64)}};
        for (const auto& [name, size] : pictures) {
            const QString path = sitePath("pics.example", name);
            QVERIFY(writeImage(path, size.width(), size.height()));
            images->appendImageFromFile(path, QStringLiteral("Pics.example"));
        }
        QVERIFY(QTest::qWaitFor([&] { return window->findChildren<QFutureWatcherBase*>().isEmpty(); }, 60000));
        QVERIFY(QThreadPool::globalInstance()->waitForDone(30000));
        QCoreApplication::processEvents();
    }

    void cleanupTestCase()
    {
        window.reset();
        prompts.reset();
        setExternalProgramsForTesting({}, {});
    }

    void pages_data()
    {
        QTest::addColumn<int>("row");
        QTest::addColumn<QSize>("size");
        for (const QSize& size : windowSizes)
            for (int row = 0; row < pageNames.size(); ++row)
                QTest::addRow("%s %dx%d", qPrintable(pageNames[row]), size.width(), size.height()) << row << size;
    }

    void pages()
    {
        QFETCH(int, row);
        QFETCH(QSize, size);
        showPage(row, size);
        keep(window.get(), QStringLiteral("%1-%2x%3").arg(pageNames[row]).arg(size.width()).arg(size.height()));

        // Every table's columns fill its width: no empty strip at the right.
        QWidget* page = window->findChild<QStackedWidget*>("centerStackedWidget")->currentWidget();
        QList<QTableWidget*> tables = page->findChildren<QTableWidget*>();
        tables.append(window->findChild<QTableWidget*>("sideTableWidget"));
        for (const QTableWidget* table : std::as_const(tables))
            QCOMPARE(table->horizontalHeader()->length(), table->viewport()->width());

        if (auto* search = page->findChild<QComboBox*>("searchComboBox"))
            QVERIFY2(arrowPixels(search) > 4, "the search box's drop-down button shows an arrow");
    }

    void currentCellHasNoFocusFrame()
    {
        for (const char* name : {"videosTableWidget", "imagesTableWidget"}) {
            const auto* rows = window->findChild<QTableWidget*>(name);
            QCOMPARE(rows->item(0, 0)->text(), QString()); // the thumbnail is in
            QVERIFY2(paintedCell(rows, 0, 0, true) == paintedCell(rows, 0, 0, false), name);
        }
    }

    // The window's buttons keep their look; Qt's own dialogs keep theirs.
    void toolButtonRulesStayInTheWindow()
    {
        int styled = 0;
        for (const QFrame* frame : window->findChildren<QFrame*>("buttonsFrame")) {
            for (const QToolButton* button : frame->findChildren<QToolButton*>()) {
                QVERIFY2(button->sizeHint().width() >= 80 && button->font().bold(), qPrintable(button->objectName()));
                ++styled;
            }
        }
        QCOMPARE(styled, 9);

        QFileDialog dialog(window->findChild<ImagesFrame*>(), QStringLiteral("Save"), files.path());
        dialog.setFileMode(QFileDialog::Directory);
        dialog.setOptions(QFileDialog::ShowDirsOnly | QFileDialog::DontUseNativeDialog);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        keep(&dialog, QStringLiteral("folder-dialog"));
        const QList<QToolButton*> buttons = dialog.findChildren<QToolButton*>();
        QVERIFY(!buttons.isEmpty());
        for (const QToolButton* button : buttons)
            QVERIFY2(button->sizeHint().width() < 80 && !button->font().bold(), qPrintable(button->objectName()));
    }
};

WINDOW_TEST_MAIN(WindowLookTest)
#include "window_look_test.moc"
