// quelmar-bench-window: times "Refresh List" through the real Qt window (the
// real MainWindow, its button and its Text2 widget, the real Linux host with
// only the message boxes recorded instead of shown), and, interleaved with it
// in the same process, the same command through the core alone, so the cost
// the window adds is seen apart from the walk.
//
// usage: quelmar-bench-window GAMEFOLDER [--clicks N]
// Runs on the offscreen platform unless QT_QPA_PLATFORM says otherwise. The
// stored game folder is set through a temporary XDG_CONFIG_HOME, so start-up
// lists the tree exactly as it does for a user. Besides each click's time it
// reports how long after the click the first line of the list was drawn
// (first_line_ms, the median): on a slow disk, how soon the player sees the
// list grow.

#include <QApplication>
#include <QPlainTextEdit>
#include <QPushButton>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "bench/bench_host.h"
#include "core/archive_scan.h"
#include "platform/linux/linux_host.h"
#include "ui/qt/main_window.h"

namespace {

using namespace quelmar;
using Clock = std::chrono::steady_clock;

class RecordingHost : public linux_host::LinuxHost {
public:
    // A lock of its own: a Quelmar the user has open must not end the run.
    RecordingHost() : LinuxHost("quelmar-bench-window-" + std::to_string(::getpid())) {}
    std::vector<std::pair<std::string, MessageIcon>> shown;
    void showMessage(const std::string& text, MessageIcon icon, const std::string&) override {
        shown.emplace_back(text, icon);
    }
};

double millisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// A private settings folder naming the game folder.
std::filesystem::path prepareSettings(const std::string& gameFolder) {
    std::string pattern = (std::filesystem::temp_directory_path() / "quelmar-bench-window-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) return {};
    const std::filesystem::path home = pattern;
    std::filesystem::create_directories(home / "config/Quelmar");
    std::ofstream(home / "config/Quelmar/Quelmar.conf") << "[Preferences]\nGameFolder=" << gameFolder << "\n";
    ::setenv("XDG_CONFIG_HOME", (home / "config").c_str(), 1);
    return home;
}

int run(int argc, char** argv, const std::string& gameFolder, int clicks) {
    QApplication app(argc, argv);
    RecordingHost host;
    qt::MainWindow window(host);

    const Clock::time_point loadStart = Clock::now();
    if (window.load() != Form1::Start::ShowWindow) {
        std::fprintf(stderr, "quelmar-bench-window: the window ended at start-up\n");
        return 1;
    }
    const double loadMs = millisecondsSince(loadStart);
    window.show();
    QApplication::processEvents();

    bench::BenchHost coreHost;
    bench::TextWindow coreWindow;
    FormState coreState;
    coreState.GamePath = gameFolder;
    if (CheckPaths(coreState, coreHost) != kCheckPassed) return 1;

    std::vector<double> windowMs, coreMs, firstLineMs;
    Clock::time_point start;
    bool lineSeen = false;
    QObject::connect(window.Text2, &QPlainTextEdit::textChanged, [&] {
        if (lineSeen || window.Text2->document()->isEmpty()) return;
        lineSeen = true;
        firstLineMs.push_back(millisecondsSince(start));
    });
    for (int i = 0; i < clicks; ++i) {
        // A click counts until the window has handled everything it caused,
        // the redraw of the list included.
        lineSeen = false;
        start = Clock::now();
        window.butRefreshList->click();
        QApplication::processEvents();
        windowMs.push_back(millisecondsSince(start));

        start = Clock::now();
        RefreshList(coreState, coreHost, coreWindow);
        coreMs.push_back(millisecondsSince(start));
    }

    for (const auto& [text, icon] : host.shown) {
        std::fprintf(stderr, "message: %s\n", text.c_str());
        if (icon == MessageIcon::Critical) return 1;
    }
    // The widget must show what the core found, line for line.
    QString expected = QString::fromStdString(coreWindow.text2());
    expected.replace("\r\n", "\n");
    const QString shown = window.Text2->toPlainText();
    if (shown != expected) {
        std::fprintf(stderr, "quelmar-bench-window: Text2 shows %lld characters, the core listed %lld\n",
                     static_cast<long long>(shown.size()), static_cast<long long>(expected.size()));
        return 1;
    }
    std::printf("lines=%lld clicks=%d load_ms=%.3f click_median_ms=%.3f click_min_ms=%.3f click_max_ms=%.3f "
                "core_median_ms=%.3f first_line_ms=%.3f\n",
                static_cast<long long>(expected.count('\n')), clicks, loadMs, median(windowMs),
                *std::min_element(windowMs.begin(), windowMs.end()),
                *std::max_element(windowMs.begin(), windowMs.end()), median(coreMs),
                firstLineMs.empty() ? -1.0 : median(firstLineMs));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    int clicks = 10;
    if (argc == 4 && std::string(argv[2]) == "--clicks") clicks = std::atoi(argv[3]);
    if ((argc != 2 && argc != 4) || clicks < 1) {
        std::fputs("usage: quelmar-bench-window GAMEFOLDER [--clicks N]\n", stderr);
        return 2;
    }
    const std::string gameFolder = std::filesystem::absolute(argv[1]).lexically_normal().string();
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    const std::filesystem::path home = prepareSettings(gameFolder);
    if (home.empty()) {
        std::perror("quelmar-bench-window: temporary folder");
        return 1;
    }
    int argc1 = 1;
    const int status = run(argc1, argv, gameFolder, clicks);
    std::error_code ignored;
    std::filesystem::remove_all(home, ignored);
    return status;
}
