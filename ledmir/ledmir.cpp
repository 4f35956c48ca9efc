// libledmir.so: the exported entry point of the start-with-system bridge.
#include "ledmir/ledmir.h"
#include "ledmir/autostartentry.h"

#include <type_traits>

namespace
{

// UTF-32 wide text to UTF-8, independent of the locale. False for a code
// point that is no character (surrogates, beyond U+10FFFF) or NUL.
bool toUtf8(const std::wstring &in, std::string *out)
{
    out->clear();
    for (wchar_t wc : in) {
        const uint32_t c = uint32_t(wc);
        if (c == 0 || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
            return false;
        if (c < 0x80) {
            *out += char(c);
        } else if (c < 0x800) {
            *out += char(0xC0 | (c >> 6));
            *out += char(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            *out += char(0xE0 | (c >> 12));
            *out += char(0x80 | ((c >> 6) & 0x3F));
            *out += char(0x80 | (c & 0x3F));
        } else {
            *out += char(0xF0 | (c >> 18));
            *out += char(0x80 | ((c >> 12) & 0x3F));
            *out += char(0x80 | ((c >> 6) & 0x3F));
            *out += char(0x80 | (c & 0x3F));
        }
    }
    return true;
}

ledmir::Outcome createTaskDefinition(const std::wstring &name, const std::wstring &programPath,
                                     const std::wstring &workDir, const std::wstring &author, bool remove,
                                     int32_t delaySeconds)
{
    ledmir::AutostartEntry entry;
    ledmir::Outcome outcome;
    if (!toUtf8(name, &entry.name) || !toUtf8(programPath, &entry.program) ||
        !toUtf8(workDir, &entry.workDir) || !toUtf8(author, &entry.author)) {
        outcome.code = ledmir::BadText;
        outcome.stage = ledmir::StageArguments;
        return outcome;
    }
    entry.delaySeconds = delaySeconds;
    const std::string folder = ledmir::autostartFolder();
    return remove ? ledmir::removeEntry(folder, entry.name) : ledmir::writeEntry(folder, entry);
}

} // namespace

extern "C" __attribute__((visibility("default"))) bool
CreateTaskDefinition(const std::wstring &name, const std::wstring &programPath, const std::wstring &workDir,
                     const std::wstring &author, bool remove, int32_t delaySeconds, int32_t *resultCode,
                     int32_t *stage)
{
    ledmir::Outcome outcome;
    try {
        outcome = createTaskDefinition(name, programPath, workDir, author, remove, delaySeconds);
    } catch (...) { // nothing may leave a C entry point; std::bad_alloc is all that can come
        outcome.code = ledmir::Internal;
        outcome.stage = ledmir::StageArguments;
    }
    if (resultCode)
        *resultCode = outcome.code;
    if (stage)
        *stage = outcome.stage;
    return outcome.ok();
}

// The exported definition has the type callers resolve it as.
static_assert(std::is_same<decltype(&CreateTaskDefinition), CreateTaskDefinitionFn>::value,
              "CreateTaskDefinition has the type its callers resolve");
