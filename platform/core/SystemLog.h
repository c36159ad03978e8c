#pragma once

#include <QString>

// The platform's own diagnostic output: one line on standard error, which the log facility
// points into the log file once it is open.
// Line: "2026-12-07 20:10:26.042 vornplayer[1234:1240] message"
void systemLog(const QString& message);
