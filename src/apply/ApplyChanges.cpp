#include "apply/ApplyChanges.h"

#include "apply/ApplyFrm.h"
#include "core/Common.h"
#include "core/StatusLine.h"
#include "history/InstallHistory.h"
#include "launch/ScriptLauncher.h"
#include "options/OptionIni.h"
#include "options/OptionNode.h"
#include "options/OptionPlace.h"
#include "options/OptionTreeController.h"
#include "options/SelectionRules.h"

#include <QFileInfo>

#include <optional>

int ApplyChanges(OptionTreeController &controller, OptionNode *node, TApplyForm *applyForm,
                 QStringList *started)
{
    return ApplyChanges(controller.Tree(), node, ProgramSettings.optionsRoot(), applyForm, started);
}

int ApplyChanges(OptionTree &tree, OptionNode *node, const QString &optionsRoot,
                 TApplyForm *applyForm, QStringList *started)
{
    if (!node || !IsSelectable(node->StateIndex))
        return 0;

    // The option's folder, descriptor and scripts, resolved once for the whole tick.
    FolderPlaces places(optionsRoot);
    ResolvedOption option(node, places, ProgramSettings, ResolvedOption::Scripts::Locate);

    // A Windows script without Wine would never run: the tick is refused before any mode is
    // stored, so the option does not read as installed.
    const QStringList scripts = option.ScriptFiles();
    const unsigned askedBefore = platform::questionsAsked();
    platform::requireWineFor(scripts);
    // Where the sandbox cannot start, the player says whether the pack's scripts may run
    // unconfined before anything changes.
    platform::requireScriptStart(scripts);
    // The scripts were found just now unless the player was asked something since.
    const platform::FoundAt firstFound = platform::questionsAsked() == askedBefore
                                             ? platform::FoundAt::JustNow
                                             : platform::FoundAt::Earlier;

    // Recorded in the history: a snapshot of its folders (and of the options' selection) now,
    // before the modes change, every start, and a second snapshot when the scripts have ended.
    std::optional<history::InstallSession> session;
    session.emplace(QStringLiteral("tick"), option.Folder(), option.ScriptNames());

    // Throws when a descriptor may not be written: then nothing changed, no script starts and
    // the install is not kept.
    TickResult tick;
    try {
        tick = UpdateTreeViewCheckBox(tree, option, places);
    } catch (...) {
        session->cancel();
        throw;
    }

    // The option's descriptor as it now stands on disk, for the windows that read it (the
    // dialog counts down its delay).
    CurrentOption = option.DescriptorWithMode(node->StateIndex);

    // A name that leads out of the option's folder starts nothing, and the status line says so.
    // The node's name is kept: a rebuild during the dialog may delete the node.
    const QString optionName = node->Text();
    QStringList outside;
    for (const ResolvedOption::Script *script : {&option.RunMe(), &option.RunMe2()}) {
        if (script->Place == platform::ScriptPlace::Outside)
            outside.append(script->Name);
    }
    const QString &folder = option.Reach();
    const QString &first = option.RunMe().File;

    if (!first.isEmpty()) {
        if (started)
            started->append(QFileInfo(first).fileName());
        if (ProgramSettings.HideShell) {
            const QStringList hidden{QStringLiteral("-h")};
            platform::shellOpenFound(first, hidden, folder, platform::ShowCommand::Hidden,
                                     session->start(first, hidden, true), firstFound);
            // The dialog counts down the option's delay instead of watching the script.
            if (applyForm)
                applyForm->exec();
        } else {
            platform::shellOpenFound(first, {}, folder, platform::ShowCommand::Normal,
                                     session->start(first, {}, false), firstFound);
        }
    }

    const QString &second = option.RunMe2().File;
    if (!outside.isEmpty())
        TheStatusLine().Show(QStringLiteral("%1 not started: a script of %2 must lie in its "
                                            "own folder")
                                 .arg(outside.join(QStringLiteral(" and ")), optionName));
    if (!second.isEmpty() && started)
        started->append(QFileInfo(second).fileName());
    // After the dialog's delay the second script is looked at again: the first may have removed
    // it.
    const bool waited = !first.isEmpty() && ProgramSettings.HideShell && applyForm;
    if (!second.isEmpty())
        platform::shellOpenFound(second, {}, folder, platform::ShowCommand::Normal,
                                 session->start(second, {}, false),
                                 waited ? platform::FoundAt::Earlier : firstFound);
    return tick.LeftOutside;
}
