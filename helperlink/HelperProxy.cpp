#include "helperlink/HelperProxy.h"

namespace quellnet {

HelperJob::HelperJob(
    std::optional<HelperReply::Kind> answer, ReplyHandler replyHandler, HelperErrorHandler errorHandler)
    : m_answer(answer), m_replyHandler(std::move(replyHandler)), m_errorHandler(std::move(errorHandler))
{ }

void HelperJob::resolve(const HelperReply &reply) const
{
    if (reply.kind == HelperReply::Kind::Error)
        fail(reply.text);
    else if (m_replyHandler)
        m_replyHandler(reply);
}

void HelperJob::fail(const QString &description) const
{
    if (m_errorHandler)
        m_errorHandler(HelperError { description });
}

HelperProxy::HelperProxy(Send send, HelperErrorHandler errorHandler)
    : m_send(std::move(send)), m_errorHandler(std::move(errorHandler))
{ }

void HelperProxy::getVersionWithResponseHandler(std::function<void(const QString &version)> reply)
{
    send(HelperRequest::Operation::GetVersion, {}, HelperReply::Kind::Version,
        [reply = std::move(reply)](const HelperReply &answer) {
            if (reply)
                reply(answer.text);
        });
}

void HelperProxy::runOpenVPNWithConfig(const QString &config, const QString &clientUp, const QString &clientDown,
    const QString &managementPassword, std::function<void(std::int32_t terminationStatus)> terminationHandler)
{
    HelperRequest request;
    request.config = config;
    request.clientUp = clientUp;
    request.clientDown = clientDown;
    request.managementPassword = managementPassword;
    send(HelperRequest::Operation::RunOpenVPN, std::move(request), HelperReply::Kind::TerminationStatus,
        [handler = std::move(terminationHandler)](const HelperReply &answer) {
            if (handler)
                handler(answer.terminationStatus);
        });
}

void HelperProxy::killOpenVPN()
{
    send(HelperRequest::Operation::KillOpenVPN, {}, std::nullopt, {});
}

void HelperProxy::getRunWithResponseHandler(std::function<void(const std::optional<HelperRun> &run)> reply)
{
    send(HelperRequest::Operation::GetRun, {}, HelperReply::Kind::Run,
        [reply = std::move(reply)](const HelperReply &answer) {
            if (reply)
                reply(answer.run);
        });
}

void HelperProxy::send(HelperRequest::Operation operation, HelperRequest request,
    std::optional<HelperReply::Kind> answer, HelperJob::ReplyHandler replyHandler)
{
    request.operation = operation;
    m_send(request, HelperJob(answer, std::move(replyHandler), m_errorHandler));
}

} // namespace quellnet
