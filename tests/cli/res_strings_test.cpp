#include "res/strings.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace {

struct Row {
    uint32_t id;
    const char* text;
};

// Written out here rather than taken from the table, so a typo "fixed" in one place shows up.
constexpr Row kExpectedRows[] = {
    {101, "&About Tarnelo"},
    {102, "Close"},
    {160, "Transfer Size %1!u! / %2!u! Bytes"},
    {161, "Elapse %1!2u! sec / Remain %2!2u! sec"},
    {320, "Checking Image File..."},
    {321, "Connecting to Target..."},
    {322, "Transferring Image File..."},
    {323, "Updating Image File..."},
    {324, "Update End"},
    {480, "Image File I/O Error"},
    {481, "Serial Port I/O Error"},
    {482, "Image File Is Invalid"},
    {483, "Tartget Connect Fail"},
    {484, "Image File Transfer Fail"},
    {485, "Image File Update Fail"},
    {640, "NEC61110"},
};

TEST(StringTable, EveryRowHasItsExactText) {
    for (const Row& row : kExpectedRows) {
        EXPECT_EQ(std::string(LoadString(row.id)), row.text) << "row " << row.id;
    }
}

TEST(StringTable, HoldsNoRowBeyondTheKnownOnes) {
    ASSERT_EQ(std::size(kStringTable), std::size(kExpectedRows));
    for (const StringRow& row : kStringTable) {
        bool known = false;
        for (const Row& expected : kExpectedRows)
            known = known || expected.id == row.id;
        EXPECT_TRUE(known) << "unexpected row " << row.id;
    }
}

TEST(StringTable, AbsentRowsGiveEmptyText) {
    // Neighbours of real rows catch an off-by-one in the lookup; the extremes catch overruns.
    for (uint32_t id :
         {0u, 1u, 100u, 103u, 159u, 162u, 319u, 325u, 479u, 486u, 639u, 641u, 0xFFFFFFFFu}) {
        const char* text = LoadString(id);
        ASSERT_NE(text, nullptr) << "row " << id;
        EXPECT_STREQ(text, "") << "row " << id;
    }
}

TEST(StringTable, ResultTextCoversTheErrorResultsOnly) {
    const struct {
        int32_t result;
        const char* text;
    } cases[] = {
        {-1, ""},
        {0, ""},
        {1, ""},
        {2, "Image File I/O Error"},
        {3, "Serial Port I/O Error"},
        {4, "Image File Is Invalid"},
        {5, "Tartget Connect Fail"},
        {6, "Image File Transfer Fail"},
        {7, "Image File Update Fail"},
        {8, ""},
        {259, ""},
        {INT32_MIN, ""},
        {INT32_MAX, ""},
    };
    for (const auto& c : cases) {
        EXPECT_STREQ(ResultText(c.result), c.text) << "result " << c.result;
    }
}

TEST(StringTable, StageTextCoversStagesOneToFive) {
    const struct {
        int32_t stage;
        const char* text;
    } cases[] = {
        {0, ""},
        {1, "Checking Image File..."},
        {2, "Connecting to Target..."},
        {3, "Transferring Image File..."},
        {4, "Updating Image File..."},
        {5, "Update End"},
        {6, ""},
        {-1, ""},
        {INT32_MIN, ""},
    };
    for (const auto& c : cases) {
        EXPECT_STREQ(StageText(c.stage), c.text) << "stage " << c.stage;
    }
}

TEST(PortList, NamesComOneToTwelveInOrder) {
    ASSERT_EQ(kPortCount, 12);
    for (int32_t i = 0; i < kPortCount; ++i) {
        EXPECT_EQ(std::string(kPortNames[i]), "COM" + std::to_string(i + 1)) << "index " << i;
    }
}

}  // namespace
