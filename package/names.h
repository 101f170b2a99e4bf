#pragma once

#include <set>
#include <string>

// The rules that make a package name safe to join to the installation folder on Windows. The
// parser and the packer both use them, so that the packer can never build a package that the
// wizard refuses. No Windows headers here: the parser is also built natively for fuzzing.

// ASCII letters A to Z become lower case; no other byte changes. Names are printable ASCII, so
// this is how Windows would compare them.
std::string foldName(const std::string& name);

// Raises "Unsafe package path" or "Unsafe package path character" for the first bad component,
// then "Invalid file path" for a name that ends with a slash.
void checkPackageName(const std::string& name);

// Records the folded name in folded and then checks it. A name that equals an earlier one after
// folding is refused with "Duplicate package path" before any other rule looks at it; so is,
// after the other rules, a name that is a folder of an earlier one or has an earlier one as a
// folder. folded also holds the folders, each with a final slash.
void admitPackageName(std::set<std::string>& folded, const std::string& name);

// True when two names cannot both be in one package: equal after folding, or one of them a
// folder of the other. The packer uses it to name the earlier of the two.
bool namesClash(const std::string& first, const std::string& second);
