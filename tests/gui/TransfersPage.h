#pragma once

// Reading the transfers page as a person sees it, for its tests.

#include <QComboBox>
#include <QStringList>
#include <QTableWidget>

#include "TransfersFrame.h"

inline QTableWidget* tableOf(TransfersFrame& page)
{
    return page.findChild<QTableWidget*>("transfersTableWidget");
}

inline QComboBox* searchOf(TransfersFrame& page)
{
    return page.findChild<QComboBox*>("searchComboBox");
}

inline QStringList choices(TransfersFrame& page)
{
    QStringList texts;
    QComboBox* combo = searchOf(page);
    for (int i = 0; i < combo->count(); ++i)
        texts << combo->itemText(i);
    return texts;
}

// The descriptions of the rows the search lets through, in row order.
inline QStringList visibleDescriptions(TransfersFrame& page)
{
    QStringList texts;
    QTableWidget* table = tableOf(page);
    for (int row = 0; row < table->rowCount(); ++row) {
        if (!table->isRowHidden(row))
            texts << table->item(row, 0)->text();
    }
    return texts;
}
