#include "packtools/PackCommand.h"

#include "packtools/MinisignKeys.h"
#include "packtools/PackCheck.h"
#include "packtools/Password.h"
#include "packtools/Publish.h"
#include "files/Error.h"

#include <QDir>
#include <QFileInfo>
#include <QHash>

#include <cstdio>

namespace packtools {

namespace {

void print(FILE *stream, const QString &text)
{
    const QByteArray bytes = text.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}

const char *const kPackHelp =
    "Usage: varimond pack COMMAND ...\n"
    "Tools for the people who make packs. No window is opened.\n\n"
    "Commands:\n"
    "  check DIR [--json]       list what the program would find wrong in the pack\n"
    "  keygen --secret FILE --public FILE [--no-password]\n"
    "                           make a minisign key pair for signing updates\n"
    "  publish DIR --version V --url BASE --secret FILE [--version-file OLD]\n"
    "          [--out OUTDIR] [--format tar.xz|zip]\n"
    "                           make the archive, its signature and the version file\n\n"
    "\"varimond pack COMMAND --help\" tells more. Exit status: 0 success, 1 the pack has\n"
    "errors, 2 the command cannot run.\n";

const char *const kCheckHelp =
    "Usage: varimond pack check DIR [--json]\n"
    "Reads the pack in DIR as the program would and lists every problem it would meet:\n"
    "settings paths that leave the pack, links out of it, special files, names that are not\n"
    "UTF-8, folders past the depth limit, descriptors, script and ReadMe names, themes,\n"
    "preview pictures, slow RTF ReadMes and the [VersionInfo], [Update] and [Package] values.\n\n"
    "  --json   print the problems as one JSON document\n\n"
    "Exit status: 0 no errors (warnings may be listed), 1 errors, 2 cannot run.\n";

const char *const kKeygenHelp =
    "Usage: varimond pack keygen --secret FILE --public FILE [--no-password]\n"
    "Makes an Ed25519 key pair in minisign's formats (minisign -S and -V accept them) and\n"
    "prints the [Update] PublicKey= line to put in the pack's varimond.ini.\n\n"
    "  --secret FILE    the secret key to write (keep it private, never in the pack)\n"
    "  --public FILE    the public key to write\n"
    "  --no-password    store the secret key unencrypted\n\n"
    "The password is read from the terminal without echo, or from the environment\n"
    "variable VARIMOND_PACK_PASSWORD when it is set (for scripts). Existing files are never\n"
    "overwritten. Exit status: 0 written, 2 cannot run.\n";

const char *const kPublishHelp =
    "Usage: varimond pack publish DIR --version V --url BASE --secret FILE\n"
    "                             [--version-file OLD] [--out OUTDIR] [--format tar.xz|zip]\n"
    "Checks the pack (and stops on errors), then writes into OUTDIR (default: the current\n"
    "folder) the archive of the pack's own files (no player state; the same pack gives the\n"
    "same bytes), its minisign signature (.minisig, trusted comment \"version:V\") and the\n"
    "version file with [VersionInfo] UserInterface=V and [Package] Archive=, SHA256=, Size=\n"
    "and Signature=. It prints what to upload where.\n\n"
    "  --version V         the pack's new version; the archive's varimond.ini names it\n"
    "  --url BASE          the http/https address the archive will be downloaded from\n"
    "  --secret FILE       the minisign secret key (password: terminal or\n"
    "                      VARIMOND_PACK_PASSWORD)\n"
    "  --version-file OLD  the version file published before: its other keys are kept\n"
    "  --out OUTDIR        where to write the files\n"
    "  --format F          tar.xz (default) or zip\n\n"
    "Exit status: 0 published, 1 the pack has errors, 2 cannot run.\n";

// The command's words: options with a value, flags, and the plain arguments.
struct Arguments
{
    QHash<QString, QString> values;
    QStringList flags;
    QStringList plain;
};

Arguments parse(const QStringList &words, const QStringList &withValue, const QStringList &flags)
{
    Arguments parsed;
    for (int i = 0; i < words.size(); ++i) {
        QString word = words[i];
        QString value;
        const int eq = word.indexOf(QLatin1Char('='));
        const bool inlineValue = word.startsWith(QLatin1String("--")) && eq > 0;
        if (inlineValue) {
            value = word.mid(eq + 1);
            word = word.left(eq);
        }
        if (withValue.contains(word)) {
            if (!inlineValue) {
                if (i + 1 >= words.size())
                    throw AppError(QStringLiteral("%1 needs a value.").arg(word));
                value = words[++i];
            }
            if (parsed.values.contains(word))
                throw AppError(QStringLiteral("%1 is given twice.").arg(word));
            parsed.values.insert(word, value);
        } else if (flags.contains(word) && !inlineValue) {
            parsed.flags.append(word);
        } else if (word.startsWith(QLatin1String("--"))) {
            throw AppError(QStringLiteral("Unknown option %1. See --help.").arg(words[i]));
        } else {
            parsed.plain.append(word);
        }
    }
    return parsed;
}

QString required(const Arguments &args, const char *name)
{
    const QString value = args.values.value(QLatin1String(name));
    if (value.isEmpty())
        throw AppError(QStringLiteral("%1 is missing. See --help.").arg(QLatin1String(name)));
    return value;
}

QString packFolder(const Arguments &args)
{
    if (args.plain.size() != 1)
        throw AppError(QStringLiteral("Give one pack folder. See --help."));
    const QFileInfo info(args.plain.first());
    if (!info.isDir())
        throw AppError(QStringLiteral("%1 is not a folder. Give the folder that holds the "
                                      "pack's varimond.ini and Options folder.")
                           .arg(args.plain.first()));
    return info.absoluteFilePath();
}

int keygen(const QStringList &words)
{
    const Arguments args = parse(words, {QStringLiteral("--secret"), QStringLiteral("--public")},
                                 {QStringLiteral("--no-password")});
    if (!args.plain.isEmpty())
        throw AppError(QStringLiteral("Unexpected argument %1. See --help.").arg(args.plain[0]));
    const QString secret = required(args, "--secret");
    const QString publicKey = required(args, "--public");
    QByteArray password;
    if (!args.flags.contains(QStringLiteral("--no-password")))
        password = ReadPassword(QStringLiteral("Password for the new secret key: "), true);
    const QString line = GenerateKeyPair(secret, publicKey, password);
    print(stdout, QStringLiteral("Secret key: %1 (keep it private and out of the pack)\n"
                                 "Public key: %2\n\n"
                                 "Put this in the pack's varimond.ini:\n\n"
                                 "[Update]\nPublicKey=%3\n")
                      .arg(QDir::toNativeSeparators(secret), QDir::toNativeSeparators(publicKey),
                           line));
    return Success;
}

int check(const QStringList &words)
{
    const Arguments args = parse(words, {}, {QStringLiteral("--json")});
    const QString pack = packFolder(args);
    const CheckReport report = CheckPack(pack);
    if (args.flags.contains(QStringLiteral("--json")))
        print(stdout, QString::fromUtf8(ReportJson(report)));
    else
        print(stdout, ReportText(report));
    return report.errorCount() > 0 ? PackHasErrors : Success;
}

int publish(const QStringList &words)
{
    const Arguments args = parse(
        words,
        {QStringLiteral("--version"), QStringLiteral("--url"), QStringLiteral("--secret"),
         QStringLiteral("--version-file"), QStringLiteral("--out"), QStringLiteral("--format")},
        {});
    PublishRequest request;
    request.pack = packFolder(args);
    request.version = required(args, "--version");
    request.baseUrl = required(args, "--url");
    request.secretKey = required(args, "--secret");
    request.oldVersionFile = args.values.value(QStringLiteral("--version-file"));
    request.outDir = args.values.value(QStringLiteral("--out"), QStringLiteral("."));
    request.format = args.values.value(QStringLiteral("--format"), QStringLiteral("tar.xz"));

    ValidatePublishRequest(request);
    const CheckReport report = CheckPack(request.pack);
    if (report.errorCount() > 0) {
        print(stdout, ReportText(report));
        print(stderr, QStringLiteral("Nothing was published: mend the errors above first.\n"));
        return PackHasErrors;
    }
    if (!report.problems.empty())
        print(stdout, ReportText(report) + QLatin1Char('\n'));
    const SecretKey key =
        LoadSecretKey(request.secretKey,
                      SecretKeyIsEncrypted(request.secretKey)
                          ? ReadPassword(QStringLiteral("Password of the secret key: "), false)
                          : QByteArray());
    const PublishResult result = Publish(request, key);
    print(stdout, UploadInstructions(request, result));
    return Success;
}

} // namespace

bool IsPackCommand(const QStringList &arguments)
{
    return arguments.size() >= 2 && arguments[1] == QLatin1String("pack");
}

int RunPackCommand(const QStringList &arguments)
{
    const QStringList words = arguments.mid(2);
    const QString command = words.value(0);
    const QStringList rest = words.mid(1);
    const bool help = rest.contains(QStringLiteral("--help")) || rest.contains(QStringLiteral("-h"));
    try {
        if (command == QLatin1String("check"))
            return help ? (print(stdout, QLatin1String(kCheckHelp)), Success) : check(rest);
        if (command == QLatin1String("keygen"))
            return help ? (print(stdout, QLatin1String(kKeygenHelp)), Success) : keygen(rest);
        if (command == QLatin1String("publish"))
            return help ? (print(stdout, QLatin1String(kPublishHelp)), Success) : publish(rest);
        if (command == QLatin1String("--help") || command == QLatin1String("-h")) {
            print(stdout, QLatin1String(kPackHelp));
            return Success;
        }
        print(stderr, (command.isEmpty() ? QStringLiteral("No pack command given.\n\n")
                                         : QStringLiteral("Unknown pack command %1.\n\n").arg(command)) +
                          QLatin1String(kPackHelp));
        return CannotRun;
    } catch (const AppError &e) {
        print(stderr, QStringLiteral("varimond pack %1: %2\n").arg(command, e.message()));
        return CannotRun;
    }
}

} // namespace packtools
