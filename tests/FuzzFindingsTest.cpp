// Inputs the fuzz targets in fuzz/ found breaking a property, kept as
// ordinary tests so the fault stays mended.

#include <gtest/gtest.h>

#include "Core/ProcessTable.hpp"

namespace tracker {
namespace {

// fuzz_ps_output: the start time is cut by width in characters. A stray
// continuation byte right after it is a character of its own, not the tail
// of the last start-time character: the command keeps it, and the start time
// stays the 24 characters ps printed.
TEST(FuzzFindings, AStrayByteAfterTheStartTimeBelongsToTheCommand) {
    auto row = ProcessTable::parsePSLine("  5 1 5 5 S ? Mon Dec  7 06:02:59 2026\xA5 claude", true);
    ASSERT_TRUE(row);
    EXPECT_EQ(row->lstart, "Mon Dec  7 06:02:59 2026");
    EXPECT_EQ(row->command, "\xA5 claude");

    // A multi-byte character is still taken whole, and only with the bytes it announces.
    row = ProcessTable::parsePSLine("5 1 5 5 S ? Mon Dec  7 06:02:59 202\xC3\xA9\xA9 x", true);
    ASSERT_TRUE(row);
    EXPECT_EQ(row->lstart, "Mon Dec  7 06:02:59 202\xC3\xA9");
    EXPECT_EQ(row->command, "\xA9 x");
}

}  // namespace
}  // namespace tracker
