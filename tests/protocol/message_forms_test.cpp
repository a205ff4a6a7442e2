/* Message forms of integer arrays, string lists, string maps and addresses, read back
 * after a trip through the wire format. */
#include <qorvel.h>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <stdlib.h>
#include <sys/socket.h>

#include <string>
#include <vector>

namespace {

/* The message after serialize and deserialize. */
QVCPMessage *OverTheWire(const QVCPMessage &msg)
{
   QVCP_MESSAGE *raw = msg.serialize();
   QVCPMessage *back = (raw != nullptr) ? QVCPMessage::deserialize(raw) : nullptr;
   free(raw);
   return back;
}

std::vector<std::wstring> Entries(const StringList &list)
{
   std::vector<std::wstring> entries;
   for (int32_t i = 0; i < list.size(); i++)
      entries.push_back((list.get(i) != nullptr) ? list.get(i) : L"<null>");
   return entries;
}

using W = std::vector<std::wstring>;

}  // namespace

TEST(MessageForms, Int32ArrayIsOneBinaryFieldInNetworkOrder)
{
   IntegerArray<unsigned int> values;
   values.add(0x01020304);
   values.add(0xFFFFFFFE);
   QVCPMessage msg;
   msg.setFieldFromInt32Array(5, &values);
   EXPECT_EQ(values.get(0), 0x01020304u);  // the array itself is not changed
   size_t size;
   const uint8_t *bytes = msg.getBinaryFieldPtr(5, &size);
   ASSERT_EQ(size, 8u);
   EXPECT_EQ(bytes[0], 0x01);
   EXPECT_EQ(bytes[3], 0x04);
   EXPECT_EQ(bytes[7], 0xFE);

   QVCPMessage *back = OverTheWire(msg);
   ASSERT_NE(back, nullptr);
   IntegerArray<unsigned int> read;
   read.add(99);
   EXPECT_EQ(back->getFieldAsInt32Array(5, &read), 2u);
   EXPECT_EQ(read.get(0), 0x01020304u);
   EXPECT_EQ(read.get(1), 0xFFFFFFFEu);
   delete back;

   msg.setFieldFromInt32Array(6, static_cast<const IntegerArray<unsigned int> *>(nullptr));
   EXPECT_TRUE(msg.isFieldExist(6));
   EXPECT_EQ(msg.getFieldType(6), QVCP_FT_BINARY);
   EXPECT_EQ(msg.getFieldAsBinary(6, nullptr, 0), 0u);
}

TEST(MessageForms, Int32ArrayReadIgnoresPartialElementsAndOtherTypes)
{
   QVCPMessage msg;
   const uint8_t ten[10] = {0, 0, 0, 1, 0, 0, 0, 2, 0xAA, 0xBB};
   msg.setField(1, ten, sizeof(ten));
   msg.setField(2, L"text");
   IntegerArray<unsigned int> read;
   EXPECT_EQ(msg.getFieldAsInt32Array(1, &read), 2u);
   EXPECT_EQ(read.get(1), 2u);
   EXPECT_EQ(msg.getFieldAsInt32Array(2, &read), 0u);
   EXPECT_EQ(read.size(), 0);
   read.add(1);
   EXPECT_EQ(msg.getFieldAsInt32Array(3, &read), 0u);
   EXPECT_EQ(read.size(), 0);
}

TEST(MessageForms, StringListWithNullEntries)
{
   StringList list;
   list.add(L"a");
   list.add(static_cast<const wchar_t *>(nullptr));
   QVCPMessage msg;
   list.fillMessage(&msg, 100, 99);
   EXPECT_EQ(msg.getFieldAsUInt32(99), 2u);
   EXPECT_EQ(msg.getFieldType(99), QVCP_FT_INT32);
   wchar_t buffer[8];
   EXPECT_STREQ(msg.getFieldAsString(100, buffer, 8), L"a");
   EXPECT_EQ(msg.getFieldType(101), QVCP_FT_STRING);
   EXPECT_STREQ(msg.getFieldAsString(101, buffer, 8), L"");

   QVCPMessage *back = OverTheWire(msg);
   ASSERT_NE(back, nullptr);
   StringList read(back, 100, 99);
   delete back;
   EXPECT_EQ(Entries(read), (W{L"a", L""}));
   EXPECT_EQ(read.capacity(), 2);
   read.add(L"grows");
   EXPECT_EQ(read.size(), 3);
}

