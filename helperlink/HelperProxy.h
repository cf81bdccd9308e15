#pragma once

#include "helperlink/HelperProtocol.h"
#include "helperlink/HelperWire.h"

#include <functional>
#include <optional>

namespace quellnet {

// One request to the helper, waiting for its answer: the reply of the kind it awaits, or an error
// reply, which answers any request. A request that awaits no answer (killOpenVPN) is done with once
// it is out. The connection that carries it runs its reply or its error handler, at most once and
// never both.
class HelperJob
{
public:
    using ReplyHandler = std::function<void(const HelperReply &reply)>;

    HelperJob(std::optional<HelperReply::Kind> answer, ReplyHandler replyHandler, HelperErrorHandler errorHandler);

    bool awaitsAnswer() const { return m_answer.has_value(); }
    bool isAnsweredBy(HelperReply::Kind kind) const { return kind == HelperReply::Kind::Error || kind == m_answer; }

    // Hands `reply` to the error handler when it is an error, otherwise to the reply handler.
    void resolve(const HelperReply &reply) const;
    void fail(const QString &description) const;

private:
    std::optional<HelperReply::Kind> m_answer;
    ReplyHandler m_replyHandler;
    HelperErrorHandler m_errorHandler;
};

// The HelperProtocol that a connection hands out: each call becomes a request, with the job that
// waits for its answer, given to `send` on the caller's thread. The request's id is left to the
// connection. A new operation of the helper is one more method here.
class HelperProxy final : public HelperProtocol
{
public:
    using Send = std::function<void(const HelperRequest &request, const HelperJob &job)>;

    HelperProxy(Send send, HelperErrorHandler errorHandler);

    void getVersionWithResponseHandler(std::function<void(const QString &version)> reply) override;
    void runOpenVPNWithConfig(const QString &config, const QString &clientUp, const QString &clientDown,
        const QString &managementPassword,
        std::function<void(std::int32_t terminationStatus)> terminationHandler) override;
    void killOpenVPN() override;
    void getRunWithResponseHandler(std::function<void(const std::optional<HelperRun> &run)> reply) override;

private:
    void send(HelperRequest::Operation operation, HelperRequest request, std::optional<HelperReply::Kind> answer,
        HelperJob::ReplyHandler replyHandler);

    Send m_send;
    HelperErrorHandler m_errorHandler;
};

} // namespace quellnet
