// Ctrl+C in the player: instead of ending the program where it stands, it
// ends the run the way a key does, at once, and the driver is closed, so
// that the card's capture and the library's log end whole. The handler only
// sets a flag that the tune and the main sequence look at.
// Thread: the player's only thread (on Windows the handler runs on a thread
// of its own, hence the atomic flag).
#pragma once

// Catches SIGINT from here on: the first one sets the flag, a second one
// ends the program as usual.
void CatchInterrupt();

// A SIGINT has come since CatchInterrupt.
bool Interrupted();
