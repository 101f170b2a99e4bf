#pragma once

#include <filesystem>
#include <string>

// Files as a test writes and reads them: every byte as it is, no line ends translated.

// The whole content of file; empty when it cannot be read.
std::string readFile(const std::filesystem::path& file);

// Writes content to file, replacing it, and creates the folders above it first.
void put(const std::filesystem::path& file, const std::string& content);

// Creates folder (absolute) and every folder above it through the \\?\ form, which no length
// limit applies to; raises when folder is not there afterwards.
void makeFoldersAtAnyLength(const std::filesystem::path& folder);

// Whether path exists, asked through the \\?\ form.
bool existsAtAnyLength(const std::filesystem::path& path);
