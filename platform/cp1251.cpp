#include "platform/cp1251.h"

#include <iconv.h>

#include <cerrno>
#include <vector>

namespace drv {
namespace {

std::string Convert(const char* to, const char* from, std::string_view in, bool replaceUnknown) {
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1)) return std::string(in);
    std::string out;
    std::vector<char> buf(in.size() * 4 + 16);
    char* src = const_cast<char*>(in.data());
    std::size_t srcLeft = in.size();
    while (srcLeft > 0) {
        char* dst = buf.data();
        std::size_t dstLeft = buf.size();
        std::size_t r = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
        out.append(buf.data(), static_cast<std::size_t>(dst - buf.data()));
        if (r != static_cast<std::size_t>(-1)) break;
        if (errno == E2BIG) continue;
        // An invalid or unmappable sequence: skip one input byte (and the rest of a UTF-8 sequence).
        if (replaceUnknown) out += '?';
        ++src;
        --srcLeft;
        while (srcLeft > 0 && (static_cast<unsigned char>(*src) & 0xC0) == 0x80) {
            ++src;
            --srcLeft;
        }
    }
    iconv_close(cd);
    return out;
}

}  // namespace

std::string Utf8ToCp1251(std::string_view utf8) { return Convert("CP1251", "UTF-8", utf8, true); }

std::string Cp1251ToUtf8(std::string_view cp1251) { return Convert("UTF-8", "CP1251", cp1251, true); }

}  // namespace drv
