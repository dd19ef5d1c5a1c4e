// The Win32 main window through its real controls: geometry, styles, fonts
// and keyboard from the layout table, and each command from click to result
// on a real folder tree.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <functional>
#include <map>
#include <optional>
#include <thread>

#include "core/texts.h"
#include "tests/windows/windows_test_support.h"
#include "ui/layout.h"
#include "ui/win32/main_window.h"

#include <dlgs.h>
#include <oleacc.h>
#include <process.h>

namespace quelmar {
namespace {

using testing::RecordedMessage;
using testing::TempTree;
using win32::widen;

// The host's own file system (Wine's under Wine), each folder read slowed
// down on demand as on a slow disk, and watched: `onRead` is told of each
// folder as its read begins.
struct SlowFileSystem : FileSystem {
    using Watch = std::function<void(const std::string&)>;
    SlowFileSystem(std::unique_ptr<FileSystem> real, const std::atomic<int>& delayMs, const Watch& onRead)
        : real(std::move(real)), delayMs(delayMs), onRead(onRead) {}
    std::unique_ptr<FileSystem> real;
    const std::atomic<int>& delayMs;
    const Watch& onRead;
    Folder openChild(const Folder& parent, const std::string& name) override {
        if (onRead) onRead(name);
        Sleep(delayMs);
        return real->openChild(parent, name);
    }
    bool folderExists(const std::string& path) override { return real->folderExists(path); }
    bool childFolderExists(const std::string& p, const std::string& n) override { return real->childFolderExists(p, n); }
    Folder openFolder(const std::string& p, const std::string& n) override { return real->openFolder(p, n); }
    EntryKind kindOf(const Folder& f, const std::string& n) override { return real->kindOf(f, n); }
    // Room for the walk's own folders alone, so no reader reads beside it:
    // these tests time and count the walk's reads, in its order.
    std::size_t openFolderBudget() override { return 4; }
    Deletion deleteFile(const Folder& f, const std::string& n) override { return real->deleteFile(f, n); }
};

// The real host with settings kept in memory (the registry has its own
// tests) and no single-instance check, so windows can come and go.
class TestHost : public testing::RecordingHost {
public:
    std::map<std::string, std::string> settings;
    bool otherInstance = false;
    std::atomic<int> delayMs{0};
    SlowFileSystem::Watch onRead;
    std::unique_ptr<FileSystem> createFileSystem() override {
        return std::make_unique<SlowFileSystem>(RecordingHost::createFileSystem(), delayMs, onRead);
    }
    std::string getSetting(const std::string& a, const std::string& s, const std::string& k,
                           const std::string& fallback) override {
        auto it = settings.find(a + "/" + s + "/" + k);
        return it == settings.end() ? fallback : it->second;
    }
    void saveSetting(const std::string& a, const std::string& s, const std::string& k, const std::string& v) override {
        settings[a + "/" + s + "/" + k] = v;
    }
    bool anotherInstanceRunning() override { return otherInstance; }
    std::string& gameFolder() { return settings["Quelmar/Preferences/GameFolder"]; }
};

// The real window with the file dialog answered by the test.
class TestWindow : public MainWindow {
public:
    using MainWindow::MainWindow;
    std::optional<std::string> answer;
    std::vector<OpenDialogRequest> requests;
    std::optional<std::string> showOpenDialog(const OpenDialogRequest& request) override {
        requests.push_back(request);
        return answer;
    }
};

LOGFONTW fontOf(HWND control) {
    LOGFONTW font{};
    GetObjectW(reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0)), sizeof(font), &font);
    return font;
}

RECT rectInParent(HWND control) {
    RECT r;
    GetWindowRect(control, &r);
    MapWindowPoints(nullptr, GetParent(control), reinterpret_cast<POINT*>(&r), 2);
    return r;
}

LONG styleOf(HWND window) { return GetWindowLongW(window, GWL_STYLE); }

struct WindowTest : ::testing::Test {
    TempTree tree;
    TestHost host;
    TestWindow window{GetModuleHandleW(nullptr), host};

    void SetUp() override {
        window.setQuitOnDestroy(false);
        ASSERT_TRUE(window.create()) << GetLastError();
    }

