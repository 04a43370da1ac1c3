#pragma once

#include <QString>
#include <QtGlobal>

#include <cstdlib>

namespace fuzz {

// Millions of inputs a minute: the parsers' log lines would only slow the search down.
inline void quiet(QtMsgType, const QMessageLogContext &, const QString &) {}
inline const bool kQuiet = (qInstallMessageHandler(quiet), true);

// A broken invariant is a finding: abort so the fuzzer keeps the input.
inline void check(bool condition)
{
    if (!condition)
        std::abort();
}

} // namespace fuzz
