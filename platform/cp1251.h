#pragma once

#include <string>
#include <string_view>

namespace drv {

// Converts UTF-8 text to the Windows-1251 code page. Characters the code page lacks become '?'.
std::string Utf8ToCp1251(std::string_view utf8);
// Converts Windows-1251 text to UTF-8.
std::string Cp1251ToUtf8(std::string_view cp1251);

}  // namespace drv