    void start() {
        ASSERT_EQ(window.load(), Form1::Start::ShowWindow);
        window.show(SW_SHOWNORMAL);
        pump();
    }
    void pump() {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (window.preTranslate(message)) continue;
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
    HWND control(std::string_view name) const { return window.control(name); }
    void click(std::string_view name) {
        SendMessageW(control(name), BM_CLICK, 0, 0);
        pump();
    }
    // A key pressed on the focused control, with Shift or Ctrl held if asked.
    void press(std::string_view focused, WPARAM key, int held = 0) {
        BYTE keys[256];
        GetKeyboardState(keys);
        if (held != 0) keys[held] = 0x80;
        SetKeyboardState(keys);
        SetFocus(control(focused));
        MSG message{control(focused), WM_KEYDOWN, key, 0, 0, {}};
        if (!window.preTranslate(message)) DispatchMessageW(&message);
        message.message = WM_KEYUP;
        if (!window.preTranslate(message)) DispatchMessageW(&message);
        pump();
        if (held != 0) keys[held] = 0;
        SetKeyboardState(keys);
    }
    std::string text(std::string_view name) const { return win32::narrow(testing::windowText(control(name))); }

    // A game folder with two archives and a decoy.
    std::string makeGame() {
        tree.file("RS\\RailSim.exe");
        tree.file("RS\\Assets\\A\\Blueprints.pak");
        tree.file("RS\\Assets\\A\\R\\Blueprints.pak");
        tree.file("RS\\Assets\\A\\Scenery.pak");
        return tree.path("RS");
    }
    static constexpr const char* kTwoLines = "Assets\\A\\Blueprints.pak\r\nAssets\\A\\R\\Blueprints.pak\r\n";
};

TEST_F(WindowTest, ControlsSitWhereTheTableSaysAtNinetySixDpi) {
    ASSERT_EQ(window.dpi(), 96u) << "the table's pixels hold at 96 dpi";
    RECT client;
    GetClientRect(window.handle(), &client);
    EXPECT_EQ(client.right, layout::toPixels(layout::kClientWidth));
    EXPECT_EQ(client.bottom, layout::toPixels(layout::kClientHeight));
    for (const layout::Control& c : layout::kControls) {
        const RECT r = rectInParent(control(c.name));
        EXPECT_EQ(r.left, layout::toPixels(c.left)) << c.name;
        EXPECT_EQ(r.top, layout::toPixels(c.top)) << c.name;
        EXPECT_EQ(r.right - r.left, layout::toPixels(c.width)) << c.name;
        EXPECT_EQ(r.bottom - r.top, layout::toPixels(c.height)) << c.name;
    }
}

TEST_F(WindowTest, WindowIsFixedCentredAndStartsHidden) {
    EXPECT_FALSE(IsWindowVisible(window.handle())) << "nothing is shown before the form has loaded";
    const LONG style = styleOf(window.handle());
    EXPECT_TRUE(style & WS_CAPTION);
    EXPECT_TRUE(style & WS_SYSMENU);
    EXPECT_TRUE(style & WS_MINIMIZEBOX);
    EXPECT_FALSE(style & WS_THICKFRAME) << "not resizable";
    EXPECT_FALSE(style & WS_MAXIMIZEBOX);
    EXPECT_EQ(testing::windowText(window.handle()), L"Quelmar");

    RECT frame;
    GetWindowRect(window.handle(), &frame);
    MONITORINFO monitor{};
    monitor.cbSize = sizeof(monitor);
    GetMonitorInfoW(MonitorFromWindow(window.handle(), MONITOR_DEFAULTTOPRIMARY), &monitor);
    EXPECT_NEAR(frame.left + frame.right, monitor.rcMonitor.left + monitor.rcMonitor.right, 1);
    EXPECT_NEAR(frame.top + frame.bottom, monitor.rcMonitor.top + monitor.rcMonitor.bottom, 1);
}

// Label1 reaches one pixel into Text1 and Label2 into "..."; the boxes'
// borders must stay whole where the labels overlap them.
TEST_F(WindowTest, LabelsDoNotPaintOverTheControlsTheyOverlap) {
    start();
    UpdateWindow(window.handle());
    HDC dc = GetDC(window.handle());
    const auto pixel = [&](int x, int y) { return GetPixel(dc, x, y); };
    const RECT text1 = rectInParent(control("Text1"));
    const RECT label1 = rectInParent(control("Label1"));
    ASSERT_LT(text1.top, label1.bottom) << "the table makes them overlap";
    EXPECT_EQ(pixel(label1.left + 10, text1.top), pixel(label1.right + 40, text1.top));
    const RECT locate = rectInParent(control("mnuLocateGameEXE"));
    const RECT label2 = rectInParent(control("Label2"));
    ASSERT_LT(locate.top, label2.bottom);
    EXPECT_EQ(pixel(locate.left + 5, locate.top), pixel(locate.left + 5, locate.bottom - 1));
    ReleaseDC(window.handle(), dc);
}

TEST_F(WindowTest, ControlsHaveTheirKindsCaptionsAndStyles) {
    for (const layout::Control& c : layout::kControls) {
        HWND h = control(c.name);
        const LONG style = styleOf(h);
        EXPECT_EQ(win32::narrow(testing::windowText(h)), c.caption) << c.name;
        switch (c.kind) {
            case layout::Kind::CommandButton:
                EXPECT_EQ(_wcsicmp(testing::className(h).c_str(), L"Button"), 0) << c.name;
                EXPECT_EQ(style & BS_TYPEMASK, BS_PUSHBUTTON) << c.name << ": no default button";
                EXPECT_TRUE(style & WS_TABSTOP) << c.name;
                break;
            case layout::Kind::TextBox:
                EXPECT_EQ(_wcsicmp(testing::className(h).c_str(), L"Edit"), 0) << c.name;
                EXPECT_EQ(IsWindowEnabled(h) != FALSE, c.multiLine) << c.name << ": the list scrolls, so is read-only";
                EXPECT_TRUE(!IsWindowEnabled(h) || (style & ES_READONLY)) << c.name;
                EXPECT_EQ((style & ES_MULTILINE) != 0, c.multiLine) << c.name;
                EXPECT_FALSE(style & WS_HSCROLL) << c.name;
                if (c.multiLine) {
                    EXPECT_TRUE(style & WS_VSCROLL);
                    EXPECT_FALSE(style & ES_AUTOHSCROLL) << "long lines wrap";
                }
                break;
            case layout::Kind::Label:
                EXPECT_EQ(_wcsicmp(testing::className(h).c_str(), L"Static"), 0) << c.name;
                EXPECT_EQ(style & SS_TYPEMASK, c.align == layout::Align::Left ? SS_LEFT : SS_CENTER) << c.name;
                break;
        }
    }
}

TEST_F(WindowTest, FontsFollowTheTable) {
    const LOGFONTW bold = fontOf(control("mnuLocateGameEXE"));
    EXPECT_STREQ(bold.lfFaceName, L"Arial");
    EXPECT_EQ(bold.lfWeight, FW_BOLD);
    EXPECT_EQ(-bold.lfHeight, layout::kBoldPixelHeight);

    const LOGFONTW small = fontOf(control("Label3"));
    EXPECT_STREQ(small.lfFaceName, L"Small Fonts");
    EXPECT_EQ(small.lfWeight, FW_NORMAL);
    EXPECT_EQ(-small.lfHeight, layout::kSmallPixelHeight);
    // Western faces, asked for with their own character set.
    EXPECT_EQ(bold.lfCharSet, ANSI_CHARSET);
    EXPECT_EQ(small.lfCharSet, ANSI_CHARSET);

    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof(metrics);
    ASSERT_TRUE(SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0));
    for (const layout::Control& c : layout::kControls) {
        if (c.font != layout::Font::Default) continue;
        const LOGFONTW font = fontOf(control(c.name));
        EXPECT_STREQ(font.lfFaceName, metrics.lfMessageFont.lfFaceName) << c.name;
        EXPECT_EQ(font.lfHeight, metrics.lfMessageFont.lfHeight) << c.name;
    }
}

