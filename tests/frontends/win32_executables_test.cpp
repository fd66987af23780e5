// The Windows executables as Windows sees them: the version resource and the
// application manifest read through the system's own resource and version
// calls, and the subsystem each one is built for.
#include <gtest/gtest.h>
#include <windows.h>
// windows.h first
#include <shellapi.h>

#include <string>
#include <vector>

namespace {

struct Executable {
    const wchar_t* path;
    const wchar_t* name;
    bool console;
};

const Executable kExecutables[] = {
    {L"" FWU_GUI_EXE, L"FirmwareUpgrade", false},
    {L"" FWU_CLI_EXE, L"FirmwareUpgrade-cli", true},
};

// The build's paths are Unix paths when it runs under Wine; the shell's calls
// want the drive Wine maps the root to.
std::wstring WindowsPath(std::wstring path) {
    if (!path.empty() && path[0] == L'/') path = L"Z:" + path;
    for (wchar_t& c : path)
        if (c == L'/') c = L'\\';
    return path;
}

std::string Manifest(const wchar_t* path) {
    HMODULE module = LoadLibraryExW(path, nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (module == nullptr) return {};
    std::string text;
    if (HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24))) {
        HGLOBAL loaded = LoadResource(module, found);
        const void* data = loaded != nullptr ? LockResource(loaded) : nullptr;
        if (data != nullptr)
            text.assign(static_cast<const char*>(data), SizeofResource(module, found));
    }
    FreeLibrary(module);
    return text;
}

std::wstring VersionString(const wchar_t* path, const wchar_t* key) {
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(path, &ignored);
    if (size == 0) return {};
    std::vector<unsigned char> block(size);
    if (!GetFileVersionInfoW(path, 0, size, block.data())) return {};
    const std::wstring query = std::wstring(L"\\StringFileInfo\\040904B0\\") + key;
    void* value = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(block.data(), query.c_str(), &value, &length) || length == 0) return {};
    return std::wstring(static_cast<const wchar_t*>(value));
}

TEST(Win32Executables, VersionResourceManifestAndSubsystem) {
    for (const Executable& exe : kExecutables) {
        SCOPED_TRACE(testing::Message() << exe.path);
        EXPECT_EQ(VersionString(exe.path, L"ProductName"), L"FirmwareUpgrade");
        EXPECT_EQ(VersionString(exe.path, L"FileVersion"), L"" FWU_VERSION_TEXT);
        EXPECT_EQ(VersionString(exe.path, L"OriginalFilename"), std::wstring(exe.name) + L".exe");

        const std::string manifest = Manifest(exe.path);
        EXPECT_NE(manifest.find("Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\""),
                  std::string::npos)
            << manifest;
        EXPECT_NE(manifest.find(">PerMonitorV2"), std::string::npos) << manifest;
        EXPECT_NE(manifest.find("level=\"asInvoker\""), std::string::npos) << manifest;

        // SHGFI_EXETYPE: a console program has no Windows version in the high word.
        SHFILEINFOW info{};
        const DWORD_PTR type =
            SHGetFileInfoW(WindowsPath(exe.path).c_str(), 0, &info, sizeof info, SHGFI_EXETYPE);
        ASSERT_NE(type, 0u);
        EXPECT_EQ(HIWORD(type) == 0, exe.console);
    }
}

}  // namespace
