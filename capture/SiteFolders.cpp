#include "SiteFolders.h"

#include <QDir>
#include <QFileInfo>
#include <QMutex>
#include <QMutexLocker>

#include <thread>

namespace {

// What the objects share: a folder is in use while a transfer of any of them
// is on its way into it, so that the removal after a period never takes a
// folder the next period has just made. Never destroyed: a removal that
// storage holds may still use it as the program exits.
struct Shared {
    // Held while folders are made or removed.
    QMutex folderLock;
    // Held briefly, never across a call on the file system; guards this and
    // the state of every object.
    QMutex stateLock;
    // Every object's transfers on their way into each folder.
    QHash<QString, int> users;
};

Shared& shared()
{
    static auto* all = new Shared;
    return *all;
}

// With the state lock held: one user of `folder` fewer; true when it has none.
bool leave(const QString& folder, int count = 1)
{
    QHash<QString, int>& users = shared().users;
    const auto found = users.find(folder);
    if (found == users.end())
        return true;
    *found -= count;
    if (*found > 0)
        return false;
    users.erase(found);
    return true;
}

}  // namespace

void SiteFolders::open(const QString& folder)
{
    Shared& all = shared();
    QMutexLocker folders(&all.folderLock);
    {
        QMutexLocker state(&all.stateLock);
        const QString clean = QDir::cleanPath(folder);
        ++users[clean];
        ++all.users[clean];
    }
    // A folder that cannot be made shows up as the engine's error when it
    // writes the file.
    QDir().mkpath(folder);
}

void SiteFolders::started(quint64 key, const QString& file)
{
    const QString folder = QDir::cleanPath(QFileInfo(file).path());
    QMutexLocker state(&shared().stateLock);
    release(key);
    running.insert(key, folder);
}

void SiteFolders::ended(quint64 key)
{
    {
        QMutexLocker state(&shared().stateLock);
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
    if (count == users.end() || *count == 0)
        return;
    --*count;
    // While another object's transfers keep the folder, theirs is the removal.
    if (leave(folder))
        leftEmpty.append(folder);
}

void SiteFolders::removeLeftEmpty()
{
    // Only open() adds a transfer to a folder, under the folder lock, which
    // is held here: a folder found unused stays so until it is removed.
    Shared& all = shared();
    QMutexLocker folders(&all.folderLock);
    for (;;) {
        QStringList batch;
        {
            QMutexLocker state(&all.stateLock);
            batch.swap(leftEmpty);
            if (batch.isEmpty()) {
                removing = false;
                return;
            }
        }
        for (const QString& folder : batch) {
            bool unused;
            {
                QMutexLocker state(&all.stateLock);
                unused = !all.users.contains(folder);
            }
            if (unused)
                removeIfEmpty(folder);
        }
    }
}

void SiteFolders::closeAll()
{
    Shared& all = shared();
    // A set that never opened a folder has nothing to remove: it leaves the
    // folder lock, which a removal on storage that hangs may hold, alone.
    {
        QMutexLocker state(&all.stateLock);
        if (users.isEmpty())
            return;
    }
    QMutexLocker folders(&all.folderLock);
    QStringList unused;
    {
        QMutexLocker state(&all.stateLock);
        for (auto folder = users.cbegin(); folder != users.cend(); ++folder)
            if (leave(folder.key(), folder.value()))
                unused.append(folder.key());
        users.clear();
        running.clear();
        leftEmpty.clear();
    }
    for (const QString& folder : unused)
        removeIfEmpty(folder);
}

void SiteFolders::removeIfEmpty(const QString& folder)
{
    // rmdir refuses a folder that holds anything; the day folder goes only
    // with its last site.
    if (QDir().rmdir(folder))
        QDir().rmdir(QFileInfo(folder).path());
}
