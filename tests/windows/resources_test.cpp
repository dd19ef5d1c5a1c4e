// What quelmar.exe carries besides code: the icon in its three sizes and
// the manifest, and that the manifest takes effect (this test program
// carries the same resources; its version record is read in the host tests).

#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include <string>

#include "platform/windows/win32_text.h"

namespace quelmar {
namespace {

struct ProgramResources : ::testing::Test {
    HMODULE program = nullptr;
    void SetUp() override {
        std::wstring path = win32::modulePath(nullptr);
        path = path.substr(0, path.rfind(L'\\')) + L"\\quelmar.exe";
        program = LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
        ASSERT_NE(program, nullptr) << "quelmar.exe beside the tests, error " << GetLastError();
    }
    void TearDown() override {
        if (program) FreeLibrary(program);
    }
    std::string resource(LPCWSTR type, LPCWSTR name) const {
        HRSRC found = FindResourceW(program, name, type);
        if (!found) return {};
        const char* data = static_cast<const char*>(LockResource(LoadResource(program, found)));
        return std::string(data, SizeofResource(program, found));
    }
};

TEST_F(ProgramResources, IconHasItsThreeImages) {
    const std::string group = resource(RT_GROUP_ICON, MAKEINTRESOURCEW(1));
    ASSERT_GE(group.size(), 6u);
    const auto count = static_cast<unsigned char>(group[4]);
    ASSERT_EQ(count, 3u);
    // GRPICONDIRENTRY: width, height, colours, reserved, planes, bit count...
    std::vector<std::pair<int, int>> images;
    for (unsigned i = 0; i < count; ++i) {
        const unsigned char* entry = reinterpret_cast<const unsigned char*>(group.data()) + 6 + 14 * i;
        images.emplace_back(entry[0] == 0 ? 256 : entry[0], entry[6] | (entry[7] << 8));
    }
    EXPECT_EQ(images, (std::vector<std::pair<int, int>>{{32, 4}, {48, 32}, {256, 32}}));
    for (int size : {16, 32, 48, 256}) {
        HICON icon = static_cast<HICON>(LoadImageW(program, MAKEINTRESOURCEW(1), IMAGE_ICON, size, size, 0));
        EXPECT_NE(icon, nullptr) << size;
        if (icon) DestroyIcon(icon);
    }
}

TEST_F(ProgramResources, ManifestAsksForStylesDpiAndLongPaths) {
    const std::string manifest = resource(MAKEINTRESOURCEW(24), MAKEINTRESOURCEW(1));
    for (const char* part : {"Microsoft.Windows.Common-Controls", "version=\"6.0.0.0\"", "PerMonitorV2",
                             "true/pm", "<longPathAware", ">true</longPathAware>", "asInvoker"})
        EXPECT_NE(manifest.find(part), std::string::npos) << part;
}

// The same manifest in this program: version 6 of the common controls is
// the one loaded, and the process is aware of each monitor's DPI.
TEST(Manifest, TakesEffect) {
    // The comctl32 this program's own import was bound to.
    HMODULE controls = nullptr;
    ASSERT_TRUE(GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                   reinterpret_cast<LPCWSTR>(reinterpret_cast<void*>(&InitCommonControlsEx)),
                                   &controls));
    // Version 6 is loaded from the side-by-side store, never from system32
    // (Wine's copy there reports version 5 through DllGetVersion all the
    // same, so the folder is what tells them apart).
    std::wstring path = win32::modulePath(controls);
    CharLowerBuffW(path.data(), static_cast<DWORD>(path.size()));
    EXPECT_NE(path.find(L"microsoft.windows.common-controls_6595b64144ccf1df_6."), std::wstring::npos)
        << win32::narrow(path);

    using AwarenessFn = int(WINAPI*)(HANDLE);
    using ContextFn = HANDLE(WINAPI*)();
    HMODULE user = GetModuleHandleW(L"user32.dll");
    auto awareness = reinterpret_cast<AwarenessFn>(
        reinterpret_cast<void*>(GetProcAddress(user, "GetAwarenessFromDpiAwarenessContext")));
    auto context = reinterpret_cast<ContextFn>(
        reinterpret_cast<void*>(GetProcAddress(user, "GetThreadDpiAwarenessContext")));
    if (!awareness || !context) GTEST_SKIP() << "no per-monitor DPI on this system";
    EXPECT_EQ(awareness(context()), 2) << "DPI_AWARENESS_PER_MONITOR_AWARE";
}

}  // namespace
}  // namespace quelmar
