#pragma once

#include <filesystem>
#include <string>

#include "common/progress.h"

// Writes every file of the package that this program carries (its RCDATA resource 101) under
// root, on extractionThreads() threads. The whole package is checked against PACKAGE_DIGEST, and
// every file against its stored digest, before anything is written, and no file whose digest
// differs is written. Raises the failure of the first entry in package order that fails, with
// every entry before it written, however the threads ran; entries after it may be written too.
// Every 20th file written reports 10 + 55 * n / total with "Installing application files...",
// from the calling thread, never twice in a row with the same percentage.
void extractPayload(const std::filesystem::path& root, Progress progress);

// The same for a package image already in memory, checked against expectedDigest (64
// lower-case hexadecimal characters), on the given number of threads (at least one). The image
// is read in place and must stay unchanged. All threads have ended when it returns or raises.
void extractImage(const unsigned char* image, unsigned long long length, const std::string& expectedDigest,
                  const std::filesystem::path& root, Progress progress, unsigned threads);

// The number of threads that extractPayload uses on this machine.
unsigned extractionThreads();
