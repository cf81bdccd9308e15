// Every text of the program has a finished German and English translation. lupdate reads the
// sources as they are now into copies of the committed catalogues; a text that is new or changed
// comes out unfinished. To mend a failure: cmake --build <build> --target update_translations,
// then translate the new entries in resources/translations/quellnet_{de,en}.ts (the English
// catalogue repeats an English source text as its translation).
#include "tests/support/TestTools.h"

#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QXmlStreamReader>

using namespace quellnet::test;
using namespace Qt::StringLiterals;

namespace {

struct Message
{
    QString context;
    QString source;
    QString translation;
    bool finished = false;
};

QList<Message> readCatalogue(const QString &path)
{
    QList<Message> messages;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return messages;
    QXmlStreamReader xml(&file);
    QString context;
    Message message;
    while (!xml.atEnd()) {
        if (xml.readNext() != QXmlStreamReader::StartElement)
            continue;
        if (xml.name() == u"name") {
            context = xml.readElementText();
        } else if (xml.name() == u"message") {
            message = Message { context, {}, {}, false };
        } else if (xml.name() == u"source") {
            message.source = xml.readElementText();
        } else if (xml.name() == u"translation") {
            const QStringView type = xml.attributes().value(u"type"_s);
            message.finished = type.isEmpty();
            message.translation = xml.readElementText();
            if (type != u"vanished" && type != u"obsolete")
                messages << message;
        }
    }
    return messages;
}

QStringList placeholders(const QString &text)
{
    static const QRegularExpression pattern(u"%L?\\d+"_s);
    QStringList found;
    for (const QRegularExpressionMatch &match : pattern.globalMatch(text))
        found << match.captured();
    found.sort();
    return found;
}

} // namespace

class TestTranslations : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void everyTextIsTranslated_data()
    {
        addRows<QString>("language", { { "German", u"de"_s }, { "English", u"en"_s } });
    }
    void everyTextIsTranslated()
    {
        QFETCH(QString, language);
        const QString root = QStringLiteral(QUELLNET_SOURCE_DIR);
        const QString committed = root + u"/resources/translations/quellnet_%1.ts"_s.arg(language);
        QTemporaryDir dir;
        const QString current = dir.filePath(u"quellnet_%1.ts"_s.arg(language));
        QVERIFY(QFile::copy(committed, current));

        QProcess lupdate;
        lupdate.setWorkingDirectory(root);
        lupdate.setProcessChannelMode(QProcess::MergedChannels);
        QStringList arguments { u"-locations"_s, u"none"_s, u"-no-obsolete"_s, u"-I"_s, root };
        for (const char *folder : { "app", "ui", "account", "engine", "helperlink", "base", "resources" })
            arguments << root + u'/' + QString::fromLatin1(folder);
        lupdate.start(QStringLiteral(QUELLNET_LUPDATE), arguments << u"-ts"_s << current);
        QVERIFY2(lupdate.waitForFinished(60000) && lupdate.exitCode() == 0, lupdate.readAll().constData());

        const QList<Message> messages = readCatalogue(current);
        QVERIFY(messages.size() >= readCatalogue(committed).size() / 2);
        QStringList problems;
        for (const Message &message : messages) {
            if (!message.finished || message.translation.isEmpty())
                problems << u"no finished translation: [%1] %2"_s.arg(message.context, message.source);
            else if (placeholders(message.source) != placeholders(message.translation))
                problems << u"placeholders differ: [%1] %2 -> %3"_s.arg(
                    message.context, message.source, message.translation);
        }
        QVERIFY2(problems.isEmpty(), qPrintable(u"quellnet_%1.ts:\n  "_s.arg(language) + problems.join(u"\n  "_s)));
    }
};

QTEST_GUILESS_MAIN(TestTranslations)
#include "tst_translations.moc"
