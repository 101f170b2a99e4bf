#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "common/folders.h"
#include "tests/support/shim.h"

// Leaves no shim loaded after a test that loads one, however the test ended.
class ShimUnloaded : public testing::Test {
protected:
    void TearDown() override { unloadShim(); }
};

// For the shim's own tests: a scratch folder of the running test program with one file in it,
// removed again after each test.
class ShimScratch : public ShimUnloaded {
protected:
    void SetUp() override
    {
        folder = std::filesystem::temp_directory_path() /
                 (exePath().stem().wstring() + L"-" + std::to_wstring(GetCurrentProcessId()));
        std::filesystem::create_directories(folder);
        existing = folder / L"existing.txt";
        std::ofstream(existing) << "x";
    }
    void TearDown() override
    {
        ShimUnloaded::TearDown();
        std::filesystem::remove_all(folder);
    }
    std::filesystem::path folder;
    std::filesystem::path existing;
};
