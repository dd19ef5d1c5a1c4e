#pragma once
// Between the program's file names, which are bytes as the system keeps
// them, and Qt's, which are text: a name that is not UTF-8 (a Latin-1 name
// from old media, say) has no text form that leads back to it.

#include <QString>
#include <QUrl>

#include <optional>
#include <string>

namespace quelmar::qt {

// The path as Qt shows it, when that text leads back to these very bytes.
std::optional<QString> shownName(const std::string& path);

// The nearest folder at or above `path` that Qt can show: where a dialog
// can open when `path` itself has no text form. Empty when none has.
QString nearestShownFolder(const std::string& path);

// The bytes of a local file URL, as a dialog of the desktop returns it: the
// URL keeps a name that is not UTF-8 percent-encoded, byte for byte, where
// its text form would put replacement characters.
std::string localPathOf(const QUrl& url);

}  // namespace quelmar::qt
