// The FAT reader's and scanner's console messages. The category is off by
// default (enable with QT_LOGGING_RULES="quarvel.fat.debug=true"); Qt writes
// it to standard error, never to standard output.
#pragma once

#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(fat_log)