// Tab goes through the buttons in table order and then to the list, and
// Tab and Shift+Tab move on from the list, which as a multi-line box would
// keep them.
TEST_F(WindowTest, TabVisitsTheEnabledButtonsThenTheList) {
    host.gameFolder() = makeGame();
    start();
    EXPECT_EQ(GetFocus(), control("mnuLocateGameEXE")) << "the window opens with the focus on \"...\"";
    struct Step {
        std::string_view from;
        int held;
        std::string_view to;
    } const steps[] = {{"mnuLocateGameEXE", 0, "butDeletePaks"}, {"butDeletePaks", 0, "butRefreshList"},
                       {"butRefreshList", 0, "Text2"},          {"Text2", 0, "mnuLocateGameEXE"},
                       {"Text2", VK_SHIFT, "butRefreshList"},   {"mnuLocateGameEXE", VK_SHIFT, "Text2"}};
    for (const Step& step : steps) {
        press(step.from, VK_TAB, step.held);
        EXPECT_EQ(GetFocus(), control(step.to)) << (step.held ? "Shift+Tab from " : "Tab from ") << step.from;
    }

    // Disabling the focused button hands the focus on; Tab then skips it.
    SetFocus(control("butDeletePaks"));
    window.setDeleteEnabled(false);
    EXPECT_EQ(GetFocus(), control("butRefreshList"));
    EXPECT_EQ(GetNextDlgTabItem(window.handle(), control("Text2"), FALSE), control("mnuLocateGameEXE"));
    EXPECT_EQ(GetNextDlgTabItem(window.handle(), control("mnuLocateGameEXE"), FALSE), control("butRefreshList"));
}

TEST_F(WindowTest, EnterAndSpacePressOnlyTheFocusedButton) {
    host.gameFolder() = makeGame();
    start();
    for (WPARAM key : {VK_RETURN, VK_SPACE}) {
        SCOPED_TRACE(key == VK_RETURN ? "Enter" : "Space");
        tree.file("RS\\Assets\\B\\Blueprints.pak");
        window.setText2("");
        press("butRefreshList", key);
        EXPECT_NE(text("Text2").find("Assets\\B\\Blueprints.pak"), std::string::npos);
        const size_t asked = window.requests.size();
        press("mnuLocateGameEXE", key);
        EXPECT_EQ(window.requests.size(), asked + 1) << "\"...\" opens the dialog";
        EXPECT_TRUE(tree.exists("RS\\Assets\\B\\Blueprints.pak")) << "Delete was not pressed";
    }
    EXPECT_TRUE(host.messages.empty());
}

// Disabling the focused command button hands the focus to the next enabled
// control in tab order ("...", Delete, Refresh, the list, round again), the
// same rule as on Linux.
TEST_F(WindowTest, FocusMovesOnWhenItsButtonIsDisabled) {
    struct Case {
        const char* what;
        std::string_view focused;
        std::vector<std::string_view> disabled;  // in this order
        std::string_view expected;
    };
    const Case cases[] = {
        {"Delete: on to Refresh", "butDeletePaks", {"butDeletePaks"}, "butRefreshList"},
        {"Refresh: on to the list", "butRefreshList", {"butRefreshList"}, "Text2"},
        {"Delete, both off as after a failed check", "butDeletePaks", {"butDeletePaks", "butRefreshList"}, "Text2"},
        {"Delete, Refresh already off", "butDeletePaks", {"butRefreshList", "butDeletePaks"}, "Text2"},
        {"another button disabled: focus stays", "mnuLocateGameEXE", {"butDeletePaks", "butRefreshList"},
         "mnuLocateGameEXE"},
    };
    host.gameFolder() = makeGame();
    start();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        window.setDeleteEnabled(true);
        window.setRefreshEnabled(true);
        SetFocus(control(c.focused));
        for (std::string_view name : c.disabled) {
            if (name == "butDeletePaks") window.setDeleteEnabled(false);
            else window.setRefreshEnabled(false);
        }
        EXPECT_EQ(GetFocus(), control(c.expected));
    }
}

// A message box takes the keyboard while a command reports; the focus the
// window gets back afterwards follows the same rule.
TEST_F(WindowTest, FocusToComeBackToMovesOnWhileAnotherWindowIsActive) {
    host.gameFolder() = makeGame();
    start();
    SetFocus(control("butDeletePaks"));
    HWND other = CreateWindowExW(0, L"STATIC", L"other", WS_POPUP | WS_VISIBLE, 0, 0, 50, 50, nullptr, nullptr,
                                 GetModuleHandleW(nullptr), nullptr);
    ASSERT_NE(other, nullptr);
    SetActiveWindow(other);
    pump();
    ASSERT_NE(GetFocus(), control("butDeletePaks"));
    window.setDeleteEnabled(false);
    DestroyWindow(other);
    SetActiveWindow(window.handle());
    pump();
    EXPECT_EQ(GetFocus(), control("butRefreshList"));
}

// Screen readers find an edit control's name in the label just before it;
// the list, which has no label, has a name of its own. "..." is named by
// the label beside it, and still shows "...".
TEST_F(WindowTest, ControlsAreNamedForScreenReaders) {
    ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
    const auto nameOf = [](HWND control) -> std::optional<std::wstring> {
        IAccessible* accessible = nullptr;
        if (FAILED(AccessibleObjectFromWindow(control, static_cast<DWORD>(OBJID_CLIENT), __uuidof(IAccessible),
                                              reinterpret_cast<void**>(&accessible))))
            return std::nullopt;
        VARIANT self{};
        self.vt = VT_I4;
        self.lVal = CHILDID_SELF;
        BSTR name = nullptr;
        const HRESULT result = accessible->get_accName(self, &name);
        accessible->Release();
        std::wstring text = name != nullptr ? std::wstring(name, SysStringLen(name)) : std::wstring();
        SysFreeString(name);
        return result == S_OK ? std::optional(text) : std::nullopt;
    };
    EXPECT_EQ(nameOf(control("Text1")), widen(layout::control("Label1").caption));
    EXPECT_EQ(nameOf(control("Text1")), testing::windowText(control("Label1")));
    EXPECT_EQ(nameOf(control("mnuLocateGameEXE")), widen(layout::control("Label2").caption));
    EXPECT_EQ(testing::windowText(control("mnuLocateGameEXE")), L"...");
    EXPECT_EQ(nameOf(control("Text2")), widen(texts::kListName));
    CoUninitialize();
}

