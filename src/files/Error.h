#pragma once

#include <QString>

#include <stdexcept>

/// The program's one error type. Operations that fail in a way the user must hear about throw
/// it; the event handler that started the operation catches it and shows it through the general
/// error report (app/ErrorReport.h). No AppError crosses Qt's event loop.
class AppError : public std::runtime_error
{
public:
    explicit AppError(const QString &message)
        : std::runtime_error(message.toStdString()), m_message(message)
    {
    }

    const QString &message() const noexcept { return m_message; }

private:
    QString m_message;
};

/// Raised when the user answers Cancel to a question an operation asks before it changes
/// anything: the operation stops where it is, and there is nothing to report.
class UserCancelled final : public AppError
{
public:
    UserCancelled() : AppError(QString()) {}
};

/// "Unable to write to %s": raised by the INI layer when a write may not happen.
inline AppError iniWriteError(const QString &path)
{
    return AppError(QStringLiteral("Unable to write to %1").arg(path));
}
