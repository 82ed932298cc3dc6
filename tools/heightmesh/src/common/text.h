// Small text helpers shared by the readers, the writers and the command line.
#pragma once

#include <cctype>
#include <string>

namespace heightmesh::tool {

// The text with ASCII letters in lower case (file extensions, unit names).
inline std::string Lowercase(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

}  // namespace heightmesh::tool
