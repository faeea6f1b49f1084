// What the window says when a disk cannot be opened or a destination folder
// cannot take the files: the reason in the person's language and the way
// on, with the system's own words after them. Put together here so that
// every page says it alike and a test can read it without a window.
#pragma once

#include "platform/device_access.h"
#include "results/scan_messages.h"
#include "scan/scan_service.h"

#include <QString>

// Why device could not be opened and what to do, from the kind of refusal;
// detail is the system's one-line reason, shown last.
QString open_refusal_text(platform::open_refusal_e refusal, const QString& device, const QString& detail,
                          const text_lookup_fn& text);

// Why files cannot be written into the folder checked, with the numbers
// when room is short. Empty when the check passed.
QString output_check_text(const output_check_s& check, const text_lookup_fn& text);
