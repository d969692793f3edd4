#pragma once
// A log window: a panel across the top with the flat Clear button, and a
// read-only report list below it.
#include "MdiChild.h"

#include <initializer_list>

class QTreeView;

namespace kelvra {

class TActiveButton;
class TLogModel;

class TLogWindow : public TMdiChild {
    Q_OBJECT
public:
    TLogWindow(const QString& caption, const QIcon& icon, QWidget* parent = nullptr);

    TLogModel* Model() const { return LogModel; }
    // Clear: removes every row of this log.
    void ActiveButton1Click();

    TActiveButton* ActiveButton1 = nullptr;
    QTreeView* ListView1 = nullptr;

protected:
    // widths: one per column, 0 leaves the default.
    void Attach(TLogModel* model, std::initializer_list<int> widths, bool scrollToNewRows);

private:
    TLogModel* LogModel = nullptr;
};

} // namespace kelvra
