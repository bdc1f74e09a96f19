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
};

WINDOW_TEST_MAIN(SearchBoxTest)
#include "search_box_test.moc"
