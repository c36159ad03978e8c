#pragma once

// The system beep.
void beep();

// How often the program has beeped (for tests and diagnostics).
int beepCount();
