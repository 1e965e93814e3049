#include "app/SplashFrm.h"

#include "core/FormUtils.h"

#include <QApplication>
#include <QFrame>
#include <QLabel>
#include <QVBoxLayout>

TSplashForm::TSplashForm(QWidget *owner)
    : QWidget(owner, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint)
{
    setObjectName(QStringLiteral("SplashForm"));
    QFont f = font();
    SetVistaFormFont(f);
    setFont(f);
    setFixedSize(206, 76);

    auto *panel = new QFrame(this);
    panel->setObjectName(QStringLiteral("Panel1"));
    panel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    panel->setLineWidth(2);
    panel->setGeometry(0, 0, 206, 76);

    m_status = new QLabel(QStringLiteral("Loading Options..."), panel);
    m_status->setObjectName(QStringLiteral("Panel1Caption"));
    m_status->setAlignment(Qt::AlignCenter);
    m_status->setGeometry(4, 4, 198, 40);

    m_count = new QLabel(QStringLiteral("Label1"), panel);
    m_count->setObjectName(QStringLiteral("Label1"));
    m_count->setAlignment(Qt::AlignCenter);
    m_count->setGeometry(8, 48, 185, m_count->sizeHint().height());
}

void TSplashForm::paintNow()
{
    if (!isVisible())
        return;
    repaint();
    // Let the window system put the new text on the screen; input waits until start-up ends.
    QApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

void TSplashForm::SetStatus(const QString &text)
{
    m_status->setText(text);
    Q_EMIT statusChanged(text);
    paintNow();
}

void TSplashForm::SetCount(const QString &text)
{
    m_count->setText(text);
    paintNow();
}

QString TSplashForm::Status() const { return m_status->text(); }
QString TSplashForm::Count() const { return m_count->text(); }

void TSplashForm::ShowOver(const QWidget *owner)
{
    CentreOver(this, owner);
    show();
    raise();
}

void TSplashForm::SetStaysOnTop(bool onTop)
{
    if (StaysOnTop() == onTop)
        return;
    const bool shown = isVisible();
    // Changing a window's flags hides it; it comes back at the same place with the same texts.
    setWindowFlag(Qt::WindowStaysOnTopHint, onTop);
    if (shown) {
        show();
        if (onTop)
            raise();
        paintNow();
    }
}

bool TSplashForm::StaysOnTop() const
{
    return windowFlags().testFlag(Qt::WindowStaysOnTopHint);
}
