// The catalogue stores on the real SQLite driver, in a data folder of the
// test's own (XDG_DATA_HOME), driven through a page stand-in that receives
// rows and failures as the pages do.

#include "CatalogueStore.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>
#include <QSemaphore>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>
#include <QThreadPool>

#include <functional>
#include <memory>
#include <utility>

namespace {

struct Row {
    QString file, origin, info;
    bool operator==(const Row&) const = default;
};

struct Failure {
    QObject* page;
    CatalogueFailure failure;
    QString driverText;
};

} // namespace

namespace QTest {
template <>
char* toString(const Row& row)
{
    return qstrdup(QStringLiteral("(%1, %2, %3)").arg(row.file, row.origin, row.info).toUtf8());
}
} // namespace QTest

// Has the same append slots as the catalogue pages; stored rows reach the
// three-argument form, failures a list, as the pages hand them on.
class PageStandIn : public QObject {
    Q_OBJECT
public:
    PageStandIn(QList<Row>* received, QList<Failure>* failures) : received_(received), failures_(failures) {}
    std::function<void()> afterRow;

    CatalogueFailureHandler failureHandler()
    {
        return [this](CatalogueFailure failure, const QString& driverText) {
            failures_->append({this, failure, driverText});
        };
    }
    CatalogueRowHandler rowHandler()
    {
        return [this](const QString& file, const QString& origin, const QString& info) {
            appendVideoFromFile(file, origin, info);
        };
    }

public slots:
    void appendImageFromFile(QString fileName, QString origin, QString imageInfo)
    {
        record({fileName, origin, imageInfo});
    }
    void appendImageFromFile(QString fileName, QString origin) { appendImageFromFile(fileName, origin, {}); }
    void appendVideoFromFile(QString fileName, QString origin, QString videoInfo)
    {
        record({fileName, origin, videoInfo});
    }
    void appendVideoFromFile(QString fileName, QString origin) { appendVideoFromFile(fileName, origin, {}); }

private:
    void record(const Row& row)
    {
        QCOMPARE_EQ(QThread::currentThread(), qApp->thread());
        received_->append(row);
        if (afterRow)
            afterRow();
    }
    QList<Row>* received_;
    QList<Failure>* failures_;
};

// The store's calls as a page makes them, with the stand-in's handlers.
QSqlDatabase openCatalogue(const CatalogueKind& kind, PageStandIn* page)
{
    return openCatalogue(kind, page->failureHandler());
}
QFuture<void> startCatalogueLoader(const CatalogueKind& kind, const QSqlDatabase& database, PageStandIn* page)
{
    return startCatalogueLoader(kind, database, page, page->rowHandler());
}
bool insertIntoCatalogue(const CatalogueKind& kind, const QSqlDatabase& database, PageStandIn* page,
                         const QString& file, const QString& origin, const QString& info)
{
    return insertIntoCatalogue(kind, database, page->failureHandler(), file, origin, info);
}

class CatalogueStoreTest : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> temp_;
    QList<Failure> messages_;
    QList<Row> received_;

    static const CatalogueKind& kindNamed(const QString& name)
    {
        return name == QLatin1String("images") ? imagesCatalogue : videosCatalogue;
    }

    // Drops the page's connection, as the end of a run does.
    static void closeCatalogue(const CatalogueKind& kind)
    {
        QSqlDatabase::database(QLatin1String(kind.connectionName), false).close();
        QSqlDatabase::removeDatabase(QLatin1String(kind.connectionName));
    }

    // Opens the store the way a page's constructor does and waits until the
    // loader has delivered every row.
    QList<Row> restartAndLoad(const CatalogueKind& kind)
    {
        closeCatalogue(kind);
        received_.clear();
        PageStandIn page(&received_, &messages_);
        QSqlDatabase database = openCatalogue(kind, &page);
        QFuture<void> loading = startCatalogueLoader(kind, database, &page);
        loading.waitForFinished();
        QCoreApplication::processEvents();
        return received_;
    }

    static void addKindColumn()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("images") << QStringLiteral("images");
        QTest::newRow("videos") << QStringLiteral("videos");
    }

