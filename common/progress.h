#pragma once

#include <functional>
#include <string>

// Progress of a long step: a percentage (0 to 100) and a status text for the user.
using Progress = std::function<void(int percent, const std::wstring& status)>;
