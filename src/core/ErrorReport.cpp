#include "core/ErrorReport.h"

#include <QApplication>
#include <QDialog>
#include <QMessageBox>

#include <cstdio>

namespace {

bool g_endingWithoutBoxes = false;

void writeToStderr(const QString &text)
{
    const QByteArray bytes =
        (QApplication::applicationName() + QStringLiteral(": ") + text + QLatin1Char('\n'))
            .toLocal8Bit();
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stderr);
    std::fflush(stderr);
}

// Closes every modal dialog as soon as it shows, so that no nested loop waits on the player.
class BoxCloser final : public QObject
{
public:
    using QObject::QObject;

    static void closeNow(QDialog *dialog)
    {
        if (auto *box = qobject_cast<QMessageBox *>(dialog))
            writeToStderr(box->text());
        // Queued: the dialog is still being shown; its nested loop then ends at once.
        QMetaObject::invokeMethod(
            dialog,
            [dialog] {
                if (dialog->isVisible())
                    dialog->done(QDialog::Rejected);
            },
            Qt::QueuedConnection);
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Show) {
            auto *dialog = qobject_cast<QDialog *>(watched);
            if (dialog && dialog->isModal())
                closeNow(dialog);
        }
        return QObject::eventFilter(watched, event);
    }
};

} // namespace

QString ErrorReportText(const QString &message)
{
    if (!message.isEmpty() && message.back().unicode() > u'.')
        return message + QLatin1Char('.');
    return message;
}

void ShowGeneralErrorReport(QWidget *parent, const QString &message)
{
    writeToStderr(ErrorReportText(message));
    if (g_endingWithoutBoxes)
        return;
    QMessageBox box(QMessageBox::Critical, QApplication::applicationDisplayName(),
                    ErrorReportText(message), QMessageBox::Ok, parent);
    box.setObjectName(QStringLiteral("GeneralErrorReport"));
    box.exec();
}

void EndWithoutBoxes()
{
    if (g_endingWithoutBoxes)
        return;
    g_endingWithoutBoxes = true;
    qApp->installEventFilter(new BoxCloser(qApp));
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        auto *dialog = qobject_cast<QDialog *>(widget);
        if (dialog && dialog->isVisible() && dialog->isModal())
            BoxCloser::closeNow(dialog);
    }
}

bool EndingWithoutBoxes()
{
    return g_endingWithoutBoxes;
}
