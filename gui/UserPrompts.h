#pragma once

#include <QMessageBox>
#include <QString>
#include <QUrl>

#include <functional>

class QWidget;

// Every modal box and dialog of the program's pages and window, and the
// hand-over of files and web pages to the desktop, go through here, so that
// one seam keeps them out of tests. Everything here runs on the GUI thread.

// A critical box with one Ok button: something failed ("... Error").
void showCriticalMessage(QWidget* parent, const QString& title, const QString& text);

// A warning box with one Ok button: the selection does not suit a command.
void showWarningMessage(QWidget* parent, const QString& title, const QString& text);

// An information box with the buttons Yes and No, No the default. Returns the
// button the user pressed (Escape or closing the box gives No).
QMessageBox::StandardButton askYesNo(QWidget* parent, const QString& title, const QString& text);

// QMessageBox::about: rich text with the application's icon.
void showAboutMessage(QWidget* parent, const QString& title, const QString& text);

// The toolkit's folder dialog (directories only, symbolic links not
// resolved). Returns the empty string when the user cancels.
QString chooseExistingFolder(QWidget* parent, const QString& caption, const QString& startFolder);

// Opens a URL with the desktop's default program. The result is the desktop
// service's; callers do not look at it.
bool openUrlOnDesktop(const QUrl& url);

// Quit: from refuseBoxes(true) on, showCriticalMessage and showWarningMessage
// open no box: the window is gone, and nobody expects one to click. Each
// writes its title and text to standard error as one line instead.
// refuseBoxes(false) shows them again (a new window).
void refuseBoxes(bool refuse);

// Test seam: while a member is set, the matching functions above call it
// instead of showing a dialog or starting a program, so that a test never
// blocks on a modal dialog and never opens anything. `message` receives
// QMessageBox::Critical, Warning, Information (askYesNo) or NoIcon (about)
// and returns the answer (looked at for askYesNo only). Install a
// default-constructed PromptHooks to restore the real dialogs.
struct PromptHooks {
    std::function<QMessageBox::StandardButton(QMessageBox::Icon icon, QWidget* parent,
                                              const QString& title, const QString& text)>
        message;
    std::function<QString(QWidget* parent, const QString& caption, const QString& startFolder)>
        existingFolder;
    std::function<bool(const QUrl& url)> openUrl;
};
void setPromptHooks(PromptHooks hooks);
