// The rotating debug log "Dbg.Log", held by its run, and its line writers.
// Thread: both. Every writer serialises on the log's mutex, so the caller's
// thread and the driver's callback thread may write at the same time.
// Never call a writer from the buffer switch: it takes a lock and does I/O.
#pragma once

#include <cstdint>

// Rotates Dbg.Log -> Dbg1.Log -> Dbg2.Log, opens a fresh Dbg.Log and holds it
// until LogStop, writes the header, creates the mutex, then resets the
// stopwatch and reads its frequency. While another run holds Dbg.Log, nothing
// is rotated and the log goes to Dbg-2.Log (or the next free of up to
// Dbg-9.Log), said on standard error. A link, FIFO or folder at the log's
// path leaves the writers silent.
void LogStart();
// Writes the footer and closes the log. 0 when the log was not open or closed
// cleanly, -1 when closing failed.
int LogStop();

void LogLine(const char* text);
void LogText(const char* text);
void LogInt(const char* name, int32_t value);
void LogIntDash(const char* name, int32_t value);
void LogIntPair(const char* name1, const char* name2, int32_t value1, int32_t value2);
void LogReal(const char* name, double value, int32_t decimals);
