#include "main_window.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFile>
#include <QFileDialog>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QScreen>
#include <QTextCursor>
#include <QUrl>
#include <QStringList>
#include <algorithm>
#include <vector>

#include "core/texts.h"
#include "ui/qt/file_names.h"
#include "ui/qt/sidebar_names.h"
#include "ui/layout.h"

// The icons are compiled into this library; a static library needs telling.
static void initResources() { Q_INIT_RESOURCE(quelmar); }

namespace quelmar::qt {

namespace {

// What stands in for the fonts of the game's own system: Liberation Sans is
// metric-compatible with Arial, and a 9 px sans face replaces Small Fonts.
QFont fontFor(layout::Font font) {
    QFont f;
    f.setFamilies({"Arial", "Liberation Sans", "DejaVu Sans"});
    f.setStyleHint(QFont::SansSerif);
    switch (font) {
        case layout::Font::Default: f.setPixelSize(11); break;
        case layout::Font::Bold:
            f.setPixelSize(layout::kBoldPixelHeight);
            f.setBold(true);
            break;
        case layout::Font::Small: f.setPixelSize(layout::kSmallPixelHeight); break;
    }
    return f;
}

// A command button that Enter presses as well as Space, as on Windows.
// QPushButton answers Enter only as a dialog's default button, and this
// window has none: Enter must never press a button that lacks the focus.
class CommandButton : public QPushButton {
public:
    using QPushButton::QPushButton;

protected:
    void keyPressEvent(QKeyEvent* event) override {
        const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
        const auto modifiers = event->modifiers() & ~Qt::KeypadModifier;
        if (enter && modifiers == Qt::NoModifier) {
            // Held down, Enter presses once, as Space does.
            if (!event->isAutoRepeat()) click();
            event->accept();
            return;
        }
        QPushButton::keyPressEvent(event);
    }
};

// "Description|pattern|..." as Qt's "Description (pattern);;..." filter list.
QString qtFilter(const std::string& filter) {
    const QStringList parts = QString::fromStdString(filter).split('|');
    QStringList entries;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        const QString pattern = parts[i + 1].split(';').join(' ');
        entries << (parts[i].contains("(" + pattern + ")") ? parts[i] : parts[i] + " (" + pattern + ")");
    }
    return entries.join(";;");
}

}  // namespace

