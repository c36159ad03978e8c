#pragma once

// The system beep.
void beep();
