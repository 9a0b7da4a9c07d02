// Where wdmusb-sim writes: standard output, coloured when it is a terminal (and NO_COLOR is not
// set), plain when piped, lines kept within the terminal's width. Thread-safe: completions and
// background steps write from their own threads, a whole line at a time.
#pragma once

#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>

namespace wdmusbsim {

enum class Style { Plain, Bold, Dim, Green, Red, Yellow, Cyan };
enum class ColorChoice { Auto, Always, Never };

class Console {
public:
    static constexpr int kDefaultWidth = 80; // when the width cannot be asked (piped output)
    static constexpr int kMinimumWidth = 60;
    static constexpr int kMaximumWidth = 120; // wider lines read badly

    Console(std::FILE* out, bool colour, int width);
    // Standard output as the user sees it: colour by `choice` (Auto: a terminal without NO_COLOR),
    // width from the terminal (or COLUMNS), kDefaultWidth when piped.
    static Console forStdout(ColorChoice choice);

    // The text wrapped in the style's escape sequences (unchanged without colour).
    std::string paint(Style style, std::string_view text) const;
    // Writes one line (a newline is added) as a whole.
    void line(std::string_view text);
    void flush();

    bool colour() const { return colour_; }
    int width() const { return width_; }

private:
    std::FILE* out_;
    bool colour_;
    int width_;
    std::mutex mutex_; // one line at a time
};

} // namespace wdmusbsim
