// The Qt window through its real controls, on the offscreen platform, with
// the real Linux host except that message boxes are recorded, not shown.
#include <QAbstractItemView>
#include <QAccessible>
#include <QClipboard>
#include <QMenu>
#include <QFileDialog>
#include <QMessageBox>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>
#include <cmath>
#include <fstream>
#include <memory>
#include <tuple>
#include <functional>
#include <sys/stat.h>

#include "platform/linux/linux_host.h"
#include "ui/layout.h"
#include "ui/qt/file_names.h"
#include "ui/qt/main_window.h"

using quelmar::MessageIcon;
using quelmar::qt::MainWindow;

namespace {

struct Shown {
    std::string text;
    MessageIcon icon;
    QString listOnScreen;  // what Text2 displayed while the box was up
};

// Its own instance lock: a copy of the program running meanwhile must not end the window under test.
std::string testInstanceName() { return "quelmar-qt-window-test-" + std::to_string(QCoreApplication::applicationPid()); }

class RecordingHost : public quelmar::linux_host::LinuxHost {
public:
    RecordingHost() : LinuxHost(testInstanceName()) {}
    std::vector<Shown> shown;
    MainWindow* window = nullptr;
    std::optional<quelmar::LocateStart> locateStart;  // instead of the search, when set
    void showMessage(const std::string& text, MessageIcon icon, const std::string&) override {
        shown.push_back({text, icon, window ? window->Text2->toPlainText() : QString()});
    }
    quelmar::LocateStart locateDialogStart() override {
        return locateStart ? *locateStart : LinuxHost::locateDialogStart();
    }
};

// Answers the next modal dialog of type T once it is up.
template <typename T>
void whenModal(std::function<void(T*)> answer) {
    auto* timer = new QTimer;
    QObject::connect(timer, &QTimer::timeout, [timer, answer] {
        if (auto* dialog = qobject_cast<T*>(QApplication::activeModalWidget())) {
            timer->stop();
            timer->deleteLater();
            answer(dialog);
        }
    });
    timer->start(10);
}

void touch(const QString& path) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    std::ofstream(path.toStdString()) << "x";
}

}  // namespace

class MainWindowTest : public QObject {
    Q_OBJECT

    QTemporaryDir home_;
    QString game_;

    void storeFolder(const QString& folder) {
        QDir().mkpath(home_.filePath("config/Quelmar"));
        std::ofstream(home_.filePath("config/Quelmar/Quelmar.conf").toStdString())
            << "[Preferences]\nGameFolder=" << folder.toStdString() << "\n";
    }
    QString settingsText() {
        QFile f(home_.filePath("config/Quelmar/Quelmar.conf"));
        return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
    }

private slots:
    void init() {
        QVERIFY(home_.isValid());
        qputenv("XDG_CONFIG_HOME", home_.filePath("config").toUtf8());
        QDir().mkpath(home_.filePath("runtime"));
        QFile::setPermissions(home_.filePath("runtime"), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                            QFileDevice::ExeOwner);
        qputenv("XDG_RUNTIME_DIR", home_.filePath("runtime").toUtf8());
        QFile::remove(home_.filePath("config/Quelmar/Quelmar.conf"));
        game_ = home_.filePath("Rail Simulator");
        QDir(game_).removeRecursively();
        touch(game_ + "/RailSim.exe");
        touch(game_ + "/Assets/ProviderA/Blueprints.pak");
        touch(game_ + "/Assets/ProviderA/RouteB/Blueprints.pak");
        touch(game_ + "/Assets/ProviderA/RouteB/Other.pak");
        touch(game_ + "/Assets/ProviderB/Blueprints.pak");
    }

