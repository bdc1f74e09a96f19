#include "SiteFolders.h"

#include <QDir>
#include <QFileInfo>
#include <QMutexLocker>

void SiteFolders::open(const QString& folder)
{
    QMutexLocker folders(&folderLock);
    {
        QMutexLocker state(&stateLock);
        ++users[QDir::cleanPath(folder)];
    }
    // A folder that cannot be made shows up as the engine's error when it
    // writes the file.
    QDir().mkpath(folder);
    removeLeftEmpty();
}

void SiteFolders::started(quint64 key, const QString& file)
{
    const QString folder = QDir::cleanPath(QFileInfo(file).path());
    QMutexLocker state(&stateLock);
    release(key);
    running.insert(key, folder);
}

void SiteFolders::ended(quint64 key)
{
    {
        QMutexLocker state(&stateLock);
        release(key);
    }
    // Not while a folder is being made or removed: that may wait long.
    if (folderLock.tryLock()) {
        removeLeftEmpty();
        folderLock.unlock();
    }
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
    leftEmpty.append(folder);
}

void SiteFolders::removeLeftEmpty()
{
    QStringList folders;
    {
        QMutexLocker state(&stateLock);
        folders.swap(leftEmpty);
    }
    // Only open() adds a transfer to a folder, under folderLock, which is
    // held here: a folder found unused stays so until it is removed.
    for (const QString& folder : folders) {
        bool unused;
        {
            QMutexLocker state(&stateLock);
            unused = users.value(folder) == 0;
        }
        if (unused)
            removeIfEmpty(folder);
    }
}

void SiteFolders::closeAll()
{
    QMutexLocker folders(&folderLock);
    QList<QString> opened;
    {
        QMutexLocker state(&stateLock);
        opened = users.keys();
        users.clear();
        running.clear();
        leftEmpty.clear();
    }
    for (const QString& folder : opened)
        removeIfEmpty(folder);
}

void SiteFolders::removeIfEmpty(const QString& folder)
{
    // rmdir refuses a folder that holds anything; the day folder goes only
    // with its last site.
    if (QDir().rmdir(folder))
        QDir().rmdir(QFileInfo(folder).path());
}
