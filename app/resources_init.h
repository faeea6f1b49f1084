// Registers the compiled-in images (":/images/...") of the static library.
#pragma once

// Safe to call more than once.
void init_app_resources();
