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

    /// Shows the splash centred over @p owner's rectangle.
    void ShowOver(const QWidget *owner);

Q_SIGNALS:
    void statusChanged(const QString &text);

private:
    void paintNow();

    QLabel *m_status = nullptr;
    QLabel *m_count = nullptr;
};
