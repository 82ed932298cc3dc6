// Pieces of the command lines' texts that every command parses alike.
#pragma once

#include <charconv>
#include <cmath>
#include <string>
#include <system_error>
#include <type_traits>
#include <vector>

#include <fmt/format.h>

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

}  // namespace heightmesh::tool
