// Placeholder: the full document pane replaces this file.
#include "docs/DocumentPane.h"

#include <QStackedLayout>
#include <QTextBrowser>
#include <QVBoxLayout>

DocumentPane::DocumentPane(QWidget *parent) : QWidget(parent)
{
    auto *layout = new QVBoxLayout(this);
    m_stack = new QStackedLayout;
    m_richEdit = new QTextBrowser(this);
    m_richEdit->setObjectName(QStringLiteral("RichEdit1"));
    m_stack->addWidget(m_richEdit);
    layout->addLayout(m_stack);
}

DocumentPane::~DocumentPane() = default;

void DocumentPane::DisplayFName(const QString &, const QString &, const QString &, const QString &) {}
void DocumentPane::DisplayTxtFName(const QString &) {}
void DocumentPane::DisplayHtmlFName(const QString &) {}
void DocumentPane::DisplayHttpFName(const QString &) {}
void DocumentPane::FocusDocument(bool) { m_richEdit->setFocus(); }
QWebEngineView *DocumentPane::ensureBrowser() { return nullptr; }
