#pragma once

#include <filesystem>
#include <string>

#include "common/progress.h"

// Writes every file of the package that this program carries (its RCDATA resource 101) under
// root, in package order. The whole package is checked against PACKAGE_DIGEST before anything is
// written, and each file against its stored digest right before it is written. Raises the first
// problem; files written before it stay on disk. Every 20th file reports 10 + 55 * n / total
// with "Installing application files...".
void extractPayload(const std::filesystem::path& root, Progress progress);

// The same for a package image already in memory, checked against expectedDigest (64
// lower-case hexadecimal characters). The image is read in place and must stay unchanged.
void extractImage(const unsigned char* image, unsigned long long length, const std::string& expectedDigest,
                  const std::filesystem::path& root, Progress progress);
