#include "CriticalMessage.h"

#include <QMessageBox>

namespace {

CriticalMessageHook& installedHook()
{
    static CriticalMessageHook hook;
    return hook;
}

} // namespace

void showCriticalMessage(QWidget* parent, const QString& title, const QString& text)
{
    if (const CriticalMessageHook& hook = installedHook()) {
        hook(parent, title, text);
        return;
    }
    QMessageBox::critical(parent, title, text, QMessageBox::Ok);
}

void setCriticalMessageHook(CriticalMessageHook hook)
{
    installedHook() = std::move(hook);
}