private slots:
    void initTestCase()
    {
        QCoreApplication::setOrganizationName(QStringLiteral("VendraxTest"));
        QCoreApplication::setApplicationName(QStringLiteral("catalogue_store_test"));
    }

    void init()
    {
        temp_ = std::make_unique<QTemporaryDir>();
        QVERIFY(temp_->isValid());
        qputenv("XDG_DATA_HOME", QFile::encodeName(temp_->filePath(QStringLiteral("data"))));
        messages_.clear();
        received_.clear();
    }

    void cleanup()
    {
        closeCatalogue(imagesCatalogue);
        closeCatalogue(videosCatalogue);
    }

    void firstStartCreatesFolderFileAndTable_data() { addKindColumn(); }
    void firstStartCreatesFolderFileAndTable()
    {
        QFETCH(QString, kind);
        const CatalogueKind& catalogue = kindNamed(kind);
        const QString folder = catalogueFolder();
        QVERIFY2(folder.startsWith(temp_->path()), qPrintable(folder));
        QVERIFY(!QFileInfo::exists(folder));

        QCOMPARE(restartAndLoad(catalogue), QList<Row>{});
        QCOMPARE(messages_.size(), 0);
        QVERIFY(QSqlDatabase::contains(QLatin1String(catalogue.connectionName)));
        const QString file = folder + QLatin1Char('/') + kind + QStringLiteral(".dat");
        QVERIFY2(QFileInfo(file).isFile(), qPrintable(file));

        QSqlDatabase database = QSqlDatabase::database(QLatin1String(catalogue.connectionName));
        QCOMPARE(database.databaseName(), file);
        QSqlQuery schema(database);
        QVERIFY(schema.exec(QStringLiteral("select sql from sqlite_master")));
        QVERIFY(schema.next());
        // SQLite keeps the statement as given, with its keywords in capitals.
        const QString created = schema.value(0).toString();
        const QString expected =
            QString::fromLatin1(catalogue.createStatement).remove(QStringLiteral("if not exists "));
        QVERIFY2(created.compare(expected, Qt::CaseInsensitive) == 0, qPrintable(created));
        QVERIFY(!schema.next());
    }

    void rowsComeBackInStoredOrderAfterRestart_data() { addKindColumn(); }
    void rowsComeBackInStoredOrderAfterRestart()
    {
        QFETCH(QString, kind);
        const CatalogueKind& catalogue = kindNamed(kind);
        const QList<Row> stored = {
            {QStringLiteral("/data/2026-12-07/Example/c.flv"), QStringLiteral("Example.com"),
             QStringLiteral("Flash Video\nDuration: 00:00:02\nFile size: 1.0 KB\nBit rate: 3.0 KBit/s")},
            {QStringLiteral("/data/2026-12-07/Other/a b.flv"), QStringLiteral("Other.org"), QString()},
            {QStringLiteral("/data/2026-12-07/Example/b.flv"), QStringLiteral("Example.com"),
             QStringLiteral("Size: 10x20")},
        };
        {
            PageStandIn page(&received_, &messages_);
            QSqlDatabase database = openCatalogue(catalogue, &page);
            for (const Row& row : stored)
                QVERIFY(insertIntoCatalogue(catalogue, database, &page, row.file, row.origin, row.info));
        }

        QCOMPARE(restartAndLoad(catalogue), stored);
        QCOMPARE(messages_.size(), 0);
    }

    void deleteRemovesEveryRowOfThePath_data() { addKindColumn(); }
    void deleteRemovesEveryRowOfThePath()
    {
        QFETCH(QString, kind);
        const CatalogueKind& catalogue = kindNamed(kind);
        const QString a = QStringLiteral("/d/a.flv"), b = QStringLiteral("/d/b.flv");
        {
            PageStandIn page(&received_, &messages_);
            QSqlDatabase database = openCatalogue(catalogue, &page);
            QVERIFY(insertIntoCatalogue(catalogue, database, &page, a, QStringLiteral("one"), {}));
            QVERIFY(insertIntoCatalogue(catalogue, database, &page, b, QStringLiteral("two"), {}));
            QVERIFY(insertIntoCatalogue(catalogue, database, &page, a, QStringLiteral("three"), {}));
        }
        // Nothing keeps a path unique: both rows of a come back.
        QCOMPARE(restartAndLoad(catalogue).size(), 3);
        {
            QSqlDatabase database = QSqlDatabase::database(QLatin1String(catalogue.connectionName));
            deleteFromCatalogue(catalogue, database, a);
            deleteFromCatalogue(catalogue, database, QStringLiteral("/d/never-stored.flv"));
        }
        QCOMPARE(restartAndLoad(catalogue), (QList<Row>{{b, QStringLiteral("two"), QString()}}));
        QCOMPARE(messages_.size(), 0);
    }

    void unwritableFolderReportsOpenAndEveryInsert_data() { addKindColumn(); }
    void unwritableFolderReportsOpenAndEveryInsert()
    {
        QFETCH(QString, kind);
        const CatalogueKind& catalogue = kindNamed(kind);
        // A data folder below a plain file cannot be made, even by root.
        const QString blocker = temp_->filePath(QStringLiteral("blocker"));
        QFile file(blocker);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.close();
        qputenv("XDG_DATA_HOME", QFile::encodeName(blocker + QStringLiteral("/data")));

        PageStandIn page(&received_, &messages_);
        QSqlDatabase database = openCatalogue(catalogue, &page);
        QVERIFY(!database.isOpen());
        QCOMPARE(messages_.size(), 2);
        const QString error = database.lastError().text();
        QVERIFY(!error.isEmpty());
        QCOMPARE(messages_[0].failure, CatalogueFailure::Open);
        QCOMPARE(messages_[0].driverText, error);
        QCOMPARE(messages_[0].page, &page);
        QCOMPARE(messages_[1].failure, CatalogueFailure::Create);
        QCOMPARE(messages_[1].driverText, QString());

        startCatalogueLoader(catalogue, database, &page).waitForFinished();
        QVERIFY(!insertIntoCatalogue(catalogue, database, &page, QStringLiteral("/x.flv"), {}, {}));
        QVERIFY(!insertIntoCatalogue(catalogue, database, &page, QStringLiteral("/y.flv"), {}, {}));
        QCOMPARE(messages_.size(), 4);
        for (int i : {2, 3})
            QCOMPARE(messages_[i].failure, CatalogueFailure::Update);
        deleteFromCatalogue(catalogue, database, QStringLiteral("/x.flv"));
        QCOMPARE(messages_.size(), 4);
        QCoreApplication::processEvents();
        QCOMPARE(received_.size(), 0);
    }

    void damagedFileIsReportedAsOpenOrCreateFailure()
    {
        QDir().mkpath(catalogueFolder());
        QFile damaged(catalogueFolder() + QStringLiteral("/videos.dat"));
        QVERIFY(damaged.open(QIODevice::WriteOnly));
        damaged.write(QByteArray(4096, 'x'));
        damaged.close();

        QCOMPARE(restartAndLoad(videosCatalogue), QList<Row>{});
        QVERIFY(!messages_.isEmpty());
        QCOMPARE(messages_.last().failure, CatalogueFailure::Create);
    }

    void largeCatalogueLoadsOffTheGuiThreadInOrder()
    {
        constexpr int rowCount = 5000;
        PageStandIn page(&received_, &messages_);
        {
            QSqlDatabase database = openCatalogue(videosCatalogue, &page);
            QVERIFY(database.transaction());
            for (int i = 0; i < rowCount; ++i)
                QVERIFY(insertIntoCatalogue(videosCatalogue, database, &page,
                                            QStringLiteral("/v/%1.flv").arg(i), QStringLiteral("o"), {}));
            QVERIFY(database.commit());
        }
        closeCatalogue(videosCatalogue);

        QSqlDatabase database = openCatalogue(videosCatalogue, &page);
        QFuture<void> loading = startCatalogueLoader(videosCatalogue, database, &page);
        // Rows arrive only through the event loop: the caller never waits for them.
        QCOMPARE(received_.size(), 0);
        // A new file appended meanwhile may land between stored rows.
        QMetaObject::invokeMethod(&page, "appendVideoFromFile", Qt::QueuedConnection,
                                  Q_ARG(QString, QStringLiteral("/new.flv")), Q_ARG(QString, QStringLiteral("n")));
        QTRY_COMPARE_WITH_TIMEOUT(received_.size(), rowCount + 1, 30000);
        QVERIFY(loading.isFinished());

        int next = 0;
        for (const Row& row : std::as_const(received_)) {
            if (row.file == QLatin1String("/new.flv"))
                continue;
            QCOMPARE(row.file, QStringLiteral("/v/%1.flv").arg(next));
            ++next;
        }
        QCOMPARE(next, rowCount);
        QCOMPARE(messages_.size(), 0);
    }

    void fileStoredBeforeTheLoaderRunsIsListedOnce_data() { addKindColumn(); }
    void fileStoredBeforeTheLoaderRunsIsListedOnce()
    {
        QFETCH(QString, kind);
        const CatalogueKind& catalogue = kindNamed(kind);
        const QList<Row> stored = {{QStringLiteral("/d/1.flv"), QStringLiteral("one"), QStringLiteral("i1")},
                                   {QStringLiteral("/d/2.flv"), QStringLiteral("two"), QStringLiteral("i2")}};
        {
            PageStandIn page(&received_, &messages_);
            QSqlDatabase database = openCatalogue(catalogue, &page);
            for (const Row& row : stored)
                QVERIFY(insertIntoCatalogue(catalogue, database, &page, row.file, row.origin, row.info));
        }
        closeCatalogue(catalogue);

        // Every thread of the shared pool is busy (as with many thumbnail
        // jobs), so the loader waits in the queue while the page stores a new
        // file it has already listed.
        QThreadPool* pool = QThreadPool::globalInstance();
        const int threads = pool->maxThreadCount();
        QSemaphore running, release;
        bool released = false;
        const auto unblock = [&] {
            if (!std::exchange(released, true))
                release.release(threads);
        };
        const auto cleanup = qScopeGuard([&] {
            unblock();
            pool->waitForDone();
        });
        for (int i = 0; i < threads; ++i)
            pool->start([&] {
                running.release();
                release.acquire();
            });
        QVERIFY(running.tryAcquire(threads, 30000));

        PageStandIn page(&received_, &messages_);
        QSqlDatabase database = openCatalogue(catalogue, &page);
        QFuture<void> loading = startCatalogueLoader(catalogue, database, &page);
        const Row fresh{QStringLiteral("/d/new.flv"), QStringLiteral("new"), QStringLiteral("i3")};
        received_.append(fresh);  // what the page's append slot listed
        const bool insertedWhileQueued =
            insertIntoCatalogue(catalogue, database, &page, fresh.file, fresh.origin, fresh.info);
        unblock();
        QVERIFY(insertedWhileQueued);

        loading.waitForFinished();
        QCoreApplication::processEvents();
        QCOMPARE(received_, (QList<Row>{fresh, stored[0], stored[1]}));
        QCOMPARE(messages_.size(), 0);
    }

    // A store written before the write-ahead log, in SQLite's default
    // rollback journal, switches on open and loads as before; while the
    // loader is half-way through its read, a new file's insert neither waits
    // for the read to end nor fails.
    void insertDuringALoadReturnsAtOnceAndIsKept()
    {
        constexpr int rowCount = 200000;
        QDir().mkpath(catalogueFolder());
        {
            QSqlDatabase old = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("older"));
            old.setDatabaseName(catalogueFolder() + QLatin1String(videosCatalogue.fileName));
            QVERIFY(old.open());
            QSqlQuery insert(old);
            QVERIFY(insert.exec(QLatin1String(videosCatalogue.createStatement)));
            QVERIFY(old.transaction());
            QVERIFY(insert.prepare(QLatin1String(videosCatalogue.insertStatement)));
            for (int i = 0; i < rowCount; ++i) {
                insert.addBindValue(QStringLiteral("/v/%1.flv").arg(i));
                insert.addBindValue(QStringLiteral("Example.com"));
                insert.addBindValue(QString());
                QVERIFY(insert.exec());
            }
            QVERIFY(old.commit());
        }
        QSqlDatabase::removeDatabase(QStringLiteral("older"));

        PageStandIn page(&received_, &messages_);
        QSqlDatabase database = openCatalogue(videosCatalogue, &page);
        {
            QSqlQuery mode(database);
            QVERIFY(mode.exec(QStringLiteral("PRAGMA journal_mode")) && mode.next());
            QCOMPARE(mode.value(0).toString(), QStringLiteral("wal"));
        }

        QSemaphore midway, goOn;
        setCatalogueLoaderRowHookForTesting([&](int rowsRead) {
            if (rowsRead == 1000) {
                midway.release();
                goOn.acquire();
            }
        });
        QFuture<void> loading = startCatalogueLoader(videosCatalogue, database, &page);
        const auto cleanup = qScopeGuard([&] {
            goOn.release();
            loading.waitForFinished();
            setCatalogueLoaderRowHookForTesting({});
        });
        QVERIFY(midway.tryAcquire(1, 30000));

        QElapsedTimer insertTime;
        insertTime.start();
        const bool inserted = insertIntoCatalogue(videosCatalogue, database, &page, QStringLiteral("/new.flv"),
                                                  QStringLiteral("New.com"), QStringLiteral("info"));
        const qint64 milliseconds = insertTime.elapsed();
        goOn.release();
        QVERIFY(inserted);
        QVERIFY2(milliseconds < 2500, qPrintable(QStringLiteral("the insert took %1 ms").arg(milliseconds)));
        QCOMPARE(messages_.size(), 0);

        loading.waitForFinished();
        setCatalogueLoaderRowHookForTesting({});
        QCoreApplication::processEvents();
        QCOMPARE(received_.size(), rowCount); // the new file is the page's own, not a stored row
        QCOMPARE(received_.last().file, QStringLiteral("/v/%1.flv").arg(rowCount - 1));
        const QList<Row> stored = restartAndLoad(videosCatalogue);
        QCOMPARE(stored.size(), rowCount + 1);
        QCOMPARE(stored.last(), (Row{QStringLiteral("/new.flv"), QStringLiteral("New.com"), QStringLiteral("info")}));
    }

    void destroyedPageReceivesNoMoreRows()
    {
        constexpr int rowCount = 3000;
        {
            PageStandIn page(&received_, &messages_);
            QSqlDatabase database = openCatalogue(imagesCatalogue, &page);
            QVERIFY(database.transaction());
            for (int i = 0; i < rowCount; ++i)
                QVERIFY(insertIntoCatalogue(imagesCatalogue, database, &page,
                                            QStringLiteral("/i/%1.jpg").arg(i), {}, {}));
            QVERIFY(database.commit());
        }
        closeCatalogue(imagesCatalogue);

        auto* page = new PageStandIn(&received_, &messages_);
        page->afterRow = [page, this] {
            if (received_.size() == 10)
                delete page;
        };
        QSqlDatabase database = openCatalogue(imagesCatalogue, page);
        QFuture<void> loading = startCatalogueLoader(imagesCatalogue, database, page);
        QTRY_VERIFY_WITH_TIMEOUT(loading.isFinished() && received_.size() >= 10, 30000);
        // Drain whatever the loader posted before it saw the page gone.
        QCoreApplication::processEvents();
        QCOMPARE(received_.size(), 10);
    }
};

QTEST_MAIN(CatalogueStoreTest)
#include "catalogue_store_test.moc"
