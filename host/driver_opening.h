// Driver selection and opening, and the fixed teardown of a run: the work
// behind ASIOOpenDriver and ASIOCloseDriver. Thread: caller's thread.
#pragma once

#include <cstdint>

// Starts the log, builds the driver list and opens the driver that
// "ASIOConfig.txt" names (or driver 0). True when a driver was opened.
bool OpenDriverRun();
// Tears down the session, then the driver list, then stops the log; returns
// the log's stop result. Safe to call in any state, also repeatedly.
int32_t CloseDriverRun();