// Sets the height of the system's message font while it lives, as a user
// or a Windows version with another default would have it.
class MessageFontHeight {
public:
    explicit MessageFontHeight(LONG height) {
        saved_.cbSize = sizeof(saved_);
        SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof(saved_), &saved_, 0);
        NONCLIENTMETRICSW changed = saved_;
        changed.lfMessageFont.lfHeight = height;
        set_ = SystemParametersInfoW(SPI_SETNONCLIENTMETRICS, sizeof(changed), &changed, 0) != FALSE;
    }
    ~MessageFontHeight() { SystemParametersInfoW(SPI_SETNONCLIENTMETRICS, sizeof(saved_), &saved_, 0); }
    MessageFontHeight(const MessageFontHeight&) = delete;
    MessageFontHeight& operator=(const MessageFontHeight&) = delete;
    bool set() const { return set_; }
    const wchar_t* face() const { return saved_.lfMessageFont.lfFaceName; }

private:
    NONCLIENTMETRICSW saved_{};
    bool set_ = false;
};

int lineHeightOf(HFONT font) {
    HDC dc = GetDC(nullptr);
    HGDIOBJ old = SelectObject(dc, font);
    TEXTMETRICW metrics{};
    GetTextMetricsW(dc, &metrics);
    SelectObject(dc, old);
    ReleaseDC(nullptr, dc);
    return metrics.tmHeight;
}

// The lfHeight at which the message font's face has a line of `pixels`.
LONG heightForLine(const wchar_t* face, int pixels) {
    for (LONG height = -8; height > -40; --height) {
        LOGFONTW font{};
        font.lfHeight = height;
        lstrcpynW(font.lfFaceName, face, LF_FACESIZE);
        HFONT f = CreateFontIndirectW(&font);
        const int line = lineHeightOf(f);
        DeleteObject(f);
        if (line >= pixels) return height;
    }
    return 0;
}

// Windows 10 and 11 show Segoe UI 9 pt, 16 px a line at 96 dpi; every
// one-line control must hold a line of the font it shows. A font too large
// for the fixed layout is shrunk until it fits; one that fits is kept.
TEST(WindowFont, OneLineControlsHoldALineOfTheDefaultFont) {
    struct Case {
        const char* what;
        int line;  // pixels
        bool kept;
    } const cases[] = {{"the line of Segoe UI 9 pt", 16, true}, {"a much larger font", 24, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        NONCLIENTMETRICSW system{};
        system.cbSize = sizeof(system);
        ASSERT_TRUE(SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof(system), &system, 0));
        const LONG height = heightForLine(system.lfMessageFont.lfFaceName, c.line);
        ASSERT_NE(height, 0);
        MessageFontHeight font(height);
        ASSERT_TRUE(font.set());

        TestHost host;
        TestWindow window{GetModuleHandleW(nullptr), host};
        window.setQuitOnDestroy(false);
        ASSERT_TRUE(window.create());
        for (const layout::Control& control : layout::kControls) {
            if (control.font != layout::Font::Default || control.multiLine) continue;
            HWND h = window.control(control.name);
            const HFONT shown = reinterpret_cast<HFONT>(SendMessageW(h, WM_GETFONT, 0, 0));
            RECT client;
            GetClientRect(h, &client);
            EXPECT_LE(lineHeightOf(shown), client.bottom) << control.name;
            EXPECT_STREQ(fontOf(h).lfFaceName, system.lfMessageFont.lfFaceName) << control.name;
            if (c.kept) EXPECT_EQ(fontOf(h).lfHeight, height) << control.name;
            else EXPECT_GT(fontOf(h).lfHeight, height) << control.name << " is smaller than asked";
        }
    }
}

TEST_F(WindowTest, NewDpiScalesLayoutAndFonts) {
    const LONG defaultHeight = fontOf(control("Label1")).lfHeight;
    RECT suggested;
    GetWindowRect(window.handle(), &suggested);
    SendMessageW(window.handle(), WM_DPICHANGED, MAKEWPARAM(144, 144), reinterpret_cast<LPARAM>(&suggested));

    const auto oneAndHalf = [](int twips) { return static_cast<LONG>(std::lround(layout::toPixels(twips) * 1.5)); };
    RECT client;
    GetClientRect(window.handle(), &client);
    EXPECT_EQ(client.right, oneAndHalf(layout::kClientWidth));
    EXPECT_EQ(client.bottom, oneAndHalf(layout::kClientHeight));
    for (const layout::Control& c : layout::kControls) {
        const RECT r = rectInParent(control(c.name));
        EXPECT_EQ(r.left, oneAndHalf(c.left)) << c.name;
        EXPECT_EQ(r.top, oneAndHalf(c.top)) << c.name;
        EXPECT_EQ(r.right - r.left, oneAndHalf(c.width)) << c.name;
        EXPECT_EQ(r.bottom - r.top, oneAndHalf(c.height)) << c.name;
    }
    EXPECT_EQ(-fontOf(control("mnuLocateGameEXE")).lfHeight, std::lround(layout::kBoldPixelHeight * 1.5));
    EXPECT_EQ(-fontOf(control("Label3")).lfHeight, std::lround(layout::kSmallPixelHeight * 1.5));
    EXPECT_NEAR(fontOf(control("Label1")).lfHeight, defaultHeight * 1.5, 1.0);
}

TEST_F(WindowTest, FirstStartShowsVersionAndAsksForTheFolder) {
    start();
    EXPECT_EQ(win32::narrow(testing::windowText(window.handle())),
              texts::versionCaption(QUELMAR_VERSION_MAJOR, QUELMAR_VERSION_PATCH));
    EXPECT_EQ(text("Text1"), "");
    EXPECT_EQ(text("Text2"), "");
    EXPECT_FALSE(IsWindowEnabled(control("butDeletePaks")));
    EXPECT_FALSE(IsWindowEnabled(control("butRefreshList")));
    ASSERT_EQ(host.messages.size(), 1u);
    EXPECT_EQ(host.messages[0].text, texts::folderNotSet());
    EXPECT_TRUE(IsWindowVisible(window.handle()));
}

TEST_F(WindowTest, AnotherInstanceEndsTheProgramWithoutAWindow) {
    host.otherInstance = true;
    EXPECT_EQ(window.load(), Form1::Start::EndProgram);
    EXPECT_FALSE(IsWindowVisible(window.handle()));
    EXPECT_TRUE(host.messages.empty());
}

