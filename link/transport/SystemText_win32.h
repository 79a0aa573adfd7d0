#pragma once

// The Windows backends' one way to put a system error into words.

#include <string>

// The system's text for a Win32 or Winsock error code, in the user's
// language, as UTF-8 (what the window and the journal take), without the
// line end Windows puts after it.
std::string SystemText(unsigned long error);
