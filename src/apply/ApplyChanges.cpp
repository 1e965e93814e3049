#include "apply/ApplyChanges.h"

#include "apply/ApplyFrm.h"
#include "core/Common.h"
#include "core/StatusLine.h"
#include "history/InstallHistory.h"
#include "options/OptionIni.h"
#include "options/OptionNode.h"
#include "options/OptionTreeController.h"
#include "options/SelectionRules.h"
#include "files/Paths.h"
#include "launch/ScriptLauncher.h"
#include "files/ScriptPlace.h"

#include <QFileInfo>

#include <optional>

namespace {

// A script name from the descriptor, as the file it names in the option folder; empty when
// there is no such file (an empty name or a sub-folder of that name start nothing) and when
// the name leads out of the option's own folder, which starts nothing either.
QString ScriptPath(const QString &folder, const QString &name, QStringList *outside = nullptr)
{
    QString file;
    switch (platform::locateScript(folder, folder, name, &file)) {
    case platform::ScriptPlace::Inside:
        return file;
    case platform::ScriptPlace::Outside:
        if (outside)
            outside->append(name);
        break;
    case platform::ScriptPlace::Missing:
        break;
    }
    return QString();
}

} // namespace

int ApplyChanges(OptionTreeController &controller, OptionNode *node, TApplyForm *applyForm,
                 QStringList *started)
{
    return ApplyChanges(controller.Tree(), node, ProgramSettings.optionsRoot(), applyForm,
                        started);
}

int ApplyChanges(OptionTree &tree, OptionNode *node, const QString &optionsRoot,
                 TApplyForm *applyForm, QStringList *started)
{
    if (!node || !IsSelectable(node->StateIndex))
        return 0;

    // A Windows script without Wine would never run: the tick is refused before any mode is
    // stored, so the option does not read as installed.
    {
        const QString folder = GetNodeDir(node, optionsRoot);
        LoadOptionIniFile(folder);
        const QStringList scripts{ScriptPath(folder, CurrentOption.OptionRunMeFName),
                                  ScriptPath(folder, CurrentOption.OptionRunMe2FName)};
        platform::requireWineFor(scripts);
        // Where the sandbox cannot start, the player says whether the pack's scripts may run
        // unconfined before anything changes.
        platform::requireScriptStart(scripts);
    }

    // Recorded in the history: a snapshot of its folders (and of the options' selection) now,
    // before the modes change, every start, and a second snapshot when the scripts have ended.
    std::optional<history::InstallSession> session;
    {
        const QString folder = GetNodeDir(node, optionsRoot);
        QStringList scripts;
        for (const QString &name :
             {CurrentOption.OptionRunMeFName, CurrentOption.OptionRunMe2FName}) {
            if (!ScriptPath(folder, name).isEmpty())
                scripts.append(name);
        }
        session.emplace(QStringLiteral("tick"), folder, scripts);
    }

    // Throws when a descriptor may not be written: then nothing changed, no script starts and
    // the install is not kept.
    TickResult tick;
    try {
        tick = UpdateTreeViewCheckBox(tree, node, optionsRoot);
    } catch (...) {
        session->cancel();
        throw;
    }

    // The rules read other folders' descriptors; the ticked option's is read again.
    const QString folder = GetNodeDir(node, optionsRoot);
    LoadOptionIniFile(folder);
    // Kept aside: the dialog's nested event loop may let other handlers read descriptors.
    const TCurrentOption option = CurrentOption;

    // A name that leads out of the option's folder starts nothing, and the status line says so.
    // The node's name is kept: a rebuild during the dialog may delete the node.
    const QString optionName = node->Text();
    QStringList outside;
    const QString first = ScriptPath(folder, option.OptionRunMeFName, &outside);

    if (!first.isEmpty()) {
        if (started)
            started->append(QFileInfo(first).fileName());
        if (ProgramSettings.HideShell) {
            const QStringList hidden{QStringLiteral("-h")};
            platform::shellOpen(first, hidden, folder, platform::ShowCommand::Hidden,
                                session->start(first, hidden, true));
            // The dialog counts down the option's delay instead of watching the script.
            if (applyForm)
                applyForm->exec();
        } else {
            platform::shellOpen(first, {}, folder, platform::ShowCommand::Normal,
                                session->start(first, {}, false));
        }
    }

    const QString second = ScriptPath(folder, option.OptionRunMe2FName, &outside);
    if (!outside.isEmpty())
        TheStatusLine().Show(QStringLiteral("%1 not started: a script of %2 must lie in its "
                                            "own folder")
                                 .arg(outside.join(QStringLiteral(" and ")), optionName));
    if (!second.isEmpty() && started)
        started->append(QFileInfo(second).fileName());
    if (!second.isEmpty())
        platform::shellOpen(second, {}, folder, platform::ShowCommand::Normal,
                            session->start(second, {}, false));
    return tick.LeftOutside;
}
