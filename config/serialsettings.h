// Serial parameter strings: "baud,bits,parity,stop,flow" with an optional
// "/wiring/strict" tail that only virtual ports carry. The parser itself is
// TunnelCommEngine::parseCommParams.
#pragma once

#include <QString>

// Adds the default tail "/NO/NS" to a virtual port's string without one,
// and strips any tail from a real port's string.
QString normalizeSerialSettings(const QString &settings, bool realPort);
