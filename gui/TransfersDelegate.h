#pragma once

#include <QStyledItemDelegate>

// Paints the progress column of the transfers page as a progress bar with a
// centred text: "Waiting", the percentage, "Completed" or the failure text.
// Other columns are painted as usual. Holds no data: the records are read
// from the page that is the delegate's parent, at each paint.
class TransfersDelegate : public QStyledItemDelegate {
public:
    explicit TransfersDelegate(QObject* parent);
    ~TransfersDelegate() override;

    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
};
