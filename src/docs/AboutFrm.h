#pragma once

#include <QDialog>

class DocumentPane;
class QLabel;

/// The About window: the About document in a small copy of the document pane, and the version.
class TAboutForm final : public QDialog
{
    Q_OBJECT

public:
    explicit TAboutForm(QWidget *owner);

    DocumentPane *Pane() const { return m_pane; }
    void DisplayAboutFName();

protected:
    void showEvent(QShowEvent *event) override;

private:
    DocumentPane *m_pane = nullptr;
    QLabel *m_label = nullptr;
    QWidget *m_owner = nullptr;
};
