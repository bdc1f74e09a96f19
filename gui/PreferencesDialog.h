#pragma once

#include <QDialog>

namespace Ui {
class PreferencesDialog;
}

// The preferences dialog: the folder for downloaded files and the domains for
// passive download. It keeps the choices only in its widgets while it is
// open; nothing is stored or handed back.
class PreferencesDialog : public QDialog {
    Q_OBJECT

public:
    explicit PreferencesDialog(QWidget* parent = nullptr);
    ~PreferencesDialog() override;

private slots:
    void on_downloadFolderComboBox_currentIndexChanged(int index);
    void on_addDomainButton_clicked();
    void on_delDomainButton_clicked();

private:
    Ui::PreferencesDialog* ui;
};
