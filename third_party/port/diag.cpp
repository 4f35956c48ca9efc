// Lets lwIP skip formatting its diagnostic lines when the log would drop them.
#include "log/debug_class.h"

extern "C" int velmora_lwip_diag_enabled(void)
{
    return CGlobalDebugFileHandler::isLevelEnabled(6) ? 1 : 0;
}
