#include "platform/ui/Beep.h"

#include <QApplication>

void beep() { QApplication::beep(); }
