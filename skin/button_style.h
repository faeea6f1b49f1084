// The three-image look of an ordinary push button, as a style sheet.
#pragma once

#include <QString>

// Style sheet giving a QPushButton the border images `normal`, `hover` and
// `pressed`. The paths are resource paths without the leading ':' (for
// instance "/images/partition_search/btn_wai_1.png"); the sheet adds it.
QString make_button_style(const QString& normal, const QString& hover, const QString& pressed);
