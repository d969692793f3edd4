#include "ConsoleView.h"

#include "DataIn.h"
#include "DataOut.h"
#include "ViewErrors.h"

namespace kelvra {

void TConsoleView::SetErrorLog(TviewErrors* errors) {
    Errors = errors;
}

void TConsoleView::SetTrafficLogs(TdataIn* in, TdataOut* out) {
    In = in;
    Out = out;
}

bool TConsoleView::LogsTraffic() const {
    return In || Out;
}

void TConsoleView::LogPacket(const TDataPacket& packet, bool outgoing) {
    if (outgoing) {
        if (Out)
            Out->AddPacket(packet);
    } else if (In) {
        In->AddPacket(packet);
    }
}

void TConsoleView::ReportSocketError(int code, const QString& function) {
    if (Errors)
        Errors->AddSocketError(code, function);
}

void TConsoleView::ReportClientFailure(const QString& text) {
    if (Errors)
        Errors->AddClientFailure(text);
}

} // namespace kelvra
