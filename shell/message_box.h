// The one message-box convention: the toolkit's modal message box with the
// warning kind, the program's own icon and a fixed-size dialog frame.
#pragma once

#include <QMessageBox>
#include <QString>
#include <QStringList>
#include <functional>
#include <string_view>

class QWidget;

// Shows the translation of `key` and returns the button pressed. Closing the
// box without a choice answers No for a Yes/No box and OK otherwise. With no
// buttons given the box gets a single OK button.
QMessageBox::StandardButton show_warning(QWidget* parent, const QString& title, std::string_view key,
                                         QMessageBox::StandardButtons buttons = QMessageBox::NoButton);

// The same box with a text that is not in the translation table (for
// instance a system error).
QMessageBox::StandardButton show_message(QWidget* parent, const QString& title, const QString& text,
                                         QMessageBox::StandardButtons buttons = QMessageBox::NoButton);

// The same box with buttons of its own after OK (object names "btn_choice_0",
// "btn_choice_1", ...): returns the index in choices of the one pressed, or
// -1 for OK or a close.
int show_message_choice(QWidget* parent, const QString& title, const QString& text, const QStringList& choices);

// Test hook: when set, it is called from inside the box's own modal loop, once
// the box is shown, so a test can answer it (click a button, press Escape,
// close it). The box still runs modally as always. Pass null to remove.
using warning_driver_t = std::function<void(QMessageBox& box)>;
void set_warning_driver(warning_driver_t driver);
