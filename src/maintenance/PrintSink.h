#pragma once

#include <QString>

// The maintenance code's printf-style output: each call is formatted, trimmed,
// logged at once and collected; the owner of the status log takes the collected
// text on its next tick and shows it as one line.
namespace PrintSink {

void print(const char *format, ...) __attribute__((format(printf, 1, 2)));

bool pending();
// Returns the text collected since the last call and clears it.
QString takePending();

} // namespace PrintSink
