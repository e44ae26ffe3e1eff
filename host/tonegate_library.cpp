// The shared library's own translation unit: every object comes from
// tonegate_host, linked whole so that all ten exports are kept.
#include "host/tonegate.h"
