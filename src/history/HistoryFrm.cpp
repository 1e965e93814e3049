#include "history/HistoryFrm.h"

#include "core/ErrorReport.h"
#include "core/StatusLine.h"
#include "core/FormUtils.h"
#include "history/InstallHistory.h"
#include "history/RunReport.h"

#include <QDialogButtonBox>
#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressDialog>
#include <QPushButton>
#include <QSplitter>
#include <QStyle>
#include <QThread>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <algorithm>
#include <functional>
#include <memory>

using history::FileChange;
using history::InstallRecord;

namespace {

enum Column { ColTime, ColOption, ColScripts, ColStatus, ColFiles, ColumnCount };
constexpr int IdRole = Qt::UserRole + 1;
// The confirmation lists this many changes at most; the rest are counted.
constexpr int ListedChanges = 40;
// How long a restore's work runs before its progress window shows.
constexpr int ProgressAfterMs = 300;
// The widest a column of the list is made when it is fitted to its content.
constexpr int MaxColumnWidth = 240;

QString kindWord(FileChange::Kind kind)
{
    switch (kind) {
    case FileChange::Added:
        return QStringLiteral("added");
    case FileChange::Changed:
        return QStringLiteral("changed");
    case FileChange::Refused:
        return QStringLiteral("not put back");
    case FileChange::Removed:
        break;
    }
    return QStringLiteral("removed");
}

// The status of an install's starts: each start's exit status, "running" while it runs, "not
// started", or "-" for a start whose status the program could not see.
QString exitStatusText(const InstallRecord &record)
{
    QStringList parts;
    for (const history::ScriptStart &start : record.starts)
        parts.append(history::statusText(start));
    return parts.join(QStringLiteral(", "));
}

QString filesSummary(const std::vector<FileChange> &changes, const InstallRecord &record)
{
    if (!record.snapshotError.isEmpty())
        return QStringLiteral("snapshot failed");
    if (record.before.isEmpty())
        return QString();
    if (record.after.isEmpty())
        return QStringLiteral("pending");
    int counts[4] = {0, 0, 0, 0};
    for (const FileChange &c : changes)
        ++counts[c.kind];
    return QStringLiteral("%1 added, %2 changed, %3 removed")
        .arg(counts[0])
        .arg(counts[1])
        .arg(counts[2]);
}

// Runs @p work on a thread of its own, so that the windows keep painting while large files are
// read and written, behind a small progress window without buttons that shows when the work
// takes more than a moment; returns when it has ended.
void RunWithProgress(QWidget *parent, const QString &label, const std::function<void()> &work)
{
    QProgressDialog progress(label, QString(), 0, 0, parent);
    progress.setObjectName(QStringLiteral("RestoreProgress"));
    progress.setWindowTitle(QStringLiteral("Restore"));
    progress.setWindowModality(Qt::WindowModal);
    progress.setCancelButton(nullptr);
    progress.setMinimumDuration(ProgressAfterMs);
    progress.setValue(0); // starts the clock after which it shows
    QEventLoop loop;
    std::unique_ptr<QThread> thread(QThread::create(work));
    QObject::connect(thread.get(), &QThread::finished, &loop, &QEventLoop::quit);
    thread->start();
    // Input is kept from the windows (the progress window is modal) but they keep painting.
    loop.exec(QEventLoop::ExcludeUserInputEvents);
    thread->wait();
}

QString optionText(const InstallRecord &record)
{
    if (record.kind == QLatin1String("restore"))
        return QStringLiteral("Restore to before %1").arg(record.option);
    return record.option;
}

} // namespace

bool AskHistoryConsent(QWidget *parent, const QStringList &folders)
{
    QMessageBox box(QMessageBox::Question, QStringLiteral("History folders"),
                    QStringLiteral("This pack keeps a history of its installs in folders outside "
                                   "it:\n\n%1\n\nVarimond stores their files before and after "
                                   "each install, and Restore puts them back there, removing "
                                   "files added since. Allow this pack to keep history of these "
                                   "folders?\n\nYour answer is remembered for this pack.")
                        .arg(folders.join(QLatin1Char('\n'))),
                    QMessageBox::Yes | QMessageBox::No, parent);
    box.setObjectName(QStringLiteral("HistoryConsentBox"));
    box.setDefaultButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes;
}

