#pragma once

#include <QFuture>
#include <QSqlDatabase>
#include <QString>

#include <functional>

class QObject;
class QWidget;

// The videos and images catalogues keep their rows in twin SQLite files in
// the user's data folder. A CatalogueKind holds every name in which the twins
// differ: the connection, the file, the statements, the messages, and the
// page slot that receives stored rows. Texts are translated in the context of
// the page that owns the store.
struct CatalogueKind {
    const char* context;          // translation context: the page's class name
    const char* connectionName;   // the page's connection in Qt's list
    const char* fileName;         // appended to the data folder, leading "/"
    const char* createStatement;
    const char* lastIdStatement;  // the highest ID stored, NULL when empty
    const char* selectStatement;  // file, origin, info in ID order, up to an ID
    const char* insertStatement;  // three positional parameters
    const char* deleteStatement;  // the file path as its one parameter
    const char* openError;        // carries %1 for the driver's error text
    const char* createError;
    const char* updateError;
    const char* appendSlot;       // (QString file, QString origin, QString info)
};

extern const CatalogueKind imagesCatalogue;
extern const CatalogueKind videosCatalogue;

// The folder of the catalogue files: the application's data location with
// forward slashes.
QString catalogueFolder();

// Opens the page's catalogue on the GUI thread: creates the data folder,
// adds and opens the connection under the kind's connection name, puts the
// file in SQLite's write-ahead log mode (so that the loader's long read and
// the page's inserts never wait for each other) and creates the table when it
// does not exist. Each failure is reported to the page with
// a "Database Error" box and the page goes on with the connection as it is
// (closed after a failed open). Call once per kind and run.
QSqlDatabase openCatalogue(const CatalogueKind& kind, QWidget* page);

// Starts reading the stored rows off the GUI thread. The task runs on Qt's
// global thread pool with a read-only connection of its own (a connection may
// only be used from the thread that made it), so the page may insert and
// delete through `database` meanwhile. Each row reaches the page as a queued
// call of its three-argument append slot, on the GUI thread, in ID order.
// The rows to load are those stored when this is called: a file the page
// stores before the task gets to run is not listed a second time.
// Rows still on their way when the page is destroyed are dropped; the task
// stops early once it sees the page gone. Nothing is read when `database` is
// not open or holds no row. Call on the GUI thread; the page must live in the
// GUI thread.
QFuture<void> startCatalogueLoader(const CatalogueKind& kind, const QSqlDatabase& database,
                                   QObject* page);

// Stores one new file. A failure shows "Error updating ... database" on the
// page and returns false; nothing is retried.
bool insertIntoCatalogue(const CatalogueKind& kind, const QSqlDatabase& database, QWidget* page,
                         const QString& file, const QString& origin, const QString& info);

// Removes every row of the file. A failure is silent.
void deleteFromCatalogue(const CatalogueKind& kind, const QSqlDatabase& database,
                         const QString& file);

// Test seam: `hook` is called on the loader's thread after each row the
// loader has read, with the number read so far, while its read of the store is
// still open. Set it only while no loader runs; an empty hook removes it.
void setCatalogueLoaderRowHookForTesting(std::function<void(int rowsRead)> hook);
