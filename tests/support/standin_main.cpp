// quellnet-account-standin: the HTTPS account stand-in as a program, for the demo and the end-to-end
// stack. Serves until SIGTERM or SIGINT, then exits 0.

#include "AccountStandIn.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>

#include <pthread.h>
#include <sys/signalfd.h>
#include <unistd.h>

using quellnet::AccountStandIn;

namespace {

void print(const QString &line)
{
    std::fputs(qPrintable(line + QLatin1Char('\n')), stdout);
    std::fflush(stdout);
}

[[noreturn]] void fail(const QString &message, int code = 2)
{
    std::fputs(qPrintable(QStringLiteral("quellnet-account-standin: %1\n").arg(message)), stderr);
    std::exit(code);
}

// "email<TAB>password" per line; the password is everything after the first tab, blanks included.
QList<QPair<QString, QString>> readAccounts(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        fail(QStringLiteral("cannot read %1").arg(path));
    QList<QPair<QString, QString>> accounts;
    const QList<QByteArray> lines = file.readAll().split('\n');
    for (const QByteArray &line : lines) {
        if (line.isEmpty())
            continue;
        const qsizetype tab = line.indexOf('\t');
        if (tab <= 0)
            fail(QStringLiteral("%1: a line without \"email<TAB>password\"").arg(path));
        accounts.append({ QString::fromUtf8(line.left(tab)), QString::fromUtf8(line.mid(tab + 1)) });
    }
    return accounts;
}

} // namespace

int main(int argc, char *argv[])
{
    // Taken through a signalfd on the event loop, so that a signal never interrupts Qt halfway.
    // Blocked before anything could start a thread, so every thread inherits the mask. A shell's
    // background job starts with SIGINT ignored, and an ignored signal never reaches a signalfd.
    std::signal(SIGTERM, SIG_DFL);
    std::signal(SIGINT, SIG_DFL);
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    const int signalFd = signalfd(-1, &stopSignals, SFD_CLOEXEC | SFD_NONBLOCK);

    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("quellnet-account-standin"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Local HTTPS stand-in for the quellnet account service."));
    parser.addHelpOption();
    const QCommandLineOption portOption(QStringLiteral("port"),
        QStringLiteral("TCP port on 127.0.0.1 (0: any free port)."), QStringLiteral("port"), QStringLiteral("0"));
    const QCommandLineOption certOption(
        QStringLiteral("cert"), QStringLiteral("Server certificate (PEM)."), QStringLiteral("file"));
    const QCommandLineOption keyOption(
        QStringLiteral("key"), QStringLiteral("Server key (PEM, unencrypted)."), QStringLiteral("file"));
    const QCommandLineOption accountsOption(QStringLiteral("accounts"),
        QStringLiteral("A file of accounts, one \"email<TAB>password\" a line. Repeatable."), QStringLiteral("file"));
    const QCommandLineOption profileOption(
        QStringLiteral("profile"), QStringLiteral("The profile served as \"config\"."), QStringLiteral("file"));
    parser.addOptions({ portOption, certOption, keyOption, accountsOption, profileOption });
    parser.process(app);

    if (signalFd < 0)
        fail(QStringLiteral("signalfd failed"), 1);
    if (!parser.isSet(certOption) || !parser.isSet(keyOption) || !parser.isSet(profileOption))
        fail(QStringLiteral("--cert, --key and --profile are required (see --help)"));
    bool portOk = false;
    const uint port = parser.value(portOption).toUInt(&portOk);
    if (!portOk || port > 65535)
        fail(QStringLiteral("bad --port %1").arg(parser.value(portOption)));

    QList<QPair<QString, QString>> accounts;
    for (const QString &path : parser.values(accountsOption))
        accounts += readAccounts(path);
    if (accounts.isEmpty())
        fail(QStringLiteral("no accounts: give --accounts"));

    QFile profileFile(parser.value(profileOption));
    if (!profileFile.open(QIODevice::ReadOnly))
        fail(QStringLiteral("cannot read the profile %1").arg(profileFile.fileName()));

    AccountStandIn standIn;
    standIn.setProfile(QString::fromUtf8(profileFile.readAll()));
    for (const auto &[email, password] : accounts)
        standIn.addAccount(email, password);
    if (!standIn.listen(parser.value(certOption), parser.value(keyOption), static_cast<quint16>(port)))
        fail(standIn.errorString(), 1);

    QSocketNotifier signalNotifier(signalFd, QSocketNotifier::Read);
    QObject::connect(&signalNotifier, &QSocketNotifier::activated, &app, [signalFd] {
        signalfd_siginfo info {};
        if (read(signalFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info))
            QCoreApplication::quit();
    });

    print(QStringLiteral("account service stand-in: %1").arg(standIn.baseUrl().toString()));
    for (const auto &[email, password] : accounts)
        print(QStringLiteral("  account %1  password %2").arg(email, password));

    const int status = QCoreApplication::exec();
    standIn.close();
    close(signalFd);
    print(QStringLiteral("account service stand-in: stopped"));
    return status;
}
