#pragma once

#include <QObject>
#include <QString>

/// The one line of text the main window shows about the last thing that happened (a tick, a
/// theme, a restore, a failed script, a rebuild, the filter). Any part of the program may
/// Show() a message; it stays until the next one. Holds no widget: the window shows Text()
/// and follows Changed.
class StatusLine final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(StatusLine)

public:
    explicit StatusLine(QObject *parent = nullptr) : QObject(parent) {}

    /// Replaces the message. Line breaks become spaces: the line is one line.
    void Show(const QString &message);
    QString Text() const { return m_text; }
    /// Counts the messages shown so far, so that a caller can tell whether something else
    /// was said while it worked.
    quint64 Serial() const { return m_serial; }

Q_SIGNALS:
    void Changed(const QString &text);

private:
    QString m_text;
    quint64 m_serial = 0;
};

/// The program's status line.
StatusLine &TheStatusLine();
