// Entry point of QuilletOne and QuilletTwo; the build's tune file makes the
// difference. Thread: the player's only thread.
#include "player/quillet.h"

int main() { return QuilletMain(); }
