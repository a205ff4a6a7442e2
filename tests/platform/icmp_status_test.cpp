/* What the ICMP socket reports about a request, mapped onto its status, and the checksum
 * of the raw socket's requests. */
#include <gtest/gtest.h>

#include "platform/icmp_status.h"

using namespace qv::platform;

/* The answers that no route of the namespace tests produces. */
TEST(IcmpStatus, ErrorMessagesWithoutARouteInTheTestsMapOntoStatuses)
{
   EXPECT_EQ(IcmpStatusFromMessage(false, ICMP_TIME_EXCEEDED, 0), IcmpStatus::TIME_EXCEEDED);
   EXPECT_EQ(IcmpStatusFromMessage(false, ICMP_PARAMETERPROB, 0), IcmpStatus::PARAMETER_PROBLEM);
   EXPECT_EQ(IcmpStatusFromMessage(false, ICMP_SOURCE_QUENCH, 0), IcmpStatus::SOURCE_QUENCH);
   EXPECT_EQ(IcmpStatusFromMessage(true, ICMP6_TIME_EXCEEDED, 0), IcmpStatus::TIME_EXCEEDED);
   EXPECT_EQ(IcmpStatusFromMessage(true, ICMP6_PARAM_PROB, 1), IcmpStatus::PARAMETER_PROBLEM);
   EXPECT_EQ(IcmpStatusFromError(ENOBUFS), IcmpStatus::NO_RESOURCES);
   // The same type numbers mean other things in the two protocols.
   EXPECT_EQ(IcmpStatusFromMessage(false, 2, 0), IcmpStatus::UNREACHABLE);
   EXPECT_EQ(IcmpStatusFromMessage(true, 2, 0), IcmpStatus::PACKET_TOO_BIG);
   EXPECT_TRUE(IcmpIsErrorMessage(true, 2));
   EXPECT_FALSE(IcmpIsErrorMessage(false, 2));
   EXPECT_FALSE(IcmpIsErrorMessage(false, ICMP_ECHO));
   EXPECT_FALSE(IcmpIsErrorMessage(true, ICMP6_ECHO_REPLY));
}

TEST(IcmpStatus, ChecksumOfAnEchoRequest)
{
   // An echo request with identifier 0x1234, sequence 1 and payload "abc" (an odd length):
   // with its checksum in place the whole message sums to all ones.
   uint8_t request[11] = {8, 0, 0, 0, 0x12, 0x34, 0x00, 0x01, 'a', 'b', 'c'};
   uint16_t sum = InternetChecksum(request, sizeof(request));
   EXPECT_EQ(sum, 0x2168);
   request[2] = static_cast<uint8_t>(sum >> 8);
   request[3] = static_cast<uint8_t>(sum);
   EXPECT_EQ(InternetChecksum(request, sizeof(request)), 0);
   EXPECT_EQ(InternetChecksum(nullptr, 0), 0xFFFF);
}
