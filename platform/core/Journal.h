#pragma once

#include <QString>

// Where whoever started the player reads: the systemd journal, or the terminal. The log
// facility points standard error into the log file, so standard error as it was at start is kept
// aside first. Under systemd (JOURNAL_STREAM names that stream) every log line is written to it
// with its priority ("<3>…"), which the journal reads as the line's level.
namespace Journal {

// Keeps standard error aside as it is now. Once, before standard error is pointed elsewhere;
// later calls do nothing. Any thread.
void attachToStandardError();
// Whether standard error was the journal's stream.
bool isAttached();
// One line with a syslog priority (LOG_ERR, LOG_DEBUG...) into the journal; nothing when standard
// error was not the journal's. Any thread.
void write(int priority, const QString& message);
// A line the operator must see at once (a failure that stops part of the player): on standard
// error as it was at start, unless that is the journal, which has the log's lines already. Any thread.
void tellStarter(const QString& message);

}  // namespace Journal
