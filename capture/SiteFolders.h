#pragma once

#include <memory>

#include <QHash>
#include <QString>
#include <QStringList>
#include <QtGlobal>

// The day and site folders that kept responses are filed in. A site folder is
// made when a response is kept for it, and removed again, with its day folder,
// once every transfer filed there has ended and none left anything in it: a
// transfer that failed or was interrupted leaves no empty folder behind.
//
// Removal is rmdir, which refuses a folder that holds anything. Folders are
// made and removed under one lock, shared by every object (each period of
// monitoring has its own), and only a folder that no transfer of any object
// is on its way into is removed: never one between its making and the file
// of a transfer, also when the transfer is another period's. Storage that
// hangs may hold that lock for long, for the next period too (whose folders
// are on that storage as well). The transfers' reports never call on the
// file system: a folder whose last transfer ended is removed on the folder
// thread, a thread of this object's own that runs while such folders wait
// for it (it keeps the object alive meanwhile). A kept response whose
// transfer never starts (a repeated download, one cancelled while it waited)
// holds its folder until closeAll.
//
// Threads: any. Owned through std::shared_ptr.
class SiteFolders : public std::enable_shared_from_this<SiteFolders> {
public:
    // Makes `folder` (a site folder inside its day folder) with its missing
    // parents, for one more transfer.
    void open(const QString& folder);
    // A transfer's started report: transfer `key` writes `file`, in a folder
    // opened for it. A key that is started again (captures on one connection
    // share theirs) has ended first.
    void started(quint64 key, const QString& file);
    // The transfer of `key` ended, with its file or without. Never waits for
    // the file system: a folder it left empty goes on the folder thread.
    void ended(quint64 key);
    // No transfer runs any more: every folder opened since the last call that
    // holds nothing goes, on the calling thread. With none opened, returns at
    // once, without waiting for a removal that another object runs.
    void closeAll();

private:
    // With the shared state lock held.
    void release(quint64 key);
    // The folder thread: removes the folders left empty until none is left.
    void removeLeftEmpty();
    static void removeIfEmpty(const QString& folder);

    // Under the shared state lock (see the .cpp): every folder this object
    // opened, with its transfers on their way into it.
    QHash<QString, int> users;
    QHash<quint64, QString> running;
    // Folders whose last transfer ended, still to be removed, and whether the
    // folder thread runs to remove them.
    QStringList leftEmpty;
    bool removing = false;
};
