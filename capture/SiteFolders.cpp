#include "SiteFolders.h"

#include <QDir>
#include <QFileInfo>
#include <QMutexLocker>

void SiteFolders::open(const QString& folder)
{
    QMutexLocker locker(&lock);
    // A folder that cannot be made shows up as the engine's error when it
    // writes the file.
    QDir().mkpath(folder);
    ++users[QDir::cleanPath(folder)];
}

void SiteFolders::started(quint64 key, const QString& file)
{
    const QString folder = QDir::cleanPath(QFileInfo(file).path());
    QMutexLocker locker(&lock);
    release(key);
    running.insert(key, folder);
}

void SiteFolders::ended(quint64 key)
{
    QMutexLocker locker(&lock);
    release(key);
}

void SiteFolders::release(quint64 key)
{
    const auto transfer = running.constFind(key);
    if (transfer == running.cend())
        return;
    const QString folder = *transfer;
    running.erase(transfer);
    const auto count = users.find(folder);
    if (count == users.end() || *count == 0 || --*count > 0)
        return;
    removeIfEmpty(folder);
}

void SiteFolders::closeAll()
{
    QMutexLocker locker(&lock);
    for (auto folder = users.cbegin(); folder != users.cend(); ++folder)
        removeIfEmpty(folder.key());
    users.clear();
    running.clear();
}

void SiteFolders::removeIfEmpty(const QString& folder)
{
    // rmdir refuses a folder that holds anything; the day folder goes only
    // with its last site.
    if (QDir().rmdir(folder))
        QDir().rmdir(QFileInfo(folder).path());
}
