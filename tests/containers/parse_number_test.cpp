#include <qorvel.h>

#include <gtest/gtest.h>

#include <stdint.h>

// Internal helpers shared by the text utilities and the containers' typed getters.
#include "text/parse_number.h"

using namespace qv::text;

TEST(ParseNumber, Int32SaturatesAtThe32BitLimits)
{
   EXPECT_EQ(ParseInt32(L"2147483647"), INT32_MAX);
   EXPECT_EQ(ParseInt32(L"2147483648"), INT32_MAX);
   EXPECT_EQ(ParseInt32(L"99999999999999999999999"), INT32_MAX);
   EXPECT_EQ(ParseInt32(L"-2147483648"), INT32_MIN);
   EXPECT_EQ(ParseInt32(L"-2147483649"), INT32_MIN);
   EXPECT_EQ(ParseInt32(L"-0x80000000"), INT32_MIN);
   EXPECT_EQ(ParseInt32(L"0x80000000"), INT32_MAX);
}

TEST(ParseNumber, UInt32SaturatesAtUInt32MaxAndWrapsNegatives)
{
   EXPECT_EQ(ParseUInt32(L"4294967295"), UINT32_MAX);
   EXPECT_EQ(ParseUInt32(L"4294967296"), UINT32_MAX);
   EXPECT_EQ(ParseUInt32(L"0x1FFFFFFFF"), UINT32_MAX);
   EXPECT_EQ(ParseUInt32(L"99999999999999999999999"), UINT32_MAX);
   EXPECT_EQ(ParseUInt32(L"-1"), UINT32_MAX);
   EXPECT_EQ(ParseUInt32(L" -4294967295"), 1u);
   EXPECT_EQ(ParseUInt32(L"-4294967296"), UINT32_MAX);
   EXPECT_EQ(ParseUInt32(L"-99999999999999999999999"), UINT32_MAX);
   EXPECT_EQ(ParseUInt32(L"-0"), 0u);
}

TEST(ParseNumber, BaseZeroBlanksAndJunk)
{
   EXPECT_EQ(ParseInt32(L"  0x1f"), 31);
   EXPECT_EQ(ParseInt32(L"017"), 15);
   EXPECT_EQ(ParseInt32(L"+12abc"), 12);
   EXPECT_EQ(ParseInt32(L"abc"), 0);
   EXPECT_EQ(ParseUInt32(L"-x"), 0u);
   EXPECT_EQ(ParseInt32(nullptr), 0);
   EXPECT_EQ(ParseUInt32(nullptr), 0u);
   EXPECT_EQ(ParseInt64(nullptr), 0);
   EXPECT_DOUBLE_EQ(ParseDouble(nullptr), 0.0);
}
