// ondara.dll carries a version resource with the header's version (which the header checks hold to
// the project's) and name, read back the way Explorer and installers read it (the version API), from
// the DLL this test has loaded.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "ondara.h"

namespace {

std::wstring string_value(const std::vector<unsigned char>& info, const wchar_t* key) {
    wchar_t* value = nullptr;
    UINT length = 0;
    const std::wstring path = std::wstring(L"\\StringFileInfo\\040904B0\\") + key;
    if (!VerQueryValueW(info.data(), path.c_str(), reinterpret_cast<void**>(&value), &length) || value == nullptr) {
        return L"(missing)";
    }
    return std::wstring(value, length > 0 && value[length - 1] == L'\0' ? length - 1 : length);
}

TEST(VersionResource, TheDllNamesItsProductAndVersion) {
    // The library is linked in, so it is loaded: find the file it was loaded from.
    ASSERT_NE(ondara_receiver_status_message(ONDARA_OK), nullptr);
    const HMODULE dll = GetModuleHandleW(L"ondara.dll");
    ASSERT_NE(dll, nullptr);
    wchar_t path[MAX_PATH];
    ASSERT_GT(GetModuleFileNameW(dll, path, MAX_PATH), 0u);

    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(path, &ignored);
    ASSERT_GT(size, 0u) << "no version resource, error " << GetLastError();
    std::vector<unsigned char> info(size);
    ASSERT_TRUE(GetFileVersionInfoW(path, 0, size, info.data()));

    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    ASSERT_GE(length, sizeof(VS_FIXEDFILEINFO));
    EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
    EXPECT_EQ(fixed->dwFileVersionMS, static_cast<DWORD>(ONDARA_VERSION_MAJOR << 16 | ONDARA_VERSION_MINOR));
    EXPECT_EQ(fixed->dwFileVersionLS, static_cast<DWORD>(ONDARA_VERSION_PATCH << 16));
    EXPECT_EQ(fixed->dwProductVersionMS, fixed->dwFileVersionMS);
    EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_DLL));

    const std::string version = std::to_string(ONDARA_VERSION_MAJOR) + "." + std::to_string(ONDARA_VERSION_MINOR) + "." +
                                std::to_string(ONDARA_VERSION_PATCH);
    EXPECT_EQ(string_value(info, L"ProductName"), L"ondara");
    EXPECT_EQ(string_value(info, L"FileVersion"), std::wstring(version.begin(), version.end()));
    EXPECT_EQ(string_value(info, L"ProductVersion"), std::wstring(version.begin(), version.end()));
    EXPECT_EQ(string_value(info, L"OriginalFilename"), L"ondara.dll");
}

}  // namespace
