#pragma once

#include <QFuture>
#include <QSqlDatabase>
#include <QString>

#include <functional>

class QObject;

// The videos and images catalogues keep their rows in twin SQLite files in
// the user's data folder. A CatalogueKind holds every name in which the twins
// differ: the connection, the file and the statements.
struct CatalogueKind {
    const char* connectionName;   // the page's connection in Qt's list
    const char* fileName;         // appended to the data folder, leading "/"
    const char* createStatement;
    const char* lastIdStatement;  // the highest ID stored, NULL when empty
    const char* selectStatement;  // file, origin, info in ID order, up to an ID
    const char* insertStatement;  // three positional parameters
    const char* deleteStatement;  // the file path as its one parameter
};

extern const CatalogueKind imagesCatalogue;
extern const CatalogueKind videosCatalogue;

// What failed in a store. The store shows nothing: the owner of the store
// (the page) says it to the user in its own words.
enum class CatalogueFailure {
    Open,    // the file could not be opened; the driver's error text comes with it
    Create,  // the table could not be made
    Update,  // a new row could not be stored
};

// Called on the GUI thread, within the store call that failed. `driverText`
// is the driver's error text for Open, empty otherwise.
using CatalogueFailureHandler = std::function<void(CatalogueFailure failure, const QString& driverText)>;

// Receives one stored row on the GUI thread.
using CatalogueRowHandler =
    std::function<void(const QString& file, const QString& origin, const QString& info)>;

// The folder of the catalogue files: the application's data location with
// forward slashes.
QString catalogueFolder();

// Opens a catalogue on the GUI thread: creates the data folder, adds and
// opens the connection under the kind's connection name, puts the file in
// SQLite's write-ahead log mode (so that the loader's long read and the
// page's inserts never wait for each other) and creates the table when it
// does not exist. Each failure is handed to `reportFailure` (Open, then
// Create after a failed open) and the caller goes on with the connection as
// it is (closed after a failed open). Call once per kind and run.
QSqlDatabase openCatalogue(const CatalogueKind& kind, const CatalogueFailureHandler& reportFailure);

// Starts reading the stored rows off the GUI thread. The task runs on Qt's
// global thread pool with a read-only connection of its own (a connection may
// only be used from the thread that made it), so the caller may insert and
// delete through `database` meanwhile. Each row reaches `deliverRow` as a
// queued call on the GUI thread, in ID order. The rows to load are those
// stored when this is called: a file stored before the task gets to run is
// not listed a second time. `receiver` bounds the delivery, as the context
// object of a connection does: rows still on their way when it is destroyed
// are dropped, and the task stops early once it sees it gone. Nothing is read
// when `database` is not open or holds no row. Call on the GUI thread;
// `receiver` must live in the GUI thread.
QFuture<void> startCatalogueLoader(const CatalogueKind& kind, const QSqlDatabase& database,
                                   QObject* receiver, CatalogueRowHandler deliverRow);

// Stores one new file. A failure goes to `reportFailure` as Update and
// returns false; nothing is retried.
bool insertIntoCatalogue(const CatalogueKind& kind, const QSqlDatabase& database,
                         const CatalogueFailureHandler& reportFailure, const QString& file,
                         const QString& origin, const QString& info);

// Removes every row of the file. A failure is silent.
void deleteFromCatalogue(const CatalogueKind& kind, const QSqlDatabase& database,
                         const QString& file);

// Test seam: `hook` is called on the loader's thread after each row the
// loader has read, with the number read so far, while its read of the store is
// still open. Set it only while no loader runs; an empty hook removes it.
void setCatalogueLoaderRowHookForTesting(std::function<void(int rowsRead)> hook);
