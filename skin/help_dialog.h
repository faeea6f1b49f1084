// The program's own help window: the shipped help page of the current
// language in a skinned dialog with a browser view, so that Help works
// without a web browser, without a network and whoever runs the program.
#pragma once

#include "skin/skin_dialog.h"

class QPushButton;
class QTextBrowser;

class help_dialog_c : public QSkinDialog {
    Q_OBJECT
public:
    // page: the help page's path (an empty path shows why there is none).
    explicit help_dialog_c(const QString& page, QWidget* parent = nullptr);

    QTextBrowser* browser() const { return browser_; }

private:
    QTextBrowser* browser_ = nullptr;
    QPushButton* close_ = nullptr;
};
