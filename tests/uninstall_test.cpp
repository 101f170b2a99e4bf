#include <gtest/gtest.h>
TEST(UninstallSequence, Placeholder) {}
