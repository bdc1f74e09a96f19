#pragma once

#include <QHash>
#include <QMutex>
#include <QString>
#include <QtGlobal>

// The day and site folders that kept responses are filed in. A site folder is
// made when a response is kept for it, and removed again, with its day folder,
// once every transfer filed there has ended and none left anything in it: a
// transfer that failed or was interrupted leaves no empty folder behind.
//
// Removal is rmdir, which refuses a folder that holds anything, and happens
// under the same lock as the making: a folder is never removed between its
// making and the file of a transfer on its way into it. A kept response whose
// transfer never starts (a repeated download, one cancelled while it waited)
// holds its folder until closeAll.
//
// Threads: any; one mutex.
class SiteFolders {
public:
    // Makes `folder` (a site folder inside its day folder) with its missing
    // parents, for one more transfer.
    void open(const QString& folder);
    // A transfer's started report: transfer `key` writes `file`, in a folder
    // opened for it. A key that is started again (captures on one connection
    // share theirs) has ended first.
    void started(quint64 key, const QString& file);
    // The transfer of `key` ended, with its file or without.
    void ended(quint64 key);
    // No transfer runs any more: every folder opened since the last call that
    // holds nothing goes.
    void closeAll();

private:
    // Both with the lock held.
    void release(quint64 key);
    void removeIfEmpty(const QString& folder);

    QMutex lock;
    // Every folder opened, with the transfers on their way into it.
    QHash<QString, int> users;
    QHash<quint64, QString> running;
};
