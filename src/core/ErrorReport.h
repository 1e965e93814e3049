#pragma once

#include "files/Error.h"

#include <QString>

#include <exception>

class QWidget;

/// The text of the general error report: the message, with a full stop added when its last
/// character has a higher character code than the full stop.
QString ErrorReportText(const QString &message);

/// The general error report: a critical message box titled with the application title. The
/// report is also written to the standard error stream (the run's log of a desktop session);
/// once EndWithoutBoxes() was called it is written there only, and no box holds the program.
void ShowGeneralErrorReport(QWidget *parent, const QString &message);

/// The program ends without waiting on the player (the session asked it to, by a signal): from
/// now on no modal box holds it. An error report goes to the standard error stream only, the
/// modal boxes and dialogs up now or opened later are closed as soon as they show (a message
/// box's text is written to the standard error stream first).
void EndWithoutBoxes();
bool EndingWithoutBoxes();

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
