#include "engine/OpenVPNManagement.h"

#include "base/Error.h"
#include "engine/EngineLog.h"
#include "engine/ManagementReceiveBuffer.h"
#include "engine/StandardOutput.h"

#include <chrono>

#include <pthread.h>

namespace quellnet {

namespace {
constexpr qsizetype readSize = 2048;
// The answer to "state" is one record and "END"; what openvpn reported before it is a few lines.
constexpr qsizetype maxStateAnswerBytes = 64 * 1024;
} // namespace

OpenVPNManagement::OpenVPNManagement(ManagementParser::StateSink stateSink, ManagementObserver *observer)
    : m_socket(QStringLiteral("127.0.0.1"), 1337), m_parser(std::move(stateSink), observer)
{ }

OpenVPNManagement::~OpenVPNManagement()
{
    m_socket.close();
    std::list<Reader> readers;
    {
        std::lock_guard lock(m_mutex);
        readers.swap(m_readers);
    }
    for (Reader &reader : readers)
        reader.thread.join();
}

QString OpenVPNManagement::traceOf(const QString &command)
{
    static const QLatin1String verb("password ");
    if (!command.startsWith(verb))
        return command;
    // Keep the verb and the credential type ('Auth'); the value never reaches standard output.
    qsizetype typeEnd = -1;
    const qsizetype typeStart = verb.size();
    if (typeStart < command.size() && (command[typeStart] == u'\'' || command[typeStart] == u'"')) {
        const qsizetype closing = command.indexOf(command[typeStart], typeStart + 1);
        typeEnd = closing < 0 ? -1 : closing + 1;
    } else {
        typeEnd = command.indexOf(u' ', typeStart);
    }
    const QString newline = command.endsWith(u'\n') ? QStringLiteral("\n") : QString();
    if (typeEnd < 0)
        return verb + QStringLiteral("\"********\"") + newline;
    return command.first(typeEnd) + QStringLiteral(" \"********\"") + newline;
}

void OpenVPNManagement::send(const QString &command)
{
    QString error;
    if (m_socket.send(command, &error))
        StandardOutput::write(traceOf(command) + u'\n');
    else
        StandardOutput::write(traceOf(command) + u' ' + error + u'\n');
}

bool OpenVPNManagement::takeCurrentState(std::chrono::milliseconds timeout, bool *awaitsCredentials, QString *error)
{
    using Clock = std::chrono::steady_clock;
    *awaitsCredentials = false;
    const std::shared_ptr<TcpConnection> connection = m_socket.connection();
    if (!connection)
        return failWith(error, QStringLiteral("Not connected"));
    send(QStringLiteral("state\n"));
    const Clock::time_point deadline = Clock::now() + timeout;
    QByteArray line;
    for (qsizetype received = 0; received < maxStateAnswerBytes; ++received) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            return failWith(error, QStringLiteral("no answer to \"state\""));
        // Byte by byte, so that nothing past "END" is taken from the reader.
        const std::optional<QByteArray> byte = connection->read(1, left);
        if (!byte)
            return failWith(error, QStringLiteral("the connection closed"));
        line += *byte;
        if (!line.endsWith("\r\n"))
            continue;
        line.chop(2);
        const QString text = QString::fromUtf8(line);
        line.clear();
        if (text == u"END")
            return true;
        if (text.startsWith(QLatin1String(">PASSWORD:Need 'Auth'")))
            *awaitsCredentials = true;
        if (text.startsWith(u'>') || text.startsWith(QLatin1String("SUCCESS:"))
            || text.startsWith(QLatin1String("ERROR:")))
            m_parser.handleLine(text);
        else
            m_parser.handleState(text);
    }
    return failWith(error, QStringLiteral("the answer to \"state\" is longer than %1 bytes").arg(maxStateAnswerBytes));
}

void OpenVPNManagement::setConnectionLostHandler(std::function<void()> handler)
{
    std::lock_guard lock(m_mutex);
    m_connectionLostHandler = std::move(handler);
}

void OpenVPNManagement::startReading()
{
    reapFinishedReaders();
    const std::shared_ptr<TcpConnection> connection = m_socket.connection();
    if (!connection || !connection->claimReader())
        return;

    auto finished = std::make_shared<std::atomic<bool>>(false);
    ++m_readerCount;
    std::lock_guard lock(m_mutex);
    m_readers.push_back({ std::thread([this, connection, finished] {
                             ::pthread_setname_np(::pthread_self(), "qn-mgmt-reader");
                             readLoop(connection);
                             {
                                 std::lock_guard endLock(m_mutex);
                                 --m_readerCount;
                             }
                             m_readerEnded.notify_all();
                             finished->store(true);
                         }),
        finished });
}

bool OpenVPNManagement::waitForReaders(std::chrono::milliseconds timeout)
{
    std::unique_lock lock(m_mutex);
    return m_readerEnded.wait_for(lock, timeout, [this] { return m_readerCount.load() == 0; });
}

void OpenVPNManagement::reapFinishedReaders()
{
    std::list<Reader> done;
    {
        std::lock_guard lock(m_mutex);
        for (auto it = m_readers.begin(); it != m_readers.end();) {
            auto next = std::next(it);
            if (it->finished->load())
                done.splice(done.end(), m_readers, it);
            it = next;
        }
    }
    for (Reader &reader : done)
        reader.thread.join();
}

void OpenVPNManagement::readLoop(const std::shared_ptr<TcpConnection> &connection)
{
    ManagementReceiveBuffer buffer(m_parser);
    for (;;) {
        const std::optional<QByteArray> chunk = connection->read(readSize, -1);
        if (!chunk)
            break;
        qCDebug(lcEngine) << "read" << chunk->size() << "bytes from the management interface";
        // Straight back to waiting for openvpn's next output: the read sleeps until there is some, so
        // a state report is handled the moment it arrives, and a tunnel that is up costs one wake-up
        // per byte count line.
        buffer.receive(*chunk);
    }

    if (connection->isShutDown())
        return;
    qCDebug(lcEngine) << "openvpn closed the management connection";
    std::function<void()> handler;
    {
        std::lock_guard lock(m_mutex);
        handler = m_connectionLostHandler;
    }
    if (handler)
        handler();
}

} // namespace quellnet
