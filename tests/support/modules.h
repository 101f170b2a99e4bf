#pragma once

#include <windows.h>

#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <type_traits>

struct ModuleFreer {
    void operator()(HMODULE module) const noexcept { FreeLibrary(module); }
};
using UniqueModule = std::unique_ptr<std::remove_pointer_t<HMODULE>, ModuleFreer>;

// Maps program as an image for reading its headers and resources, without running a line of it.
// The handle has its low bits set; raises when the program cannot be mapped.
inline UniqueModule mapImage(const std::filesystem::path& program)
{
    UniqueModule module(LoadLibraryExW(program.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
    if (!module)
        throw std::runtime_error("cannot map " + program.string() + ", error " + std::to_string(GetLastError()));
    return module;
}
