#pragma once

#include <QString>
#include <QStringList>

class QComboBox;
class QEvent;
class QTableWidget;

// The search box above the tables of the transfers, videos and images pages:
// an editable combo box that shows "Search..." while it is empty and not
// focused, offers the distinct texts of one table column in its drop-down
// list, and hides the table rows none of whose cells contain the chosen text
// (ignoring case).
//
// Each page keeps its own members (eventFilter, refreshSearchChoices,
// filterRows, showAllRows, on_searchComboBox_textActivated) and calls these
// functions from them. Beyond the combo's edit text and the table's hidden
// rows, a small child of the combo keeps the choices that wait for its
// drop-down list to close, and marks the combo (property "showsPlaceholder")
// while it shows the placeholder, which alone the style sheet draws gray.
// GUI thread only; nothing here takes a lock.
namespace SearchBox {

// "Search...": real text in the edit field, compared like any other text.
QString placeholderText();

// For the page's eventFilter on the combo. Entering the box clears the
// placeholder; leaving it blank puts the placeholder back and returns true,
// after which the page shows every row again. Enter in a blank box returns
// true as well: the combo announces no activation for an empty text, yet an
// empty search shows every row. Events the edit field leaves to the combo
// (Enter among them) pass through this filter after the field has seen them.
bool handleEvent(QComboBox* searchBox, QEvent* event);

// Rebuilds the drop-down list: an empty entry, then each distinct display text
// of the table's `column` (hidden rows included), sorted ignoring case. What
// the edit field holds is never changed (an empty box that has no focus shows
// the placeholder); the filter is not applied again. While the drop-down list
// is open, the new choices wait until it closes.
void refreshChoices(QComboBox* searchBox, const QTableWidget* table, int column);
// The same with the distinct texts already at hand, for a page that keeps
// them as rows come and go instead of reading every row each time.
void refreshChoices(QComboBox* searchBox, const QStringList& choices);

// Shows the rows with at least one cell whose text contains `text`, ignoring
// case, and hides the others; an empty text shows every row.
void filterRows(QTableWidget* table, const QString& text);

void showAllRows(QTableWidget* table);

}  // namespace SearchBox