TEST_F(WindowTest, LocatingTheGameListsItsArchives) {
    start();
    const std::string game = makeGame();
    window.answer = game + "\\RailSim.exe";
    click("mnuLocateGameEXE");

    ASSERT_EQ(window.requests.size(), 1u);
    EXPECT_EQ(window.requests[0].initialFolder, host.programFolder()) << "no folder stored yet";
    EXPECT_EQ(window.requests[0].title, texts::kDialogTitle);
    EXPECT_EQ(window.requests[0].filter, texts::kDialogFilter);
    EXPECT_EQ(text("Text1"), game);
    EXPECT_EQ(text("Text2"), kTwoLines);
    EXPECT_TRUE(IsWindowEnabled(control("butDeletePaks")));
    EXPECT_TRUE(IsWindowEnabled(control("butRefreshList")));
    EXPECT_EQ(host.gameFolder(), game);

    window.answer.reset();  // cancelled: nothing changes
    click("mnuLocateGameEXE");
    EXPECT_EQ(window.requests.back().initialFolder, game);
    EXPECT_EQ(text("Text1"), game);
    EXPECT_EQ(text("Text2"), kTwoLines);
}

TEST_F(WindowTest, RefreshAndDeleteThroughTheButtons) {
    host.gameFolder() = makeGame();
    start();
    EXPECT_EQ(text("Text2"), kTwoLines);
    EXPECT_TRUE(host.messages.empty());

    tree.file("RS\\Assets\\B\\Blueprints.pak");
    press("butRefreshList", VK_RETURN);  // Enter presses the focused button
    const std::string threeLines = text("Text2");
    EXPECT_NE(threeLines.find("Assets\\B\\Blueprints.pak\r\n"), std::string::npos) << threeLines;
    EXPECT_EQ(threeLines.size(), std::string(kTwoLines).size() + std::string("Assets\\B\\Blueprints.pak\r\n").size());

    SetFocus(control("butDeletePaks"));
    click("butDeletePaks");
    ASSERT_EQ(host.messages.size(), 1u);
    EXPECT_EQ(host.messages[0].text, texts::archivesDeleted(3));
    EXPECT_EQ(host.messages[0].icon, MessageIcon::Information);
    EXPECT_FALSE(tree.exists("RS\\Assets\\A\\Blueprints.pak"));
    EXPECT_FALSE(tree.exists("RS\\Assets\\A\\R\\Blueprints.pak"));
    EXPECT_FALSE(tree.exists("RS\\Assets\\B\\Blueprints.pak"));
    EXPECT_TRUE(tree.exists("RS\\Assets\\A\\Scenery.pak"));
    EXPECT_EQ(text("Text2"), "");
    EXPECT_FALSE(IsWindowEnabled(control("butDeletePaks")));
    EXPECT_EQ(GetFocus(), control("butRefreshList")) << "the keyboard is not left on a disabled button";
}

TEST_F(WindowTest, ReadOnlyArchiveIsReportedAndTheWindowCarriesOn) {
    host.gameFolder() = makeGame();
    start();
    const std::string locked = tree.path("RS\\Assets\\A\\R\\Blueprints.pak");
    ASSERT_TRUE(SetFileAttributesW(win32::extendedPath(locked).c_str(), FILE_ATTRIBUTE_READONLY));
    click("butDeletePaks");

    ASSERT_EQ(host.messages.size(), 1u);
    const RecordedMessage& message = host.messages[0];
    EXPECT_EQ(message.icon, MessageIcon::Critical);
    EXPECT_EQ(message.title, texts::kTitle);
    EXPECT_NE(message.text.find(locked), std::string::npos) << message.text;
    EXPECT_TRUE(tree.exists("RS\\Assets\\A\\R\\Blueprints.pak"));
    EXPECT_FALSE(tree.exists("RS\\Assets\\A\\Blueprints.pak")) << "the one before it was deleted";
    EXPECT_EQ(text("Text2"), kTwoLines) << "the lines found up to the failure stay";
    EXPECT_TRUE(IsWindow(window.handle()));
    EXPECT_TRUE(IsWindowEnabled(control("butRefreshList")));
}

// A listing slowed past the 5 s after which the system takes a window for
// hung. Watched from another thread all along, the window is never hung,
// shows the busy cursor and is redrawn within 0.2 s of being uncovered; a
// click and a key press made meanwhile are dropped, not run afterwards.
TEST_F(WindowTest, SlowWalkKeepsTheWindowAliveAndDropsInput) {
    // Fifty routes more under one provider: no provider is left ahead of the
    // walk for helpers to read once the reads prove slow, so the walk reads
    // every folder itself.
    for (int route = 0; route < 50; ++route)
        tree.file("RS\\Assets\\P\\R" + std::to_string(route) + "\\Blueprints.pak");
    host.gameFolder() = makeGame();
    start();
    RECT frame;
    GetWindowRect(window.handle(), &frame);
    SetCursorPos((frame.left + frame.right) / 2, frame.bottom - 10);
    pump();
    const auto busyCursor = [wait = LoadCursorW(nullptr, IDC_WAIT)] {
        CURSORINFO cursor{sizeof cursor, 0, nullptr, {}};
        return GetCursorInfo(&cursor) && cursor.hCursor == wait;
    };
    std::atomic<bool> done{false};
    int samples = 0, hung = 0, busy = 0, notRedrawn = 0;
    std::thread watcher([&] {
        for (; !done; ++samples) {
            hung += IsHungAppWindow(window.handle());
            busy += busyCursor();
            InvalidateRect(window.handle(), nullptr, TRUE);
            Sleep(200);
            notRedrawn += !done && GetUpdateRect(window.handle(), nullptr, FALSE);
        }
    });
    HWND refresh = control("butRefreshList");  // clicked and pressed, to be taken during the walk
    PostMessageW(refresh, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(5, 5));
    PostMessageW(refresh, WM_LBUTTONUP, 0, MAKELPARAM(5, 5));
    PostMessageW(refresh, WM_KEYDOWN, VK_SPACE, 0x00390001);
    PostMessageW(refresh, WM_KEYUP, VK_SPACE, 0xC0390001);
    host.delayMs = 120;  // 52 folders: over 6 s
    SendMessageW(refresh, BM_CLICK, 0, 0);
    done = true;
    watcher.join();
    tree.file("RS\\Assets\\New\\Blueprints.pak");  // listed only if the click or the key ran after all
    pump();

    EXPECT_GT(samples, 25) << "the walk was not slowed past 5 s";
    EXPECT_EQ(hung, 0) << "of " << samples;
    EXPECT_GT(busy, samples / 2) << "of " << samples;
    EXPECT_EQ(notRedrawn, 0) << "of " << samples;
    EXPECT_FALSE(busyCursor()) << "the busy cursor goes with the walk";
    EXPECT_EQ(text("Text2").find("New"), std::string::npos) << text("Text2");
}

