// The player program's whole run, from banner to farewell.
// Thread: the player's only thread.
#pragma once

// What a shell reports for a program Ctrl+C ended: 128 + SIGINT.
constexpr int kInterruptedExitCode = 130;

// Returns the exit code: 0, or kInterruptedExitCode when Ctrl+C ended the run.
int QuilletMain();
