// quellnet-account-standin: the HTTPS account stand-in as a program, for the demo and the end-to-end
// stack. Serves until a signal ends it; it keeps nothing that would need saving.
//
//   quellnet-account-standin --cert PEM --key PEM --profile FILE --accounts FILE... [--port N]
//
// An accounts file holds "email<TAB>password" a line; the password is everything after the first tab.
#include "tests/support/AccountStandIn.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>

#include <cstdio>

using quellnet::test::AccountStandIn;

namespace {

[[noreturn]] void fail(const QString &message, int code = 2)
{
    std::fprintf(stderr, "quellnet-account-standin: %s\n", qPrintable(message));
    std::exit(code);
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        fail(QStringLiteral("cannot read %1").arg(path));
    return file.readAll();
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    const std::pair<const char *, const char *> options[] = { { "port", "TCP port on 127.0.0.1 (0: any free one)" },
        { "cert", "server certificate (PEM)" }, { "key", "server key (PEM, unencrypted)" },
        { "accounts", "accounts, \"email<TAB>password\" a line (repeatable)" }, { "profile", "the profile served" } };
    for (const auto &[name, help] : options)
        parser.addOption({ QLatin1String(name), QLatin1String(help), QStringLiteral("value") });
    parser.process(app);
    bool portOk = true;
    const uint port = parser.isSet(QStringLiteral("port")) ? parser.value(QStringLiteral("port")).toUInt(&portOk) : 0;
    if (!portOk || port > 65535 || !parser.isSet(QStringLiteral("cert")) || !parser.isSet(QStringLiteral("key"))
        || !parser.isSet(QStringLiteral("profile")) || !parser.isSet(QStringLiteral("accounts")))
        fail(QStringLiteral("usage: --cert PEM --key PEM --profile FILE --accounts FILE... [--port N]"));

    AccountStandIn standIn;
    standIn.setProfile(QString::fromUtf8(readFile(parser.value(QStringLiteral("profile")))));
    QStringList accounts;
    for (const QString &path : parser.values(QStringLiteral("accounts"))) {
        for (const QByteArray &line : readFile(path).split('\n')) {
            const qsizetype tab = line.indexOf('\t');
            if (line.isEmpty())
                continue;
            if (tab <= 0)
                fail(QStringLiteral("%1: a line without \"email<TAB>password\"").arg(path));
            standIn.addAccount(QString::fromUtf8(line.left(tab)), QString::fromUtf8(line.mid(tab + 1)));
            accounts.append(QString::fromUtf8(line).replace(u'\t', QStringLiteral("  password ")));
        }
    }
    QString error;
    if (!standIn.listen(
            parser.value(QStringLiteral("cert")), parser.value(QStringLiteral("key")), quint16(port), &error))
        fail(error, 1);

    std::printf("account service stand-in: %s\n", qPrintable(standIn.baseUrl().toString()));
    for (const QString &account : accounts)
        std::printf("  account %s\n", qPrintable(account));
    std::fflush(stdout);
    return QCoreApplication::exec();
}
