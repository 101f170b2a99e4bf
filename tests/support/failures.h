#pragma once

#include <exception>
#include <string>

// The text of the failure that action raises, or "(no failure)" when it returns normally.
template <typename Action>
std::string failureText(Action&& action)
{
    try {
        action();
    } catch (const std::exception& failure) {
        return failure.what();
    }
    return "(no failure)";
}
