#include "MdiChild.h"

#include <QCloseEvent>

namespace kelvra {

TMdiChild::TMdiChild(const QString& caption, const QIcon& icon, QWidget* parent)
    : QMdiSubWindow(parent) {
    setAttribute(Qt::WA_DeleteOnClose, false);
    setWindowTitle(caption);
    setWindowIcon(icon);
}

void TMdiChild::closeEvent(QCloseEvent* event) {
    event->ignore();
    showMinimized();
}

} // namespace kelvra