// Closing the window during a deletion stops it at the next archive, and
// the program ends.
TEST_F(WindowTest, ClosingDuringADeletionEndsTheProgramAndLeavesTheRest) {
    host.gameFolder() = makeGame();
    start();
    window.setQuitOnDestroy(true);
    host.delayMs = 50;
    PostMessageW(window.handle(), WM_CLOSE, 0, 0);  // as the close button does, taken during the deletion
    SendMessageW(control("butDeletePaks"), BM_CLICK, 0, 0);
    EXPECT_TRUE(tree.exists("RS\\Assets\\A\\R\\Blueprints.pak")) << "stopped at the next archive";
    EXPECT_FALSE(IsWindow(window.handle()));
    MSG quit;
    EXPECT_TRUE(PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) << "and the program ends";
}

// Once a slowed listing has lasted, the three buttons are drawn disabled,
// and what a command sets meanwhile waits for its end, when the focus comes
// back or moves on by the layout's rule. A click given during the last
// folder read is dropped with the walk's input, not run after it.
TEST_F(WindowTest, SlowWalkShowsTheButtonsOffAndDropsAClickFromItsLastRead) {
    tree.file("RS\\RailSim.exe");
    const std::string providers[] = {"RS\\Assets\\P1", "RS\\Assets\\P2", "RS\\Assets\\P3"};
    for (const std::string& provider : providers) {
        tree.file(provider + "\\Blueprints.pak");
        tree.folder(provider + "\\Empty");  // whatever the order, the walk ends with a read that finds nothing
    }
    host.gameFolder() = tree.path("RS");
    start();
    HWND buttons[] = {control("mnuLocateGameEXE"), control("butDeletePaks"), control("butRefreshList")};
    window.setDeleteEnabled(false);
    SetFocus(buttons[2]);
    int reads = 0;
    std::vector<bool> during;
    host.onRead = [&](const std::string&) {
        if (++reads != 6) return;
        window.setRefreshEnabled(false);  // as a command may, while the buttons are drawn off
        window.setDeleteEnabled(true);
        for (HWND button : buttons) during.push_back(IsWindowEnabled(button) != FALSE);
        PostMessageW(buttons[1], WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(5, 5));
        PostMessageW(buttons[1], WM_LBUTTONUP, 0, MAKELPARAM(5, 5));
        PostMessageW(buttons[1], BM_CLICK, 0, 0);
    };
    host.delayMs = 100;  // six reads: well past the moment the walk is shown
    click("butRefreshList");

    ASSERT_EQ(reads, 6);
    EXPECT_EQ(during, std::vector<bool>(3, false)) << "all three drawn disabled during the walk";
    EXPECT_TRUE(IsWindowEnabled(buttons[0]));
    EXPECT_TRUE(IsWindowEnabled(buttons[1]));
    EXPECT_FALSE(IsWindowEnabled(buttons[2]));
    EXPECT_EQ(GetFocus(), control("Text2")) << "on from Refresh, which is off now";
    for (const std::string& provider : providers)
        EXPECT_TRUE(tree.exists(provider + "\\Blueprints.pak")) << "Delete was clicked after all";
    EXPECT_TRUE(host.messages.empty());
}

// The session ending during a deletion stops it before its next archive:
// those after the one being deleted stay on disk, and the window goes
// without a word. Windows asks first (WM_QUERYENDSESSION) unless the end is
// forced; either way the system sends from another thread.
struct SessionEndTest : WindowTest, ::testing::WithParamInterface<bool> {};

TEST_P(SessionEndTest, StopsADeletionBeforeItsNextArchive) {
    const bool asked = GetParam();
    tree.file("RS\\RailSim.exe");
    const std::string providers[] = {"P0", "P1", "P2", "P3", "P4"};
    for (const std::string& provider : providers) tree.file("RS\\Assets\\" + provider + "\\Blueprints.pak");
    host.gameFolder() = tree.path("RS");
    start();
    std::vector<std::string> read;
    std::atomic<bool> sent{false};
    LRESULT answer = FALSE;
    std::thread system;
    host.onRead = [&](const std::string& name) {
        read.push_back(name);
        if (read.size() != 3) return;
        system = std::thread([&, target = window.handle()] {  // handled while the read takes its time
            if (asked) answer = SendMessageW(target, WM_QUERYENDSESSION, 0, 0);
            SendMessageW(target, WM_ENDSESSION, TRUE, 0);
            sent = true;
        });
        // The read ends only once the system was told: the process may end
        // from then on, so nothing may start after it.
        for (int i = 0; i < 3000 && !sent; ++i) Sleep(10);
    };
    SendMessageW(control("butDeletePaks"), BM_CLICK, 0, 0);
    for (int i = 0; i < 500 && !sent; ++i) {
        pump();
        Sleep(10);
    }
    if (system.joinable()) system.join();

    ASSERT_EQ(read.size(), 3u) << "the deletion read on";
    for (const std::string& provider : providers) {
        const bool deleted = provider == read[0] || provider == read[1];
        EXPECT_EQ(tree.exists("RS\\Assets\\" + provider + "\\Blueprints.pak"), !deleted) << provider;
    }
    EXPECT_EQ(answer, asked ? TRUE : FALSE) << "asked: nothing is half done, the session may end";
    EXPECT_FALSE(IsWindow(window.handle()));
    EXPECT_TRUE(host.messages.empty());
}

INSTANTIATE_TEST_SUITE_P(AskedOrForced, SessionEndTest, ::testing::Bool());