MainWindow::MainWindow(Host& host) : QWidget(nullptr), form_(host, *this) {
    initResources();
    using layout::control;
    auto place = [this](QWidget* widget, const layout::Control& c) {
        widget->setObjectName(QString::fromLatin1(c.name.data(), static_cast<qsizetype>(c.name.size())));
        widget->setGeometry(layout::toPixels(c.left), layout::toPixels(c.top), layout::toPixels(c.width),
                            layout::toPixels(c.height));
        widget->setFont(fontFor(c.font));
        return widget;
    };
    auto caption = [](const layout::Control& c) {
        return QString::fromLatin1(c.caption.data(), static_cast<qsizetype>(c.caption.size()));
    };
    auto button = [&](std::string_view name) {
        auto* b = new CommandButton(caption(control(name)), this);
        b->setAutoDefault(false);
        b->setDefault(false);
        b->setFocusPolicy(Qt::StrongFocus);
        place(b, control(name));
        return b;
    };
    auto label = [&](std::string_view name) {
        const layout::Control& c = control(name);
        auto* l = new QLabel(caption(c), this);
        l->setAlignment((c.align == layout::Align::Centre ? Qt::AlignHCenter : Qt::AlignLeft) | Qt::AlignTop);
        l->setAutoFillBackground(true);
        place(l, c);
        return l;
    };

    // Created in the order the window holds them.
    butRefreshList = button("butRefreshList");
    Text2 = new QPlainTextEdit(caption(control("Text2")), this);
    Text2->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Text2->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    Text2->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    // The list is the player's to read before deleting: read-only, in the
    // theme's own text colours, reached by Tab, scrolled by keyboard, and
    // its lines selected and copied. Only the program writes to it.
    Text2->setReadOnly(true);
    Text2->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    Text2->setFocusPolicy(Qt::StrongFocus);
    Text2->setTabChangesFocus(true);
    Text2->setUndoRedoEnabled(false);
    Text2->setAccessibleName(QString::fromUtf8(texts::kListName));
    place(Text2, control("Text2"));
    butDeletePaks = button("butDeletePaks");
    Text1 = new QLineEdit(caption(control("Text1")), this);
    Text1->setEnabled(false);
    place(Text1, control("Text1"));
    mnuLocateGameEXE = button("mnuLocateGameEXE");
    Label3 = label("Label3");
    Label2 = label("Label2");
    Label1 = label("Label1");

    // The labels are opaque and reach a pixel into Text1 and "...": stacked
    // under every other control, they leave those borders whole.
    for (QLabel* l : {Label3, Label2, Label1}) l->lower();

    // Text1 is known by the label above it, for screen readers, and "..." by
    // the label over it: its own caption says nothing when read out.
    Text1->setAccessibleName(caption(control(layout::labelFor("Text1"))));
    mnuLocateGameEXE->setAccessibleName(Label2->text());

    // Tab order as the layout has it. Only controls that Tab can reach are
    // chained: Qt links a widget that takes no focus in a way that lets Tab
    // skip its neighbour.
    std::vector<std::pair<int, QWidget*>> byTab;
    for (QWidget* w : std::initializer_list<QWidget*>{butRefreshList, Text2, butDeletePaks, Text1, mnuLocateGameEXE,
                                                      Label3, Label2, Label1})
        if (w->focusPolicy() & Qt::TabFocus) byTab.emplace_back(layout::tabPosition(control(w->objectName().toStdString())), w);
    std::sort(byTab.begin(), byTab.end());
    for (std::size_t i = 1; i < byTab.size(); ++i) QWidget::setTabOrder(byTab[i - 1].second, byTab[i].second);

    connect(mnuLocateGameEXE, &QPushButton::clicked, this, [this] { form_.mnuLocateGameEXE_Click(); });
    connect(butRefreshList, &QPushButton::clicked, this, [this] { form_.butRefreshList_Click(); });
    connect(butDeletePaks, &QPushButton::clicked, this, [this] { form_.butDeletePaks_Click(); });

    setWindowTitle(texts::kInitialCaption);
    setWindowIcon(QIcon(":/quelmar/icon-32.png"));
    setWindowFlags(Qt::Window | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    setFixedSize(layout::toPixels(layout::kClientWidth), layout::toPixels(layout::kClientHeight));
    text2_ = Text2->toPlainText().toStdString();
    mnuLocateGameEXE->setFocus();
}

void MainWindow::showCentred() {
    // The frame is known only once the window is on screen: centre the client
    // area first, so the window appears about right, then centre the frame.
    const QScreen* screen = QGuiApplication::primaryScreen();
    const QRect available = screen ? screen->availableGeometry() : QRect();
    if (screen) move(available.center() - rect().center());
    show();
    if (screen) {
        QRect frame = frameGeometry();
        frame.moveCenter(available.center());
        move(frame.topLeft());
    }
    mnuLocateGameEXE->setFocus();
}

Form1::Start MainWindow::load() { return form_.Form_Load(); }

void MainWindow::showWindow() {
    if (!isVisible() && !form_.state().closeRequested) showCentred();
}

void MainWindow::bringForward() {
    // A message box or the locate dialog stands over the window and holds
    // the keyboard: that is what the player has to see and answer, not the
    // window it disables, which a window manager may stack above it once
    // raised or activated. The desktop's own file dialog is no widget on
    // screen: the window is activated instead, and the window manager hands
    // that on to the dialog that stands over it.
    QWidget* modal = QApplication::activeModalWidget();
    if (modal == this || (modal != nullptr && modal->testAttribute(Qt::WA_DontShowOnScreen))) modal = nullptr;
    // A dialog over the window was minimised with it. Before start-up has
    // shown the window, a message box may be all there is.
    if (isMinimized()) showNormal();
    if (modal == nullptr && isVisible()) {
        raise();
        activateWindow();
        return;
    }
    if (modal == nullptr) return;
    if (modal->isMinimized()) modal->showNormal();
    modal->raise();
    modal->activateWindow();
}

// While a command's walk or look-up runs on its worker, this thread waits
// for it and keeps the window alive by handling its pending events now and
// then; messages and every change to the controls stay on this thread. User
// input meanwhile is dropped on arrival rather than left to run after it.
void MainWindow::setBusy(bool busy) {
    if (busy == busy_) return;
    busy_ = busy;
    if (busy) {
        qApp->installEventFilter(this);
        return;
    }
    qApp->removeEventFilter(this);
    if (!busyShown_) return;
    busyShown_ = false;
    QGuiApplication::restoreOverrideCursor();
    // Each button as the commands have left it, and the keyboard where it
    // was, or on by the layout's rule if its button is off now.
    QWidget* const focus = focusBeforeBusy_;
    for (const auto& [button, enabled] : enabledWhenIdle_) button->setEnabled(enabled);
    enabledWhenIdle_.clear();
    if (focus == nullptr) return;
    if (focus->isEnabled()) focus->setFocus(Qt::OtherFocusReason);
    else moveFocusOnFrom(focus);
}

void MainWindow::showBusy() {
    if (!busy_ || busyShown_) return;
    QGuiApplication::setOverrideCursor(Qt::WaitCursor);
    focusBeforeBusy_ = focusWidget();
    for (QPushButton* button : {mnuLocateGameEXE, butDeletePaks, butRefreshList})
        enabledWhenIdle_.emplace_back(button, button->isEnabled());
    for (QPushButton* button : {mnuLocateGameEXE, butDeletePaks, butRefreshList}) button->setEnabled(false);
    busyShown_ = true;
}

bool MainWindow::keepAlive() {
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    return true;
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
    switch (event->type()) {
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonRelease:
        case QEvent::MouseButtonDblClick:
        case QEvent::KeyPress:
        case QEvent::KeyRelease:
        case QEvent::ShortcutOverride:
        case QEvent::Shortcut:
        case QEvent::TouchBegin:
        case QEvent::TouchUpdate:
        case QEvent::TouchEnd:
        case QEvent::TouchCancel:
        case QEvent::InputMethod:
        case QEvent::ContextMenu:
            return busy_;
        default:
            return QWidget::eventFilter(watched, event);
    }
}

void MainWindow::closeEvent(QCloseEvent* event) {
    // During a command the walk stops at its next folder or archive; the
    // window closes once the command has let go.
    if (!form_.requestClose()) {
        event->ignore();
        return;
    }
    QWidget::closeEvent(event);
}

void MainWindow::closeWindow() { close(); }

void MainWindow::enableButton(QPushButton* button, bool enabled) {
    if (busyShown_) {  // drawn disabled for now: it gets this state when the walk ends
        for (auto& [b, wanted] : enabledWhenIdle_)
            if (b == button) wanted = enabled;
        return;
    }
    if (!enabled && focusWidget() == button) moveFocusOnFrom(button);
    button->setEnabled(enabled);
}

void MainWindow::moveFocusOnFrom(QWidget* from) {
    // The focus moves on by the rule in the layout, which the Windows window
    // follows too, rather than by Qt's own hand-over. focusWidget() is the
    // window's focus even while a message box has the keyboard.
    const std::string_view next = layout::nextFocus(from->objectName().toStdString(), [&](std::string_view n) {
        auto* w = findChild<QWidget*>(QString::fromLatin1(n.data(), static_cast<qsizetype>(n.size())));
        return w != nullptr && w->isEnabled();
    });
    if (!next.empty())
        findChild<QWidget*>(QString::fromLatin1(next.data(), static_cast<qsizetype>(next.size())))
            ->setFocus(Qt::OtherFocusReason);
}

void MainWindow::setCaption(const std::string& caption) { setWindowTitle(QString::fromStdString(caption)); }

void MainWindow::setText1(const std::string& text) {
    Text1->setText(QString::fromStdString(text));
    Text1->setCursorPosition(0);
}

void MainWindow::setText2(const std::string& text) {
    // While a walk runs the list only grows: the new lines are added at the
    // end, so the player can scroll it meanwhile without being thrown back
    // to the top, and the box is not laid out anew a few times a second.
    const bool grows = !text2_.empty() && text2_.back() == '\n' && text.size() > text2_.size() &&
                       text.compare(0, text2_.size(), text2_) == 0;
    QString shown = QString::fromStdString(grows ? text.substr(text2_.size()) : text);
    shown.replace("\r\n", "\n");
    text2_ = text;
    if (grows) {
        QTextCursor end(Text2->document());
        end.movePosition(QTextCursor::End);
        end.insertText(shown);
    } else {
        Text2->setPlainText(shown);
    }
}

std::optional<std::string> MainWindow::showOpenDialog(const OpenDialogRequest& request) {
    // Qt cannot open in, or offer, a folder whose name has no text form;
    // the nearest one above it that has, and then only places that have.
    QFileDialog dialog(isVisible() ? this : nullptr, QString::fromStdString(request.title),
                       nearestShownFolder(request.initialFolder), qtFilter(request.filter));
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    // The places found (game libraries, often below a hidden folder or on
    // another drive) must be one click away; the desktop's own dialog
    // cannot be given them, Qt's can.
    if (!request.places.empty()) dialog.setOption(QFileDialog::DontUseNativeDialog);
    const QList<QUrl> ownPlaces = dialog.sidebarUrls();
    if (!request.places.empty()) {
        QList<QUrl> places = ownPlaces;
        QHash<QUrl, QString> names;
        for (const Place& place : request.places) {
            const auto shown = shownName(place.path);
            if (!shown) continue;
            const QUrl url = QUrl::fromLocalFile(*shown);
            if (places.contains(url)) continue;  // one of the dialog's own keeps its own name
            places << url;
            names.insert(url, QString::fromStdString(place.name));
        }
        dialog.setSidebarUrls(places);
        nameSidebarPlaces(dialog, names);
    }
    dialog.selectFile(QString::fromStdString(request.fileName));
    const bool accepted = dialog.exec() == QDialog::Accepted && !dialog.selectedUrls().isEmpty();
    // Qt keeps the sidebar in its own settings when the dialog goes; a
    // library found today is offered only while it is still found.
    if (!request.places.empty()) dialog.setSidebarUrls(ownPlaces);
    if (!accepted) return std::nullopt;
    // The URL, not the file's text: it keeps the name's bytes.
    return localPathOf(dialog.selectedUrls().constFirst());
}

}  // namespace quelmar::qt
