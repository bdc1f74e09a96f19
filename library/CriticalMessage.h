#pragma once

#include <QString>

#include <functional>

class QWidget;

// Every "something failed" box of the library goes through here: a modal
// critical message box with one Ok button, parented to the page.
void showCriticalMessage(QWidget* parent, const QString& title, const QString& text);

// Test seam: while a hook is installed, showCriticalMessage calls it instead
// of opening a box, so that a test never blocks on a modal dialog. Install an
// empty function to restore the box. Call it on the GUI thread only.
using CriticalMessageHook = std::function<void(QWidget* parent, const QString& title, const QString& text)>;
void setCriticalMessageHook(CriticalMessageHook hook);
