#include "tools/wdmusb-sim/output/console.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

namespace wdmusbsim {

namespace {

bool noColorAsked() {
    const char* value = std::getenv("NO_COLOR"); // no-color.org: set and not empty
    return value != nullptr && value[0] != '\0';
}

int terminalWidth(int fd) {
    winsize size{};
    if (ioctl(fd, TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
        return size.ws_col;
    if (const char* columns = std::getenv("COLUMNS"))
        if (const int value = std::atoi(columns); value > 0)
            return value;
    return Console::kDefaultWidth;
}

std::string_view escape(Style style) {
    switch (style) {
    case Style::Bold:
        return "\033[1m";
    case Style::Dim:
        return "\033[2m";
    case Style::Green:
        return "\033[32m";
    case Style::Red:
        return "\033[1;31m";
    case Style::Yellow:
        return "\033[33m";
    case Style::Cyan:
        return "\033[36m";
    case Style::Plain:
        break;
    }
    return "";
}

} // namespace

Console::Console(std::FILE* out, bool colour, int width)
    : out_(out), colour_(colour), width_(std::clamp(width, kMinimumWidth, kMaximumWidth)) {}

Console Console::forStdout(ColorChoice choice) {
    const bool terminal = isatty(STDOUT_FILENO) != 0;
    const bool colour = choice == ColorChoice::Always ||
                        (choice == ColorChoice::Auto && terminal && !noColorAsked());
    return Console(stdout, colour, terminal ? terminalWidth(STDOUT_FILENO) : kDefaultWidth);
}

std::string Console::paint(Style style, std::string_view text) const {
    if (!colour_ || style == Style::Plain || text.empty())
        return std::string(text);
    return std::string(escape(style)) + std::string(text) + "\033[0m";
}

void Console::line(std::string_view text) {
    std::lock_guard lock(mutex_);
    std::fwrite(text.data(), 1, text.size(), out_);
    std::fputc('\n', out_);
}

void Console::flush() {
    std::lock_guard lock(mutex_);
    std::fflush(out_);
}

} // namespace wdmusbsim
