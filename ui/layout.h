#pragma once
// Where every control of the main window sits and how it looks, in twips
// (1/1440 inch) from the top left corner of the client area. Both window
// systems build the window from this one table; at 96 dots per inch 15 twips
// make one pixel.

#include <array>
#include <string_view>

namespace quelmar::layout {

inline constexpr int kTwipsPerPixel = 15;  // at 96 dpi

inline constexpr int kClientWidth = 6375;
inline constexpr int kClientHeight = 2505;

enum class Kind { CommandButton, TextBox, Label };
enum class Align { Left, Centre };
enum class Font { Default, Bold, Small };  // Small: "Small Fonts" 6.75 pt; Bold: "Arial" 8.25 pt bold

struct Control {
    std::string_view name;
    Kind kind;
    std::string_view caption;
    int left, top, width, height;
    Font font;
    int tabIndex;
    Align align;
    bool multiLine;
};

// In the order the window holds and creates them.
inline constexpr std::array<Control, 8> kControls{{
    {"butRefreshList", Kind::CommandButton, "Refresh List", 3360, 720, 1815, 255, Font::Default, 5, Align::Centre, false},
    {"Text2", Kind::TextBox, "Text2", 120, 960, 6135, 1335, Font::Default, 4, Align::Left, true},
    {"butDeletePaks", Kind::CommandButton, "Delete All .pak Files", 1080, 720, 1815, 255, Font::Default, 3, Align::Centre, false},
    {"Text1", Kind::TextBox, "Text1", 120, 360, 5535, 285, Font::Default, 1, Align::Left, false},
    {"mnuLocateGameEXE", Kind::CommandButton, "...", 5760, 360, 495, 285, Font::Bold, 0, Align::Centre, false},
    {"Label3", Kind::Label, "a program by zelquist", 120, 2295, 6135, 255, Font::Small, 7, Align::Centre, false},
    {"Label2", Kind::Label, "Set Path", 5640, 120, 735, 255, Font::Default, 6, Align::Centre, false},
    {"Label1", Kind::Label, "Game Path", 120, 120, 975, 255, Font::Default, 2, Align::Left, false},
}};

inline constexpr int kBoldPointsX100 = 825;   // "Arial" 8.25 pt bold, 11 px at 96 dpi
inline constexpr int kSmallPointsX100 = 675;  // "Small Fonts" 6.75 pt, 9 px at 96 dpi
inline constexpr int kBoldPixelHeight = 11;
inline constexpr int kSmallPixelHeight = 9;

constexpr int toPixels(int twips) { return twips / kTwipsPerPixel; }

constexpr const Control& control(std::string_view name) {
    for (const Control& c : kControls)
        if (c.name == name) return c;
    throw "unknown control";  // only reachable at compile time with a misspelt name
}

// The label that names a text box is the one standing just above it, flush
// with its left edge (Label1 over Text1); its caption is the box's name for
// screen readers. Text2 has buttons above it and so no label: empty.
inline constexpr int kLabelGapTwips = 120;  // at most 8 px between label and box
constexpr std::string_view labelFor(std::string_view textBox) {
    const Control& box = control(textBox);
    for (const Control& c : kControls)
        if (c.kind == Kind::Label && c.left == box.left && c.top < box.top &&
            box.top - (c.top + c.height) <= kLabelGapTwips)
            return c.name;
    return {};
}

// The controls the keyboard focus can rest on: the command buttons, and the
// list, which is read-only but is read, scrolled and copied from with the
// keyboard. Text1 and the labels never take it.
constexpr bool takesFocus(const Control& c) {
    return c.kind == Kind::CommandButton || (c.kind == Kind::TextBox && c.multiLine);
}

// Where a control stands in the order Tab visits them: by its tab index,
// except that the list comes after every command button, so that Tab
// reaches the commands first and the list, read after them, last.
constexpr int tabPosition(const Control& c) {
    return c.kind == Kind::TextBox && c.multiLine ? c.tabIndex + static_cast<int>(kControls.size()) : c.tabIndex;
}

// Where the keyboard focus goes when the focused command button `from` is
// about to be disabled: on to the next control in Tab order that can take
// it, wrapping round from the last to the first, just as Tab would have
// gone; `enabled(name)` says which can now. So from "Delete All .pak Files"
// the focus moves to "Refresh List", from there to the list, and on to
// "...", which is never disabled. Empty when no other control can take it.
template <typename Enabled>
constexpr std::string_view nextFocus(std::string_view from, Enabled enabled) {
    const int start = tabPosition(control(from));
    std::string_view best;
    int bestDistance = 0;
    for (const Control& c : kControls) {
        if (!takesFocus(c) || c.name == from || !enabled(c.name)) continue;
        const int position = tabPosition(c);
        const int distance = position > start ? position - start : position - start + 2 * static_cast<int>(kControls.size());
        if (best.empty() || distance < bestDistance) {
            best = c.name;
            bestDistance = distance;
        }
    }
    return best;
}

static_assert(labelFor("Text1") == "Label1");
static_assert(labelFor("Text2").empty());
static_assert(nextFocus("butDeletePaks", [](std::string_view) { return true; }) == "butRefreshList");
static_assert(nextFocus("butRefreshList", [](std::string_view) { return true; }) == "Text2");
static_assert(nextFocus("butDeletePaks", [](std::string_view n) { return n != "butRefreshList"; }) == "Text2");
static_assert(nextFocus("butRefreshList", [](std::string_view n) { return n != "Text2"; }) == "mnuLocateGameEXE");

}  // namespace quelmar::layout