TEST(MessageForms, StringListFromMessageWithMissingFields)
{
   QVCPMessage msg;
   msg.setField(99, static_cast<uint32_t>(3));
   msg.setField(100, L"first");
   msg.setField(101, static_cast<uint32_t>(1));  // not a STRING
   msg.setField(102, L"third\x10437");
   StringList read(&msg, 100, 99);
   ASSERT_EQ(read.size(), 3);
   EXPECT_EQ(read.get(1), nullptr);
   EXPECT_STREQ(read.get(2), L"third\x10437");

   QVCPMessage none;
   StringList empty(&none, 100, 99);
   EXPECT_EQ(empty.size(), 0);
   EXPECT_EQ(empty.capacity(), 0);
   empty.add(L"x");
   EXPECT_STREQ(empty.get(0), L"x");

   // A count the message cannot back is bounded by its fields.
   QVCPMessage huge;
   huge.setField(99, static_cast<uint32_t>(0x7FFFFFFF));
   huge.setField(100, L"a");
   StringList bounded(&huge, 100, 99);
   EXPECT_LE(bounded.size(), 2);
   EXPECT_STREQ(bounded.get(0), L"a");

   QVCPMessage negative;
   negative.setField(99, static_cast<uint32_t>(0x80000000));
   StringList none2(&negative, 100, 99);
   EXPECT_EQ(none2.size(), 0);
}

TEST(MessageForms, StringMapUsesTwoIdsPerEntry)
{
   StringMap map;
   map.set(L"a", L"1");
   map.set(L"b", static_cast<const wchar_t *>(nullptr));
   QVCPMessage msg;
   map.fillMessage(&msg, 10, 20);
   EXPECT_EQ(msg.getFieldAsUInt32(10), 2u);
   wchar_t buffer[8];
   EXPECT_STREQ(msg.getFieldAsString(20, buffer, 8), L"a");
   EXPECT_STREQ(msg.getFieldAsString(21, buffer, 8), L"1");
   EXPECT_STREQ(msg.getFieldAsString(22, buffer, 8), L"b");
   EXPECT_FALSE(msg.isFieldExist(23));

   QVCPMessage *back = OverTheWire(msg);
   ASSERT_NE(back, nullptr);
   StringMap read;
   read.set(L"kept", L"k");
   read.set(L"A", L"old");
   read.loadMessage(back, 10, 20);
   delete back;
   EXPECT_EQ(read.size(), 3);
   EXPECT_STREQ(read.get(L"a"), L"1");
   EXPECT_TRUE(read.contains(L"b"));
   EXPECT_EQ(read.get(L"b"), nullptr);
   EXPECT_STREQ(read.get(L"kept"), L"k");
}

TEST(MessageForms, StringMapLoadSkipsKeylessEntriesAndBoundsTheCount)
{
   QVCPMessage msg;
   msg.setField(10, static_cast<uint32_t>(0x7FFFFFFF));
   msg.setField(21, L"value without key");
   msg.setField(22, L"k");
   msg.setField(23, L"v");
   StringMap map;
   map.loadMessage(&msg, 10, 20);
   EXPECT_EQ(map.size(), 1);
   EXPECT_STREQ(map.get(L"k"), L"v");

   QVCPMessage missing;
   StringMap none;
   none.loadMessage(&missing, 10, 20);
   EXPECT_EQ(none.size(), 0);
}

