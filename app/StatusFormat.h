#pragma once

// Texts of the main window's status display, without any window.

#include <cstdint>
#include <string>

// The exchange journal's panel: that it is not being written, and how many
// lines it lost for good; "" when neither.
std::string JournalPanelText(bool failing, uint64_t droppedLines);
