#pragma once

#include "engine/RunOutcome.h"

#include <QCoreApplication>
#include <QString>

namespace quellnet {

// What the person reads about a run that failed: what happened and what to do, short, in the
// program's language. GUI thread (it translates).
class FailureText
{
    Q_DECLARE_TR_FUNCTIONS(quellnet::FailureText)

public:
    // Empty for FailureReason::None.
    static QString of(FailureReason reason);
};

} // namespace quellnet
