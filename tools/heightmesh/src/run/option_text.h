// Pieces of the command lines' texts that every command parses alike.
#pragma once

#include <charconv>
#include <cmath>
#include <limits>
#include <string>
#include <system_error>
#include <type_traits>
#include <vector>

#include <fmt/format.h>
#include <CLI/CLI.hpp>

#include "common/tool_error.h"

namespace heightmesh::tool {

// The comma-separated pieces of a list, in order (one for a text without a
// comma, empty pieces kept).
inline std::vector<std::string> SplitCommas(const std::string& text)
{
    std::vector<std::string> pieces;
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = text.find(',', start);
        pieces.push_back(text.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        if (comma == std::string::npos)
            return pieces;
        start = comma + 1;
    }
}

// Comma-separated numbers, exactly `count` of them.
template <class Number>
std::vector<Number> ParseList(const std::string& text, std::size_t count, const std::string& what,
                              const std::string& shape)
{
    const auto bad = [&] { return UsageError(fmt::format("{}: '{}' is not {}", what, text, shape)); };
    std::vector<Number> values;
    for (const std::string& piece : SplitCommas(text)) {
        Number value{};
        const char* first = piece.data();
        const char* last = piece.data() + piece.size();
        const auto [end, error] = std::from_chars(first, last, value);
        if (first == last || error != std::errc() || end != last)
            throw bad();
        if constexpr (std::is_floating_point_v<Number>) {
            if (!std::isfinite(value))
                throw bad();
        }
        values.push_back(value);
    }
    if (values.size() != count)
        throw bad();
    return values;
}

// CLI11's check of a whole-number option: its text must be a whole number
// from `low` to `high`, or the parse fails with one line saying so (after
// the option's name) before any conversion.
template <class Whole>
CLI::Validator WholeNumber(Whole low, Whole high)
{
    // The type's largest value is no bound a user needs to read.
    const bool bounded = high != std::numeric_limits<Whole>::max();
    const std::string range = bounded ? fmt::format("from {} to {}", low, high) : fmt::format("of at least {}", low);
    return CLI::Validator(
        [low, high, range](const std::string& text) -> std::string {
            // A sign, then digits: a whole number, in range or not.
            const std::size_t digits = !text.empty() && text[0] == '-' ? 1 : 0;
            if (text.size() == digits || text.find_first_not_of("0123456789", digits) != std::string::npos)
                return fmt::format("'{}' is not a whole number (give one {})", text, range);
            Whole value{};
            const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
            if (error == std::errc() && value >= low && value <= high)
                return {};
            return fmt::format("'{}' is out of range: give a whole number {}", text, range);
        },
        bounded ? fmt::format("{}..{}", low, high) : std::string());
}

}  // namespace heightmesh::tool
