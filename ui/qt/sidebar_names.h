#pragma once
// Names for the places the program adds to Qt's file dialog. Its sidebar
// shows a folder's own name, so two store libraries would both read
// "common"; the names the search gave tell them apart.

#include <QFileDialog>
#include <QHash>
#include <QString>
#include <QUrl>

namespace quelmar::qt {

// Shows each sidebar place whose URL is in `names` under that name, and
// keeps it so while the dialog refreshes the place from the disk. Places of
// the dialog's own are left as they are.
void nameSidebarPlaces(QFileDialog& dialog, const QHash<QUrl, QString>& names);

}  // namespace quelmar::qt
