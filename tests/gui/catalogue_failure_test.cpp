// The catalogue pages' words for a store that fails: a store below a plain
// file can be neither opened nor made, so each page reports the open, the
// table and every new file it cannot store, in boxes of its own.
#include "ImagesFrame.h"
#include "VideosFrame.h"
#include "WindowTestSupport.h"

#include <QSqlError>
#include <QThreadPool>

using namespace window_test;

class CatalogueFailureTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir files;

private slots:
    void pageSaysWhatFailedInItsStore_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("images") << QStringLiteral("images");
        QTest::newRow("videos") << QStringLiteral("videos");
    }
    void pageSaysWhatFailedInItsStore()
    {
        QFETCH(QString, kind);
        QVERIFY(files.isValid());
        const QString blocker = files.filePath(QStringLiteral("blocker-") + kind);
        QVERIFY(writeFile(blocker, "not a folder"));
        qputenv("XDG_DATA_HOME", QFile::encodeName(blocker + QStringLiteral("/data")));
        const QString file = files.filePath(kind + QStringLiteral("/new.png"));
        QVERIFY(writeImage(file, 40, 30));

        Prompts prompts;
        prompts.install();
        std::unique_ptr<QWidget> page;
        if (kind == QLatin1String("images")) {
            auto images = std::make_unique<ImagesFrame>();
            images->appendImageFromFile(file, QStringLiteral("Example.com"));
            page = std::move(images);
        } else {
            auto videos = std::make_unique<VideosFrame>();
            videos->appendVideoFromFile(file, QStringLiteral("Example.com"));
            page = std::move(videos);
        }
        QThreadPool::globalInstance()->waitForDone(30000);
        QCoreApplication::processEvents();

        const QString driverError =
            QSqlDatabase::database(kind + QStringLiteral("Db"), false).lastError().text();
        QVERIFY(!driverError.isEmpty());
        QCOMPARE(prompts.messages.size(), 3);
        const QStringList texts = {QStringLiteral("Error opening %1 database [%2]").arg(kind, driverError),
                                   QStringLiteral("Error creating %1 database").arg(kind),
                                   QStringLiteral("Error updating %1 database").arg(kind)};
        for (int i = 0; i < texts.size(); ++i) {
            QCOMPARE(prompts.messages[i].icon, QMessageBox::Critical);
            QCOMPARE(prompts.messages[i].title, QStringLiteral("Database Error"));
            QCOMPARE(prompts.messages[i].text, texts[i]);
        }
    }
};

WINDOW_TEST_MAIN(CatalogueFailureTest)
#include "catalogue_failure_test.moc"
