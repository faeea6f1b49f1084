// A skinned dialog window: the main window's frame with a lower title band
// and a close button only.
#pragma once

#include "skin/skin_button_window.h"

class QSkinDialog : public skin_button_window_c<QSkinDialog> {
    Q_OBJECT
public:
    explicit QSkinDialog(QWidget* parent = nullptr);

    // The close button's action.
    void close_window() { close(); }
};
