// Runs the host checks in a process of its own and prints the outcome, so that a test can see
// what they decide on a prefix set to another Windows version.
#include <cstdio>
#include <exception>

#include "core/host.h"

int main()
{
    try {
        checkHost();
        std::puts("ok");
        return 0;
    } catch (const std::exception& failure) {
        std::puts(failure.what());
        return 1;
    }
}
