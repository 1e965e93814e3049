#pragma once

// A program folder with a settings file, an option with scripts and a named interface folder
// beside it, all in a fresh temporary folder; and the helpers to run real scripts through the
// history hook.

#include "common/TestFiles.h"
#include "history/HistoryConsent.h"
#include "history/HistoryFolders.h"
#include "history/InstallHistory.h"
#include "launch/ScriptLauncher.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QTemporaryDir>

#include <memory>

struct HistoryPack
{
    std::unique_ptr<QTemporaryDir> temp{new QTemporaryDir};
    QString root = temp->path() + QLatin1Char('/');
    QString programDir = root + QStringLiteral("pack/");
    QString ui = root + QStringLiteral("ui/custom/");
    QString option = programDir + QStringLiteral("Options/Bars/");

    /// @p folders is written as `[History] Folders=`; an empty text writes no [History].
    explicit HistoryPack(const QString &folders = QStringLiteral("..\\ui\\custom"))
    {
        QDir().mkpath(option);
        QDir().mkpath(ui);
        QDir().mkpath(state());
        QByteArray ini = "[General]\r\nProgramTitle=Varimond\r\n";
        if (!folders.isEmpty())
            ini += "[History]\r\nFolders=" + folders.toUtf8() + "\r\n";
        testfiles::writeAll(iniPath(), ini);
    }

    QString iniPath() const { return programDir + QStringLiteral("varimond.ini"); }
    /// The pack's state folder, where the history keeps its log and repository.
    QString state() const { return root + QStringLiteral("state/"); }
    QString repo() const { return state() + QStringLiteral("history"); }

    /// The user's answers about folders outside the pack live in the temporary folder.
    QString consentFile() const { return root + QStringLiteral("config/history-folders"); }

    /// Sets the history up on the pack. Unless @p ask is given, the user allowed the pack's
    /// folders outside it before.
    void configure(const QString &home = QStringLiteral("/nonexistent-home"),
                   history::InstallHistory::ConsentAsker ask = {})
    {
        if (!ask) {
            std::vector<QByteArray> outside;
            for (const history::NamedFolder &f :
                 history::resolveFolders(history::readFolderEntries(iniPath()), programDir, home))
                if (f.needsConsent)
                    outside.push_back(f.path);
            history::FolderConsent(consentFile(),
                                   QFile::encodeName(QFileInfo(programDir).canonicalFilePath()))
                .remember(outside, true);
        }
        history::InstallHistory::Environment env;
        env.homeDir = home;
        env.winePrefix = QString();
        env.consentFile = consentFile();
        env.askConsent = std::move(ask);
        env.optionsDir = programDir + QStringLiteral("Options/");
        env.stateDir = state();
        history::TheHistory().configure(programDir, iniPath(), env);
    }

    /// Writes the option's script with @p body and starts it through the history hook, as a
    /// tick does. Returns the install's id.
    QString install(const QByteArray &body, bool hidden = true,
                    const QString &name = QStringLiteral("RunMe.sh"))
    {
        const QString script = option + name;
        testfiles::writeAll(script, "#!/bin/sh\nset -e\n" + body);
        history::InstallSession session(QStringLiteral("tick"), option, {name});
        const QStringList params = hidden ? QStringList{QStringLiteral("-h")} : QStringList();
        platform::shellOpen(script, params, option,
                            hidden ? platform::ShowCommand::Hidden : platform::ShowCommand::Normal,
                            session.start(script, params, hidden));
        return session.id();
    }

    history::InstallRecord record(const QString &id) const
    {
        return history::TheHistory().log()->load(id);
    }
};

/// Every entry below @p dir, by relative path: "d" for a folder, "l:<target>" for a link, and
/// "x:" or "f:" (executable or not) followed by the content for a file. Links are not followed.
inline QMap<QString, QByteArray> FolderState(const QString &dir)
{
    QMap<QString, QByteArray> state;
    QDirIterator it(dir, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QFileInfo info(path);
        const QString rel = QDir(dir).relativeFilePath(path);
        if (info.isSymLink())
            state[rel] = "l:" + QFile::encodeName(info.symLinkTarget());
        else if (info.isDir())
            state[rel] = "d";
        else
            state[rel] = (info.isExecutable() ? "x:" : "f:") + testfiles::readAll(path);
    }
    return state;
}
