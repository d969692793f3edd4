#include "LogWindow.h"

#include "ActiveButton.h"
#include "ConsoleIcons.h"
#include "LogModel.h"
#include "ReportList.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QTreeView>
#include <QVBoxLayout>
#include <algorithm>

namespace kelvra {

TLogWindow::TLogWindow(const QString& caption, const QIcon& icon, QWidget* parent)
    : TMdiChild(caption, icon, parent) {
    auto* body = new QWidget;
    auto* layout = new QVBoxLayout(body);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    auto* panel = new QFrame;
    panel->setFrameShape(QFrame::Panel);
    panel->setFrameShadow(QFrame::Raised);
    auto* panelLayout = new QHBoxLayout(panel);
    panelLayout->setContentsMargins(3, 2, 3, 2);
    ActiveButton1 = new TActiveButton(TButtonKind::Custom, panel);
    ActiveButton1->setObjectName(QStringLiteral("ActiveButton1"));
    ActiveButton1->SetImage(ConsoleIcons::Clear());
    ActiveButton1->SetHint(QStringLiteral("Clear"));
    connect(ActiveButton1, &QAbstractButton::clicked, this, &TLogWindow::ActiveButton1Click);
    panelLayout->addWidget(ActiveButton1);
    panelLayout->addStretch();
    layout->addWidget(panel);

    ListView1 = NewReportList();
    layout->addWidget(ListView1);

    setWidget(body);
    resize(460, 260);
}

void TLogWindow::Attach(TLogModel* model, std::initializer_list<int> widths, bool scrollToNewRows) {
    LogModel = model;
    ListView1->setModel(model);
    // The widths suit a small dialog font, in which the longest message name
    // takes about 90 pixels; wider fonts get wider columns.
    const double scale = std::max(
        1.0, ListView1->fontMetrics().horizontalAdvance(QStringLiteral("KMC_SERVERNICK")) / 90.0);
    int column = 0;
    for (int width : widths) {
        if (width > 0)
            ListView1->header()->resizeSection(column, static_cast<int>(width * scale));
        ++column;
    }
    if (scrollToNewRows)
        connect(model, &TLogModel::RowsAppended, ListView1, &QTreeView::scrollToBottom);
}

void TLogWindow::ActiveButton1Click() {
    LogModel->Clear();
}

} // namespace kelvra
