#include "platform/terminal.h"

#include <termios.h>
#include <unistd.h>

namespace platform {

struct StandardInputEchoOff::Saved {
    termios settings{};
};

bool StandardInputIsTerminal()
{
    return isatty(STDIN_FILENO) == 1;
}

StandardInputEchoOff::StandardInputEchoOff()
{
    termios settings{};
    if (tcgetattr(STDIN_FILENO, &settings) != 0)
        return;
    const termios before = settings;
    settings.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    settings.c_lflag |= ECHONL;  // the Enter that ends the line still moves on
    if (tcsetattr(STDIN_FILENO, TCSAFLUSH, &settings) == 0)
        m_pSaved = std::make_unique<Saved>(Saved{before});
}

StandardInputEchoOff::~StandardInputEchoOff()
{
    if (m_pSaved)
        tcsetattr(STDIN_FILENO, TCSANOW, &m_pSaved->settings);
}

}  // namespace platform
