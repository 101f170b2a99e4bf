#pragma once

#include <ostream>
#include <string>

// Rows of value-parameterised tests that carry their own name: a row type derives from NamedRow
// and the instantiation passes rowName, so the test is named after the row, and a failure
// prints the row's name rather than its bytes.
struct NamedRow {
    const char* name;
};

inline std::ostream& operator<<(std::ostream& out, const NamedRow& row)
{
    return out << row.name;
}

inline constexpr auto rowName = [](const auto& info) { return std::string(info.param.name); };
