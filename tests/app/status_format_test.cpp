#include "StatusFormat.h"

#include <gtest/gtest.h>

namespace {

TEST(StatusFormat, JournalPanelNamesLostLines)
{
    EXPECT_EQ(JournalPanelText(false, 0), "");
    EXPECT_EQ(JournalPanelText(true, 0), "Журнал обмена не пишется");
    EXPECT_EQ(JournalPanelText(true, 65), "Журнал обмена не пишется, пропущено 65 строк");
    EXPECT_EQ(JournalPanelText(false, 65), "Журнал обмена: пропущено 65 строк");
}

} // namespace
