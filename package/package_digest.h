#pragma once

// The digest text (64 lower-case hexadecimal characters) of the package that this build embeds.
// The packer writes its definition when it builds the package, so the two always match.
extern const char PACKAGE_DIGEST[];
