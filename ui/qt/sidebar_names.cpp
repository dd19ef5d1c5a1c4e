#include "ui/qt/sidebar_names.h"

#include <QAbstractItemModel>
#include <QAbstractItemView>

namespace quelmar::qt {

namespace {

// Where Qt's sidebar keeps a place's URL, beside the name it shows.
constexpr int kUrlRole = Qt::UserRole + 1;

void applyNames(QAbstractItemModel& model, const QHash<QUrl, QString>& names) {
    for (int row = 0; row < model.rowCount(); ++row) {
        const QModelIndex index = model.index(row, 0);
        const auto name = names.constFind(index.data(kUrlRole).toUrl());
        // Only a name that differs is set, which also ends the round of
        // change signals that setting it starts.
        if (name != names.constEnd() && index.data(Qt::DisplayRole).toString() != *name)
            model.setData(index, *name, Qt::DisplayRole);
    }
}

}  // namespace

void nameSidebarPlaces(QFileDialog& dialog, const QHash<QUrl, QString>& names) {
    // The sidebar exists only in Qt's own dialog, not in a desktop's; there
    // is nothing to name in one of those.
    auto* sidebar = dialog.findChild<QAbstractItemView*>(QStringLiteral("sidebar"));
    QAbstractItemModel* model = sidebar ? sidebar->model() : nullptr;
    if (model == nullptr || names.isEmpty()) return;
    applyNames(*model, names);
    // Qt sets a place's name anew from the folder whenever it reads that
    // folder again, and when places are added.
    const auto reapply = [model, names] { applyNames(*model, names); };
    QObject::connect(model, &QAbstractItemModel::dataChanged, &dialog, reapply);
    QObject::connect(model, &QAbstractItemModel::rowsInserted, &dialog, reapply);
}

}  // namespace quelmar::qt
