#include "SearchBox.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QEvent>
#include <QKeyEvent>
#include <QLineEdit>
#include <QObject>
#include <QSet>
#include <QStyle>
#include <QTableWidget>

#include <algorithm>
#include <optional>

namespace SearchBox {

QString placeholderText()
{
    static const QString text = QObject::tr("Search...");
    return text;
}

namespace {

// The style sheet draws the box's text gray only while this property is true:
// an active filter must not look like the empty box.
const char placeholderProperty[] = "showsPlaceholder";
const char keeperName[] = "searchChoicesKeeper";

void markPlaceholder(QComboBox* box)
{
    const QVariant shown = box->currentText() == placeholderText();
    if (box->property(placeholderProperty) == shown)
        return;
    box->setProperty(placeholderProperty, shown);
    // A style sheet reads dynamic properties only when a widget is polished.
    for (QWidget* widget : {static_cast<QWidget*>(box), static_cast<QWidget*>(box->lineEdit())}) {
        if (!widget)
            continue;
        widget->style()->unpolish(widget);
        widget->style()->polish(widget);
        widget->update();
    }
}

// Makes the list exactly an empty entry and then `choices`, changing only the
// entries that differ: the edit field keeps its text, cursor and selection.
void applyChoices(QComboBox* box, const QStringList& choices)
{
    QLineEdit* edit = box->lineEdit();
    const QString text = box->currentText();
    const int cursor = edit ? edit->cursorPosition() : 0;
    const int selectionStart = edit ? edit->selectionStart() : -1;
    const int selectionLength = edit ? int(edit->selectedText().size()) : 0;

    if (box->count() == 0 || !box->itemText(0).isEmpty())
        box->insertItem(0, QString());
    const QSet<QString> wanted(choices.cbegin(), choices.cend());
    int row = 1;
    for (const QString& choice : choices) {
        // Drop what is not wanted, and a wanted entry that stands out of order
        // (a text entered with Enter is appended at the bottom).
        while (row < box->count() && box->itemText(row) != choice
               && (!wanted.contains(box->itemText(row)) || choices.indexOf(box->itemText(row)) < row - 1))
            box->removeItem(row);
        if (row >= box->count() || box->itemText(row) != choice)
            box->insertItem(row, choice);
        ++row;
    }
    while (box->count() > row)
        box->removeItem(box->count() - 1);

    // Removing the current entry makes the combo choose another one and show
    // its text; the user's text goes back.
    if (edit && box->currentText() != text) {
        edit->setText(text);
        if (selectionStart >= 0)
            edit->setSelection(selectionStart, selectionLength);
        else
            edit->setCursorPosition(cursor);
    }
}

// Kept with each search box: choices that came while its drop-down list was
// open, put in once the list has closed (entries moving under the pointer
// would make a click pick another one), and the placeholder's look.
class ChoicesKeeper : public QObject {
public:
    explicit ChoicesKeeper(QComboBox* box) : QObject(box), box(box)
    {
        setObjectName(QLatin1String(keeperName));
        // The drop-down list's own window, which hides when the list closes.
        box->view()->window()->installEventFilter(this);
        connect(box, &QComboBox::editTextChanged, this, [box] { markPlaceholder(box); });
        markPlaceholder(box);
    }

    std::optional<QStringList> pending;

    bool eventFilter(QObject*, QEvent* event) override
    {
        // After the click that closed the list has chosen its entry.
        if (event->type() == QEvent::Hide && pending)
            QMetaObject::invokeMethod(
                this,
                [this] {
                    if (pending && !box->view()->isVisible()) {
                        applyChoices(box, *pending);
                        pending.reset();
                    }
                },
                Qt::QueuedConnection);
        return false;
    }

private:
    QComboBox* box;
};

ChoicesKeeper* keeperOf(QComboBox* box)
{
    if (auto* keeper = static_cast<ChoicesKeeper*>(
            box->findChild<QObject*>(QLatin1String(keeperName), Qt::FindDirectChildrenOnly)))
        return keeper;
    return new ChoicesKeeper(box);
}

}  // namespace

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
    ChoicesKeeper* keeper = keeperOf(searchBox);
    // One order whatever order the texts came in.
    QStringList sorted = choices;
    std::sort(sorted.begin(), sorted.end(), [](const QString& a, const QString& b) {
        const int folded = a.compare(b, Qt::CaseInsensitive);
        return folded != 0 ? folded < 0 : a < b;
    });
    if (searchBox->view()->isVisible()) {
        keeper->pending = sorted;
        return;
    }
    keeper->pending.reset();
    // Texts the user entered earlier go as well; the edit field is left alone.
    applyChoices(searchBox, sorted);
    if (searchBox->currentText().isEmpty() && !searchBox->hasFocus())
        searchBox->setEditText(placeholderText());
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
