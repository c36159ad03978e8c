#include "platform/ui/Beep.h"

#include <QApplication>

#include <atomic>

namespace {
std::atomic<int> gBeeps{0};
}

void beep() {
    ++gBeeps;
    QApplication::beep();
}

int beepCount() { return gBeeps.load(); }
