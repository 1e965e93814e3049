// Placeholder: the scan, the model and the icons replace this file.
#include "options/OptionTreeController.h"

#include "app/Common.h"

#include <QLabel>
#include <QModelIndex>
#include <QToolButton>
#include <QTreeView>

OptionTreeController::OptionTreeController(QTreeView *treeView, QLabel *label,
                                           QToolButton *expandButton,
                                           QToolButton *collapseButton, QObject *parent)
    : QObject(parent), m_view(treeView), m_label(label), m_expand(expandButton),
      m_collapse(collapseButton)
{
}

OptionTreeController::~OptionTreeController() = default;

void OptionTreeController::UpdateTreeView(const std::function<void(int)> &) {}
OptionNode *OptionTreeController::SelectedNode() const { return nullptr; }
OptionNode *OptionTreeController::NodeAt(const QModelIndex &) const { return nullptr; }
QModelIndex OptionTreeController::IndexOf(const OptionNode *) const { return {}; }
QString OptionTreeController::GetNodeDir(const OptionNode *node) const
{
    return ::GetNodeDir(node, ProgramSettings.optionsRoot());
}
void OptionTreeController::sbtnExpandClick() {}
void OptionTreeController::sbtnCollapseClick() {}
void OptionTreeController::TreeView1Expanding(OptionNode *) {}
void OptionTreeController::TreeView1Collapsing(OptionNode *) {}
