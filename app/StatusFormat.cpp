#include "StatusFormat.h"

std::string JournalPanelText(bool failing, uint64_t droppedLines)
{
    const std::string gap = "пропущено " + std::to_string(droppedLines) + " строк";
    if (failing)
        return droppedLines ? "Журнал обмена не пишется, " + gap : "Журнал обмена не пишется";
    return droppedLines ? "Журнал обмена: " + gap : "";
}
