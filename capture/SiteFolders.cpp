#include "SiteFolders.h"

#include <QDir>
#include <QFileInfo>
#include <QMutexLocker>

#include <thread>

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
        if (leftEmpty.isEmpty() || removing)
            return;
        removing = true;
    }
    // The folder thread holds the object until it is done; an object not
    // owned through a shared pointer (none is) would remove here.
    if (const std::shared_ptr<SiteFolders> self = weak_from_this().lock())
        std::thread([self] { self->removeLeftEmpty(); }).detach();
    else
        removeLeftEmpty();
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
    // Only open() adds a transfer to a folder, under folderLock, which is
    // held here: a folder found unused stays so until it is removed.
    QMutexLocker folders(&folderLock);
    for (;;) {
        QStringList batch;
        {
            QMutexLocker state(&stateLock);
            batch.swap(leftEmpty);
            if (batch.isEmpty()) {
                removing = false;
                return;
            }
        }
        for (const QString& folder : batch) {
            bool unused;
            {
                QMutexLocker state(&stateLock);
                unused = users.value(folder) == 0;
            }
            if (unused)
                removeIfEmpty(folder);
        }
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
