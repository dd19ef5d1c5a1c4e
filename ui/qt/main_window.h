#pragma once
// The main window in Qt Widgets: creates the controls from the layout table,
// forwards clicks to Form1 and performs the window operations.

#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QWidget>

#include <utility>
#include <vector>

#include "core/host.h"
#include "core/window.h"
#include "ui/form1.h"

namespace quelmar::qt {

class MainWindow : public QWidget, public WindowOps {
public:
    explicit MainWindow(Host& host);

    // Start-up; the window must be shown only when this says so.
    Form1::Start load();
    void showCentred();
    // A second copy of the program was started: the player wants this one.
    // Restores, raises and activates the window, or the message box or
    // dialog that stands over it.
    void bringForward();

    void setCaption(const std::string& caption) override;
    void setText1(const std::string& text) override;
    void setText2(const std::string& text) override;
    void showWindow() override;
    void setBusy(bool busy) override;
    void showBusy() override;
    bool keepAlive() override;
    void closeWindow() override;
    void setDeleteEnabled(bool enabled) override { enableButton(butDeletePaks, enabled); }
    void setRefreshEnabled(bool enabled) override { enableButton(butRefreshList, enabled); }
    std::optional<std::string> showOpenDialog(const OpenDialogRequest& request) override;

    // The controls, by the names the rest of the program uses.
    QPushButton* butRefreshList;
    QPlainTextEdit* Text2;
    QPushButton* butDeletePaks;
    QLineEdit* Text1;
    QPushButton* mnuLocateGameEXE;
    QLabel* Label3;
    QLabel* Label2;
    QLabel* Label1;

protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void enableButton(QPushButton* button, bool enabled);
    void moveFocusOnFrom(QWidget* from);

    Form1 form_;
    std::string text2_;  // exactly as set, CR LF and all
    bool busy_ = false;      // input is dropped
    bool busyShown_ = false;  // and the buttons are drawn disabled
    std::vector<std::pair<QPushButton*, bool>> enabledWhenIdle_;
    QPointer<QWidget> focusBeforeBusy_;
};

}  // namespace quelmar::qt
