#pragma once

#include <QWidget>

class QLabel;

/// The start-up splash: a borderless window kept on top that shows the start-up status line in
/// Panel1 and a running count in Label1.
class TSplashForm final : public QWidget
{
    Q_OBJECT

public:
    explicit TSplashForm(QWidget *owner);

    /// Sets Panel1's caption and repaints at once.
    void SetStatus(const QString &text);
    /// Sets Label1's text and repaints at once.
    void SetCount(const QString &text);
    QString Status() const;
    QString Count() const;

    /// Shows the splash centred over @p owner's rectangle, on top of the other windows.
    void ShowOver(const QWidget *owner);

    /// Whether the splash is kept on top of the other windows. A modal window opened during
    /// start-up must come above it: the splash stays where it is, with its texts, but below.
    void SetStaysOnTop(bool onTop);
    bool StaysOnTop() const;

Q_SIGNALS:
    void statusChanged(const QString &text);

private:
    void paintNow();

    QLabel *m_status = nullptr;
    QLabel *m_count = nullptr;
};
