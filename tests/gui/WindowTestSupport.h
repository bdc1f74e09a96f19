#pragma once

// Shared by the window tests: a private home and data folder for the whole
// program, recorders that answer every dialog of the pages and the window
// (a test never blocks on a modal box), and small file and store helpers.

#include "ApplicationSetup.h"
#include "HttpResource.h"
#include "UserPrompts.h"
#include "VideoFile.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QList>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QStringList>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QThreadPool>
#include <QUrl>

#include <cstdlib>
#include <memory>

namespace window_test {

// Every dialog the code under test opened, and the answers to give.
struct Prompts {
    struct Message {
        QMessageBox::Icon icon;
        QString title;
        QString text;
    };
    QList<Message> messages;                         // warnings, questions, about, criticals
    QMessageBox::StandardButton answer = QMessageBox::Yes;
    QStringList folderStarts;                        // start folder of each folder dialog
    QString folderAnswer;                            // empty: the user cancels
    QList<QUrl> opened;                              // handed to the desktop

    void install()
    {
        PromptHooks hooks;
        hooks.message = [this](QMessageBox::Icon icon, QWidget*, const QString& title, const QString& text) {
            messages.append({icon, title, text});
            return answer;
        };
        hooks.existingFolder = [this](QWidget*, const QString&, const QString& start) {
            folderStarts.append(start);
            return folderAnswer;
        };
        hooks.openUrl = [this](const QUrl& url) {
            opened.append(url);
            return true;
        };
        setPromptHooks(hooks);
    }

    ~Prompts() { setPromptHooks({}); }

    QStringList titles() const
    {
        QStringList result;
        for (const Message& message : messages)
            result.append(message.title);
        return result;
    }
};

// For the whole window: resources travel in queued signals, the probe and
// converter in `folder` cannot start (a new video gets an empty info and a
// blank thumbnail at once), and closing a window ends no test.
inline void startWindowTests(const QString& folder)
{
    registerHttpResourceMetaType();
    setExternalProgramsForTesting(folder + QStringLiteral("/no-probe"), folder + QStringLiteral("/no-converter"));
    QGuiApplication::setQuitOnLastWindowClosed(false);
}

inline void endWindowTests()
{
    QThreadPool::globalInstance()->waitForDone(30000);
    setExternalProgramsForTesting({}, {});
}

// An update check address on a port nobody listens on: the check fails at once.
inline QUrl refusedAddress()
{
    return QUrl(QStringLiteral("http://127.0.0.1:1/update-check-v11/?os=win"));
}

// The data folder the catalogues use.
inline QString dataFolder()
{
    return QDir::fromNativeSeparators(QStandardPaths::writableLocation(QStandardPaths::AppDataLocation));
}

// The rows of a catalogue file as "file|origin|info", read through a
// connection of the test's own.
inline QStringList storedRows(const QString& fileName, const QString& table)
{
    QStringList rows;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("test-reader"));
        db.setDatabaseName(dataFolder() + fileName);
        if (db.open()) {
            QSqlQuery query(db);
            query.exec(QStringLiteral("select * from %1 order by ID").arg(table));
            while (query.next())
                rows.append(query.value(1).toString() + QLatin1Char('|') + query.value(2).toString()
                            + QLatin1Char('|') + query.value(3).toString());
        }
    }
    QSqlDatabase::removeDatabase(QStringLiteral("test-reader"));
    return rows;
}

// Removes both catalogue files with SQLite's write-ahead log and index
// beside them: a log left over would be replayed into the next new file.
inline void removeCatalogueFiles()
{
    for (const char* name : {"/images.dat", "/videos.dat"})
        for (const char* companion : {"", "-wal", "-shm"})
            QFile::remove(dataFolder() + QLatin1String(name) + QLatin1String(companion));
}

// An image of one colour, in the format that the file name's suffix names.
inline bool writeImage(const QString& path, int width, int height)
{
    QDir().mkpath(QFileInfo(path).path());
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(Qt::darkCyan);
    return image.save(path);
}

inline bool writeFile(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

// The paths in a table's first cells, in row order.
inline QStringList rowFiles(const QTableWidget* table)
{
    QStringList files;
    for (int row = 0; row < table->rowCount(); ++row)
        files.append(table->item(row, 0)->data(Qt::UserRole).toString());
    return files;
}

// Selects exactly the given rows.
inline void selectRows(QTableWidget* table, const QList<int>& rows)
{
    table->clearSelection();
    for (int row : rows)
        table->selectionModel()->select(table->model()->index(row, 0),
                                        QItemSelectionModel::Select | QItemSelectionModel::Rows);
}

// Points home, data and settings at a temporary folder before the
// application exists, so that no test touches the real user's folders.
class PrivateHome {
public:
    PrivateHome()
    {
        const QString root = folder.path();
        qputenv("HOME", QFile::encodeName(root));
        qputenv("XDG_DATA_HOME", QFile::encodeName(root + QStringLiteral("/data")));
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(root + QStringLiteral("/config")));
        qputenv("XDG_CACHE_HOME", QFile::encodeName(root + QStringLiteral("/cache")));
    }
    QString path() const { return folder.path(); }

private:
    QTemporaryDir folder;
};

} // namespace window_test

// A QtTest main with a private home, set up as the program sets itself up.
#define WINDOW_TEST_MAIN(TestClass)                  \
    int main(int argc, char** argv)                  \
    {                                                \
        window_test::PrivateHome home;               \
        QApplication application(argc, argv);        \
        setUpApplication(application);               \
        TestClass test;                              \
        return QTest::qExec(&test, argc, argv);      \
    }
