// Console subset of the POSIX layer: _kbhit and _getch over standard input.
// On a terminal the keys arrive unechoed and one by one, and an escape
// sequence counts as one key-press. From a pipe or file every byte is a
// key-press and end of input is one more, neither P nor p; the bytes there
// are answers for _getch, not keys typed ahead, so _kbhit reports nothing
// waiting until _getch has met the end: `printf P | QuilletOne` plays the
// tune once, right through, and ends, and no run ever hangs at the end. A
// signal the program catches (its own Ctrl+C handler) ends _getch's wait as
// Ctrl+C does on Windows, where _getch reads it as the key 3.
// Thread: caller's thread (the player's only thread); the signal handler
// only restores the terminal.
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <deque>

#include "platform/win32.h"

namespace {

constexpr int kEscape = 27;
constexpr int kExtendedKeyLead = 0xE0;  // what Windows returns first for cursor and function keys
constexpr int kEndOfInputKey = 0x1A;    // Ctrl+Z, the end-of-file character of the Windows console
constexpr int kInterruptKey = 0x03;     // Ctrl+C
// Bytes of one escape sequence arrive together; a lone Escape key leaves a gap.
constexpr int kEscapeSequenceGapMs = 30;

struct ConsoleState {
    bool prepared = false;
    bool terminal = false;
    bool endOfInput = false;
    bool endOfInputDelivered = false;  // _getch has returned kEndOfInputKey
    // Bytes read from standard input but not yet handed out, so that a
    // _kbhit that had to read does not lose the key for the next _getch.
    std::deque<unsigned char> readAhead;
};

ConsoleState console;

// Written once before the handlers that read it are installed.
termios savedTerminal;

void RestoreTerminal() { tcsetattr(STDIN_FILENO, TCSANOW, &savedTerminal); }

void RestoreTerminalAndDie(int signalNumber) {
    RestoreTerminal();
    signal(signalNumber, SIG_DFL);
    raise(signalNumber);
}

// Restore the terminal before a signal ends the process, unless the program
// has already chosen what the signal does (ignored or handled).
void RestoreOnSignal(int signalNumber) {
    struct sigaction previous;
    if (sigaction(signalNumber, nullptr, &previous) != 0 || previous.sa_handler != SIG_DFL) return;
    struct sigaction restore {};
    restore.sa_handler = RestoreTerminalAndDie;
    sigemptyset(&restore.sa_mask);
    sigaction(signalNumber, &restore, nullptr);
}

// Keys without echo and without waiting for Enter; Ctrl+C still interrupts.
void PrepareConsole() {
    if (console.prepared) return;
    console.prepared = true;
    if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &savedTerminal) != 0) return;
    console.terminal = true;
    termios keys = savedTerminal;
    keys.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    keys.c_cc[VMIN] = 1;
    keys.c_cc[VTIME] = 0;
    std::atexit(RestoreTerminal);
    RestoreOnSignal(SIGINT);
    RestoreOnSignal(SIGTERM);
    tcsetattr(STDIN_FILENO, TCSANOW, &keys);
}

// Waits up to `timeoutMs` (-1: without limit) for input and moves what has
// arrived into the read-ahead buffer. An error or end of input ends the
// input for good. False when a caught signal cut the wait short (poll is
// never restarted after a handler).
bool ReadWithin(int timeoutMs) {
    pollfd input{STDIN_FILENO, POLLIN, 0};
    int ready = poll(&input, 1, timeoutMs);
    if (ready < 0 && errno == EINTR) return false;
    if (ready == 0) return true;
    unsigned char bytes[64];
    ssize_t count = ready < 0 ? -1 : read(STDIN_FILENO, bytes, sizeof bytes);
    if (count < 0 && errno == EINTR) return false;
    if (count < 0 && errno == EAGAIN) return true;
    if (count <= 0) {
        console.endOfInput = true;
        return true;
    }
    console.readAhead.insert(console.readAhead.end(), bytes, bytes + count);
    return true;
}

// The next byte of an escape sequence, if it follows at once; `consume`
// false leaves it in the read-ahead buffer.
bool SequenceByte(unsigned char& byte, bool consume = true) {
    if (console.readAhead.empty() && !console.endOfInput) ReadWithin(kEscapeSequenceGapMs);
    if (console.readAhead.empty()) return false;
    byte = console.readAhead.front();
    if (consume) console.readAhead.pop_front();
    return true;
}

// Called after an Escape byte from a terminal: consumes the rest of a cursor
// or function key sequence (ESC O letter, ESC [ [ letter, ESC [ parameters
// final) and tells whether there was one. Anything else stays unread.
bool ConsumeEscapeSequence() {
    unsigned char byte;
    if (!SequenceByte(byte, false) || (byte != '[' && byte != 'O')) return false;
    console.readAhead.pop_front();
    if (byte == 'O') {
        SequenceByte(byte);
        return true;
    }
    if (SequenceByte(byte, false) && byte == '[') {  // the Linux console's F1..F5: ESC [ [ A..E
        console.readAhead.pop_front();
        SequenceByte(byte);
        return true;
    }
    // Parameters and intermediates lie in 0x20..0x3F; a byte of 0x40..0x7E ends it.
    while (SequenceByte(byte) && (byte < 0x40 || byte > 0x7E)) {
    }
    return true;
}

}  // namespace

int _kbhit() {
    PrepareConsole();
    if (!console.terminal) return console.endOfInputDelivered;
    if (console.readAhead.empty() && !console.endOfInput) ReadWithin(0);
    return !console.readAhead.empty() || console.endOfInput;
}

int _getch() {
    PrepareConsole();
    while (console.readAhead.empty() && !console.endOfInput)
        if (!ReadWithin(-1)) return kInterruptKey;
    if (console.readAhead.empty()) {
        console.endOfInputDelivered = true;
        return kEndOfInputKey;
    }
    int key = console.readAhead.front();
    console.readAhead.pop_front();
    if (console.terminal && key == kEscape && ConsumeEscapeSequence()) return kExtendedKeyLead;
    return key;
}
