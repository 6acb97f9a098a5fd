// The version resource of the built FerroxEMG.dll, read back with the system's own version API (what
// Explorer's Details tab and installers use), against what the same DLL's DLLVersion reports.
#include "tests/support/Sandbox.h"

#include "platform/WideText_win32.h"
#include "tools/ferrox-host/PluginModule.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::string narrow(const wchar_t* text) {
    std::string out;
    for (; text && *text; ++text) {
        out.push_back(*text < 128 ? static_cast<char>(*text) : '?');
    }
    return out;
}

TEST(VersionResource, MatchesDLLVersionAndNamesTheProduct) {
    const std::string path = ferrox_test::besideExecutable(FERROX_PLUGIN_FILE);
    ferrox_host::PluginModule plugin;
    std::string error;
    ASSERT_TRUE(plugin.load(path, error)) << error;
    int32_t major = -1;
    int32_t minor = -1;
    int32_t revision = -1;
    plugin.version(major, minor, revision);
    plugin.unloadLibrary();

    const auto wide = platform::widenSystemCodePage(path);
    ASSERT_TRUE(wide.has_value());
    DWORD ignored = 0;
    const DWORD size = ::GetFileVersionInfoSizeW(wide->c_str(), &ignored);
    ASSERT_GT(size, 0u) << "no version resource in " << path << " (error " << ::GetLastError() << ")";
    std::vector<unsigned char> info(size);
    ASSERT_TRUE(::GetFileVersionInfoW(wide->c_str(), 0, size, info.data()));

    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(::VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    ASSERT_NE(fixed, nullptr);
    EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
    EXPECT_EQ(HIWORD(fixed->dwFileVersionMS), major);
    EXPECT_EQ(LOWORD(fixed->dwFileVersionMS), minor);
    EXPECT_EQ(HIWORD(fixed->dwFileVersionLS), revision);
    EXPECT_EQ(fixed->dwProductVersionMS, fixed->dwFileVersionMS);
    EXPECT_EQ(fixed->dwProductVersionLS, fixed->dwFileVersionLS);
    EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_DLL));

    const auto text = [&](const wchar_t* name) {
        const std::wstring key = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
        wchar_t* value = nullptr;
        UINT chars = 0;
        if (!::VerQueryValueW(info.data(), key.c_str(), reinterpret_cast<void**>(&value), &chars)) {
            return std::string("<missing>");
        }
        return narrow(value);
    };
    const std::string version =
        std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(revision);
    EXPECT_EQ(text(L"FileVersion"), version);
    EXPECT_EQ(text(L"ProductVersion"), version);
    EXPECT_EQ(text(L"ProductName"), "FerroxEMG");
    EXPECT_EQ(text(L"OriginalFilename"), "FerroxEMG.dll");
    EXPECT_NE(text(L"FileDescription").find("FerroxEMG"), std::string::npos);
}

} // namespace
