#pragma once
// Checks both programs' command lines share: a value from a fixed list, and
// a number given in digits only. Header-only, so that only a program that
// parses options needs CLI11 (found by its own CMake file).
#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <cstddef>
#include <string>
#include <vector>

namespace OptionChecks {

// "a, b, c": the values as a message lists them.
inline std::string listed(const std::vector<std::string>& values) {
    std::string text;
    for (const std::string& v : values) text += (text.empty() ? "" : ", ") + v;
    return text;
}

// One of values, compared exactly (as a window's list items would be).
inline CLI::Validator oneOf(const std::vector<std::string>& values) {
    return CLI::Validator(
        [values](std::string& value) -> std::string {
            if (std::find(values.begin(), values.end(), value) != values.end()) return "";
            return value + " is not one of " + listed(values);
        },
        "{" + listed(values) + "}");
}

// Decimal digits only, at most `most` of them: no sign, space or exponent,
// and short enough that std::stoll cannot overflow.
inline bool allDigits(const std::string& value, size_t most) {
    return !value.empty() && value.size() <= most &&
           std::all_of(value.begin(), value.end(), [](char c) { return std::isdigit(static_cast<unsigned char>(c)); });
}

}  // namespace OptionChecks
