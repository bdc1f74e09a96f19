#include "UpdateChecker.h"

#include <QNetworkRequest>

UpdateChecker::UpdateChecker(QObject* parent, const QUrl& address)
    : QObject(parent), address_(address)
{
    // One GET of the check page and nothing else: Qt would otherwise follow a
    // redirect to wherever the answer points, and read that page instead.
    manager.setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
}

UpdateChecker::~UpdateChecker() = default;

QUrl UpdateChecker::defaultAddress()
{
    return QUrl(QStringLiteral("http://www.vendrax.example/update-check-v11/?os=win"));
}

void UpdateChecker::check()
{
    QNetworkReply* reply = manager.get(QNetworkRequest(address_));
    connect(reply, &QNetworkReply::finished, this, &UpdateChecker::replyFinished);
    // Qt emits errorOccurred before finished, so the error is reported before
    // replyFinished sees the reply.
    connect(reply, &QNetworkReply::errorOccurred, this, &UpdateChecker::replyError);
}

void UpdateChecker::replyFinished()
{
    auto* reply = qobject_cast<QNetworkReply*>(sender());
    if (!reply)
        return;
    if (reply->error() == QNetworkReply::NoError) {
        // The page is read as a C string: whatever follows a zero byte is not
        // part of it.
        QByteArray body = reply->readAll();
        const qsizetype zero = body.indexOf('\0');
        if (zero >= 0)
            body.truncate(zero);
        const QString text = QString::fromLocal8Bit(body);
        emit checkResult(text.contains(QStringLiteral("<!-- UP-TO-DATE -->"), Qt::CaseSensitive));
    }
    reply->deleteLater();
}

void UpdateChecker::replyError(QNetworkReply::NetworkError)
{
    emit checkError();
}
