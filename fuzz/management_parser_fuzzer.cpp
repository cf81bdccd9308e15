// The management reader's path for openvpn's output: the receive buffer and the parser behind it,
// fed an arbitrary sequence of reads.
//
// The input is a sequence of records, each a header byte and what it needs:
//   header < 0xFF   a read of `header` bytes (fewer where the input ends);
//   0xFF n f        a flood: byte f repeated (n % 8 + 1) x 256 KiB, handed over in reads of 2048
//                   bytes like the reader's, so that inputs reach the buffer's bound. Floods are
//                   slow under the sanitizers, so only the first two of an input count; later ones
//                   are skipped.
//
// After every record: no crash or sanitizer report, the pending text holds no line feed and stays
// within maxPendingBytes (in UTF-8). At the end: every state name the parser reported appears in
// the text that was taken in, and there were no more reports than ">STATE:" notifications in it;
// each report's fields hold no comma, each byte count, refused password and fatal error
// came from a line of its kind, and the state sink heard exactly the names of the reports.
#include "engine/ManagementParser.h"
#include "engine/ManagementReceiveBuffer.h"
#include "fuzz/FuzzCheck.h"

#include <QByteArray>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringDecoder>
#include <QStringList>

#include <cstdint>
#include <cstdio>

#include <fcntl.h>
#include <unistd.h>

using namespace quellnet;

namespace {

constexpr std::uint8_t floodHeader = 0xFF;
constexpr qsizetype floodUnit = qsizetype(256) * 1024;
constexpr qsizetype floodReadSize = 2048;
constexpr int maxFloods = 2;

// The text a read contributes when the buffer takes it: the reads are decoded one by one, a BOM at
// the start of one is text like any other (QString::fromUtf8 would drop it), and one that is not
// valid UTF-8 contributes nothing.
QString acceptedText(const QByteArray &read)
{
    QStringDecoder decoder(
        QStringDecoder::Utf8, QStringDecoder::Flag::Stateless | QStringDecoder::Flag::ConvertInitialBom);
    const QString text = decoder.decode(read);
    return decoder.hasError() ? QString() : text;
}

// What the parser reports besides the names.
class Reports : public ManagementObserver
{
public:
    void stateReported(const StateReport &report) override
    {
        for (const QString *field :
            { &report.time, &report.name, &report.description, &report.tunnelAddress, &report.remoteAddress,
                &report.remotePort, &report.localAddress, &report.localPort, &report.tunnelAddress6 })
            FUZZ_CHECK(!field->contains(u','));
        names.append(report.name);
    }
    void byteCountReported(std::uint64_t, std::uint64_t) override { ++byteCounts; }
    void verificationFailed() override { ++refusals; }
    void fatalReported(const QString &) override { ++fatals; }

    QStringList names;
    int byteCounts = 0;
    int refusals = 0;
    int fatals = 0;
};

class Run
{
public:
    Run() : m_parser([this](const QString &name) { m_reported.append(name); }, &m_reports), m_buffer(m_parser) { }

    void read(const QByteArray &bytes)
    {
        m_buffer.receive(bytes);
        m_reads.append(bytes); // shared, not copied: a flood costs one entry a read
        // Cheap enough for every read of a flood: a UTF-16 unit never stands for less than a byte.
        FUZZ_CHECK(m_buffer.pending().size() <= ManagementReceiveBuffer::maxPendingBytes);
    }

    void checkPending() const
    {
        FUZZ_CHECK(!m_buffer.pending().contains(u'\n'));
        FUZZ_CHECK(m_buffer.pending().toUtf8().size() <= ManagementReceiveBuffer::maxPendingBytes);
    }

    void checkReports() const
    {
        FUZZ_CHECK(m_reports.names == m_reported);
        if (m_reported.isEmpty() && m_reports.byteCounts == 0 && m_reports.refusals == 0 && m_reports.fatals == 0)
            return;
        QString taken;
        for (const QByteArray &read : m_reads)
            taken.append(acceptedText(read));
        FUZZ_CHECK(m_reports.byteCounts <= taken.count(QLatin1String(">BYTECOUNT:")));
        FUZZ_CHECK(m_reports.refusals <= taken.count(QLatin1String(">PASSWORD:Verification Failed")));
        FUZZ_CHECK(m_reports.fatals <= taken.count(QLatin1String(">FATAL:")));
        FUZZ_CHECK(m_reported.size() <= taken.count(QLatin1String(">STATE:")));
        const QSet<QString> names(m_reported.cbegin(), m_reported.cend());
        for (const QString &name : names) {
            FUZZ_CHECK(!name.contains(u','));
            FUZZ_CHECK(taken.contains(name));
        }
    }

private:
    QStringList m_reported;
    Reports m_reports;
    QList<QByteArray> m_reads;
    const ManagementParser m_parser;
    ManagementReceiveBuffer m_buffer;
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // The parser writes what it does not recognise to standard output; libFuzzer reports on
    // standard error, and nobody needs the rest.
    const int null = ::open("/dev/null", O_WRONLY);
    if (null >= 0) {
        std::fflush(stdout);
        ::dup2(null, STDOUT_FILENO);
        ::close(null);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArrayView input(data, qsizetype(size));
    Run run;
    int floods = 0;
    qsizetype at = 0;
    while (at < input.size()) {
        const std::uint8_t header = std::uint8_t(input[at++]);
        if (header != floodHeader) {
            const qsizetype length = std::min<qsizetype>(header, input.size() - at);
            run.read(input.sliced(at, length).toByteArray());
            at += length;
        } else if (at + 2 <= input.size()) {
            const qsizetype units = std::uint8_t(input[at]) % 8 + 1;
            const QByteArray piece(floodReadSize, input[at + 1]);
            at += 2;
            if (floods++ < maxFloods) {
                for (qsizetype fed = 0; fed < units * floodUnit; fed += floodReadSize)
                    run.read(piece);
            }
        } else {
            break;
        }
        run.checkPending();
    }
    run.checkReports();
    return 0;
}
