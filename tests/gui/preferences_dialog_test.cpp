#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QListWidget>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include "ModalAnswerer.h"
#include "PreferencesDialog.h"

namespace {

QStringList comboTexts(const QComboBox* combo)
{
    QStringList texts;
    for (int i = 0; i < combo->count(); ++i)
        texts << combo->itemText(i);
    return texts;
}

}  // namespace

class PreferencesDialogTest : public QObject {
    Q_OBJECT

    QTemporaryDir configHome;

private slots:
    void initTestCase()
    {
        // The folder dialog keeps its history in the user's configuration;
        // keep this test's own out of it.
        QVERIFY(configHome.isValid());
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(configHome.path()));
    }

    void startsWithDownloadsSeparatorAndOther()
    {
        PreferencesDialog dialog;
        QCOMPARE(dialog.windowTitle(), QString("Preferences"));
        auto* combo = dialog.findChild<QComboBox*>("downloadFolderComboBox");
        QVERIFY(combo);
        QCOMPARE(comboTexts(combo), QStringList({"Downloads", "", "Other..."}));
        QCOMPARE(combo->currentIndex(), 0);
        QVERIFY(!combo->itemIcon(0).isNull());
        QVERIFY(combo->itemIcon(2).isNull());
        QVERIFY(!combo->itemData(0).isValid());
    }

    void cancellingTheFolderDialogKeepsTheFolder()
    {
        PreferencesDialog dialog;
        auto* combo = dialog.findChild<QComboBox*>("downloadFolderComboBox");
        ModalAnswerer answerer;  // rejects the folder dialog
        combo->setCurrentIndex(2);
        QCOMPARE(answerer.seen.size(), 1);
        QCOMPARE(answerer.seen[0].title, QString("Select Directory"));
        QCOMPARE(comboTexts(combo), QStringList({"Downloads", "", "Other..."}));
        QCOMPARE(combo->currentIndex(), 0);
    }

    void choosingFoldersReplacesTheFirstItem()
    {
        QTemporaryDir root;
        QVERIFY(root.isValid());
        QVERIFY(QDir(root.path()).mkpath("first/inner"));
        QVERIFY(QDir(root.path()).mkpath("second"));
        PreferencesDialog dialog;
        auto* combo = dialog.findChild<QComboBox*>("downloadFolderComboBox");

        const QStringList folders = {root.filePath("first/inner"), root.filePath("second"), "/"};
        const QStringList shown = {"inner", "second", QDir("/").dirName()};
        for (int i = 0; i < folders.size(); ++i) {
            ModalAnswerer answerer(ModalAnswerer::chooseFolder(folders[i]));
            combo->setCurrentIndex(2);
            QCOMPARE(answerer.seen.size(), 1);
            QCOMPARE(comboTexts(combo), QStringList({shown[i], "", "Other..."}));
            QCOMPARE(combo->currentIndex(), 0);
            QVERIFY(!combo->itemIcon(0).isNull());
            QVERIFY(!combo->itemData(0).isValid());
        }
    }

    void plusAddsItemsWithOpenEditors()
    {
        PreferencesDialog dialog;
        auto* list = dialog.findChild<QListWidget*>("domainList");
        auto* add = dialog.findChild<QPushButton*>("addDomainButton");
        add->click();
        add->click();
        QCOMPARE(list->count(), 2);
        for (int row = 0; row < list->count(); ++row) {
            QCOMPARE(list->item(row)->text(), QString());
            QVERIFY(list->isPersistentEditorOpen(list->item(row)));
        }
    }

    void minusRemovesTheSelectedItems()
    {
        PreferencesDialog dialog;
        auto* list = dialog.findChild<QListWidget*>("domainList");
        auto* remove = dialog.findChild<QPushButton*>("delDomainButton");
        list->addItems({"a.example", "b.example", "c.example", "d.example"});

        list->clearSelection();
        remove->click();
        QCOMPARE(list->count(), 4);

        list->setSelectionMode(QAbstractItemView::MultiSelection);
        list->item(0)->setSelected(true);
        list->item(2)->setSelected(true);
        list->item(3)->setSelected(true);
        remove->click();
        QCOMPARE(list->count(), 1);
        QCOMPARE(list->item(0)->text(), QString("b.example"));
    }
};

QTEST_MAIN(PreferencesDialogTest)
#include "preferences_dialog_test.moc"