// The wheel over the list scrolls it, though Wine hands the wheel to the
// control with the focus ("..."); a click gives the list the focus, and the
// keyboard scrolls it from there.
TEST_F(WindowTest, ListScrollsWithTheWheelAndTheKeyboard) {
    start();
    std::string lines;
    for (int i = 0; i < 200; ++i) lines += "Assets\\P" + std::to_string(i) + "\\Blueprints.pak\r\n";
    window.setText2(lines);
    HWND list = control("Text2");
    const auto top = [&] { return SendMessageW(list, EM_GETFIRSTVISIBLELINE, 0, 0); };
    ASSERT_EQ(top(), 0);
    RECT box;
    GetWindowRect(list, &box);
    PostMessageW(GetFocus(), WM_MOUSEWHEEL, MAKEWPARAM(0, WORD(-3 * WHEEL_DELTA)), MAKELPARAM(box.left + 20, box.top + 20));
    PostMessageW(list, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(10, 10));
    PostMessageW(list, WM_LBUTTONUP, 0, MAKELPARAM(10, 10));
    pump();
    EXPECT_GT(top(), 0);
    EXPECT_EQ(GetFocus(), list);

    struct Key {
        const char* what;
        int held;
        WPARAM key;
        bool atTop;
    } const keys[] = {{"Ctrl+Home", VK_CONTROL, VK_HOME, true}, {"Page Down", 0, VK_NEXT, false},
                      {"Page Up", 0, VK_PRIOR, true},           {"Ctrl+End", VK_CONTROL, VK_END, false},
                      {"Ctrl+Home", VK_CONTROL, VK_HOME, true}, {"Down, held", 0, VK_DOWN, false}};
    for (const Key& k : keys) {
        for (int i = 0; i < (k.key == VK_DOWN ? 20 : 1); ++i) press("Text2", k.key, k.held);
        EXPECT_EQ(top() == 0, k.atTop) << k.what;
    }
}

std::wstring clipboardText() {
    std::wstring text;
    if (!OpenClipboard(nullptr)) return L"(the clipboard could not be opened)";
    if (HANDLE data = GetClipboardData(CF_UNICODETEXT)) {
        if (const auto* characters = static_cast<const wchar_t*>(GlobalLock(data))) text = characters;
        GlobalUnlock(data);
    }
    CloseClipboard();
    return text;
}

// The list is selected and copied from with the keyboard, and nothing
// pastes into it, cuts from it, clears or undoes it.
TEST_F(WindowTest, ListIsCopiedFromButNeverEdited) {
    start();
    window.setText2(kTwoLines);
    HWND list = control("Text2");
    SendMessageW(list, EM_SETSEL, 0, 6);
    press("Text2", 'C', VK_CONTROL);
    ASSERT_EQ(clipboardText(), L"Assets");
    for (const UINT edit : std::initializer_list<UINT>{WM_PASTE, WM_CUT, WM_CLEAR, WM_UNDO, EM_UNDO}) {
        SendMessageW(list, EM_SETSEL, 0, -1);
        SendMessageW(list, edit, 0, 0);
        EXPECT_EQ(text("Text2"), kTwoLines) << "message " << edit;
    }
    SendMessageW(list, EM_SETSEL, 0, 0);
    press("Text2", 'A', VK_CONTROL);
    press("Text2", 'C', VK_CONTROL);
    EXPECT_EQ(clipboardText(), widen(kTwoLines));
}

// The relative luminance contrast of two colours, 1 to 21.
double contrast(COLORREF a, COLORREF b) {
    const auto luminance = [](COLORREF c) {
        const auto linear = [](BYTE v) {
            const double s = v / 255.0;
            return s <= 0.04045 ? s / 12.92 : std::pow((s + 0.055) / 1.055, 2.4);
        };
        return 0.2126 * linear(GetRValue(c)) + 0.7152 * linear(GetGValue(c)) + 0.0722 * linear(GetBValue(c));
    };
    const double x = luminance(a) + 0.05, y = luminance(b) + 0.05;
    return x > y ? x / y : y / x;
}

// The list's text against its background, read from the pixels on screen:
// in the system's colours, and in a dark scheme set as a user would.
TEST_F(WindowTest, ListTextStandsOutFromItsBackground) {
    struct Scheme {
        const char* what;
        std::vector<int> elements;
        std::vector<COLORREF> colours;
    } const schemes[] = {
        {"the system's colours", {}, {}},
        {"a dark scheme",
         {COLOR_WINDOW, COLOR_WINDOWTEXT, COLOR_BTNFACE, COLOR_BTNTEXT, COLOR_GRAYTEXT},
         {RGB(32, 32, 32), RGB(255, 255, 255), RGB(48, 48, 48), RGB(255, 255, 255), RGB(128, 128, 128)}},
    };
    start();
    window.setText2("IIIIIIIIIIII llllllllllll ||||||||||||\r\n");
    HWND list = control("Text2");
    for (const Scheme& scheme : schemes) {
        std::vector<COLORREF> saved;
        for (int element : scheme.elements) saved.push_back(GetSysColor(element));
        const auto set = [&](const std::vector<COLORREF>& colours) {
            return colours.empty() || SetSysColors(static_cast<int>(colours.size()), scheme.elements.data(), colours.data());
        };
        ASSERT_TRUE(set(scheme.colours)) << scheme.what;
        RedrawWindow(list, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_UPDATENOW);
        pump();
        RECT client;
        GetClientRect(list, &client);
        HDC dc = GetDC(list);
        const COLORREF background = GetPixel(dc, client.right / 2, client.bottom - 4);
        double text = 1;
        for (int y = 0; y < client.bottom / 3; ++y)
            for (int x = 0; x < client.right; ++x) text = std::max(text, contrast(GetPixel(dc, x, y), background));
        ReleaseDC(list, dc);
        set(saved);
        std::printf("list text contrast, %s: %.2f to 1 on #%06lX\n", scheme.what, text,
                    static_cast<unsigned long>(RGB(GetBValue(background), GetGValue(background), GetRValue(background))));
        EXPECT_GE(text, 4.5) << scheme.what;
    }
}

