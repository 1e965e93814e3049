#pragma once

#include "platform/Error.h"

#include <QString>

#include <exception>

class QWidget;

/// The text of the general error report: the message, with a full stop added when its last
/// character has a higher character code than the full stop.
QString ErrorReportText(const QString &message);

/// The general error report: a critical message box titled with the application title.
void ShowGeneralErrorReport(QWidget *parent, const QString &message);

/// Runs an event handler's body and shows any error it raises in the general error report, so
/// that no exception crosses Qt's event loop. Returns false when the body failed; a body the
/// user cancelled (UserCancelled) also returns false, with no report.
template <typename F>
bool Guarded(QWidget *parent, F &&body)
{
    try {
        body();
        return true;
    } catch (const UserCancelled &) {
        return false;
    } catch (const AppError &e) {
        ShowGeneralErrorReport(parent, e.message());
    } catch (const std::exception &e) {
        ShowGeneralErrorReport(parent, QString::fromLocal8Bit(e.what()));
    }
    return false;
}
