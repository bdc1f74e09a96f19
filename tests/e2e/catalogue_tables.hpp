#pragma once

// Reading the catalogue pages' tables of the running program.

#include "CatalogueCommands.h"

#include <QIcon>
#include <QPixmap>
#include <QStringList>
#include <QTableWidget>
#include <QTest>

namespace e2e {

inline QImage resourceImage(const QString& name)
{
    return QPixmap(name).toImage();
}

// The rows of a catalogue table as "file|origin|info", as the store keeps them.
inline QStringList catalogueRows(const QTableWidget* table)
{
    QStringList rows;
    for (int row = 0; row < table->rowCount(); ++row)
        rows.append(table->item(row, 0)->data(Qt::UserRole).toString() + QLatin1Char('|')
                    + table->item(row, 1)->text() + QLatin1Char('|') + table->item(row, 2)->text());
    return rows;
}

// Every row's thumbnail job has answered: its "Loading..." placeholder has
// gone.
inline bool thumbnailsIn(const QTableWidget* table)
{
    for (int row = 0; row < table->rowCount(); ++row) {
        const QTableWidgetItem* cell = table->item(row, 0);
        if (!cell->text().isEmpty())
            return false;
    }
    return table->rowCount() > 0;
}

// Each row's icon is its thumbnail: not the placeholder, within the
// thumbnail bounds.
inline void checkThumbnailSizes(const QTableWidget* table)
{
    const QString tableName = table->objectName();
    const QSize busy = resourceImage(QStringLiteral(":/images/busy.png")).size();
    for (int row = 0; row < table->rowCount(); ++row) {
        const QIcon icon = table->item(row, 0)->icon();
        QVERIFY2(!icon.isNull(), qPrintable(QStringLiteral("%1 row %2 has no thumbnail").arg(tableName).arg(row)));
        const QList<QSize> sizes = icon.availableSizes();
        QVERIFY(!sizes.isEmpty());
        const QSize size = sizes.first();
        QVERIFY2(size.width() <= thumbnailWidth && size.height() <= thumbnailHeight && !size.isEmpty()
                     && size != busy,
                 qPrintable(QStringLiteral("%1 row %2: thumbnail of %3x%4")
                                .arg(tableName).arg(row).arg(size.width()).arg(size.height())));
    }
}

} // namespace e2e