THistoryForm::THistoryForm(QWidget *parent, history::InstallHistory *source)
    : QDialog(parent), m_history(source ? *source : history::TheHistory())
{
    setObjectName(QStringLiteral("HistoryForm"));
    setWindowTitle(QStringLiteral("History"));
    resize(760, 520);
    QFont font = this->font();
    SetVistaFormFont(font);
    setFont(font);

    m_list = new QTreeWidget(this);
    m_list->setObjectName(QStringLiteral("lvHistory"));
    m_list->setColumnCount(ColumnCount);
    m_list->setHeaderLabels({QStringLiteral("Time"), QStringLiteral("Option"),
                             QStringLiteral("Scripts"), QStringLiteral("Exit status"),
                             QStringLiteral("Files")});
    m_list->setRootIsDecorated(false);
    m_list->setUniformRowHeights(true);
    m_list->setSelectionMode(QAbstractItemView::SingleSelection);
    m_list->header()->setStretchLastSection(true);

    m_files = new QPlainTextEdit(this);
    m_files->setObjectName(QStringLiteral("memFiles"));
    m_files->setReadOnly(true);
    // Long paths wrap within the pane, also where they hold no space.
    m_files->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    m_output = new QPlainTextEdit(this);
    m_output->setObjectName(QStringLiteral("memOutput"));
    m_output->setReadOnly(true);
    m_output->setLineWrapMode(QPlainTextEdit::NoWrap);

    auto *details = new QSplitter(Qt::Horizontal, this);
    details->setObjectName(QStringLiteral("Splitter1"));
    details->addWidget(m_files);
    details->addWidget(m_output);
    auto *split = new QSplitter(Qt::Vertical, this);
    split->setObjectName(QStringLiteral("Splitter2"));
    split->addWidget(m_list);
    split->addWidget(details);
    split->setStretchFactor(0, 3);
    split->setStretchFactor(1, 2);

    m_notices = new QLabel(this);
    m_notices->setObjectName(QStringLiteral("lblNotices"));
    m_notices->setWordWrap(true);
    m_notices->setStyleSheet(QStringLiteral("color: #b00000"));
    m_status = new QLabel(this);
    m_status->setObjectName(QStringLiteral("lblStatus"));
    m_status->setWordWrap(true);

    m_restore = new QPushButton(QStringLiteral("&Restore"), this);
    m_restore->setObjectName(QStringLiteral("btnRestore"));
    m_restore->setToolTip(QStringLiteral("Put the history folders back as they were before the "
                                         "selected install"));
    auto *close = new QPushButton(QStringLiteral("&Close"), this);
    close->setObjectName(QStringLiteral("btnClose"));
    auto *buttons = new QHBoxLayout;
    buttons->addWidget(m_status, 1);
    buttons->addWidget(m_restore);
    buttons->addWidget(close);

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(m_notices);
    layout->addWidget(split, 1);
    layout->addLayout(buttons);

    connect(m_list, &QTreeWidget::itemSelectionChanged, this, &THistoryForm::lvHistoryChange);
    connect(m_restore, &QPushButton::clicked, this, &THistoryForm::btnRestoreClick);
    connect(close, &QPushButton::clicked, this, &QDialog::accept);
    connect(&m_history, &history::InstallHistory::changed, this, [this] {
        if (isVisible())
            UpdateHistoryList();
    });
}

THistoryForm::~THistoryForm() = default;

void THistoryForm::showEvent(QShowEvent *event)
{
    if (parentWidget())
        CentreOver(this, parentWidget());
    m_status->clear();
    m_history.settle();
    UpdateHistoryList();
    QDialog::showEvent(event);
}

QString THistoryForm::SelectedId() const
{
    const QList<QTreeWidgetItem *> items = m_list->selectedItems();
    return items.isEmpty() ? QString() : items.first()->data(ColTime, IdRole).toString();
}

