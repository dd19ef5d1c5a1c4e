#include "ui/qt/file_names.h"

#include <QByteArray>
#include <QFile>

namespace quelmar::qt {

std::optional<QString> shownName(const std::string& path) {
    const QByteArray bytes = QByteArray::fromStdString(path);
    const QString text = QFile::decodeName(bytes);
    if (QFile::encodeName(text) != bytes) return std::nullopt;
    return text;
}

QString nearestShownFolder(const std::string& path) {
    for (std::string folder = path; !folder.empty();) {
        if (const auto text = shownName(folder)) return *text;
        const auto cut = folder.find_last_of('/');
        if (cut == std::string::npos) break;
        folder = cut == 0 ? std::string("/") : folder.substr(0, cut);
    }
    return {};
}

std::string localPathOf(const QUrl& url) {
    const QByteArray bytes = QByteArray::fromPercentEncoding(url.path(QUrl::FullyEncoded).toLatin1());
    return bytes.toStdString();
}

}  // namespace quelmar::qt
