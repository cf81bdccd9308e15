// The account stand-in as the demo and the end-to-end stack run it: accounts from both options,
// passwords taken exactly, verified TLS, and a clean exit on SIGTERM. The fixture itself is
// exercised by the connect flow's tests.
#include "TestPki.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryFile>
#include <QTest>

using namespace quellnet;
using namespace Qt::StringLiterals;

class TestAccountStandIn : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void programServesUntilSignalled()
    {
        TestPki pki;
        QVERIFY2(pki.isValid(), qPrintable(pki.errorString()));
        QTemporaryFile accounts;
        QTemporaryFile profile;
        QVERIFY(accounts.open() && profile.open());
        accounts.write("tricky@example.test\t Quote\" Back\\slash 7\n");
        profile.write("client\n");
        accounts.close();
        profile.close();

        QProcess program;
        program.start(QStringLiteral(QUELLNET_STANDIN_EXE),
            { u"--port"_s, u"0"_s, u"--cert"_s, pki.standInCertificatePath(), u"--key"_s, pki.standInKeyPath(),
                u"--account"_s, u"colon@example.test:pa:ss"_s, u"--accounts"_s, accounts.fileName(), u"--profile"_s,
                profile.fileName() });
        QString output;
        QRegularExpressionMatch url;
        QTRY_VERIFY_WITH_TIMEOUT(
            (output += QString::fromUtf8(program.readAllStandardOutput()),
                url = QRegularExpression(u"https://127\\.0\\.0\\.1:\\d+/api/"_s).match(output), url.hasMatch()),
            10000);

        QNetworkAccessManager network;
        const auto login = [&](const QString &email, const QString &password) {
            QNetworkRequest request(QUrl(url.captured() + u"login"_s));
            request.setSslConfiguration(pki.clientConfiguration());
            request.setHeader(QNetworkRequest::ContentTypeHeader, u"application/json"_s);
            const QJsonObject body { { u"email"_s, email }, { u"password"_s, password } };
            QNetworkReply *reply = network.post(request, QJsonDocument(body).toJson(QJsonDocument::Compact));
            QSignalSpy finished(reply, &QNetworkReply::finished);
            static_cast<void>(reply->isFinished() || finished.wait(10000));
            reply->deleteLater();
            return reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        };
        QCOMPARE(login(u"colon@example.test"_s, u"pa:ss"_s), 200);
        QCOMPARE(login(u"tricky@example.test"_s, u" Quote\" Back\\slash 7"_s), 200);
        QCOMPARE(login(u"tricky@example.test"_s, u"Quote\" Back\\slash 7"_s), 401);

        program.terminate();
        QVERIFY(program.waitForFinished(5000));
        QCOMPARE(program.exitStatus(), QProcess::NormalExit);
        QCOMPARE(program.exitCode(), 0);
    }
};

QTEST_GUILESS_MAIN(TestAccountStandIn)
#include "tst_accountstandin.moc"
