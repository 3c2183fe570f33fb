// The terminal a command-line program is typed at: whether there is one,
// and hiding what is typed (a password) while it is read.
#pragma once

#include <memory>

namespace platform {

// True when standard input is a terminal (not a pipe or a file).
bool StandardInputIsTerminal();

// While alive, the terminal of standard input does not show what is typed;
// the earlier setting comes back at the end. Nothing happens where standard
// input is no terminal.
class StandardInputEchoOff {
public:
    StandardInputEchoOff();
    ~StandardInputEchoOff();
    StandardInputEchoOff(const StandardInputEchoOff&) = delete;
    StandardInputEchoOff& operator=(const StandardInputEchoOff&) = delete;

private:
    struct Saved;
    std::unique_ptr<Saved> m_pSaved;  // set while the echo is off
};

}  // namespace platform
