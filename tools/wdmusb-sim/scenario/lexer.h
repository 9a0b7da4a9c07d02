// Splitting a scenario into lines of tokens.
//
// A scenario is read line by line. On each line, `#` starts a comment (outside quotes); tokens are
// words separated by blanks, `=` between a name and its value, and double-quoted strings (with
// \" and \\ inside). A lone `\` at the end of a line, or a `\` ending a line inside a quoted
// string, goes on on the next line (a string gets one blank for the break). Blank and
// comment-only lines hold no tokens and are dropped.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace wdmusbsim {

struct SourceLocation {
    int line = 0;   // from 1
    int column = 0; // from 1
};

struct Token {
    enum class Kind { Word, Quoted, Equals };
    Kind kind = Kind::Word;
    std::string text; // a quoted string without its quotes, escapes resolved
    SourceLocation at;
};

struct LexError {
    SourceLocation at;
    std::string message; // "expected ..."
};

// One command's tokens (a line, or lines joined by `\`), or the error that spoiled it.
struct TokenLine {
    std::vector<Token> tokens;
    std::optional<LexError> error;
};

std::vector<TokenLine> tokenize(std::string_view text);

} // namespace wdmusbsim
