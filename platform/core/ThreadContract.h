#pragma once

// Thread and state checks, compiled into every build (each costs a compare). A broken one aborts
// the process when VORN_CONTRACTS=abort (the tests); otherwise its site logs one line, once, and
// the program goes on: a player on a wall must not die of a contract it could survive.
#include "platform/core/Queues.h"

#include <QString>
#include <QtGlobal>

#include <atomic>

namespace contract {

// Reports a check that failed in `function`: prints `expected` and the calling thread to standard
// error and aborts under VORN_CONTRACTS=abort (read once); else logs it through systemLog unless
// `siteReported` says this site already did. Any thread.
void broken(std::atomic<bool>& siteReported, const char* function, const QString& expected);

}  // namespace contract

// `what` is only evaluated when the check fails, so it may build a message.
#define VORN_CHECK(condition, what)                                      \
    do {                                                                 \
        if (Q_UNLIKELY(!(condition))) {                                  \
            static std::atomic<bool> vornContractReported_{false};       \
            ::contract::broken(vornContractReported_, Q_FUNC_INFO, what); \
        }                                                                \
    } while (false)

#define VORN_ASSERT_MAIN_THREAD() VORN_CHECK(isMainThreadOrNoApplication(), QStringLiteral("must run on the main thread"))
#define VORN_ASSERT_NOT_MAIN_THREAD() VORN_CHECK(!isMainThread(), QStringLiteral("must not run on the main thread"))
