// The virtual port driver's record of one port pair in the registry store,
// kept by the driver (written when it creates a pair, read when it recreates
// its pairs at start), by the program's driver interface (written after it
// creates a pair, removed with it) and by the cleanup tool (all removed).
//
// Key "SYSTEM\CurrentControlSet\services\VSBC7\Ports\<subkey>" below the
// machine root, the subkey being the first port's name followed by the second
// one's, with the values
//   Port1           string  the first port's name
//   Port2           string  the second port's name (empty: the driver names
//                           the other end "NULL_" + the first name)
//   StrictBaudrate  dword   1 when the pair paces at the baud rate, else 0
//   Wiring          binary  the 4 bytes of the wiring mask, little-endian
// Names are stored as given: each side upper-cases them as it compares them.
#pragma once

#include "platform/registrystore.h"

#include <QString>

struct PairRecord {
    QString port1;
    QString port2;
    bool strict = false;
    quint32 wiring = 0;

    // The key of all records, below the machine root.
    static QString portsKey();
    static QString keyOf(const QString &subkey) { return portsKey() + QLatin1Char('\\') + subkey; }
    QString subkey() const { return port1 + port2; }

    // All four values in one change of the store: a reader sees the whole record or none of it.
    long write(RegistryStore &store) const;
    // Success with the values of the record (a missing Port2, StrictBaudrate or Wiring reads as
    // empty or 0); FileNotFound when the key or its string Port1 is missing.
    static long read(const RegistryStore &store, const QString &subkey, PairRecord *out);
    // Changes one setting of an existing record; FileNotFound (and nothing written) when the
    // record is gone, so that a record removed meanwhile is never brought back in part.
    static long updateStrict(RegistryStore &store, const QString &subkey, bool strict);
    static long updateWiring(RegistryStore &store, const QString &subkey, quint32 wiring);

    static RegistryStore::Value strictValue(bool strict);
    static RegistryStore::Value wiringValue(quint32 wiring);
};