TEST(MessageForms, InetAddressFieldsKeepFamilyMaskAndAddress)
{
   uint8_t v6[16];
   ASSERT_EQ(inet_pton(AF_INET6, "2001:db8::42", v6), 1);
   InetAddress six(v6, 64);
   InetAddress four(0xC0A80101, 0xFFFFFF00);
   InetAddress unspec;
   unspec.setMaskBits(7);

   QVCPMessage msg;
   msg.setField(1, six);
   msg.setField(2, four);
   msg.setField(3, unspec);
   msg.setField(4, static_cast<uint32_t>(0x7F000001));
   msg.setField(5, L"10.0.0.1");
   EXPECT_EQ(msg.getFieldType(1), QVCP_FT_INETADDR);

   QVCPMessage *back = OverTheWire(msg);
   ASSERT_NE(back, nullptr);
   InetAddress a = back->getFieldAsInetAddress(1);
   EXPECT_EQ(a.getFamily(), AF_INET6);
   EXPECT_TRUE(a.equals(six));
   EXPECT_EQ(a.getMaskBits(), 64);
   InetAddress b = back->getFieldAsInetAddress(2);
   EXPECT_EQ(b.getFamily(), AF_INET);
   EXPECT_EQ(b.getAddressV4(), 0xC0A80101u);
   EXPECT_EQ(b.getMaskBits(), 24);
   InetAddress c = back->getFieldAsInetAddress(3);
   EXPECT_EQ(c.getFamily(), AF_UNSPEC);
   EXPECT_EQ(c.getMaskBits(), 7);
   InetAddress d = back->getFieldAsInetAddress(4);
   EXPECT_EQ(d.toString(), String(L"127.0.0.1"));
   EXPECT_EQ(d.getMaskBits(), 32);
   EXPECT_FALSE(back->getFieldAsInetAddress(5).isValid());
   EXPECT_FALSE(back->getFieldAsInetAddress(6).isValid());
   // An IPv4 INETADDR field also reads as its number.
   EXPECT_EQ(back->getFieldAsUInt32(2), 0xC0A80101u);
   delete back;
}

TEST(MessageForms, InetAddressListIsCountThenOneFieldPerEntry)
{
   InetAddressList list;
   list.add(InetAddress(0x0A000001));
   uint8_t v6[16] = {0xFE, 0x80};
   v6[15] = 1;
   list.add(InetAddress(v6, 10));
   QVCPMessage msg;
   list.fillMessage(&msg, 50, 60);
   EXPECT_EQ(msg.getFieldType(50), QVCP_FT_INT32);
   EXPECT_EQ(msg.getFieldAsInt32(50), 2);
   EXPECT_TRUE(msg.getFieldAsInetAddress(60).equals(InetAddress(0x0A000001)));
   EXPECT_TRUE(msg.getFieldAsInetAddress(61).equals(InetAddress(v6, 10)));
   EXPECT_EQ(msg.getFieldAsInetAddress(61).getMaskBits(), 10);
   EXPECT_FALSE(msg.isFieldExist(62));
}

TEST(MessageForms, ForEachFieldVisitsEachFieldOnceInOrder)
{
   QVCPMessage msg;
   for (uint32_t id = 1; id <= 40; id++)
      msg.setField(id, id * 10);
   msg.setField(5, L"again");  // replaces field 5 and moves it to the end
   std::vector<uint32_t> seen;
   msg.forEachField(
       [](const QVCP_MESSAGE_FIELD *field, void *context) {
          static_cast<std::vector<uint32_t> *>(context)->push_back(field->fieldId);
          return true;
       },
       &seen);
   ASSERT_EQ(seen.size(), 40u);
   EXPECT_EQ(seen[3], 4u);
   EXPECT_EQ(seen[4], 6u);
   EXPECT_EQ(seen.back(), 5u);

   struct Stop
   {
      int calls = 0;
      int matching = 0;
   } stop;
   msg.forEachField(
       [](const QVCP_MESSAGE_FIELD *field, void *context) {
          Stop *s = static_cast<Stop *>(context);
          s->matching +=
              (field->type == QVCP_FT_INT32 && field->data.int32 == static_cast<int32_t>(field->fieldId * 10));
          return ++s->calls < 3;
       },
       &stop);
   EXPECT_EQ(stop.calls, 3);
   EXPECT_EQ(stop.matching, 3);

   QVCPMessage empty;
   empty.forEachField([](const QVCP_MESSAGE_FIELD *, void *) { return true; }, nullptr);
}
