#pragma once
// The read-only report list of every console window: whole rows selected, no
// tree decoration, fixed columns, 16 × 16 images.
#include <QHeaderView>
#include <QTreeView>

namespace kelvra {

inline QTreeView* NewReportList() {
    auto* list = new QTreeView;
    list->setObjectName(QStringLiteral("ListView1"));
    list->setRootIsDecorated(false);
    list->setItemsExpandable(false);
    list->setUniformRowHeights(true); // cheap layout for many rows
    list->setEditTriggers(QAbstractItemView::NoEditTriggers);
    list->setSelectionBehavior(QAbstractItemView::SelectRows);
    list->setSortingEnabled(false);
    list->setIconSize(QSize(16, 16));
    list->header()->setSectionsClickable(false);
    list->header()->setSectionsMovable(false);
    return list;
}

} // namespace kelvra
