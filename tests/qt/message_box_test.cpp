// The Linux host's message boxes on the offscreen platform.
#include <QAbstractButton>
#include <QLabel>
#include <QMessageBox>
#include <QScreen>
#include <QTimer>
#include <QtTest>

#include "platform/linux/linux_host.h"

using quelmar::MessageIcon;

namespace {

class MessageBoxTest : public QObject {
    Q_OBJECT

private slots:
    // A path thousands of bytes long, such as a deep mod folder, must wrap
    // inside a box that fits the screen, and read as the path it is.
    void aLongPathWrapsInsideABoxThatFitsTheScreen() {
        QString path = "/home/userA/games";
        while (path.size() < 3000) path += "/ProviderA-route-with-a-rather-long-name-" + QString::number(path.size());
        path += "/" + QString(200, 'r') + "/Blueprints.pak";
        const std::string text = "This file could not be deleted:\r\n\r\n" + path.toStdString() + "\r\n\r\nReason.";

        QRect box, room;
        QString shown;
        bool wraps = false;
        QTimer::singleShot(0, [&] {
            auto* open = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            QVERIFY(open);
            box = open->frameGeometry();
            room = open->screen()->availableGeometry();
            auto* label = open->findChild<QLabel*>("qt_msgbox_label");
            QVERIFY(label);
            wraps = label->wordWrap();
            shown = label->text();
            open->button(QMessageBox::Ok)->click();
        });
        quelmar::linux_host::LinuxHost().showMessage(text, MessageIcon::Critical, "Quelmar");

        QVERIFY2(room.contains(box), qPrintable(QString("box %1x%2 at %3,%4 on a screen of %5x%6")
                                                    .arg(box.width()).arg(box.height()).arg(box.x()).arg(box.y())
                                                    .arg(room.width()).arg(room.height())));
        QVERIFY(wraps);
        QCOMPARE(shown.remove(QChar(0x200B)), QString::fromStdString(text).replace("\r\n", "\n"));
    }
};

}  // namespace

QTEST_MAIN(MessageBoxTest)
#include "message_box_test.moc"
