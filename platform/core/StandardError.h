#pragma once

#include <QByteArray>

// Standard error once the log file is open: libraries (ALSA, PipeWire, the shell's children)
// write to descriptor 2 as they please, without a timestamp. Their bytes go through a pipe
// instead, and a thread of its own appends them to the log file a line at a time, each line
// stamped like the platform's own: "[2026/12/07 20:10:26.042 +0100] vornplayer[1234] text".
namespace StandardError {

// Points descriptor 2 at the pipe and starts the thread that stamps its lines into `target`,
// once; the pipe is drained at exit. Should either fail, descriptor 2 is pointed at `target`
// straight. False when nothing could be pointed. Any thread.
bool stampInto(int target);
// Writes a line, stamped already, whole to where standard error ends: the target while stamping
// (at once, past the pipe: a line written just before an abort is not lost), descriptor 2
// otherwise. Any thread.
void writeLine(const QByteArray& line);
// Stamps what is left in the pipe (a last line without its line feed too), ends the thread and
// points descriptor 2 at the target straight. Called at exit; any thread, more than once.
void finish();

}  // namespace StandardError
