// The compiled-in images (":/images/..."): every program that shows a window
// links them as objects of its own, so they are registered before main().
#pragma once

#include <QString>

// Registers them again where a program wants to be explicit; safe to call
// more than once.
void init_app_resources();

// Code of the image set to use: language_code() when the resources hold
// images for it, otherwise "en".
QString image_language_code();
