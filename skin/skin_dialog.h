// A skinned dialog window: the main window's frame with a lower title band
// and a close button only.
#pragma once

#include "skin/skin_button.h"
#include "skin/skin_window.h"

#include <QList>

class QSkinDialog : public skin_window_c {
    Q_OBJECT
public:
    explicit QSkinDialog(QWidget* parent = nullptr);
    ~QSkinDialog() override;

    const QList<button_c<QSkinDialog>*>& skin_buttons() const { return buttons; }

    // The close button's action.
    void close_window() { close(); }

protected:
    bool press_buttons(const QPoint& point, bool* hit) override;
    bool release_buttons(const QPoint& point) override;
    bool move_buttons(const QPoint& point) override;
    bool reset_buttons() override;
    bool button_at(const QPoint& point) const override;
    void draw_buttons(QPainter& painter) const override;

private:
    QList<button_c<QSkinDialog>*> buttons;
};
