#pragma once
// Base of the console's child windows: created once, never destroyed while the
// server runs; closing one only minimises it inside the frame.
#include <QMdiSubWindow>

namespace kelvra {

class TMdiChild : public QMdiSubWindow {
    Q_OBJECT
public:
    TMdiChild(const QString& caption, const QIcon& icon, QWidget* parent = nullptr);

protected:
    void closeEvent(QCloseEvent* event) override;
};

} // namespace kelvra
