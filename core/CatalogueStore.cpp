#include "CatalogueStore.h"

#include <QCoreApplication>
#include <QDir>
#include <QPointer>
#include <QSqlError>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QtConcurrent>

#include <atomic>
#include <functional>
#include <vector>

const CatalogueKind imagesCatalogue = {
    "imagesDb",
    "/images.dat",
    "create table if not exists IMAGES (ID integer primary key, IMAGEFILE text, ORIGIN text, IMAGEINFO text)",
    "select max(ID) from IMAGES",
    "select IMAGEFILE, ORIGIN, IMAGEINFO from IMAGES where ID <= ? ORDER BY ID",
    "INSERT INTO IMAGES (IMAGEFILE, ORIGIN, IMAGEINFO) values (?, ?, ?)",
    "delete from IMAGES where IMAGEFILE = ?",
};

const CatalogueKind videosCatalogue = {
    "videosDb",
    "/videos.dat",
    "create table if not exists VIDEOS (ID integer primary key, VIDEOFILE text, ORIGIN text, VIDEOINFO text)",
    "select max(ID) from VIDEOS",
    "select VIDEOFILE, ORIGIN, VIDEOINFO from VIDEOS where ID <= ? ORDER BY ID",
    "INSERT INTO VIDEOS (VIDEOFILE, ORIGIN, VIDEOINFO) values (?, ?, ?)",
    "delete from VIDEOS where VIDEOFILE = ?",
};

namespace {

struct StoredRow {
    QString file;
    QString origin;
    QString info;
};

std::function<void(int)>& loaderRowHook()
{
    static std::function<void(int)> hook;
    return hook;
}

// Reads the rows up to `lastId` in ID order through a read-only connection
// made on this pool thread. Read-only also keeps a missing file from being
// created here.
std::vector<StoredRow> readRows(const CatalogueKind& kind, const QString& databaseFile, qint64 lastId,
                                const QPointer<QObject>& receiver)
{
    static std::atomic<int> loaderCount{0};
    const QString connectionName = QStringLiteral("%1.loader%2")
                                       .arg(QLatin1String(kind.connectionName))
                                       .arg(++loaderCount);
    std::vector<StoredRow> rows;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connectionName);
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY"));
        db.setDatabaseName(databaseFile);
        if (db.open()) {
            QSqlQuery query(db);
            query.setForwardOnly(true);
            bool selected = query.prepare(QLatin1String(kind.selectStatement));
            if (selected) {
                query.addBindValue(lastId);
                selected = query.exec();
            }
            // QPointer's null test is an atomic read, safe on this thread.
            while (selected && !receiver.isNull() && query.next()) {
                rows.push_back({query.value(0).toString(), query.value(1).toString(),
                                query.value(2).toString()});
                if (loaderRowHook())
                    loaderRowHook()(static_cast<int>(rows.size()));
            }
        }
    }
    QSqlDatabase::removeDatabase(connectionName);
    return rows;
}

// In SQLite's default rollback journal a reader holds off every commit until
// its read ends, so while the loader walked a store of millions of rows an
// insert waited out the driver's 5 s busy timeout and failed, and the new file
// was lost from the catalogue. With a write-ahead log the loader reads its
// snapshot while the page's connection writes. The mode is kept in the file:
// a store made before switches on its first open here. Should SQLite refuse
// the switch, the store goes on in its old mode.
void useWriteAheadLog(const QSqlDatabase& database)
{
    QSqlQuery pragma(database);
    pragma.exec(QStringLiteral("PRAGMA journal_mode=WAL"));
}

} // namespace

void setCatalogueLoaderRowHookForTesting(std::function<void(int rowsRead)> hook)
{
    loaderRowHook() = std::move(hook);
}

QString catalogueFolder()
{
    return QDir::fromNativeSeparators(
        QStandardPaths::writableLocation(QStandardPaths::AppDataLocation));
}

QSqlDatabase openCatalogue(const CatalogueKind& kind, const CatalogueFailureHandler& reportFailure)
{
    // A SQLite driver plug-in shipped beside the executable is found there.
    QCoreApplication::addLibraryPath(QCoreApplication::applicationDirPath());

    QSqlDatabase database =
        QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QLatin1String(kind.connectionName));

    const QString folder = catalogueFolder();
    QDir().mkpath(folder); // a failure shows as the open failure below
    database.setDatabaseName(folder + QLatin1String(kind.fileName));

    if (!database.open())
        reportFailure(CatalogueFailure::Open, database.lastError().text());
    else
        useWriteAheadLog(database);

    QSqlQuery create(database);
    if (!create.exec(QLatin1String(kind.createStatement)))
        reportFailure(CatalogueFailure::Create, QString());

    return database;
}

QFuture<void> startCatalogueLoader(const CatalogueKind& kind, const QSqlDatabase& database,
                                   QObject* receiver, CatalogueRowHandler deliverRow)
{
    if (!database.isOpen())
        return {};

    // Which rows are loaded is settled here, on the GUI thread, before the
    // caller can store anything: the task may start much later (the pool is
    // shared with the thumbnail jobs), and by then rows of new files that the
    // page has already listed may be in the file. SQLite gives a new row an ID
    // above every ID in the table, so those rows lie above this bound.
    qint64 lastId = 0;
    {
        QSqlQuery last(database);
        if (!last.exec(QLatin1String(kind.lastIdStatement)) || !last.next() || last.isNull(0))
            return {};
        lastId = last.value(0).toLongLong();
    }

    // The guard is made here on the GUI thread, while the receiver surely
    // exists.
    const QPointer<QObject> guard(receiver);
    const QString databaseFile = database.databaseName();
    return QtConcurrent::run([&kind, guard, deliverRow = std::move(deliverRow), databaseFile, lastId] {
        const std::vector<StoredRow> rows = readRows(kind, databaseFile, lastId, guard);
        QCoreApplication* application = QCoreApplication::instance();
        for (const StoredRow& row : rows) {
            if (guard.isNull() || !application)
                return;
            // The call is posted to the application object, which outlives the
            // receiver, and the guard is tested again on the GUI thread when
            // the call runs: posting to the receiver itself could race with its
            // destruction. Calls posted from one thread to one receiver are
            // delivered in the order posted, so rows keep their ID order.
            QMetaObject::invokeMethod(
                application,
                [guard, deliverRow, row] {
                    if (!guard.isNull())
                        deliverRow(row.file, row.origin, row.info);
                },
                Qt::QueuedConnection);
        }
    });
}

bool insertIntoCatalogue(const CatalogueKind& kind, const QSqlDatabase& database,
                         const CatalogueFailureHandler& reportFailure, const QString& file,
                         const QString& origin, const QString& info)
{
    QSqlQuery insert(database);
    bool stored = insert.prepare(QLatin1String(kind.insertStatement));
    if (stored) {
        insert.addBindValue(file);
        insert.addBindValue(origin);
        insert.addBindValue(info);
        stored = insert.exec();
    }
    if (!stored)
        reportFailure(CatalogueFailure::Update, QString());
    return stored;
}

void deleteFromCatalogue(const CatalogueKind& kind, const QSqlDatabase& database,
                         const QString& file)
{
    QSqlQuery remove(database);
    if (remove.prepare(QLatin1String(kind.deleteStatement))) {
        remove.addBindValue(file);
        remove.exec();
    }
}
