#include <gtest/gtest.h>
TEST(FirewallPrompt, Placeholder) {}
