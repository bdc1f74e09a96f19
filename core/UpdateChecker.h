#pragma once

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QObject>
#include <QUrl>

// Asks the maker's update-check page whether this version is current. One
// check per object: call check() once after connecting the two signals;
// exactly one of them follows (checkResult for a completed reply, checkError
// for a failed one). A redirect is never followed: its own body is the
// answer. Lives on the GUI thread; nothing blocks.
class UpdateChecker : public QObject {
    Q_OBJECT

public:
    // `address` is the page to ask; tests point it at a local server.
    explicit UpdateChecker(QObject* parent = nullptr, const QUrl& address = defaultAddress());
    ~UpdateChecker() override;

    void check();

    static QUrl defaultAddress();

signals:
    // True when the page carries the up-to-date marker.
    void checkResult(bool isUpdated);
    // The request failed (no connection, an HTTP error status, ...).
    void checkError();

private slots:
    void replyFinished();
    void replyError(QNetworkReply::NetworkError);

private:
    QNetworkAccessManager manager;
    QUrl address_;
};
