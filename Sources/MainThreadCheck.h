#pragma once

// Warns, naming the unit and the line, when called off the application's main thread,
// then lets the caller carry on.
#define LEGACY_CHECK_MAIN_THREAD(unit) legacyCheckMainThread(unit, __LINE__)

void legacyCheckMainThread(const char* unit, int line);