bool THistoryForm::SelectId(const QString &id)
{
    for (int i = 0; i < m_list->topLevelItemCount(); ++i) {
        QTreeWidgetItem *item = m_list->topLevelItem(i);
        if (item->data(ColTime, IdRole).toString() == id) {
            m_list->setCurrentItem(item);
            return true;
        }
    }
    return false;
}

void THistoryForm::UpdateHistoryList()
{
    const QString selected = SelectedId();
    QStringList notices;
    if (m_history.log())
        notices = m_history.log()->notices();
    m_notices->setText(notices.join(QLatin1Char('\n')));
    m_notices->setVisible(!notices.isEmpty());

    const QSignalBlocker block(m_list);
    m_list->clear();
    const std::vector<InstallRecord> records =
        m_history.log() ? m_history.log()->list() : std::vector<InstallRecord>();
    for (const InstallRecord &record : records) {
        const QStringList &scripts = record.scripts;
        auto *item = new QTreeWidgetItem(m_list);
        item->setData(ColTime, IdRole, record.id);
        item->setText(ColTime, record.time.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")));
        item->setText(ColOption, optionText(record));
        item->setText(ColScripts, scripts.join(QStringLiteral(", ")));
        item->setToolTip(ColScripts, item->text(ColScripts));
        item->setToolTip(ColOption, item->text(ColOption));
        item->setText(ColStatus, exitStatusText(record));
        if (history::hasFailure(record)) {
            // A script that failed is marked; the install itself is not undone.
            item->setIcon(ColStatus, style()->standardIcon(QStyle::SP_MessageBoxWarning));
            item->setForeground(ColStatus, QColor(0xb0, 0, 0));
            item->setToolTip(ColStatus, history::failureReport(record));
        }
        item->setText(ColFiles, filesSummary(m_history.installChanges(record), record));
        QString files = filesSummary(m_history.installChanges(record), record);
        const qsizetype unrecorded = m_history.log()->unrecorded(record).size();
        if (unrecorded > 0)
            files += QStringLiteral("; %1 not recorded").arg(unrecorded);
        item->setText(ColFiles, files);
        if (!record.snapshotError.isEmpty())
            item->setForeground(ColFiles, QColor(0xb0, 0, 0));
    }
    // Long option names and a theme's many scripts are cut (the whole text is the tooltip) so
    // that the files column stays in sight.
    for (int c = 0; c < ColFiles; ++c) {
        m_list->resizeColumnToContents(c);
        m_list->setColumnWidth(c, std::min(m_list->columnWidth(c), MaxColumnWidth));
    }
    // A new install takes the selection; otherwise the selected one stays selected.
    const QString newest = records.empty() ? QString() : records.front().id;
    const bool added = newest != m_newest;
    m_newest = newest;
    if ((added || !SelectId(selected)) && m_list->topLevelItemCount() > 0)
        m_list->setCurrentItem(m_list->topLevelItem(0));
    lvHistoryChange();
}

void THistoryForm::lvHistoryChange()
{
    const QString id = SelectedId();
    m_files->clear();
    m_output->clear();
    m_restore->setEnabled(false);
    if (id.isEmpty() || !m_history.log())
        return;
    const InstallRecord record = m_history.log()->load(id);
    QStringList files;
    if (!record.snapshotError.isEmpty())
        files.append(record.snapshotError);
    for (const FileChange &c : m_history.installChanges(record))
        files.append(kindWord(c.kind) + QStringLiteral(": ") + c.path);
    for (const QString &path : m_history.log()->unrecorded(record))
        files.append(QStringLiteral("not recorded: ") + path);
    if (files.isEmpty() && !record.before.isEmpty() && record.after.isEmpty())
        files.append(QStringLiteral("Waiting for the scripts to end"));
    m_files->setPlainText(files.join(QLatin1Char('\n')));

    QString output;
    for (const history::ScriptStart &start : record.starts) {
        output += QStringLiteral("> %1 %2 (%3)\n")
                      .arg(QDir::toNativeSeparators(start.script),
                           start.parameters.join(QLatin1Char(' ')),
                           start.hidden ? QStringLiteral("hidden") : QStringLiteral("normal"));
        if (start.inTerminal)
            output += QStringLiteral("(its output was shown in its terminal window)\n");
        else
            output += QString::fromUtf8(m_history.log()->output(record, start.index));
        if (start.hasExitStatus)
            output += QStringLiteral("\n[exit status %1]\n").arg(start.exitStatus);
        if (!start.stopped.isEmpty())
            output += QStringLiteral("[the sandbox kept it from %1]\n")
                          .arg(start.stopped.join(QStringLiteral(", from ")));
    }
    m_output->setPlainText(output);
    m_restore->setEnabled(m_history.snapshotsOn() && !record.before.isEmpty());
}

void THistoryForm::btnRestoreClick()
{
    const QString id = SelectedId();
    if (id.isEmpty())
        return;
    const auto inBackground = [this](const QString &label) {
        return [this, label](const std::function<void()> &work) {
            RunWithProgress(this, label, work);
        };
    };
    Guarded(this, [&] {
        // Both read the folders as they are now, which takes long for large changed files.
        std::vector<FileChange> changes;
        std::vector<history::SnapshotStore::SelectionChange> selection;
        m_history.runBusy(inBackground(QStringLiteral("Reading the history folders...")), [&] {
            changes = m_history.restorePreview(id);
            selection = m_history.selectionPreview(id);
        });
        QString text = QStringLiteral("Put the history folders back as they were before this "
                                      "install?\n\n");
        if (changes.empty())
            text += QStringLiteral("No file differs from that state.\n");
        for (size_t i = 0; i < changes.size() && i < size_t(ListedChanges); ++i) {
            const FileChange &c = changes[i];
            const QString verb = c.kind == FileChange::Added     ? QStringLiteral("restored")
                                 : c.kind == FileChange::Removed ? QStringLiteral("removed")
                                                                 : QStringLiteral("put back");
            text += verb + QStringLiteral(": ") + c.path + QLatin1Char('\n');
        }
        if (changes.size() > size_t(ListedChanges))
            text += QStringLiteral("and %1 more\n").arg(changes.size() - size_t(ListedChanges));
        if (!selection.empty())
            text += QStringLiteral("\nSelection:\n");
        for (size_t i = 0; i < selection.size() && i < size_t(ListedChanges); ++i) {
            const auto &s = selection[i];
            auto word = [](bool selected) {
                return selected ? QStringLiteral("selected") : QStringLiteral("not selected");
            };
            text += QStringLiteral("%1: %2 \u2192 %3\n")
                        .arg(s.option.section(QLatin1Char('/'), -1), word(s.before), word(s.after));
        }
        if (selection.size() > size_t(ListedChanges))
            text += QStringLiteral("and %1 more\n").arg(selection.size() - size_t(ListedChanges));
        text += QStringLiteral("\nThe restore is recorded, so it can be undone.");
        if (QMessageBox::question(this, QStringLiteral("Restore"), text,
                                  QMessageBox::Yes | QMessageBox::No,
                                  QMessageBox::No) != QMessageBox::Yes)
            return;
        const std::vector<FileChange> done =
            m_history.restore(id, inBackground(QStringLiteral("Restoring files...")));
        // A stored link that leads out of its folder is left out, and the player is told which.
        QStringList refused;
        for (const FileChange &c : done) {
            if (c.kind == FileChange::Refused)
                refused.append(c.path);
        }
        QString summary =
            QStringLiteral("Restored: %1 files changed.").arg(done.size() - size_t(refused.size()));
        if (!refused.isEmpty())
            summary += QStringLiteral(" Not put back, as links that lead out of their folder: %1.")
                           .arg(refused.join(QStringLiteral(", ")));
        m_status->setText(summary);
        const QDateTime when = m_history.log()->load(id).time;
        // The time alone for an install of today, with its day for an older one.
        const QString format = when.date() == QDate::currentDate()
                                   ? QStringLiteral("HH:mm")
                                   : QStringLiteral("yyyy-MM-dd HH:mm");
        TheStatusLine().Show(
            QStringLiteral("Restored the install of %1").arg(when.toString(format)));
    });
    UpdateHistoryList();
}
