#include "ActiveButton.h"

#include "ConsoleIcons.h"

#include <QDialog>
#include <QHBoxLayout>

namespace kelvra {

TActiveButton::TActiveButton(TButtonKind kind, QWidget* parent) : QToolButton(parent) {
    setAutoRaise(true);
    setFocusPolicy(Qt::NoFocus);
    setMinimumSize(24, 24);
    // Connected first, so the result is set before any handler of the owner.
    connect(this, &QAbstractButton::clicked, this, &TActiveButton::ApplyResult);
    SetKind(kind);
}

void TActiveButton::SetKind(TButtonKind kind) {
    ButtonKind = kind;
    struct Preset {
        TButtonKind Kind;
        const char* Caption;
        int Result;
    };
    static constexpr Preset presets[] = {
        {TButtonKind::Ok, "OK", MrOk},
        {TButtonKind::Cancel, "Cancel", MrCancel},
        {TButtonKind::Yes, "Yes", MrYes},
        {TButtonKind::No, "No", MrNo},
        {TButtonKind::Help, "Help", MrNone},
        {TButtonKind::Close, "Close", MrCancel},
        {TButtonKind::Abort, "Abort", MrAbort},
        {TButtonKind::Retry, "Retry", MrRetry},
        {TButtonKind::Ignore, "Ignore", MrIgnore},
        {TButtonKind::All, "All", MrAll},
    };
    for (const Preset& p : presets) {
        if (p.Kind != kind)
            continue;
        setText(QString::fromLatin1(p.Caption));
        setIcon(ConsoleIcons::ForButtonKind(kind));
        Result = p.Result;
    }
    UpdateStyle();
}

void TActiveButton::Click() {
    emit clicked(false);
}

void TActiveButton::SetCaption(const QString& caption) {
    setText(caption);
    UpdateStyle();
}

void TActiveButton::SetImage(const QIcon& image) {
    setIcon(image);
    UpdateStyle();
}

void TActiveButton::SetHint(const QString& hint) {
    setToolTip(hint);
    setStatusTip(hint);
}

void TActiveButton::ApplyResult() {
    if (Result == MrNone)
        return;
    if (auto* dialog = qobject_cast<QDialog*>(window()))
        dialog->done(Result);
}

void TActiveButton::UpdateStyle() {
    if (text().isEmpty()) {
        setToolButtonStyle(Qt::ToolButtonIconOnly);
        setMinimumWidth(24);
        return;
    }
    setToolButtonStyle(icon().isNull() ? Qt::ToolButtonTextOnly : Qt::ToolButtonTextBesideIcon);
    setMinimumWidth(75);
}

TActiveButton* NamedButton(TButtonKind kind, const char* objectName) {
    auto* button = new TActiveButton(kind);
    button->setObjectName(QLatin1String(objectName));
    return button;
}

QHBoxLayout* ButtonRow(std::initializer_list<QWidget*> buttons) {
    auto* row = new QHBoxLayout;
    row->addStretch();
    for (QWidget* b : buttons)
        row->addWidget(b);
    return row;
}

} // namespace kelvra
