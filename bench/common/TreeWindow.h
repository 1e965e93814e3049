#pragma once

// The option tree in its panel as the main window holds it (caption, the two buttons, the
// view), shown, for the benchmarks that time the tree with its view.

#include "options/OptionTreeController.h"

#include <QApplication>
#include <QLabel>
#include <QToolButton>
#include <QTreeView>
#include <QVBoxLayout>
#include <QWidget>

namespace benchpack {

class TreeWindow
{
public:
    TreeWindow()
        : m_label(new QLabel(QStringLiteral("Options"), &m_window)),
          m_expand(new QToolButton(&m_window)), m_collapse(new QToolButton(&m_window)),
          m_view(new QTreeView(&m_window)), m_controller(m_view, m_label, m_expand, m_collapse)
    {
        auto *layout = new QVBoxLayout(&m_window);
        layout->addWidget(m_label);
        layout->addWidget(m_expand);
        layout->addWidget(m_collapse);
        layout->addWidget(m_view, 1);
        m_window.resize(300, 600);
        m_window.show();
        QApplication::processEvents();
    }

    OptionTreeController &controller() { return m_controller; }
    QTreeView *view() const { return m_view; }

private:
    QWidget m_window;
    QLabel *m_label;
    QToolButton *m_expand;
    QToolButton *m_collapse;
    QTreeView *m_view;
    OptionTreeController m_controller;
};

} // namespace benchpack
