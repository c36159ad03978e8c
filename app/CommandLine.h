#pragma once

#include <optional>

// The program's own command-line options (--help, --version, --status [--json]), handled
// before anything reads a setting or opens the log. Single-dash arguments ("-prefKey value",
// Qt's own "-platform xcb") are left for the player. Main thread, before the application exists.
namespace CommandLine {

// Exit statuses of the program.
enum ExitStatus : int {
    Success = 0,
    Failure = 1,
    UsageError = 2,
    NoInstanceRunning = 3,
    InstanceNotAnswering = 4,
};

// How long --status waits for the running instance's answer.
inline constexpr int kStatusTimeoutMs = 2000;

// The exit status when the arguments asked for one of the options (the option has done its work,
// or the arguments were wrong); none when the player should start.
std::optional<int> run(int argc, char** argv);

}  // namespace CommandLine
