#include "packtools/Password.h"

#include "files/Error.h"

#include <cstdio>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace packtools {

namespace {

// One line from the terminal with its echo turned off, without the line break.
QByteArray readHidden(int tty, const QString &prompt)
{
    const QByteArray text = prompt.toLocal8Bit();
    if (::write(tty, text.constData(), size_t(text.size())) < 0)
        throw AppError(QStringLiteral("The terminal cannot be written to."));
    termios before{};
    const bool isTerminal = ::tcgetattr(tty, &before) == 0;
    if (isTerminal) {
        termios hidden = before;
        hidden.c_lflag &= tcflag_t(~ECHO);
        hidden.c_lflag |= ECHONL;
        ::tcsetattr(tty, TCSAFLUSH, &hidden);
    }
    QByteArray line;
    char c = 0;
    while (line.size() < 4096 && ::read(tty, &c, 1) == 1 && c != '\n')
        line.append(c);
    if (isTerminal)
        ::tcsetattr(tty, TCSAFLUSH, &before);
    if (line.endsWith('\r'))
        line.chop(1);
    return line;
}

} // namespace

QByteArray ReadPassword(const QString &prompt, bool confirm)
{
    if (qEnvironmentVariableIsSet(PasswordVariable()))
        return qgetenv(PasswordVariable());
    const int tty = ::open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY);
    if (tty < 0)
        throw AppError(QStringLiteral("No terminal to ask for the password: set %1, or use "
                                      "--no-password for a key without one.")
                           .arg(QLatin1String(PasswordVariable())));
    QByteArray password = readHidden(tty, prompt);
    if (confirm && !password.isEmpty() &&
        readHidden(tty, QStringLiteral("Password again: ")) != password) {
        ::close(tty);
        throw AppError(QStringLiteral("The two passwords differ. Nothing was written."));
    }
    ::close(tty);
    if (password.isEmpty())
        throw AppError(QStringLiteral("The password is empty: give one, or use --no-password "
                                      "for a key without one."));
    return password;
}

} // namespace packtools
