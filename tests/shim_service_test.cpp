#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "common/handles.h"
#include "common/text.h"
#include "tests/support/shim.h"

// The shim against the real service manager of a fresh prefix. Wine 8 refuses the failure
// actions flag (level 4) with ERROR_INVALID_LEVEL; the shim stands in for Windows there and
// lets every other level through.

namespace {

constexpr wchar_t NAME[] = L"QmShimThrowAway";

class ShimService : public testing::Test {
protected:
    void SetUp() override
    {
        manager.reset(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE));
        ASSERT_NE(manager, nullptr) << GetLastError();
        // Never started: any program will do as its image.
        const std::wstring image = quote((testProgramFolder() / L"shim_probe.exe").wstring());
        service.reset(CreateServiceW(manager.get(), NAME, NAME, DELETE | SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                     SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, image.c_str(), nullptr, nullptr,
                                     nullptr, nullptr, nullptr));
        ASSERT_NE(service, nullptr) << GetLastError();
    }
    void TearDown() override
    {
        unloadShim();
        if (service != nullptr)
            DeleteService(service.get());
    }
    UniqueService manager;
    UniqueService service;
};

BOOL setFlag(SC_HANDLE service, BOOL on)
{
    SERVICE_FAILURE_ACTIONS_FLAG flag{on};
    return ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &flag);
}

std::vector<BYTE> queryConfig(SC_HANDLE service, DWORD level)
{
    DWORD needed = 0;
    QueryServiceConfig2W(service, level, nullptr, 0, &needed);
    std::vector<BYTE> buffer(needed);
    if (!QueryServiceConfig2W(service, level, buffer.data(), needed, &needed))
        throw std::runtime_error("QueryServiceConfig2W failed: " + std::to_string(GetLastError()));
    return buffer;
}

} // namespace

TEST_F(ShimService, WithoutTheShimWineRefusesTheFailureActionsFlag)
{
    // The gap the shim exists for; should Wine close it, this test says so.
    EXPECT_FALSE(setFlag(service.get(), TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_LEVEL));
}

TEST_F(ShimService, FailureActionsFlagSucceedsAndIsRecorded)
{
    loadShim("");
    EXPECT_TRUE(setFlag(service.get(), TRUE));
    EXPECT_TRUE(setFlag(service.get(), FALSE));
    const auto calls = readShimRecords("ChangeServiceConfig2W");
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0]["level"], "4");
    EXPECT_EQ(calls[0]["flag"], "1");
    EXPECT_EQ(calls[0]["emulated"], "yes");
    EXPECT_EQ(calls[0]["result"], "1");
    EXPECT_EQ(calls[1]["flag"], "0");
}

TEST_F(ShimService, FailureActionsFlagStillRefusesWhatWindowsRefuses)
{
    loadShim("");
    SetLastError(0);
    EXPECT_FALSE(setFlag(nullptr, TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(ChangeServiceConfig2W(service.get(), SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(ShimService, OtherLevelsReachTheServiceManagerAndAreRecorded)
{
    loadShim("");
    std::wstring text = L"Quellmark management Console and Agent HTTP API";
    SERVICE_DESCRIPTIONW description{text.data()};
    ASSERT_TRUE(ChangeServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, &description)) << GetLastError();
    SC_ACTION actions[] = {{SC_ACTION_RESTART, 5000}, {SC_ACTION_RESTART, 15000}, {SC_ACTION_NONE, 0}};
    SERVICE_FAILURE_ACTIONSW failure{86400, nullptr, nullptr, 3, actions};
    ASSERT_TRUE(ChangeServiceConfig2W(service.get(), SERVICE_CONFIG_FAILURE_ACTIONS, &failure)) << GetLastError();

    const auto storedDescription = queryConfig(service.get(), SERVICE_CONFIG_DESCRIPTION);
    EXPECT_EQ(std::wstring(reinterpret_cast<const SERVICE_DESCRIPTIONW*>(storedDescription.data())->lpDescription), text);
    // Wine accepts the failure actions but cannot read them back (level 2 queries fail with
    // ERROR_INVALID_LEVEL), so the record is what shows them.

    const auto calls = readShimRecords("ChangeServiceConfig2W");
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0]["description"], narrow(text));
    EXPECT_EQ(calls[0]["emulated"], "no");
    EXPECT_EQ(calls[1]["reset"], "86400");
    EXPECT_EQ(calls[1]["actions"], "1/5000,1/15000,0/0");
}

TEST_F(ShimService, PlannedFaultsApplyToEveryLevel)
{
    loadShim("fail ChangeServiceConfig2W call=1 error=5 return=0\nfail ChangeServiceConfig2W call=3 error=1072 return=0\n");
    std::wstring text = L"never stored";
    SERVICE_DESCRIPTIONW description{text.data()};
    SetLastError(0);
    EXPECT_FALSE(ChangeServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, &description));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(setFlag(service.get(), TRUE));
    EXPECT_FALSE(setFlag(service.get(), TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_MARKED_FOR_DELETE));
    // The failed description call never reached the service manager.
    const auto stored = queryConfig(service.get(), SERVICE_CONFIG_DESCRIPTION);
    const wchar_t* storedText = reinterpret_cast<const SERVICE_DESCRIPTIONW*>(stored.data())->lpDescription;
    EXPECT_TRUE(storedText == nullptr || std::wstring(storedText).empty());
}
