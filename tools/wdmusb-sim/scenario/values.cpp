#include "tools/wdmusb-sim/scenario/values.h"

#include <algorithm>
#include <cctype>
#include <charconv>

#include "sim/util/status_names.h"
#include "sim/util/usb_names.h"

namespace wdmusbsim {

namespace {

constexpr std::uint64_t kLargestNumber = 0xFFFFFFFF; // every number the platform takes is 32 bits

std::string lower(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

// Decimal or 0x hex, with an optional K/KiB or M/MiB multiplier.
std::optional<std::uint64_t> readNumber(std::string_view text) {
    std::uint64_t multiplier = 1;
    const std::size_t digitsEnd =
        std::min(text.find_first_not_of("0123456789abcdefABCDEFxX"), text.size());
    const std::string tail = lower(text.substr(digitsEnd));
    if (tail == "k" || tail == "kib")
        multiplier = 1024;
    else if (tail == "m" || tail == "mib")
        multiplier = 1024 * 1024;
    else if (!tail.empty())
        return std::nullopt;
    text.remove_suffix(tail.size());
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    std::uint64_t number = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number, base);
    if (text.empty() || error != std::errc{} || end != text.data() + text.size())
        return std::nullopt;
    if (number > kLargestNumber / multiplier)
        return std::nullopt;
    return number * multiplier;
}

std::optional<std::uint64_t> readMilliseconds(std::string_view text) {
    std::uint64_t scale = 1;
    if (text.size() > 2 && text.ends_with("ms")) {
        text.remove_suffix(2);
    } else if (text.size() > 1 && text.ends_with("s")) {
        text.remove_suffix(1);
        scale = 1000;
    }
    auto number = readNumber(text);
    if (!number || *number > kLargestNumber / scale)
        return std::nullopt;
    return *number * scale;
}

std::optional<std::vector<std::uint8_t>> readBytes(std::string_view text) {
    std::string digits;
    for (char c : text) {
        if (c == ' ' || c == '\t' || c == ':' || c == ',')
            continue;
        if (std::isxdigit(static_cast<unsigned char>(c)) == 0)
            return std::nullopt;
        digits.push_back(c);
    }
    if (digits.empty() || digits.size() % 2 != 0)
        return std::nullopt;
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i < digits.size(); i += 2) {
        unsigned value = 0;
        std::from_chars(digits.data() + i, digits.data() + i + 2, value, 16);
        bytes.push_back(static_cast<std::uint8_t>(value));
    }
    return bytes;
}

std::optional<bool> readBool(std::string_view text) {
    const std::string word = lower(text);
    if (word == "yes" || word == "on" || word == "true")
        return true;
    if (word == "no" || word == "off" || word == "false")
        return false;
    return std::nullopt;
}

bool isName(std::string_view text) {
    if (text.empty() || !(std::isalpha(static_cast<unsigned char>(text[0])) || text[0] == '_'))
        return false;
    return std::all_of(text.begin(), text.end(), [](unsigned char c) {
        return std::isalnum(c) || c == '_' || c == '-' || c == '.';
    });
}

// A code by its name (whole or tail) or its number.
template <class Lookup>
std::optional<std::uint64_t> readCode(std::string_view text, std::string_view prefix,
                                      Lookup lookup) {
    if (auto code = lookup(canonicalCodeName(text, prefix)))
        return static_cast<std::uint64_t>(static_cast<std::uint32_t>(*code));
    if (!text.empty() && std::isdigit(static_cast<unsigned char>(text[0])))
        return readNumber(text);
    return std::nullopt;
}

std::optional<std::uint64_t> readTyped(const ParamSpec& param, std::string_view text) {
    switch (param.type) {
    case ValueType::Count:
        return readNumber(text);
    case ValueType::Byte: {
        auto number = readNumber(text);
        return number && *number <= 0xFF ? number : std::nullopt;
    }
    case ValueType::Status:
        return readCode(text, "STATUS_", sim::statusFromName);
    case ValueType::UsbdStatus:
        return readCode(text, "USBD_STATUS_", sim::usbdStatusFromName);
    case ValueType::UrbFunction: {
        auto code = readCode(text, "URB_FUNCTION_", sim::urbFunctionFromName);
        return code && *code <= 0xFFFF ? code : std::nullopt;
    }
    case ValueType::Bool:
        if (auto flag = readBool(text))
            return *flag ? 1 : 0;
        return std::nullopt;
    case ValueType::Milliseconds:
        return readMilliseconds(text);
    default:
        return std::nullopt;
    }
}

} // namespace

std::string canonicalCodeName(std::string_view text, std::string_view prefix) {
    std::string name;
    for (char c : text)
        name.push_back(c == '-' ? '_'
                                : static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
    if (!name.starts_with(prefix))
        name.insert(0, prefix);
    return name;
}

std::optional<std::string> readValue(const ParamSpec& param, const Token& token, Value& value) {
    value.text = token.text;
    value.at = token.at;
    const auto expected = [&] {
        return "expected " + describeType(param) + " for " + std::string(param.name) + ", found '" +
               token.text + "'";
    };
    switch (param.type) {
    case ValueType::Name:
        if (token.kind != Token::Kind::Word || !isName(token.text))
            return expected();
        value.word = token.text;
        return std::nullopt;
    case ValueType::Text:
        value.word = token.text;
        return std::nullopt;
    case ValueType::Choice:
        if (std::find(param.choices.begin(), param.choices.end(), token.text) ==
            param.choices.end())
            return expected();
        value.word = token.text;
        return std::nullopt;
    case ValueType::Bytes:
        if (auto bytes = readBytes(token.text)) {
            value.bytes = std::move(*bytes);
            return std::nullopt;
        }
        return expected();
    default:
        if (auto number = readTyped(param, token.text)) {
            value.number = *number;
            return std::nullopt;
        }
        return expected();
    }
}

} // namespace wdmusbsim
