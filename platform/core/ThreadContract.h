#pragma once

// Debug builds check that an entry point runs on the thread it promises; release builds do not.
#include "platform/core/Queues.h"

#include <QtGlobal>

#define VORN_ASSERT_MAIN_THREAD() Q_ASSERT_X(isMainThreadOrNoApplication(), Q_FUNC_INFO, "must run on the main thread")
#define VORN_ASSERT_NOT_MAIN_THREAD() Q_ASSERT_X(!isMainThread(), Q_FUNC_INFO, "must not run on the main thread")
