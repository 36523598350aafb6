#include "auto/stack.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using tallymere::xStack;
using Bytes = std::vector<std::uint8_t>;

std::vector<std::uint8_t> Id(std::uint8_t n, std::size_t size = 20) {
    std::vector<std::uint8_t> id(size, 0xAB);
    id[0] = n;
    return id;
}

TEST(xStack, RemovingKeepsTheOrderOfTheRest) {
    xStack stack;
    for (std::uint8_t n = 1; n <= 3; ++n) stack.AddID(20, Id(n).data());
    stack.RemoveAt(0);
    ASSERT_EQ(stack.count, 2u);
    EXPECT_EQ(stack.ids[0], Id(2));
    EXPECT_EQ(stack.ids[1], Id(3));
    EXPECT_EQ(stack.ids.size(), 2u);
    EXPECT_EQ(stack.sizes.size(), 2u);
}

TEST(xStack, FindAndRemoveComparesTheSearchedLengthOnly) {
    xStack stack;
    stack.AddID(20, Id(1).data());
    stack.AddID(10, Id(2, 10).data());
    EXPECT_EQ(stack.FindAndRemove(20, Id(2).data()), 0) << "a shorter held identifier does not match";
    EXPECT_EQ(stack.FindAndRemove(8, Id(1, 8).data()), 1) << "the held length is not compared";
    EXPECT_EQ(stack.FindAndRemove(8, Id(1, 8).data()), 0) << "removed once";
    EXPECT_EQ(stack.FindAndRemove(10, Id(2, 10).data()), 1);
    EXPECT_EQ(stack.count, 0u);
}

TEST(xStack, StateSwitchesAndClearEnables) {
    xStack stack;
    EXPECT_TRUE(stack.IsEnabled());
    stack.Disable();
    EXPECT_FALSE(stack.IsEnabled());
    EXPECT_EQ(stack.state.load(), 2u);
    stack.AddID(20, Id(1).data());
    stack.Clear();
    EXPECT_TRUE(stack.IsEnabled());
    EXPECT_EQ(stack.count, 0u);
}

// Mended: a hundred identifiers waiting ended the program ("MAX_STACK exeed.").
TEST(xStack, GrowsAsNeededAndKeepsTheOrder) {
    xStack stack;
    for (std::uint32_t n = 0; n < 1000; ++n) {
        Bytes id(20, 0x22);
        id[0] = static_cast<std::uint8_t>(n);
        id[1] = static_cast<std::uint8_t>(n >> 8);
        stack.AddID(20, id.data());
    }
    EXPECT_EQ(stack.count, 1000u);
    Bytes middle(20, 0x22);
    middle[0] = static_cast<std::uint8_t>(500);
    middle[1] = static_cast<std::uint8_t>(500 >> 8);
    EXPECT_EQ(stack.FindAndRemove(20, middle.data()), 1);
    EXPECT_EQ(stack.count, 999u);
    EXPECT_EQ(stack.ids[499][0], 499 & 0xFF);
    EXPECT_EQ(stack.ids[500][0], 501 & 0xFF);
    EXPECT_EQ(stack.FindAndRemove(20, middle.data()), 0);
}

}  // namespace
