#include "tools/wdmusb-sim/scenario/lexer.h"

#include <utility>

namespace wdmusbsim {

namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r';
}

bool endsWord(char c) {
    return isBlank(c) || c == '#' || c == '=' || c == '"';
}

std::string_view trimEnd(std::string_view text) {
    while (!text.empty() && isBlank(text.back()))
        text.remove_suffix(1);
    return text;
}

// Reads one command's tokens, line after line: a lone '\' at the end of a line (or inside a
// quoted string, its last character) goes on on the next line.
class LineLexer {
public:
    // Takes one physical line; true when the command goes on on the next one.
    bool take(std::string_view text, int line) {
        line_ = line;
        std::size_t i = 0;
        if (open_) {
            while (i < text.size() && isBlank(text[i]))
                ++i;
            open_->text.push_back(' ');
            if (readQuoted(text, i))
                return true;
            if (out_.error)
                return false;
            out_.tokens.push_back(std::move(*open_));
            open_.reset();
        }
        return readTokens(text, i);
    }

    // The command read, when the last line did not go on; an open string is a mistake.
    TokenLine finish(bool endOfText) {
        if (open_ && endOfText && !out_.error)
            out_.error = LexError{open_->at, "expected a closing \" for the string that "
                                             "starts here before the end of the file"};
        open_.reset();
        return std::exchange(out_, TokenLine{});
    }

private:
    bool readTokens(std::string_view text, std::size_t i) {
        while (i < text.size()) {
            const char c = text[i];
            if (isBlank(c)) {
                ++i;
                continue;
            }
            if (c == '#')
                return false;
            Token token;
            token.at = {line_, static_cast<int>(i) + 1};
            if (c == '=') {
                token.kind = Token::Kind::Equals;
                token.text = "=";
                ++i;
            } else if (c == '"') {
                token.kind = Token::Kind::Quoted;
                ++i;
                open_ = std::move(token);
                if (readQuoted(text, i))
                    return true;
                if (out_.error)
                    return false;
                token = std::move(*open_);
                open_.reset();
            } else {
                const std::size_t start = i;
                while (i < text.size() && !endsWord(text[i]))
                    ++i;
                token.text = std::string(text.substr(start, i - start));
                if (token.text == "\\" && endsLine(text, i))
                    return true;
            }
            out_.tokens.push_back(std::move(token));
        }
        return false;
    }

    // Nothing but blanks or a comment after position i.
    static bool endsLine(std::string_view text, std::size_t i) {
        while (i < text.size() && isBlank(text[i]))
            ++i;
        return i == text.size() || text[i] == '#';
    }

    // Reads the open string from text[i]; true when it goes on on the next line. An unclosed
    // string on a line that does not go on is a mistake.
    bool readQuoted(std::string_view text, std::size_t& i) {
        const std::string_view body = trimEnd(text);
        for (; i < body.size(); ++i) {
            const char c = body[i];
            if (c == '"') {
                ++i;
                return false;
            }
            if (c == '\\' && i + 1 == body.size())
                return true;
            if (c == '\\' && (body[i + 1] == '"' || body[i + 1] == '\\'))
                ++i;
            open_->text.push_back(body[i]);
        }
        out_.error = LexError{open_->at, "expected a closing \" for the string that starts here "
                                         "(or a '\\' to go on on the next line)"};
        return false;
    }

    int line_ = 0;
    TokenLine out_;
    std::optional<Token> open_; // a quoted string going on on the next line
};

} // namespace

std::vector<TokenLine> tokenize(std::string_view text) {
    std::vector<TokenLine> lines;
    LineLexer lexer;
    int number = 0;
    bool goesOn = false;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        const std::string_view physical = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        goesOn = lexer.take(physical, ++number);
        if (goesOn && !text.empty())
            continue;
        TokenLine line = lexer.finish(text.empty());
        if (goesOn && !line.error)
            line.error = LexError{{number, static_cast<int>(trimEnd(physical).size())},
                                  "expected another line after the '\\' that continues this one"};
        if (!line.tokens.empty() || line.error)
            lines.push_back(std::move(line));
    }
    return lines;
}

} // namespace wdmusbsim
