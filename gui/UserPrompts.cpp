#include "UserPrompts.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QFileDialog>

#include <cstdio>

namespace {

PromptHooks& hooks()
{
    static PromptHooks installed;
    return installed;
}

bool boxesRefused = false;

// True when the box is refused: its words went to standard error.
bool refusedToStandardError(const QString& title, const QString& text)
{
    if (!boxesRefused)
        return false;
    std::fprintf(stderr, "%s: %s: %s\n", qPrintable(QCoreApplication::applicationName()), qPrintable(title),
                 qPrintable(text.simplified()));
    std::fflush(stderr);
    return true;
}

} // namespace

void refuseBoxes(bool refuse)
{
    boxesRefused = refuse;
}

void setPromptHooks(PromptHooks newHooks)
{
    hooks() = std::move(newHooks);
}

void showCriticalMessage(QWidget* parent, const QString& title, const QString& text)
{
    if (refusedToStandardError(title, text))
        return;
    if (hooks().message) {
        hooks().message(QMessageBox::Critical, parent, title, text);
        return;
    }
    QMessageBox::critical(parent, title, text, QMessageBox::Ok);
}

void showWarningMessage(QWidget* parent, const QString& title, const QString& text)
{
    if (refusedToStandardError(title, text))
        return;
    if (hooks().message) {
        hooks().message(QMessageBox::Warning, parent, title, text);
        return;
    }
    QMessageBox::warning(parent, title, text);
}

QMessageBox::StandardButton askYesNo(QWidget* parent, const QString& title, const QString& text)
{
    if (hooks().message)
        return hooks().message(QMessageBox::Information, parent, title, text);
    // Yes as the buttons and No as the "default" makes the toolkit add No as a
    // second button, so the box offers both.
    return QMessageBox::information(parent, title, text, QMessageBox::Yes, QMessageBox::No);
}

void showAboutMessage(QWidget* parent, const QString& title, const QString& text)
{
    if (hooks().message) {
        hooks().message(QMessageBox::NoIcon, parent, title, text);
        return;
    }
    QMessageBox::about(parent, title, text);
}

QString chooseExistingFolder(QWidget* parent, const QString& caption, const QString& startFolder)
{
    if (hooks().existingFolder)
        return hooks().existingFolder(parent, caption, startFolder);
    return QFileDialog::getExistingDirectory(parent, caption, startFolder,
                                             QFileDialog::ShowDirsOnly
                                                 | QFileDialog::DontResolveSymlinks);
}

bool openUrlOnDesktop(const QUrl& url)
{
    if (hooks().openUrl)
        return hooks().openUrl(url);
    return QDesktopServices::openUrl(url);
}
