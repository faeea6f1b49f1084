// Process services that need Qt Core: the user-scope language store.
#pragma once

#include <QString>
#include <memory>

namespace platform {

// The stored interface language number (1..10), or 0 when none is stored.
int stored_language_number();
void store_language_number(int number);

// The language number the user's locale suggests (1..10).
int locale_language_number(const QString& locale_name);

// The stored number, else the locale's: what the language lookup reads.
int language_number_from_store();

}  // namespace platform
