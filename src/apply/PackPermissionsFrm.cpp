#include "apply/PackPermissionsFrm.h"

#include <QApplication>
#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFile>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QVBoxLayout>

#include <memory>

namespace {

using Grant = platform::PackPermissions::Grant;

QCheckBox *checkBox(QWidget *parent, const char *name, const QString &text)
{
    auto *box = new QCheckBox(text, parent);
    box->setObjectName(QString::fromLatin1(name));
    return box;
}

QWidget *activeParent()
{
    QWidget *parent = QApplication::activeModalWidget();
    return parent ? parent : QApplication::activeWindow();
}

QMessageBox *question(QWidget *parent, const char *name, const QString &text,
                      QMessageBox::StandardButton yesButton, QMessageBox::StandardButton noButton)
{
    auto *box = new QMessageBox(QMessageBox::Warning, QStringLiteral("Varimond"), text,
                                QMessageBox::NoButton, parent);
    box->setObjectName(QString::fromLatin1(name));
    QPushButton *yes = box->addButton(yesButton);
    yes->setObjectName(QStringLiteral("btnYes"));
    QPushButton *no = box->addButton(noButton);
    no->setObjectName(noButton == QMessageBox::Cancel ? QStringLiteral("btnCancel")
                                                      : QStringLiteral("btnNo"));
    // Giving a stranger's pack more than it has is never one careless Enter away.
    box->setDefaultButton(no);
    box->setEscapeButton(no);
    return box;
}

} // namespace

TPackPermissionsForm::TPackPermissionsForm(QWidget *parent, const platform::ScriptPack &pack,
                                           QString file)
    : QDialog(parent), m_store(std::move(file)),
      m_pack(platform::PackPermissions::packKey(pack.dir)), m_asksNetwork(pack.asksNetwork)
{
    setObjectName(QStringLiteral("PackPermissionsForm"));
    setWindowTitle(QStringLiteral("Pack Permissions"));
    auto *layout = new QVBoxLayout(this);
    auto *intro = new QLabel(
        QStringLiteral("%1\n\nIts scripts run in a sandbox: they can change the pack's folder, "
                       "the game's Wine prefix and the folders allowed below, and nothing else "
                       "of yours.")
            .arg(QFile::decodeName(m_pack)),
        this);
    intro->setWordWrap(true);
    layout->addWidget(intro);
    layout->addWidget(new QLabel(QStringLiteral("Folders outside the pack:"), this));
    m_folders = new QListWidget(this);
    m_folders->setObjectName(QStringLiteral("lstFolders"));
    layout->addWidget(m_folders);
    m_forget = new QPushButton(QStringLiteral("&Forget"), this);
    m_forget->setObjectName(QStringLiteral("btnForget"));
    m_forget->setToolTip(QStringLiteral("Forget the answer: the pack is asked about it again"));
    layout->addWidget(m_forget, 0, Qt::AlignLeft);
    m_network = checkBox(this, "chkNetwork", QStringLiteral("Let its scripts use the &network"));
    m_network->setToolTip(m_asksNetwork ? QString()
                                        : QStringLiteral("The pack does not ask for it"));
    layout->addWidget(m_network);
    m_fullRights = checkBox(this, "chkFullRights",
                            QStringLiteral("Run this pack's scripts with my &full rights"));
    layout->addWidget(m_fullRights);
    auto *warning = new QLabel(QStringLiteral("Only for a pack you trust: with full rights its "
                                              "scripts can read, change or delete any of your "
                                              "files and use the network."),
                               this);
    warning->setWordWrap(true);
    layout->addWidget(warning);
    m_unconfined = checkBox(this, "chkUnconfined",
                            QStringLiteral("Run its scripts &unconfined where the sandbox cannot "
                                           "start"));
    layout->addWidget(m_unconfined);
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    buttons->setObjectName(QStringLiteral("btnsClose"));
    layout->addWidget(buttons);

    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(m_forget, &QPushButton::clicked, this, [this] { forgetSelected(); });
    connect(m_folders, &QListWidget::currentRowChanged, this,
            [this](int row) { m_forget->setEnabled(row >= 0); });
    connect(m_network, &QCheckBox::clicked, this,
            [this](bool on) { setGrant(Grant::Network, on); });
    connect(m_fullRights, &QCheckBox::clicked, this,
            [this](bool on) { setGrant(Grant::FullRights, on); });
    connect(m_unconfined, &QCheckBox::clicked, this,
            [this](bool on) { setGrant(Grant::Unconfined, on); });
    reload();
}

void TPackPermissionsForm::reload()
{
    m_folders->clear();
    m_shown.clear();
    for (const auto &entry : m_store.entries(m_pack)) {
        const bool allowed = entry.kind == "allow";
        if (!allowed && entry.kind != "deny")
            continue;
        m_folders->addItem((allowed ? QStringLiteral("allowed: ") : QStringLiteral("refused: ")) +
                           QFile::decodeName(entry.folder));
        m_shown.push_back(entry);
    }
    m_forget->setEnabled(false);
    m_network->setChecked(m_store.granted(m_pack, Grant::Network));
    m_network->setEnabled(m_asksNetwork || m_network->isChecked());
    m_fullRights->setChecked(m_store.granted(m_pack, Grant::FullRights));
    m_unconfined->setChecked(m_store.granted(m_pack, Grant::Unconfined));
}

void TPackPermissionsForm::setGrant(Grant grant, bool on)
{
    if (grant == Grant::FullRights && on) {
        const auto answer = QMessageBox::warning(
            this, QStringLiteral("Varimond"),
            QStringLiteral("Its scripts will run outside the sandbox, with all your rights: they "
                           "can read, change or delete any of your files and use the network. "
                           "Run them so?"),
            QMessageBox::Yes | QMessageBox::Cancel, QMessageBox::Cancel);
        if (answer != QMessageBox::Yes) {
            reload();
            return;
        }
    }
    if (!m_store.setGranted(m_pack, grant, on))
        QMessageBox::warning(this, QStringLiteral("Varimond"),
                             QStringLiteral("Unable to write to %1").arg(m_store.file()));
    reload();
}

void TPackPermissionsForm::forgetSelected()
{
    const int row = m_folders->currentRow();
    if (row < 0 || row >= int(m_shown.size()))
        return;
    if (!m_store.forget(m_shown[size_t(row)]))
        QMessageBox::warning(this, QStringLiteral("Varimond"),
                             QStringLiteral("Unable to write to %1").arg(m_store.file()));
    reload();
}

QMessageBox *MakeUnconfinedQuestion(QWidget *parent, const platform::UnconfinedQuestion &q)
{
    return question(parent, "UnconfinedQuestion", q.text(), QMessageBox::Yes, QMessageBox::Cancel);
}

bool AskUnconfined(const platform::UnconfinedQuestion &q)
{
    std::unique_ptr<QMessageBox> box(MakeUnconfinedQuestion(activeParent(), q));
    box->exec();
    return box->clickedButton() == box->button(QMessageBox::Yes);
}

QMessageBox *MakeLinkedFolderQuestion(QWidget *parent, const platform::FolderQuestion &q)
{
    return question(parent, "LinkedFolderQuestion", q.text(), QMessageBox::Yes, QMessageBox::No);
}

bool AskLinkedFolders(const platform::FolderQuestion &q)
{
    std::unique_ptr<QMessageBox> box(MakeLinkedFolderQuestion(activeParent(), q));
    box->exec();
    return box->clickedButton() == box->button(QMessageBox::Yes);
}
