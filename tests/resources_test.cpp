#include <windows.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "common/handles.h"
#include "package/hashing.h"
#include "package/package_digest.h"
#include "package/parser.h"
#include "tests/support/modules.h"
#include "tests/support/shim.h"
#include "tests/support/shim_fixtures.h"

// The built wizard as Windows sees it before it runs a line: its resources, read from the file.
// PACKAGE_DIGEST here is compiled from the wizard's own digest source.

namespace fs = std::filesystem;
using testing::ElementsAre;
using testing::IsSupersetOf;

namespace {

const fs::path WIZARD = QM_WIZARD;

std::string_view resourceBytes(HMODULE module, const wchar_t* name, const wchar_t* type)
{
    const HRSRC resource = FindResourceW(module, name, type);
    if (resource == nullptr)
        return {};
    const auto* bytes = static_cast<const char*>(LockResource(LoadResource(module, resource)));
    return {bytes, SizeofResource(module, resource)};
}

std::string idText(const wchar_t* id)
{
    return IS_INTRESOURCE(id) ? std::to_string(reinterpret_cast<ULONG_PTR>(id)) : "named";
}

BOOL CALLBACK addLanguage(HMODULE, LPCWSTR type, LPCWSTR name, WORD language, LONG_PTR list)
{
    reinterpret_cast<std::vector<std::string>*>(list)->push_back(idText(type) + "/" + idText(name) + "/" +
                                                               std::to_string(language));
    return TRUE;
}

BOOL CALLBACK addName(HMODULE module, LPCWSTR type, LPWSTR name, LONG_PTR list)
{
    return EnumResourceLanguagesW(module, type, name, addLanguage, list), TRUE;
}

BOOL CALLBACK addType(HMODULE module, LPWSTR type, LONG_PTR list)
{
    return EnumResourceNamesW(module, type, addName, list), TRUE;
}

// Every resource of the module as "type/name/language", identifiers in decimal.
std::vector<std::string> resourceList(HMODULE module)
{
    std::vector<std::string> list;
    EnumResourceTypesW(module, addType, reinterpret_cast<LONG_PTR>(&list));
    std::sort(list.begin(), list.end());
    return list;
}

// The attributes of the index-th element with this name: enough of XML for a manifest that
// writes each element's attributes in double quotes.
std::map<std::string, std::string> attributesOf(const std::string& xml, const std::string& element, int index = 0)
{
    const std::regex opening("<" + element + "[\\s/>]");
    auto found = std::sregex_iterator(xml.begin(), xml.end(), opening);
    std::advance(found, index);
    if (found == std::sregex_iterator())
        return {};
    const std::size_t start = static_cast<std::size_t>(found->position());
    const std::string tag = xml.substr(start, xml.find('>', start) - start);
    std::map<std::string, std::string> attributes;
    const std::regex attribute("([\\w:]+)=\"([^\"]*)\"");
    for (auto it = std::sregex_iterator(tag.begin(), tag.end(), attribute); it != std::sregex_iterator(); ++it)
        attributes[(*it)[1]] = (*it)[2];
    return attributes;
}

std::string textOf(const std::string& xml, const std::string& element)
{
    const std::size_t start = xml.find("<" + element + ">");
    const std::size_t end = xml.find("</" + element + ">");
    if (start == std::string::npos || end == std::string::npos)
        return {};
    return xml.substr(start + element.size() + 2, end - start - element.size() - 2);
}

std::wstring versionString(const std::vector<unsigned char>& block, const std::wstring& name)
{
    void* value = nullptr;
    UINT length = 0;
    const std::wstring path = L"\\StringFileInfo\\040904B0\\" + name;
    if (!VerQueryValueW(block.data(), path.c_str(), &value, &length) || value == nullptr)
        return L"(missing)";
    return std::wstring(static_cast<const wchar_t*>(value)); // length counts the terminating zero
}

} // namespace

TEST(WizardResources, AreTheManifestTheVersionAndThePackageAndNothingElse)
{
    const UniqueModule wizard = mapImage(WIZARD);
    // No icon (the window uses the system's), and no second manifest from the tool chain.
    EXPECT_THAT(resourceList(wizard.get()), ElementsAre("10/101/1033", "16/1/1033", "24/1/1033"));
}

