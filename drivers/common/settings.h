// A card's settings: TONEGATE_* variables of the environment, read when the
// host initialises the card. Thread: the host's caller thread.
#pragma once

namespace tonegate_driver {

// The value of the environment variable `name`; null when it is unset or
// empty, so that an empty variable leaves the card's default.
const char* Setting(const char* name);

// Whether the card prints its one-line summary at stop: TONEGATE_DRIVER_REPORT=1
// asks every card, `cardVariable`=1 (when given) this card alone.
bool ReportRequested(const char* cardVariable = nullptr);

}  // namespace tonegate_driver
