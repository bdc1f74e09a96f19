#include "SearchBox.h"

#include <QComboBox>
#include <QEvent>
#include <QKeyEvent>
#include <QObject>
#include <QSet>
#include <QTableWidget>

namespace SearchBox {

QString placeholderText()
{
    static const QString text = QObject::tr("Search...");
    return text;
}

bool handleEvent(QComboBox* searchBox, QEvent* event)
{
    const bool blank = searchBox->currentText().trimmed().isEmpty();
    switch (event->type()) {
    case QEvent::FocusOut:
        if (blank) {
            searchBox->setEditText(placeholderText());
            return true;
        }
        break;
    case QEvent::FocusIn:
        if (searchBox->currentText() == placeholderText())
            searchBox->clearEditText();
        break;
    case QEvent::KeyPress: {
        const int key = static_cast<QKeyEvent*>(event)->key();
        return blank && (key == Qt::Key_Return || key == Qt::Key_Enter);
    }
    default:
        break;
    }
    return false;
}

void refreshChoices(QComboBox* searchBox, const QTableWidget* table, int column)
{
    QSet<QString> choices;
    for (int row = 0; row < table->rowCount(); ++row) {
        if (const QTableWidgetItem* item = table->item(row, column))
            choices.insert(item->text());
    }
    refreshChoices(searchBox, choices.values());
}

void refreshChoices(QComboBox* searchBox, const QStringList& choices)
{
    QString text = searchBox->currentText();
    if (text.isEmpty())
        text = placeholderText();
    // clear() drops the texts the user entered earlier as well; only what
    // stands in the edit field survives.
    searchBox->clear();
    searchBox->addItem(QString());
    searchBox->setEditText(text);
    searchBox->addItems(choices);
}

void filterRows(QTableWidget* table, const QString& text)
{
    showAllRows(table);
    if (text.isEmpty())
        return;
    QSet<int> matching;
    const QList<QTableWidgetItem*> found = table->findItems(text, Qt::MatchContains);
    for (const QTableWidgetItem* item : found) {
        if (item)
            matching.insert(item->row());
    }
    for (int row = 0; row < table->rowCount(); ++row) {
        if (!matching.contains(row))
            table->setRowHidden(row, true);
    }
}

void showAllRows(QTableWidget* table)
{
    for (int row = 0; row < table->rowCount(); ++row)
        table->setRowHidden(row, false);
}

}  // namespace SearchBox
