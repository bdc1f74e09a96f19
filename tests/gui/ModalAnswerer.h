#pragma once

#include <QApplication>
#include <QDialog>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QTimer>

#include <functional>

// Answers the modal dialogs a widget opens with the static QMessageBox and
// QFileDialog functions, so that a test never blocks in their event loop.
// While it lives it polls for the active modal widget; each dialog it finds
// is recorded and handed to the answer, which must close it (by default a
// message box is accepted and a file dialog rejected).
class ModalAnswerer : public QObject {
public:
    struct Seen {
        QString className;
        QString title;
        QString text;  // a message box's text; empty for other dialogs
    };
    using Answer = std::function<void(QDialog*)>;

    explicit ModalAnswerer(Answer answer = {}) : answer_(std::move(answer))
    {
        timer_.setInterval(5);
        QObject::connect(&timer_, &QTimer::timeout, [this] { poll(); });
        timer_.start();
    }

    // Answers a folder dialog by choosing `folder`.
    static Answer chooseFolder(const QString& folder)
    {
        return [folder](QDialog* dialog) {
            if (auto* files = qobject_cast<QFileDialog*>(dialog)) {
                // Typed as a user would: selectFile() leaves the name field
                // alone while it has the focus, which depends on timing.
                auto* name = files->findChild<QLineEdit*>("fileNameEdit");
                if (name)
                    name->setText(folder);
                else
                    files->selectFile(folder);
                QMetaObject::invokeMethod(files, "accept");
            } else {
                dialog->accept();
            }
        };
    }

    QList<Seen> seen;

private:
    void poll()
    {
        QPointer<QDialog> dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        if (!dialog || dialog == last_)
            return;
        last_ = dialog;
        Seen record{QString::fromLatin1(dialog->metaObject()->className()), dialog->windowTitle(), QString()};
        if (auto* box = qobject_cast<QMessageBox*>(dialog.data()))
            record.text = box->text();
        seen.append(record);
        if (answer_)
            answer_(dialog);
        else if (qobject_cast<QFileDialog*>(dialog.data()))
            dialog->reject();
        else
            dialog->accept();
    }

    Answer answer_;
    QTimer timer_;
    QPointer<QDialog> last_;
};
