#pragma once

// Windows-1251, the code page of the configuration file, saved logs and
// recordings. Our own table, so that no text depends on which codecs the
// Qt or C library at hand was built with.

#include <string>
#include <string_view>

// UTF-8 to Windows-1251. A character the code page cannot hold, and each
// byte of malformed UTF-8, becomes '?'.
std::string Utf8ToCp1251(std::string_view utf8);

// Windows-1251 to UTF-8. Every byte has a character (0x98, unassigned, is
// U+0098 as Windows itself maps it), so the conversion loses nothing.
std::string Cp1251ToUtf8(std::string_view cp1251);
