// Fuzz target: CLSIDFromString on arbitrary UTF-16 text (the input's bytes
// taken as little-endian code units, terminated after them). A text is
// accepted exactly when it is "{8-4-4-4-12}" hex digits of either case and
// nothing after; then writing the class back in upper case gives the text
// again, up to case. A refused text leaves the null class.
// Thread: the fuzzer's own.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "platform/win32.h"

namespace {

using tonegate_fuzz::Require;

bool IsHexDigit(char16_t c) { return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F'); }

// The strict form, checked position by position.
bool HasClassForm(const char16_t* text) {
    constexpr char kForm[] = "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}";
    for (size_t i = 0; kForm[i] != '\0'; ++i) {
        const bool fits = kForm[i] == 'x' ? IsHexDigit(text[i]) : text[i] == static_cast<char16_t>(kForm[i]);
        if (!fits) return false;  // the terminator fits nothing, so a short text stops here
    }
    return text[sizeof kForm - 1] == u'\0';
}

char16_t Upper(char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - u'a' + u'A') : c; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<char16_t> text(size / 2 + 1, u'\0');
    for (size_t i = 0; i + 1 < size; i += 2)
        text[i / 2] = static_cast<char16_t>(data[i] | static_cast<unsigned>(data[i + 1]) << 8);

    CLSID clsid;
    std::memset(&clsid, 0xA5, sizeof clsid);
    const HRESULT result = CLSIDFromString(text.data(), &clsid);
    if (!HasClassForm(text.data())) {
        Require(result == CO_E_CLASSSTRING, "a text not of the class form is refused");
        Require(clsid == GUID{}, "a refused text leaves the null class");
        return 0;
    }
    Require(result == S_OK, "a text of the class form is accepted");
    char written[39];
    std::snprintf(written, sizeof written, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned>(clsid.Data1), clsid.Data2, clsid.Data3, clsid.Data4[0], clsid.Data4[1],
                  clsid.Data4[2], clsid.Data4[3], clsid.Data4[4], clsid.Data4[5], clsid.Data4[6], clsid.Data4[7]);
    for (size_t i = 0; i < 38; ++i)
        Require(Upper(text[i]) == static_cast<char16_t>(written[i]), "the class written back is the text");
    return 0;
}
