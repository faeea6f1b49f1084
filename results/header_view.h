// The file table's header: a tick-all box over the tick column, captions it
// paints itself, and sorting by a click on a caption.
#pragma once

#include <QHeaderView>
#include <QPixmap>

class MyHeaderView : public QHeaderView {
    Q_OBJECT
public:
    explicit MyHeaderView(QWidget* parent = nullptr);

    QSize sizeHint() const override;
    bool check_all_state() const { return check_all_; }
    // Sets the tick-all box without emitting anything.
    void set_check_all(bool value);

signals:
    void check_all(bool value);
    void sort_column(int column);

protected:
    // A press over the tick column flips tick-all; a press inside a
    // caption's span (not on a boundary) asks for a sort by that column.
    void mousePressEvent(QMouseEvent* event) override;
    void paintSection(QPainter* painter, const QRect& rect, int logical_index) const override;

private:
    QPixmap unticked_;
    QPixmap ticked_;
    bool check_all_ = false;
};