// Two real copies of the program, the first given a game folder (what was
// stored is put back; an empty one where there was none reads the same): a
// second start while the first is minimised brings the first window forward
// and ends at once with status 0.
TEST(SecondStart, BringsTheMinimisedWindowForwardAndEndsWithSuccess) {
    TempTree tree;
    tree.file("RS\\RailSim.exe");
    tree.file("RS\\Assets\\A\\Blueprints.pak");
    testing::RecordingHost settings;
    const std::string before = settings.getSetting("Quelmar", "Preferences", "GameFolder", "");
    settings.saveSetting("Quelmar", "Preferences", "GameFolder", tree.path("RS"));
    std::wstring program = win32::modulePath(nullptr);
    program = program.substr(0, program.rfind(L'\\')) + L"\\quelmar.exe";
    const auto launch = [&] { return HANDLE(_wspawnl(_P_NOWAIT, program.c_str(), L"quelmar", nullptr)); };

    const HANDLE first = launch();
    HWND shown = nullptr;
    EXPECT_TRUE(testing::eventually([&] {
        DWORD owner = 0;
        GetWindowThreadProcessId(shown = FindWindowW(MainWindow::kClassName, nullptr), &owner);
        return owner == GetProcessId(first) && IsWindowVisible(shown);
    })) << "the first copy shows no window";
    ShowWindow(shown, SW_MINIMIZE);
    EXPECT_TRUE(testing::eventually([&] { return IsIconic(shown) != FALSE; }));
    const HANDLE second = launch();
    DWORD status = 1;
    EXPECT_TRUE(WaitForSingleObject(second, 20000) == WAIT_OBJECT_0 && GetExitCodeProcess(second, &status) && !status)
        << "the second copy ends at once, status " << status;
    CloseHandle(second);
    EXPECT_TRUE(testing::eventually([&] { return !IsIconic(shown) && GetForegroundWindow() == shown; }));

    PostMessageW(shown, WM_CLOSE, 0, 0);
    if (WaitForSingleObject(first, 10000) != WAIT_OBJECT_0) TerminateProcess(first, 1);
    CloseHandle(first);
    settings.saveSetting("Quelmar", "Preferences", "GameFolder", before);
}

TEST(WindowFilter, BecomesTheDoubleNulForm) {
    using namespace std::string_literals;
    EXPECT_EQ(dialogFilter("Executable files (*.exe)|*.exe"), L"Executable files (*.exe)\0*.exe\0\0"s);
    EXPECT_EQ(dialogFilter("Ä|*.a|B|*.b;*.c"), L"Ä\0*.a\0B\0*.b;*.c\0\0"s);
}

// The real common file dialog, answered from a second thread.
struct RealDialogTest : ::testing::Test {
    TempTree tree;
    TestHost host;
    MainWindow window{GetModuleHandleW(nullptr), host};
    OpenDialogRequest request{"", texts::kDialogTitle, "", texts::kDialogFilter, {}};

    void SetUp() override {
        window.setQuitOnDestroy(false);
        ASSERT_TRUE(window.create());
        window.show(SW_SHOWNORMAL);
        request.initialFolder = tree.root();
    }
};

TEST_F(RealDialogTest, CancelGivesNothing) {
    std::wstring title;
    HWND owner = nullptr;
    std::optional<std::string> chosen = "unset";
    {
        testing::DialogWatcher watcher([&](HWND dialog) {
            title = testing::windowText(dialog);
            owner = GetWindow(dialog, GW_OWNER);
            PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
        });
        chosen = window.showOpenDialog(request);
        EXPECT_TRUE(watcher.found());
    }
    EXPECT_EQ(chosen, std::nullopt);
    EXPECT_EQ(title, widen(texts::kDialogTitle));
    EXPECT_EQ(owner, window.handle());
}

// A stored folder longer than the dialog takes (Wine's overflowed its stack
// on one of about 1,000 characters) is left out: the dialog opens all the same.
TEST_F(RealDialogTest, LongInitialFolderStillOpensTheDialog) {
    std::string deep = "Long";
    while (deep.size() < 1000) deep += "\\" + std::string(60, 'f');
    request.initialFolder = tree.folder(deep);
    testing::DialogWatcher watcher([](HWND dialog) { PostMessageW(dialog, WM_COMMAND, IDCANCEL, 0); });
    EXPECT_EQ(window.showOpenDialog(request), std::nullopt);
    EXPECT_TRUE(watcher.found());
}

// A second start while the dialog is open brings the dialog forward, not
// the window it disables: from behind another program's window, minimised
// on its own, and minimised with its window.
TEST_F(RealDialogTest, ASecondStartBringsTheDialogForward) {
    enum class Hidden { BehindAnother, DialogMinimised, WindowMinimised };
    for (const Hidden hidden : {Hidden::BehindAnother, Hidden::DialogMinimised, Hidden::WindowMinimised}) {
        SCOPED_TRACE(static_cast<int>(hidden));
        HWND dialogShown = nullptr, broughtForward = nullptr;
        bool restored = false;
        {
            testing::DialogWatcher watcher([&](HWND dialog) {
                dialogShown = dialog;
                HWND other = CreateWindowExW(0, L"STATIC", L"Another program", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0,
                                             200, 100, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
                SetForegroundWindow(other);
                testing::eventually([&] { return GetForegroundWindow() == other; });
                if (hidden != Hidden::BehindAnother) {
                    HWND minimised = hidden == Hidden::DialogMinimised ? dialog : window.handle();
                    PostMessageW(minimised, WM_SYSCOMMAND, SC_MINIMIZE, 0);
                    testing::eventually([&] { return IsIconic(minimised) != FALSE; });
                }
                PostMessageW(window.handle(), RegisterWindowMessageW(WindowsHost::kComeForwardMessage), 0, 0);
                testing::eventually([&] { return GetForegroundWindow() != other; });
                broughtForward = GetForegroundWindow();
                testing::eventually([&] { return !IsIconic(dialog) && !IsIconic(window.handle()); });
                restored = !IsIconic(dialog) && IsWindowVisible(dialog) && !IsIconic(window.handle());
                DestroyWindow(other);
                PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
            });
            EXPECT_EQ(window.showOpenDialog(request), std::nullopt);
            EXPECT_TRUE(watcher.found());
        }
        EXPECT_NE(dialogShown, nullptr);
        EXPECT_EQ(broughtForward, dialogShown) << "not the window " << window.handle();
        EXPECT_TRUE(restored) << "the dialog is on screen, not minimised";
    }
}

TEST_F(RealDialogTest, ChosenFileComesBackAsAFullPath) {
    const std::string game = tree.file("Rail Simulator 路線\\RailSim.exe");
    std::optional<std::string> chosen;
    {
        testing::DialogWatcher watcher([&](HWND dialog) {
            // The file name box: a combo box on Windows, an edit in Wine.
            HWND name = GetDlgItem(dialog, cmb13);
            if (name == nullptr) name = GetDlgItem(dialog, edt1);
            SetWindowTextW(name, widen(game).c_str());
            PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
        });
        chosen = window.showOpenDialog(request);
        EXPECT_TRUE(watcher.found());
    }
    EXPECT_EQ(chosen, game);
}

}  // namespace
}  // namespace quelmar
