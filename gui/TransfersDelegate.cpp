#include "TransfersDelegate.h"

#include <QApplication>
#include <QPainter>
#include <QStyle>
#include <QStyleOptionProgressBar>

#include "TransfersFrame.h"

namespace {

constexpr int progressColumn = 1;

}  // namespace

TransfersDelegate::TransfersDelegate(QObject* parent) : QStyledItemDelegate(parent) {}

TransfersDelegate::~TransfersDelegate() = default;

void TransfersDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                              const QModelIndex& index) const
{
    if (index.column() != progressColumn) {
        QStyledItemDelegate::paint(painter, option, index);
        return;
    }

    if (option.state & QStyle::State_Selected)
        painter->fillRect(option.rect, option.palette.brush(option.palette.currentColorGroup(), QPalette::Highlight));

    QStyleOptionProgressBar bar;
    // Qt 6 tells a horizontal bar by this state flag; without it the style
    // draws a vertical bar, rotated out of the cell.
    bar.state = option.state | QStyle::State_Horizontal;
    bar.direction = option.direction;
    bar.rect = QRect(option.rect.x(), option.rect.y() + 5, option.rect.width(),
                     static_cast<int>(option.rect.height() / 1.5f));
    bar.fontMetrics = option.fontMetrics;
    bar.minimum = 0;
    bar.maximum = 100;
    bar.textAlignment = Qt::AlignCenter;
    bar.textVisible = true;

    const auto* page = qobject_cast<const TransfersFrame*>(parent());
    const QSharedPointer<TransferEntry> entry = page ? page->entryAt(index.row()) : nullptr;
    if (!entry) {
        QStyledItemDelegate::paint(painter, option, index);
        return;
    }

    bar.progress = entry->progress;
    if (entry->progress == 0)
        bar.text = tr("Waiting");
    else if (entry->progress == -1)
        bar.text = entry->statusText;
    else if (entry->finished)
        bar.text = tr("Completed");
    else
        bar.text = QString::asprintf("%u%%", static_cast<unsigned>(entry->progress));

    QStyle* style = QApplication::style();
    style->drawControl(QStyle::CE_ProgressBar, &bar, painter);
    // Some styles leave the bar's own label out or place it beside the bar;
    // the text always stands centred over it.
    style->drawItemText(painter, bar.rect, Qt::AlignCenter, option.palette, true, bar.text);
}
