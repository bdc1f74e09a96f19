#include "PreferencesDialog.h"

#include "ui_PreferencesDialog.h"

#include "UserPrompts.h"

#include <QDir>
#include <QListWidgetItem>
#include <QStyle>

PreferencesDialog::PreferencesDialog(QWidget* parent) : QDialog(parent), ui(new Ui::PreferencesDialog)
{
    ui->setupUi(this);
    // Item 0 is the folder, item 1 a separator, item 2 opens the folder dialog.
    ui->downloadFolderComboBox->addItem(style()->standardIcon(QStyle::SP_DirIcon), QStringLiteral("Downloads"));
    ui->downloadFolderComboBox->insertSeparator(1);
    ui->downloadFolderComboBox->addItem(tr("Other..."));
    ui->downloadFolderComboBox->setCurrentIndex(0);
}

PreferencesDialog::~PreferencesDialog()
{
    delete ui;
}

void PreferencesDialog::on_downloadFolderComboBox_currentIndexChanged(int index)
{
    if (index <= 1)
        return;
    const QString folder = chooseExistingFolder(this, tr("Select Directory"), QStringLiteral("/tmp"));
    if (!folder.isEmpty()) {
        const bool blocked = ui->downloadFolderComboBox->blockSignals(true);
        ui->downloadFolderComboBox->removeItem(0);
        ui->downloadFolderComboBox->insertItem(0, style()->standardIcon(QStyle::SP_DirIcon),
                                               QDir(folder).dirName());
        ui->downloadFolderComboBox->blockSignals(blocked);
    }
    ui->downloadFolderComboBox->setCurrentIndex(0);
}

void PreferencesDialog::on_addDomainButton_clicked()
{
    auto* item = new QListWidgetItem(ui->domainList);
    ui->domainList->openPersistentEditor(item);
    ui->domainList->editItem(item);
}

void PreferencesDialog::on_delDomainButton_clicked()
{
    const QList<QListWidgetItem*> selected = ui->domainList->selectedItems();
    for (QListWidgetItem* item : selected)
        delete ui->domainList->takeItem(ui->domainList->row(item));
}
