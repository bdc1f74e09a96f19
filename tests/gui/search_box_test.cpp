// The search box of the three list pages, driven from the keyboard as a
// person types into it.
#include "ImagesFrame.h"
#include "TransfersFrame.h"
#include "VideoFile.h"
#include "VideosFrame.h"
#include "WindowTestSupport.h"

#include <QComboBox>
#include <QFutureWatcherBase>
#include <QLineEdit>
#include <QThreadPool>

using namespace window_test;

class SearchBoxTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir files;
    Prompts prompts; // a dialog never blocks the test

    // A page of the given kind with one row from each origin.
    std::unique_ptr<QWidget> pageWithRows(const QString& kind, const QStringList& origins)
    {
        if (kind == QLatin1String("transfers")) {
            auto page = std::make_unique<TransfersFrame>();
            for (int id = 0; id < origins.size(); ++id) {
                HttpResource resource;
                resource.host = QStringLiteral("www.") + origins[id];
                resource.isVideo = true;
                page->captureStarted(id, resource, files.filePath(QStringLiteral("%1.flv").arg(id)));
            }
            return page;
        }
        if (kind == QLatin1String("videos")) {
            auto page = std::make_unique<VideosFrame>();
            for (const QString& origin : origins)
                page->appendVideoFromFile(files.filePath(origin + QStringLiteral(".flv")), origin);
            return page;
        }
        auto page = std::make_unique<ImagesFrame>();
        for (const QString& origin : origins)
            page->appendImageFromFile(files.filePath(origin + QStringLiteral(".png")), origin);
        return page;
    }

    // Pixels of the edit field dark enough to be black text: the gray of the
    // placeholder, smoothed over white, never is.
    static int darkPixels(QLineEdit* edit)
    {
        const QImage image = edit->grab().toImage();
        int dark = 0;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                dark += qGray(image.pixel(x, y)) < 80;
        return dark;
    }

    static int visibleRows(const QWidget& page)
    {
        const auto* table = page.findChild<QTableWidget*>();
        int visible = 0;
        for (int row = 0; row < table->rowCount(); ++row)
            visible += !table->isRowHidden(row);
        return visible;
    }

private slots:
    void initTestCase()
    {
        prompts.install();
        // No probe or converter: a video row is listed at once.
        setExternalProgramsForTesting(files.filePath("no-probe"), files.filePath("no-converter"));
    }

    void init() { removeCatalogueFiles(); }

    void cleanupTestCase()
    {
        QThreadPool::globalInstance()->waitForDone(30000);
        setExternalProgramsForTesting({}, {});
    }

    void enterInAnEmptiedBoxShowsEveryRow_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("emptied"); // what is left in the box before Enter
        for (const char* kind : {"transfers", "videos", "images"}) {
            QTest::addRow("%s, cleared", kind) << kind << "";
            QTest::addRow("%s, blanks", kind) << kind << "   ";
        }
    }

    void enterInAnEmptiedBoxShowsEveryRow()
    {
        QFETCH(QString, kind);
        QFETCH(QString, emptied);
        const std::unique_ptr<QWidget> page = pageWithRows(kind, {"tube.example", "pics.example"});
        page->show();
        QVERIFY(QTest::qWaitForWindowExposed(page.get()));
        QLineEdit* edit = page->findChild<QComboBox*>("searchComboBox")->lineEdit();

        QTest::mouseClick(edit, Qt::LeftButton);
        QTest::keyClicks(edit, "pics");
        QTest::keyClick(edit, Qt::Key_Return);
        QCOMPARE(visibleRows(*page), 1);

        edit->selectAll();
        QTest::keyClick(edit, Qt::Key_Backspace);
        QTest::keyClicks(edit, emptied);
        QTest::keyClick(edit, Qt::Key_Enter);
        QCOMPARE(visibleRows(*page), 2);
        QVERIFY(QTest::qWaitFor([&] { return page->findChildren<QFutureWatcherBase*>().isEmpty(); }, 30000));
        QVERIFY(prompts.messages.isEmpty());
    }

    void onlyThePlaceholderIsGray_data()
    {
        QTest::addColumn<QString>("kind");
        for (const char* kind : {"transfers", "videos", "images"})
            QTest::addRow("%s", kind) << kind;
    }

    void onlyThePlaceholderIsGray()
    {
        QFETCH(QString, kind);
        const std::unique_ptr<QWidget> page = pageWithRows(kind, {"tube.example", "pics.example"});
        page->show();
        QVERIFY(QTest::qWaitForWindowExposed(page.get()));
        auto* combo = page->findChild<QComboBox*>("searchComboBox");
        QLineEdit* edit = combo->lineEdit();
        QCOMPARE(darkPixels(edit), 0);

        // A filter that hides every row, left by the user.
        QTest::mouseClick(edit, Qt::LeftButton);
        QTest::keyClicks(edit, "nothing");
        QTest::keyClick(edit, Qt::Key_Return);
        combo->clearFocus();
        QCOMPARE(combo->currentText(), QString("nothing"));
        QCOMPARE(visibleRows(*page), 0);
        QVERIFY(darkPixels(edit) > 0);

        QTest::mouseClick(edit, Qt::LeftButton);
        edit->selectAll();
        QTest::keyClick(edit, Qt::Key_Backspace);
        combo->clearFocus();
        QCOMPARE(combo->currentText(), QString("Search..."));
        QCOMPARE(darkPixels(edit), 0);
        QVERIFY(QTest::qWaitFor([&] { return page->findChildren<QFutureWatcherBase*>().isEmpty(); }, 30000));
    }
};

WINDOW_TEST_MAIN(SearchBoxTest)
#include "search_box_test.moc"
