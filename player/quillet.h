// The player program's whole run, from banner to farewell.
// Thread: the player's only thread.
#pragma once

// Always returns the exit code 0.
int QuilletMain();