TEST(WizardResources, ManifestAsksForAdministratorsWindows10CommonControls6AndPerMonitorDpi)
{
    const UniqueModule wizard = mapImage(WIZARD);
    const std::string manifest(resourceBytes(wizard.get(), CREATEPROCESS_MANIFEST_RESOURCE_ID, RT_MANIFEST));
    ASSERT_FALSE(manifest.empty());

    EXPECT_THAT(attributesOf(manifest, "assemblyIdentity", 0),
                (std::map<std::string, std::string>{{"name", "Vostrel.Quellmark.Console.Setup"},
                                                    {"processorArchitecture", "amd64"},
                                                    {"type", "win32"},
                                                    {"version", "0.2.3.12"}}));
    EXPECT_EQ(textOf(manifest, "description"), "Quellmark Console Setup");
    EXPECT_THAT(attributesOf(manifest, "requestedExecutionLevel"),
                (std::map<std::string, std::string>{{"level", "requireAdministrator"}, {"uiAccess", "false"}}));
    EXPECT_EQ(attributesOf(manifest, "supportedOS")["Id"], "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}");
    EXPECT_THAT(attributesOf(manifest, "assemblyIdentity", 1),
                (std::map<std::string, std::string>{{"language", "*"},
                                                    {"name", "Microsoft.Windows.Common-Controls"},
                                                    {"processorArchitecture", "amd64"},
                                                    {"publicKeyToken", "6595b64144ccf1df"},
                                                    {"type", "win32"},
                                                    {"version", "6.0.0.0"}}));
    EXPECT_NE(manifest.find("<dependentAssembly>"), std::string::npos);

    // The loader's own reading of it: the same activation context that process creation builds.
    ACTCTXW context{};
    context.cbSize = sizeof context;
    context.dwFlags = ACTCTX_FLAG_RESOURCE_NAME_VALID;
    context.lpSource = WIZARD.c_str();
    context.lpResourceName = CREATEPROCESS_MANIFEST_RESOURCE_ID;
    const HANDLE activation = CreateActCtxW(&context);
    ASSERT_NE(activation, INVALID_HANDLE_VALUE) << "error " << GetLastError();
    // Per-monitor DPI awareness, with system awareness where Windows knows no per-monitor v2 (1607) or
    // reads only the older setting.
    // Wine 8 makes every process DPI aware whatever its manifest says, so the loader's reading is
    // where the two settings show.
    const auto setting = [&](const wchar_t* space, const wchar_t* name) {
        wchar_t value[64] = {};
        SIZE_T written = 0;
        QueryActCtxSettingsW(0, activation, space, name, value, 64, &written);
        return std::wstring(value);
    };
    EXPECT_EQ(setting(L"http://schemas.microsoft.com/SMI/2005/WindowsSettings", L"dpiAware"), L"true");
    EXPECT_EQ(setting(L"http://schemas.microsoft.com/SMI/2016/WindowsSettings", L"dpiAwareness"),
              L"PerMonitorV2, System");
    ReleaseActCtx(activation);
}

TEST(WizardResources, VersionInformationNamesMakerProductAndVersion)
{
    DWORD ignored = 0;
    std::vector<unsigned char> block(GetFileVersionInfoSizeW(WIZARD.c_str(), &ignored));
    ASSERT_FALSE(block.empty());
    ASSERT_TRUE(GetFileVersionInfoW(WIZARD.c_str(), 0, static_cast<DWORD>(block.size()), block.data()));

    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    // Signature, file and product versions, type, system, and no debug, pre-release or patched flag.
    EXPECT_THAT((std::vector<DWORD>{fixed->dwSignature, fixed->dwFileVersionMS, fixed->dwFileVersionLS,
                                    fixed->dwProductVersionMS, fixed->dwProductVersionLS, fixed->dwFileType,
                                    fixed->dwFileOS, fixed->dwFileFlags & fixed->dwFileFlagsMask}),
                ElementsAre(0xFEEF04BDu, 2u, 0x0003000Cu, 2u, 0x0003000Cu, VFT_APP, VOS_NT_WINDOWS32, 0u));

    EXPECT_EQ(versionString(block, L"CompanyName"), L"Vostrel");
    EXPECT_EQ(versionString(block, L"FileDescription"), L"Quellmark Console Setup");
    EXPECT_EQ(versionString(block, L"FileVersion"), L"0.2.3 build 0012");
    EXPECT_EQ(versionString(block, L"ProductName"), L"Quellmark Console");
    EXPECT_EQ(versionString(block, L"ProductVersion"), L"0.2.3 build 0012");

    WORD* translation = nullptr;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation), &length));
    ASSERT_EQ(length, 4u) << "exactly one language and code page";
    EXPECT_THAT((std::vector<WORD>{translation[0], translation[1]}), ElementsAre(0x0409, 1200));
}

TEST(WizardResources, PackageIsTheOneItsDigestWasBuiltFrom)
{
    const UniqueModule wizard = mapImage(WIZARD);
    const std::string_view package = resourceBytes(wizard.get(), MAKEINTRESOURCEW(101), RT_RCDATA);
    ASSERT_FALSE(package.empty());
    EXPECT_EQ(digestText(sha256(package.data(), package.size())), PACKAGE_DIGEST);

    const auto entries = parsePayload(reinterpret_cast<const unsigned char*>(package.data()), package.size());
    std::set<std::string> names;
    for (const Entry& entry : entries) {
        names.insert(entry.name);
        EXPECT_TRUE(std::equal(entry.digest, entry.digest + DIGEST_SIZE, sha256(entry.data, entry.size).begin()))
            << entry.name;
    }
    EXPECT_THAT(names, IsSupersetOf({"QuellmarkConsoleService.exe", "runtime/python.exe"}));
}

using WizardEntry = ShimUnloaded;

// The shim answers the error box, which would otherwise wait for a click.
TEST_F(WizardEntry, ShowsAnUnknownOptionInAnErrorBoxAndEndsWithOne)
{
    const ProcessResult result = runWithShim(WIZARD, L"--Uninstall", "answer MessageBoxW IDOK\n");
    EXPECT_EQ(result.exitCode, 1u);
    EXPECT_THAT(recordedFields("MessageBoxW", {"text", "caption", "style", "owner"}),
                ElementsAre("text=Unknown setup option caption=Quellmark Console style=" + std::to_string(MB_ICONERROR) +
                            " owner=no"));
}