    void controlsFollowTheLayoutTable() {
        RecordingHost host;
        MainWindow window(host);
        QCOMPARE(window.windowTitle(), QString("Quelmar"));
        QCOMPARE(window.size(), QSize(425, 167));
        QCOMPARE(window.minimumSize(), window.maximumSize());
        for (const auto& c : quelmar::layout::kControls) {
            const QString name = QString::fromLatin1(c.name.data(), c.name.size());
            auto* w = window.findChild<QWidget*>(name);
            QVERIFY2(w, qPrintable(name));
            QCOMPARE(w->geometry(), QRect(c.left / 15, c.top / 15, c.width / 15, c.height / 15));
            QCOMPARE(w->isEnabled(), name != "Text1");  // Text2 stays enabled so that it scrolls
            if (c.kind != quelmar::layout::Kind::TextBox) {
                const QString text = w->property("text").toString();
                QCOMPARE(text, QString::fromLatin1(c.caption.data(), c.caption.size()));
            }
        }
        QCOMPARE(window.Text1->text(), QString("Text1"));
        QCOMPARE(window.Text2->toPlainText(), QString("Text2"));
        QCOMPARE(window.Text2->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
        QCOMPARE(window.Text2->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
        QCOMPARE(window.Label1->alignment() & Qt::AlignHorizontal_Mask, Qt::AlignLeft);
        QCOMPARE(window.Label2->alignment() & Qt::AlignHorizontal_Mask, Qt::AlignHCenter);
        QCOMPARE(window.Label3->alignment() & Qt::AlignHorizontal_Mask, Qt::AlignHCenter);

        const QFontInfo bold(window.mnuLocateGameEXE->font());
        QVERIFY2(bold.family() == "Arial" || bold.family() == "Liberation Sans", qPrintable(bold.family()));
        QVERIFY(bold.bold());
        QCOMPARE(bold.pixelSize(), 11);
        QCOMPARE(QFontInfo(window.Label3->font()).pixelSize(), 9);
        QVERIFY(!QFontInfo(window.Label3->font()).bold());
        for (QPushButton* b : {window.butDeletePaks, window.butRefreshList, window.mnuLocateGameEXE}) {
            QVERIFY(!b->isDefault());
            QVERIFY(!b->autoDefault());
            QVERIFY(QFontMetrics(b->font()).height() <= b->height());
        }
    }

    void firstRunAsksForTheFolderBeforeTheWindowAppears() {
        RecordingHost host;
        MainWindow window(host);
        host.window = &window;
        QCOMPARE(window.load(), quelmar::Form1::Start::ShowWindow);
        QCOMPARE(host.shown.size(), 1u);
        QCOMPARE(host.shown[0].text, std::string("Important!\r\n\r\nSet up game folder path before beginning."));
        QVERIFY(!window.isVisible());
        QCOMPARE(window.windowTitle(), QString("Quelmar  v1 build 8"));
        QCOMPARE(window.Text1->text(), QString());
        QCOMPARE(window.Text2->toPlainText(), QString());
        QVERIFY(!window.butDeletePaks->isEnabled());
        QVERIFY(!window.butRefreshList->isEnabled());

        // Only "..." and the list can take the focus now.
        window.showCentred();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        QCOMPARE(QApplication::focusWidget(), window.mnuLocateGameEXE);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), window.Text2);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), window.mnuLocateGameEXE);
    }

    void tabCyclesTheButtonsThenTheListFromLocate() {
        storeFolder(game_);
        RecordingHost host;
        MainWindow window(host);
        window.load();
        window.showCentred();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        QCOMPARE(QApplication::focusWidget(), window.mnuLocateGameEXE);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), window.butDeletePaks);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), window.butRefreshList);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), window.Text2);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), window.mnuLocateGameEXE);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab);
        QCOMPARE(QApplication::focusWidget(), window.Text2);
        const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
        QVERIFY(qAbs(window.frameGeometry().center().x() - screen.center().x()) <= 1);
        QVERIFY(qAbs(window.frameGeometry().center().y() - screen.center().y()) <= 1);
    }

    // Label1 reaches a pixel into Text1 and Label2 into "...": where they
    // overlap, the window must show the box's and the button's own top edge,
    // not the labels' background.
    void labelsLeaveTheBordersTheyOverlapWhole() {
        RecordingHost host;
        MainWindow window(host);
        window.showCentred();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        const QImage shown = window.grab().toImage();
        for (auto [under, label] : {std::pair<QWidget*, QWidget*>{window.Text1, window.Label1},
                                    {window.mnuLocateGameEXE, window.Label2}}) {
            const QRect overlap = under->geometry() & label->geometry();
            QVERIFY2(!overlap.isEmpty(), "the table makes them overlap");
            QCOMPARE(overlap.top(), under->geometry().top());
            const QImage own = under->grab().toImage();
            // The corners of a rounded frame show what lies behind; compare
            // the straight part of the edge.
            const int from = std::max(overlap.left(), under->x() + 3);
            const int to = std::min(overlap.right(), under->geometry().right() - 3);
            for (int x = from; x <= to; ++x)
                QVERIFY2(shown.pixel(x, overlap.top()) == own.pixel(x - under->x(), 0),
                         qPrintable(under->objectName() + " at x " + QString::number(x)));
        }
    }

    void enterAndSpacePressTheFocusedButton_data() {
        QTest::addColumn<int>("key");
        QTest::newRow("Return") << int(Qt::Key_Return);
        QTest::newRow("keypad Enter") << int(Qt::Key_Enter);
        QTest::newRow("Space") << int(Qt::Key_Space);
    }
    void enterAndSpacePressTheFocusedButton() {
        QFETCH(int, key);
        storeFolder(game_);
        RecordingHost host;
        MainWindow window(host);
        window.load();
        window.showCentred();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        touch(game_ + "/Assets/ProviderC/Blueprints.pak");
        window.butRefreshList->setFocus();
        QTest::keyClick(QApplication::focusWidget(), Qt::Key(key));
        QCOMPARE(window.Text2->toPlainText().split('\n', Qt::SkipEmptyParts).size(), 4);

        // On "..." it opens the dialog; nothing else reacts to the key.
        bool opened = false;
        whenModal<QFileDialog>([&](QFileDialog* dialog) {
            opened = true;
            dialog->reject();
        });
        window.mnuLocateGameEXE->setFocus();
        QTest::keyClick(QApplication::focusWidget(), Qt::Key(key));
        QVERIFY(opened);
        QVERIFY(QFile::exists(game_ + "/Assets/ProviderC/Blueprints.pak"));
        QVERIFY(host.shown.empty());
    }

    // Disabling the focused command button hands the focus to the next
    // control in tab order that takes it ("...", Delete, Refresh, the list).
    void focusMovesOnWhenItsButtonIsDisabled_data() {
        QTest::addColumn<QString>("focused");
        QTest::addColumn<QStringList>("disabled");  // in this order
        QTest::addColumn<QString>("expected");
        QTest::newRow("Delete: on to Refresh") << "butDeletePaks" << QStringList{"butDeletePaks"} << "butRefreshList";
        QTest::newRow("Refresh: on to the list") << "butRefreshList" << QStringList{"butRefreshList"} << "Text2";
        QTest::newRow("Delete, both off as after a failed check")
            << "butDeletePaks" << QStringList{"butDeletePaks", "butRefreshList"} << "Text2";
        QTest::newRow("Delete, Refresh already off")
            << "butDeletePaks" << QStringList{"butRefreshList", "butDeletePaks"} << "Text2";
        QTest::newRow("another button disabled: focus stays")
            << "mnuLocateGameEXE" << QStringList{"butDeletePaks", "butRefreshList"} << "mnuLocateGameEXE";
    }
    void focusMovesOnWhenItsButtonIsDisabled() {
        QFETCH(QString, focused);
        QFETCH(QStringList, disabled);
        QFETCH(QString, expected);
        storeFolder(game_);
        RecordingHost host;
        MainWindow window(host);
        window.load();
        window.showCentred();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        window.findChild<QWidget*>(focused)->setFocus();
        for (const QString& name : disabled) {
            if (name == "butDeletePaks") window.setDeleteEnabled(false);
            else window.setRefreshEnabled(false);
        }
        QCOMPARE(QApplication::focusWidget()->objectName(), expected);
    }

    // While a walk lasts the buttons are drawn off; after it, each has the
    // state the command left it in, and the keyboard is back where it was.
    void buttonsAreDrawnOffDuringALongWalkAndRestoredAfter() {
        storeFolder(game_);
        RecordingHost host;
        MainWindow window(host);
        window.load();
        window.showCentred();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        window.butRefreshList->setFocus();
        window.setBusy(true);
        window.showBusy();
        QCOMPARE(QGuiApplication::overrideCursor()->shape(), Qt::WaitCursor);
        for (QPushButton* b : {window.mnuLocateGameEXE, window.butDeletePaks, window.butRefreshList})
            QVERIFY(!b->isEnabled());
        window.setDeleteEnabled(false);  // as a walk that found nothing leaves it
        window.setBusy(false);
        QVERIFY(QGuiApplication::overrideCursor() == nullptr);
        QVERIFY(window.mnuLocateGameEXE->isEnabled());
        QVERIFY(!window.butDeletePaks->isEnabled());
        QVERIFY(window.butRefreshList->isEnabled());
        QCOMPARE(QApplication::focusWidget(), window.butRefreshList);
    }

    void deletingFromTheKeyboardLeavesTheFocusOnRefresh() {
        storeFolder(game_);
        RecordingHost host;
        MainWindow window(host);
        window.load();
        window.showCentred();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        window.butDeletePaks->setFocus();
        QTest::keyClick(window.butDeletePaks, Qt::Key_Return);
        QCOMPARE(host.shown.size(), 1u);
        QVERIFY(!window.butDeletePaks->isEnabled());
        QCOMPARE(QApplication::focusWidget(), window.butRefreshList);
    }

    void controlsAreNamedForScreenReaders() {
        RecordingHost host;
        MainWindow window(host);
        const auto nameOf = [](QWidget* w) {
            return QAccessible::queryAccessibleInterface(w)->text(QAccessible::Name);
        };
        const auto label1 = quelmar::layout::control("Label1").caption;
        QCOMPARE(nameOf(window.Text1), QString::fromLatin1(label1.data(), label1.size()));
        QCOMPARE(nameOf(window.Text1), window.Label1->text());
        QCOMPARE(nameOf(window.Text2), QString("Archives found"));
        QCOMPARE(nameOf(window.mnuLocateGameEXE), QString("Set Path"));
    }

    // The list is read before it is deleted: reached by the keyboard,
    // scrolled, selected and copied, but never edited.
    void listIsReadCopiedButNotEdited() {
        RecordingHost host;
        MainWindow window(host);
        std::string list;
        for (int i = 0; i < 40; ++i) list += "Assets/Provider" + std::to_string(i) + "/Blueprints.pak\r\n";
        window.setText2(list);
        window.showCentred();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        const QString shown = window.Text2->toPlainText();
        QScrollBar* bar = window.Text2->verticalScrollBar();
        QTest::mouseClick(window.Text2->viewport(), Qt::LeftButton);
        QCOMPARE(QApplication::focusWidget(), window.Text2);
        for (auto [key, modifiers, at] : {std::tuple{Qt::Key_End, Qt::ControlModifier, bar->maximum()},
                                          {Qt::Key_Home, Qt::ControlModifier, 0}}) {
            QTest::keyClick(window.Text2, key, modifiers);
            QCOMPARE(bar->value(), at);
        }
        QTest::keyClick(window.Text2, Qt::Key_PageDown);
        QVERIFY(bar->value() > 0);

        QTest::keyClick(window.Text2, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(window.Text2, Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(QGuiApplication::clipboard()->text(), shown);
        QGuiApplication::clipboard()->setText("pasted");
        for (auto [key, modifiers] : {std::pair{Qt::Key_X, Qt::NoModifier}, {Qt::Key_Delete, Qt::NoModifier},
                                      {Qt::Key_V, Qt::ControlModifier}, {Qt::Key_X, Qt::ControlModifier}})
            QTest::keyClick(window.Text2, key, modifiers);
        QCOMPARE(window.Text2->toPlainText(), shown);

        std::unique_ptr<QMenu> menu(window.Text2->createStandardContextMenu());
        QStringList offered;
        for (QAction* action : menu->actions())
            if (!action->isSeparator() && action->isVisible()) offered << action->text().remove('&').section('\t', 0, 0);
        QCOMPARE(offered, (QStringList{"Copy", "Select All"}));
    }

    // Its text in the theme's own colours, light or dark: the most
    // contrasting pixel drawn against the box's background.
    void listTextIsReadableInLightAndDarkThemes() {
        const auto luminance = [](QColor c) {
            const auto channel = [](double v) { return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
            return 0.2126 * channel(c.redF()) + 0.7152 * channel(c.greenF()) + 0.0722 * channel(c.blueF());
        };
        const QPalette light = QApplication::palette();
        QPalette dark = light;
        for (auto [role, colour] : {std::pair{QPalette::Window, QColor(0x35, 0x35, 0x35)},
                                    {QPalette::Base, QColor(0x2a, 0x2a, 0x2a)}, {QPalette::Text, QColor(Qt::white)},
                                    {QPalette::WindowText, QColor(Qt::white)}})
            dark.setColor(role, colour);
        for (const QPalette& theme : {light, dark}) {
            QApplication::setPalette(theme);
            RecordingHost host;
            MainWindow window(host);
            window.setText2("Assets/ProviderA/Blueprints.pak\r\n");
            window.showCentred();
            QVERIFY(QTest::qWaitForWindowExposed(&window));
            const QImage drawn = window.Text2->viewport()->grab().toImage();
            const double base = luminance(drawn.pixelColor(drawn.width() - 2, drawn.height() - 2));
            double best = 1;
            for (int y = 0; y < drawn.height() / 2; ++y)
                for (int x = 0; x < drawn.width() / 2; ++x) {
                    const double l = luminance(drawn.pixelColor(x, y));
                    best = std::max(best, (std::max(l, base) + 0.05) / (std::min(l, base) + 0.05));
                }
            qInfo("list text contrast %.1f:1", best);
            QVERIFY2(best >= 4.5, qPrintable(QString::number(best)));
        }
        QApplication::setPalette(light);
    }

    void storedFolderIsListedAndDeletedThroughTheButtons() {
        storeFolder(game_);
        RecordingHost host;
        MainWindow window(host);
        host.window = &window;
        window.load();
        QVERIFY(host.shown.empty());
        QCOMPARE(window.Text1->text(), game_);
        const QStringList listed = window.Text2->toPlainText().split('\n', Qt::SkipEmptyParts);
        QCOMPARE(QSet<QString>(listed.begin(), listed.end()),
                 (QSet<QString>{"Assets/ProviderA/Blueprints.pak", "Assets/ProviderA/RouteB/Blueprints.pak",
                                "Assets/ProviderB/Blueprints.pak"}));
        QVERIFY(window.butDeletePaks->isEnabled());

        window.butRefreshList->click();
        QCOMPARE(window.Text2->toPlainText().split('\n', Qt::SkipEmptyParts).size(), 3);

        window.butDeletePaks->click();
        QCOMPARE(host.shown.size(), 1u);
        QCOMPARE(host.shown[0].text, std::string("Complete.\r\n\r\n3 .pak files deleted."));
        QCOMPARE(host.shown[0].listOnScreen.split('\n', Qt::SkipEmptyParts).size(), 3);
        QCOMPARE(window.Text2->toPlainText(), QString());
        QVERIFY(!window.butDeletePaks->isEnabled());
        QVERIFY(!QFile::exists(game_ + "/Assets/ProviderA/Blueprints.pak"));
        QVERIFY(QFile::exists(game_ + "/Assets/ProviderA/RouteB/Other.pak"));
        QVERIFY(QFile::exists(game_ + "/RailSim.exe"));
    }

    void readOnlyArchiveIsReportedAndTheWindowCarriesOn() {
        storeFolder(game_);
        ::chmod((game_ + "/Assets/ProviderA/RouteB/Blueprints.pak").toUtf8().constData(), 0444);
        RecordingHost host;
        MainWindow window(host);
        host.window = &window;
        window.load();
        window.butDeletePaks->click();
        QCOMPARE(host.shown.size(), 1u);
        QCOMPARE(host.shown[0].icon, MessageIcon::Critical);
        QVERIFY(QString::fromStdString(host.shown[0].text).contains(game_ + "/Assets/ProviderA/RouteB/Blueprints.pak"));
        QVERIFY(QString::fromStdString(host.shown[0].text).contains("read-only"));
        QVERIFY(window.butDeletePaks->isEnabled());
        QVERIFY(window.Text2->toPlainText().endsWith("Assets/ProviderA/RouteB/Blueprints.pak\n"));
        QVERIFY(QFile::exists(game_ + "/Assets/ProviderA/RouteB/Blueprints.pak"));
        window.butRefreshList->click();  // still answers
        QCOMPARE(window.Text2->toPlainText().split('\n', Qt::SkipEmptyParts).size(), 2);
    }

    void locatingTheGameStoresItsFolderAndLists() {
        RecordingHost host;
        // Where the host says the game may be, and two libraries, one below a hidden folder.
        const QString libraryA = home_.filePath(".store/library/common");
        const QString libraryB = home_.filePath("second drive/library/common");
        QDir().mkpath(libraryA);
        QDir().mkpath(libraryB);
        host.locateStart = quelmar::LocateStart{
            libraryA.toStdString(), {{libraryA.toStdString(), "LibraryA"}, {libraryB.toStdString(), "LibraryB"}}};
        MainWindow window(host);
        window.load();
        host.shown.clear();
        window.showCentred();
        bool checked = false;
        QList<QUrl> sidebar;
        QStringList shownNames;
        whenModal<QFileDialog>([&](QFileDialog* dialog) {
            sidebar = dialog->sidebarUrls();
            // Shown as the search named them, not as "common" twice, even
            // once the dialog has read the folders again.
            QTest::qWait(50);
            if (auto* view = dialog->findChild<QAbstractItemView*>("sidebar"))
                for (int row = 0; row < view->model()->rowCount(); ++row)
                    shownNames << view->model()->index(row, 0).data().toString();
            checked = dialog->windowTitle() == "Locate Rail Simulator Game File (RailSim.exe)" &&
                      dialog->nameFilters() == QStringList{"Executable files (*.exe)"} &&
                      dialog->acceptMode() == QFileDialog::AcceptOpen &&
                      dialog->directory().absolutePath() == libraryA;
            // selectFile leaves the name box as it is while that has the
            // keyboard focus, which depends on whether the dialog is active
            // yet; accept() would then open the folder instead of closing.
            if (QWidget* box = dialog->focusWidget()) box->clearFocus();
            dialog->selectFile(game_ + "/RailSim.exe");
            static_cast<QDialog*>(dialog)->accept();
        });
        window.mnuLocateGameEXE->click();
        QVERIFY2(checked, "title, filter or initial folder of the dialog");
        // The libraries come after the dialog's own places, which stay.
        QVERIFY(sidebar.contains(QUrl::fromLocalFile(QDir::homePath())));
        QCOMPARE(sidebar.mid(sidebar.size() - 2),
                 (QList<QUrl>{QUrl::fromLocalFile(libraryA), QUrl::fromLocalFile(libraryB)}));
        QCOMPARE(shownNames.mid(shownNames.size() - 2), (QStringList{"LibraryA", "LibraryB"}));
        QVERIFY(settingsText().contains("[Preferences]"));
        QVERIFY(settingsText().contains("GameFolder=" + game_) || settingsText().contains("GameFolder=\"" + game_));
        QCOMPARE(window.Text1->text(), game_);
        QCOMPARE(window.Text2->toPlainText().split('\n', Qt::SkipEmptyParts).size(), 3);
        QVERIFY(window.butDeletePaks->isEnabled());
        QVERIFY(window.butRefreshList->isEnabled());
        QVERIFY(host.shown.empty());

        // Opens in the stored folder next time; cancelling changes nothing.
        QString opened;
        whenModal<QFileDialog>([&](QFileDialog* dialog) {
            opened = dialog->directory().absolutePath();
            sidebar = dialog->sidebarUrls();
            dialog->reject();
        });
        window.mnuLocateGameEXE->click();
        QCOMPARE(opened, game_);
        QCOMPARE(sidebar.count(QUrl::fromLocalFile(libraryB)), 1);
        QCOMPARE(window.Text1->text(), game_);
        QVERIFY(window.butDeletePaks->isEnabled());
    }

    // A second start while the locate dialog is up: the dialog comes back
    // and takes the keyboard, and the window it disables is never made the
    // active one, which would stack it above the dialog.
    void aSecondStartBringsTheLocateDialogForward() {
        storeFolder(game_);
        RecordingHost host;
        MainWindow window(host);
        window.load();
        window.showCentred();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        struct ActivationLog : QObject {
            int activated = 0;
            bool eventFilter(QObject*, QEvent* event) override {
                activated += event->type() == QEvent::WindowActivate;
                return false;
            }
        } log;
        bool elsewhere = false, forward = false;
        whenModal<QFileDialog>([&](QFileDialog* dialog) {
            // Another window has the keyboard; one the dialog owns, as the
            // dialog blocks all others here.
            QWidget other(dialog, Qt::Window);
            other.show();
            if (QTest::qWaitForWindowActive(dialog) && (other.activateWindow(), QTest::qWaitForWindowActive(&other))) {
                elsewhere = true;
                window.showMinimized();  // the dialog goes with it, as a window manager does
                dialog->showMinimized();
                window.installEventFilter(&log);
                window.bringForward();
                forward = QTest::qWaitForWindowActive(dialog) && !dialog->isMinimized() && !window.isMinimized();
            }
            dialog->reject();
        });
        window.mnuLocateGameEXE->click();
        QVERIFY(elsewhere);
        QVERIFY2(forward, "the dialog is back, unminimised and active, over the window");
        QCOMPARE(log.activated, 0);
    }

    // A name that is not UTF-8 has no text form: the dialog opens above it
    // and does not offer it, and a path a desktop dialog returns as a URL
    // comes back byte for byte.
    void namesThatAreNotUtf8() {
        const std::string latin1 = "/srv/Spiele/M\xe4rklin";
        QCOMPARE(quelmar::qt::shownName(latin1), std::nullopt);
        QCOMPARE(quelmar::qt::nearestShownFolder(latin1 + "/Sub"), QString("/srv/Spiele"));
        QCOMPARE(quelmar::qt::localPathOf(QUrl::fromEncoded("file:///srv/Spiele/M%E4rklin/RailSim.exe")),
                 latin1 + "/RailSim.exe");
        QCOMPARE(quelmar::qt::localPathOf(QUrl::fromLocalFile("/srv/Märklin 100%/RailSim.exe")),
                 std::string("/srv/Märklin 100%/RailSim.exe"));
    }

    void messageBoxesCarryTitleIconAndOneOkButton() {
        quelmar::linux_host::LinuxHost host(testInstanceName());
        QString title, text;
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        int buttons = 0;
        whenModal<QMessageBox>([&](QMessageBox* box) {
            title = box->windowTitle();
            text = box->text();
            icon = box->icon();
            buttons = box->buttons().size();
            box->button(QMessageBox::Ok)->click();
        });
        host.showMessage("Complete.\r\n\r\n3 .pak files deleted.", MessageIcon::Information, "Quelmar");
        QCOMPARE(title, QString("Quelmar"));
        QCOMPARE(text, QString("Complete.\n\n3 .pak files deleted."));
        QCOMPARE(icon, QMessageBox::Information);
        QCOMPARE(buttons, 1);
        whenModal<QMessageBox>([&](QMessageBox* box) {
            icon = box->icon();
            box->button(QMessageBox::Ok)->click();
        });
        host.showMessage("x", MessageIcon::Warning, "Quelmar");
        QCOMPARE(icon, QMessageBox::Warning);
    }
};

QTEST_MAIN(MainWindowTest)
#include "main_window_test.moc"
