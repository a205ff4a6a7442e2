#include <qorvel.h>

#include "support/debug_capture.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

using qvtest::DebugLinesOf;

namespace {

typedef std::vector<uint8_t> Bytes;
typedef std::unique_ptr<QVCPMessage> MessagePtr;

/* Bytes from hex text; spaces are ignored. */
Bytes Hex(const char *text)
{
   Bytes out;
   for (const char *p = text; *p != 0;)
   {
      if (*p == ' ')
      {
         p++;
         continue;
      }
      unsigned value;
      sscanf(p, "%2x", &value);
      out.push_back(static_cast<uint8_t>(value));
      p += 2;
   }
   return out;
}

Bytes Wire(const QVCPMessage &msg, bool allowCompression = false)
{
   QVCP_MESSAGE *raw = msg.serialize(allowCompression);
   EXPECT_NE(raw, nullptr);
   if (raw == nullptr)
      return Bytes();
   const uint8_t *p = reinterpret_cast<const uint8_t *>(raw);
   Bytes out(p, p + ((uint32_t(p[4]) << 24) | (uint32_t(p[5]) << 16) | (uint32_t(p[6]) << 8) | p[7]));
   free(raw);
   return out;
}

/* Deserializes from a heap block of exactly the bytes, so that a read past them is seen
 * by the address sanitizer. */
MessagePtr Parse(const Bytes &bytes, int version = QVCP_DEFAULT_VERSION)
{
   uint8_t *copy = static_cast<uint8_t *>(malloc(bytes.size() + 1));
   memcpy(copy, bytes.data(), bytes.size());
   MessagePtr msg(QVCPMessage::deserialize(reinterpret_cast<QVCP_MESSAGE *>(copy), bytes.size(), version));
   free(copy);
   return msg;
}

std::wstring Dump(const Bytes &bytes, int version = QVCP_DEFAULT_VERSION)
{
   uint8_t *copy = static_cast<uint8_t *>(malloc(bytes.size() + 1));
   memcpy(copy, bytes.data(), bytes.size());
   String text = QVCPMessage::dump(reinterpret_cast<QVCP_MESSAGE *>(copy), bytes.size(), version);
   free(copy);
   return std::wstring(text);
}

uint32_t Get32(const Bytes &b, size_t offset)
{
   return (uint32_t(b[offset]) << 24) | (uint32_t(b[offset + 1]) << 16) | (uint32_t(b[offset + 2]) << 8) |
          b[offset + 3];
}

void Put32(Bytes &b, size_t offset, uint32_t v)
{
   for (int i = 0; i < 4; i++)
      b[offset + i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}

/* A raw message: header, then the given payload; size is the byte count unless given. */
Bytes Raw(uint16_t flags, uint32_t numFields, const Bytes &payload, uint32_t size = 0)
{
   Bytes out = Hex("0003 0000 00000000 00000009 00000000");  // CMD_KEEPALIVE, id 9
   out[2] = static_cast<uint8_t>(flags >> 8);
   out[3] = static_cast<uint8_t>(flags);
   out.insert(out.end(), payload.begin(), payload.end());
   Put32(out, 4, (size != 0) ? size : static_cast<uint32_t>(out.size()));
   Put32(out, 12, numFields);
   return out;
}

/* A compressed field message whose header declares plainSize and whose stream holds
 * payload. */
Bytes Compressed(uint16_t flags, uint32_t numFields, uint32_t plainSize, const Bytes &payload)
{
   uLongf length = compressBound(payload.size());
   Bytes stream(length);
   EXPECT_EQ(compress2(stream.data(), &length, payload.data(), payload.size(), 9), Z_OK);
   stream.resize(length);
   Bytes body(4);
   Put32(body, 0, plainSize);
   body.insert(body.end(), stream.begin(), stream.end());
   body.resize((body.size() + 16 + 7) / 8 * 8 - 16);
   return Raw(flags | QVCP_MF_COMPRESSED, numFields, body);
}

const Bytes INT32_FIELD_5 = Hex("00000005 00 00 0000 00000001 00000000");

TEST(MessageWire, HeaderAndFieldLayouts)
{
   EXPECT_EQ(Wire(QVCPMessage(0x1234, 7)), Hex("1234 0000 00000010 00000007 00000000"));

   QVCPMessage one(CMD_KEEPALIVE, 9);
   one.setField(5, static_cast<uint32_t>(1));
   EXPECT_EQ(Wire(one), Hex("0003 0000 00000020 00000009 00000001 00000005 00 00 0000 00000001 00000000"));
   one.setField(5, static_cast<int32_t>(1));
   EXPECT_EQ(Wire(one)[16 + 5], 0x01);

   struct Case
   {
      const char *name;
      void (*set)(QVCPMessage &m);
      const char *field;  // the field's wire bytes, padding included (version 4)
   };
   const Case cases[] = {
       {"int16 signed", [](QVCPMessage &m) { m.setField(9, static_cast<int16_t>(-2)); }, "00000009 03 01 FFFE"},
       {"uint16", [](QVCPMessage &m) { m.setField(9, static_cast<uint16_t>(0x1234)); }, "00000009 03 00 1234"},
       {"bool", [](QVCPMessage &m) { m.setField(9, true); }, "00000009 03 01 0001"},
       {"int64", [](QVCPMessage &m) { m.setField(9, static_cast<int64_t>(-2)); },
        "00000009 02 01 0000 FFFFFFFFFFFFFFFE"},
       {"uint64", [](QVCPMessage &m) { m.setField(9, static_cast<uint64_t>(0x0102030405060708)); },
        "00000009 02 00 0000 0102030405060708"},
       {"time", [](QVCPMessage &m) { m.setFieldFromTime(9, 0x5F000000); }, "00000009 02 00 0000 000000005F000000"},
       {"double", [](QVCPMessage &m) { m.setField(9, 1.5); }, "00000009 05 00 0000 3FF8000000000000"},
       {"string AB", [](QVCPMessage &m) { m.setField(9, L"AB"); }, "00000009 01 00 0000 00000004 00410042"},
       {"string beyond BMP", [](QVCPMessage &m) { m.setField(9, L"\U0001F600"); },
        "00000009 01 00 0000 00000004 D83DDE00"},
       {"empty string", [](QVCPMessage &m) { m.setField(9, String()); }, "00000009 01 00 0000 00000000 00000000"},
       {"binary 3", [](QVCPMessage &m) { m.setField(9, reinterpret_cast<const uint8_t *>("abc"), 3); },
        "00000009 04 00 0000 00000003 61626300"},
       {"binary null", [](QVCPMessage &m) { m.setField(9, static_cast<const uint8_t *>(nullptr), 2); },
        "00000009 04 00 0000 00000002 00000000"},
       {"int32 array",
        [](QVCPMessage &m) {
           const uint32_t values[] = {1, 0xA0B0C0D0};
           m.setFieldFromInt32Array(9, 2, values);
        },
        "00000009 04 00 0000 00000008 00000001 A0B0C0D0 00000000"},
       {"uuid", [](QVCPMessage &m) { m.setField(9, uuid::parse(L"00112233-4455-6677-8899-aabbccddeeff")); },
        "00000009 04 00 0000 00000010 00112233445566778899AABBCCDDEEFF 00000000"},
   };
   for (const Case &c : cases)
   {
      QVCPMessage m(CMD_KEEPALIVE, 9);
      c.set(m);
      Bytes field = Hex(c.field);
      EXPECT_EQ(Wire(m), Raw(0, 1, field)) << c.name;
   }
}

TEST(MessageWire, AlignmentByVersion)
{
   struct Case
   {
      int version;
      int fields;
      uint32_t size;
   };
   const Case cases[] = {{1, 1, 32}, {1, 2, 40}, {2, 2, 48}, {4, 1, 32}, {4, 2, 48}};
   for (const Case &c : cases)
   {
      QVCPMessage m(c.version);
      for (int i = 0; i < c.fields; i++)
         m.setField(5 + i, static_cast<uint32_t>(1));
      Bytes wire = Wire(m);
      EXPECT_EQ(wire.size(), c.size) << c.version << "/" << c.fields;
      EXPECT_EQ(Get32(wire, 4), c.size);
      if (c.version == 1 && c.fields == 2)  // the second field follows at offset 28, unpadded
      {
         EXPECT_EQ(Get32(wire, 28), 6u);
      }
   }

   // A binary field of 3 bytes takes 15 bytes, padded to 16 from version 2 on.
   QVCPMessage v1(CMD_KEEPALIVE, 9, 1), v4(CMD_KEEPALIVE, 9, 4);
   for (QVCPMessage *m : {&v1, &v4})
   {
      m->setField(1, reinterpret_cast<const uint8_t *>("abc"), 3);
      m->setField(2, static_cast<uint16_t>(7));
   }
   EXPECT_EQ(Wire(v1), Raw(0, 2, Hex("00000001 04 00 0000 00000003 616263 00000002 03 00 0007 00")));
   EXPECT_EQ(Wire(v4), Raw(0, 2, Hex("00000001 04 00 0000 00000003 61626300 00000002 03 00 0007")));
}

/* The payload of INT32 fields {id, value}, version 4 layout. */
Bytes Int32Fields(const std::vector<std::pair<uint32_t, uint32_t>> &fields)
{
   Bytes out;
   for (const auto &f : fields)
   {
      Bytes field = INT32_FIELD_5;
      Put32(field, 0, f.first);
      Put32(field, 8, f.second);
      out.insert(out.end(), field.begin(), field.end());
   }
   return out;
}

std::vector<uint32_t> Ids(const QVCPMessage &m)
{
   std::vector<uint32_t> ids(m.getFieldIds(nullptr, 0));
   m.getFieldIds(ids.data(), ids.size());
   return ids;
}

TEST(MessageWire, FieldOrderFollowsTheLastSet)
{
   // Small messages and large ones (whose index is hashed) alike.
   for (uint32_t n : {2u, 16u, 17u, 40u, 300u})
   {
      QVCPMessage m;
      for (uint32_t id = 1; id <= n; id++)
         m.setField(id, id * 10);
      m.setField(1, static_cast<uint32_t>(7));
      m.setField(n / 2 + 1, L"moved");
      std::vector<uint32_t> expected;
      for (uint32_t id = 2; id <= n; id++)
      {
         if (id != n / 2 + 1)
            expected.push_back(id);
      }
      expected.push_back(1);
      if (n / 2 + 1 != 1)
         expected.push_back(n / 2 + 1);
      EXPECT_EQ(Ids(m), expected) << n;
      EXPECT_EQ(m.getFieldAsUInt32(1), 7u) << n;
      EXPECT_EQ(m.getFieldType(n / 2 + 1), QVCP_FT_STRING) << n;
      EXPECT_EQ(m.getFieldAsUInt32(n), (n == 2) ? 0u : n * 10) << n;
      // Every field is still found after the moves, and identifiers never set are not
      // (0 and n + 1 included, whatever fills the index's unused room).
      for (uint32_t id : expected)
         EXPECT_TRUE(m.isFieldExist(id)) << n << " " << id;
      EXPECT_FALSE(m.isFieldExist(0)) << n;
      EXPECT_FALSE(m.isFieldExist(n + 1)) << n;

      Bytes wire = Wire(m);
      EXPECT_EQ(Get32(wire, 16), expected[0]) << n;
      MessagePtr back = Parse(wire);
      ASSERT_NE(back, nullptr);
      EXPECT_EQ(Ids(*back), expected) << n;
      QVCPMessage copy(back.get());
      EXPECT_EQ(Ids(copy), expected) << n;
      EXPECT_EQ(copy.getFieldAsUInt32(1), 7u) << n;
   }
}

TEST(MessageWire, RepeatedIdentifiersOnTheWireKeepTheLastField)
{
   struct Case
   {
      const char *name;
      std::vector<std::pair<uint32_t, uint32_t>> fields;
      std::vector<uint32_t> ids;  // the order that results
   };
   std::vector<Case> cases = {
       {"two", {{5, 1}, {5, 2}}, {5}},
       {"same bit, no repeat", {{70, 1}, {6, 2}}, {70, 6}},
       {"repeat among others", {{3, 1}, {9, 1}, {3, 2}, {1, 1}}, {9, 3, 1}},
   };
   Case large = {"large", {}, {}};
   for (uint32_t id = 100; id > 70; id--)
      large.fields.push_back({id, 1});
   large.fields.push_back({90, 2});
   for (uint32_t id = 100; id > 70; id--)
   {
      if (id != 90)
         large.ids.push_back(id);
   }
   large.ids.push_back(90);
   cases.push_back(large);

   for (const Case &c : cases)
   {
      MessagePtr m = Parse(Raw(0, static_cast<uint32_t>(c.fields.size()), Int32Fields(c.fields)));
      ASSERT_NE(m, nullptr) << c.name;
      EXPECT_EQ(Ids(*m), c.ids) << c.name;
      EXPECT_EQ(m->getFieldAsUInt32(c.fields.back().first), c.fields.back().second) << c.name;
   }
}

TEST(MessageWire, ReceivedMessagesOfEverySizeFindAndReplaceTheirFields)
{
   // Counts around the list limit and around the table's powers of two, identifiers in
   // the wire order of a peer (descending here) and with gaps; each received message is
   // then changed as a built one would be.
   for (uint32_t n : {1u, 15u, 16u, 17u, 31u, 32u, 33u, 64u, 65u, 1024u, 1025u})
   {
      std::vector<std::pair<uint32_t, uint32_t>> fields;
      for (uint32_t i = 0; i < n; i++)
         fields.push_back({3 * (n - i), i});
      MessagePtr m = Parse(Raw(0, n, Int32Fields(fields)));
      ASSERT_NE(m, nullptr) << n;
      for (uint32_t i = 0; i < n; i++)
         ASSERT_EQ(m->getFieldAsUInt32(3 * (n - i)), i) << n << " " << i;
      EXPECT_FALSE(m->isFieldExist(0)) << n;
      EXPECT_FALSE(m->isFieldExist(3 * n + 1)) << n;
      EXPECT_FALSE(m->isFieldExist(2)) << n;

      // Replacing a received field moves it to the end; it is never doubled.
      uint32_t first = 3 * n;
      m->setField(first, static_cast<uint32_t>(77));
      m->setField(3 * n + 3, static_cast<uint32_t>(78));
      std::vector<uint32_t> ids = Ids(*m);
      ASSERT_EQ(ids.size(), n + 1) << n;
      EXPECT_EQ(ids[n - 1], first) << n;
      EXPECT_EQ(ids[n], 3 * n + 3) << n;
      EXPECT_EQ(m->getFieldAsUInt32(first), 77u) << n;
      EXPECT_EQ(m->getFieldAsUInt32(3 * n + 3), 78u) << n;
      if (n > 1)
      {
         EXPECT_EQ(ids[0], 3 * (n - 1)) << n;
         EXPECT_EQ(m->getFieldAsUInt32(3), n - 1) << n;
      }
   }
}

TEST(MessageWire, LargeIndexKeepsIdentifiersThatShareSlots)
{
   // Identifiers a hash of the low bits would pile up (multiples of large powers of two),
   // the extremes 0 and 0xFFFFFFFF, and runs far apart; replaced at the start, in the
   // middle and at the end of the order while the table grows, and with repeats on the
   // wire.
   std::vector<uint32_t> ids = {0, 0xFFFFFFFFu, 0xFFFFFFFEu};
   for (uint32_t i = 1; i <= 200; i++)
      ids.push_back(i << 20);
   for (uint32_t i = 0; i < 200; i++)
      ids.push_back(0x10000000u + i);
   for (uint32_t i = 0; i < 200; i++)
      ids.push_back(0x20000000u + i * 64);
   QVCPMessage m;
   std::vector<uint32_t> order;
   std::map<uint32_t, uint32_t> values;
   for (size_t i = 0; i < ids.size(); i++)
   {
      m.setField(ids[i], static_cast<uint32_t>(i));
      values[ids[i]] = static_cast<uint32_t>(i);
      order.push_back(ids[i]);
      if (i % 50 == 49)
      {
         // The first field, one in the middle and the last one move to the end.
         for (size_t pos : {size_t(0), order.size() / 2, order.size() - 1})
         {
            uint32_t id = order[pos];
            order.erase(order.begin() + static_cast<std::ptrdiff_t>(pos));
            order.push_back(id);
            m.setField(id, id ^ 0x5A5A5A5Au);
            values[id] = id ^ 0x5A5A5A5Au;
         }
      }
   }
   ASSERT_EQ(Ids(m), order);
   auto check = [&](const QVCPMessage &msg, const char *what) {
      EXPECT_EQ(Ids(msg), order) << what;
      for (uint32_t id : ids)
         ASSERT_EQ(msg.getFieldAsUInt32(id), values[id]) << what << " " << id;
      for (uint32_t absent : {1u, 201u << 20, 0x10000000u + 200, 0x20000000u + 1, 0xFFFFFFFDu})
         EXPECT_FALSE(msg.isFieldExist(absent)) << what << " " << absent;
   };
   check(m, "built");
   MessagePtr back = Parse(Wire(m));
   ASSERT_NE(back, nullptr);
   check(*back, "received");
   QVCPMessage copy(back.get());
   check(copy, "copied");

   // The same identifiers twice on the wire, out of order: the later of each stays.
   std::vector<std::pair<uint32_t, uint32_t>> fields;
   for (uint32_t id : ids)
      fields.push_back({id, 1});
   for (auto it = ids.rbegin(); it != ids.rend(); ++it)
      fields.push_back({*it, 2});
   MessagePtr twice = Parse(Raw(0, static_cast<uint32_t>(fields.size()), Int32Fields(fields)));
   ASSERT_NE(twice, nullptr);
   EXPECT_EQ(Ids(*twice), std::vector<uint32_t>(ids.rbegin(), ids.rend()));
   for (uint32_t id : ids)
      ASSERT_EQ(twice->getFieldAsUInt32(id), 2u) << id;
}

TEST(MessageFields, NumericGettersAcceptOnlyTheirTypes)
{
   // Fields 1 to 7: INT16 -1, INT32 0xFFFFFFFF, INT64 -1, FLOAT 2.5, STRING "7", BINARY,
   // INETADDR 10.0.0.1; field 8 INETADDR fe80::1.
   Bytes fields = Hex("00000001 03 01 FFFF"
                      "00000002 00 00 0000 FFFFFFFF 00000000"
                      "00000003 02 01 0000 FFFFFFFFFFFFFFFF"
                      "00000004 05 00 0000 4004000000000000"
                      "00000005 01 00 0000 00000002 00370000"
                      "00000006 04 00 0000 00000004 00000009"
                      "00000007 06 00 0000 0A000001 000000000000000000000000 00 18 000000000000"
                      "00000008 06 00 0000 FE800000000000000000000000000001 01 40 000000000000");
   MessagePtr m = Parse(Raw(0, 8, fields));
   ASSERT_NE(m, nullptr);

   struct Case
   {
      uint32_t id;
      int type;
      int16_t i16;
      int32_t i32;
      int64_t i64;
      double d;
      int64_t time;
      bool boolean;
   };
   const Case cases[] = {
       {1, QVCP_FT_INT16, -1, 0, 0, 0.0, 0, true},
       {2, QVCP_FT_INT32, 0, -1, 0, 0.0, 4294967295LL, true},
       {3, QVCP_FT_INT64, 0, 0, -1, 0.0, -1, true},
       {4, QVCP_FT_FLOAT, 0, 0, 0, 2.5, 0, false},
       {5, QVCP_FT_STRING, 0, 0, 0, 0.0, 0, false},
       {6, QVCP_FT_BINARY, 0, 0, 0, 0.0, 0, false},
       {7, QVCP_FT_INETADDR, 0, 0x0A000001, 0, 0.0, 0, false},
       {8, QVCP_FT_INETADDR, 0, 0, 0, 0.0, 0, false},
       {99, -1, 0, 0, 0, 0.0, 0, false},
   };
   for (const Case &c : cases)
   {
      EXPECT_EQ(m->getFieldType(c.id), c.type) << c.id;
      EXPECT_EQ(m->isFieldExist(c.id), c.type != -1) << c.id;
      EXPECT_EQ(m->getFieldAsInt16(c.id), c.i16) << c.id;
      EXPECT_EQ(m->getFieldAsUInt16(c.id), static_cast<uint16_t>(c.i16)) << c.id;
      EXPECT_EQ(m->getFieldAsInt32(c.id), c.i32) << c.id;
      EXPECT_EQ(m->getFieldAsUInt32(c.id), static_cast<uint32_t>(c.i32)) << c.id;
      EXPECT_EQ(m->getFieldAsInt64(c.id), c.i64) << c.id;
      EXPECT_EQ(m->getFieldAsUInt64(c.id), static_cast<uint64_t>(c.i64)) << c.id;
      EXPECT_EQ(m->getFieldAsDouble(c.id), c.d) << c.id;
      EXPECT_EQ(m->getFieldAsTime(c.id), c.time) << c.id;
      EXPECT_EQ(m->getFieldAsBoolean(c.id), c.boolean) << c.id;
   }

   QVCPMessage zero;
   zero.setField(1, static_cast<int16_t>(0));
   zero.setField(2, false);
   EXPECT_FALSE(zero.getFieldAsBoolean(1));
   EXPECT_EQ(zero.getFieldAsInt16(2), 0);
}

TEST(MessageFields, StringGetters)
{
   QVCPMessage m;
   m.setField(1, L"0123456789");
   m.setField(2, L"caf\u00e9 \U0001F600");
   m.setField(3, L"abcdef", 3);
   m.setField(4, static_cast<const wchar_t *>(nullptr));
   m.setField(5, static_cast<uint32_t>(5));
   String withZero;
   withZero.append(L"ab\0cd", 5);
   m.setField(6, withZero);

   wchar_t small[5];
   EXPECT_EQ(std::wstring(m.getFieldAsString(1, small, 5)), L"0123");
   EXPECT_EQ(m.getFieldAsString(1, small, 0), nullptr);
   for (uint32_t id : {4u, 5u, 99u})
   {
      EXPECT_EQ(std::wstring(m.getFieldAsString(id, small, 5)), L"") << id;
      EXPECT_EQ(m.getFieldAsString(id), nullptr) << id;
      EXPECT_EQ(m.getFieldAsString(id, static_cast<MemoryPool *>(nullptr)), nullptr) << id;
      EXPECT_EQ(m.getFieldAsUtf8String(id), nullptr) << id;
      EXPECT_EQ(m.getFieldAsMBString(id), nullptr) << id;
   }
   EXPECT_FALSE(m.isFieldExist(4));

   wchar_t *heap = m.getFieldAsString(2);
   EXPECT_EQ(std::wstring(heap), L"caf\u00e9 \U0001F600");
   free(heap);
   MemoryPool pool;
   EXPECT_EQ(std::wstring(m.getFieldAsString(3, &pool)), L"abc");
   heap = m.getFieldAsString(6);
   EXPECT_EQ(std::wstring(heap), L"ab");
   free(heap);

   char utf8[16];
   EXPECT_STREQ(m.getFieldAsUtf8String(2, utf8, sizeof(utf8)), "caf\xC3\xA9 \xF0\x9F\x98\x80");
   EXPECT_STREQ(m.getFieldAsUtf8String(2, utf8, 10), "");  // 10 bytes needed: all or nothing
   EXPECT_EQ(m.getFieldAsUtf8String(2, utf8, 0), nullptr);
   char *utf8Heap = m.getFieldAsUtf8String(2);
   EXPECT_STREQ(utf8Heap, "caf\xC3\xA9 \xF0\x9F\x98\x80");
   free(utf8Heap);

   ASSERT_TRUE(SetDefaultCodepage("UTF-8"));
   char mb[6];
   EXPECT_STREQ(m.getFieldAsMBString(2, mb, sizeof(mb)), "caf\xC3\xA9");  // whole characters only
   EXPECT_STREQ(m.getFieldAsMBString(2, mb, 5), "caf");
   char *mbHeap = m.getFieldAsMBString(2);
   EXPECT_STREQ(mbHeap, "caf\xC3\xA9 \xF0\x9F\x98\x80");
   free(mbHeap);
   m.setFieldFromMBString(7, "\xC3\xA9t\xC3\xA9");
   EXPECT_EQ(std::wstring(m.getFieldAsString(7, small, 5)), L"\u00e9t\u00e9");
   SetDefaultCodepage("ACP");

   // An odd length leaves the last byte out of the text.
   MessagePtr odd = Parse(Raw(0, 1, Hex("00000001 01 00 0000 00000003 004100 00")));
   ASSERT_NE(odd, nullptr);
   EXPECT_EQ(std::wstring(odd->getFieldAsString(1, small, 5)), L"A");
   EXPECT_EQ(Wire(*odd), Raw(0, 1, Hex("00000001 01 00 0000 00000003 004100 00")));
}

TEST(MessageFields, TextConvertsWhereverItsSpecialCharactersFall)
{
   // Characters at the edges of one code unit, and beyond it, at the start, inside and at
   // the end of runs of eight characters and in the tail after them.
   const wchar_t special[] = {0x7F, 0xD7FF, 0xE000, 0xFFFF, 0x10000, 0x1F600};
   for (wchar_t c : special)
   {
      for (size_t at : {0, 7, 8, 15, 16, 18})
      {
         std::wstring text(19, L'x');
         text[at] = c;
         size_t units = text.size() + ((c >= 0x10000) ? 1 : 0);
         QVCPMessage m;
         m.setField(1, text.c_str());
         Bytes wire = Wire(m);
         ASSERT_EQ(Get32(wire, 16 + 8), units * 2) << std::hex << c << " " << at;
         uint32_t first = (uint32_t(wire[16 + 12 + 2 * at]) << 8) | wire[16 + 12 + 2 * at + 1];
         EXPECT_EQ(first, (c >= 0x10000) ? 0xD800u + ((c - 0x10000) >> 10) : uint32_t(c)) << std::hex << c;
         MessagePtr back = Parse(wire);
         ASSERT_NE(back, nullptr);
         wchar_t buffer[32];
         EXPECT_EQ(std::wstring(back->getFieldAsString(1, buffer, 32)), text) << std::hex << c << " " << at;
      }
   }
}

TEST(MessageFields, BinaryGettersAndUuids)
{
   QVCPMessage m;
   const uint8_t data[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
   m.setField(1, data, sizeof(data));
   const uint32_t values[] = {10, 20, 30};
   m.setFieldFromInt32Array(2, 3, values);
   m.setField(3, L"7");

   uint8_t buffer[4] = {};
   EXPECT_EQ(m.getFieldAsBinary(1, buffer, sizeof(buffer)), 10u);
   EXPECT_EQ(buffer[3], 4);
   EXPECT_EQ(m.getFieldAsBinary(1, nullptr, 0), 10u);
   EXPECT_EQ(m.getFieldAsBinary(3, buffer, sizeof(buffer)), 0u);
   size_t size = 99;
   EXPECT_EQ(memcmp(m.getBinaryFieldPtr(1, &size), data, sizeof(data)), 0);
   EXPECT_EQ(size, 10u);
   EXPECT_EQ(m.getBinaryFieldPtr(3, &size), nullptr);
   EXPECT_EQ(size, 0u);

   uint32_t out[2] = {};
   EXPECT_EQ(m.getFieldAsInt32Array(2, 2, out), 3u);
   EXPECT_EQ(out[1], 20u);
   EXPECT_EQ(m.getFieldAsInt32Array(2, 0, nullptr), 3u);
   EXPECT_EQ(m.getFieldAsInt32Array(1, 0, nullptr), 2u);  // 10 bytes: two whole elements
   uint32_t three[3] = {0, 0, 0xA5A5A5A5};
   EXPECT_EQ(m.getFieldAsInt32Array(1, 3, three), 2u);
   EXPECT_EQ(three[0], 0x01020304u);
   EXPECT_EQ(memcmp(&three[2], "\x09\x0A\xA5\xA5", 4), 0);  // the partial element as it is
   EXPECT_EQ(m.getFieldAsInt32Array(3, 2, out), 0u);

   const uuid id = uuid::parse(L"6ba7b810-9dad-11d1-80b4-00c04fd430c8");
   m.setField(10, id);
   m.setField(11, L"6BA7B810-9DAD-11D1-80B4-00C04FD430C8");
   const uint8_t bytes[17] = {};
   m.setField(12, bytes, 15);
   m.setField(13, bytes, 17);
   m.setField(14, static_cast<uint32_t>(1));
   m.setField(15, L"{6ba7b810-9dad-11d1-80b4-00c04fd430c8}");
   EXPECT_EQ(m.getFieldAsGUID(10), id);
   EXPECT_EQ(m.getFieldAsGUID(11), id);
   for (uint32_t fieldId : {12u, 13u, 14u, 15u, 99u})
      EXPECT_TRUE(m.getFieldAsGUID(fieldId).isNull()) << fieldId;
}

TEST(MessageFields, BinaryMessagesIgnoreSettersAndDeleteAllFieldsKeepsTheHeader)
{
   MessagePtr bin = Parse(Raw(QVCP_MF_BINARY | QVCP_MF_END_OF_FILE, 3, Hex("414243 0000000000")));
   ASSERT_NE(bin, nullptr);
   EXPECT_TRUE(bin->isBinary());
   EXPECT_TRUE(bin->isEndOfFile());
   EXPECT_EQ(bin->getBinaryDataSize(), 3u);
   EXPECT_EQ(memcmp(bin->getBinaryData(), "ABC", 3), 0);
   bin->setField(1, static_cast<uint32_t>(1));
   bin->setField(2, L"x");
   EXPECT_FALSE(bin->setFieldFromFile(3, L"/etc/hostname"));
   EXPECT_FALSE(bin->isFieldExist(1));
   EXPECT_FALSE(bin->isFieldExist(2));

   QVCPMessage copy(bin.get());
   EXPECT_EQ(copy.getBinaryDataSize(), 3u);
   EXPECT_NE(copy.getBinaryData(), bin->getBinaryData());
   EXPECT_EQ(Wire(copy), Raw(QVCP_MF_BINARY | QVCP_MF_END_OF_FILE, 3, Hex("414243 0000000000")));

   bin->deleteAllFields();
   EXPECT_TRUE(bin->isBinary());
   EXPECT_EQ(bin->getBinaryData(), nullptr);
   EXPECT_EQ(bin->getBinaryDataSize(), 0u);

   QVCPMessage m(0x42, 77, 3);
   m.setEndOfSequence();
   m.setReverseOrderFlag();
   m.disableEncryption();
   m.setField(1, L"text");
   m.deleteAllFields();
   EXPECT_FALSE(m.isFieldExist(1));
   EXPECT_EQ(m.getCode(), 0x42);
   EXPECT_EQ(m.getId(), 77u);
   EXPECT_EQ(m.getProtocolVersion(), 3);
   EXPECT_EQ(m.getFlags(), QVCP_MF_END_OF_SEQUENCE | QVCP_MF_REVERSE_ORDER | QVCP_MF_DONT_ENCRYPT);
   m.setField(2, static_cast<uint32_t>(9));
   EXPECT_EQ(m.getFieldAsUInt32(2), 9u);

   // A message large enough for a hashed index starts again from a list.
   for (uint32_t id = 1; id <= 40; id++)
      m.setField(id, id);
   m.deleteAllFields();
   EXPECT_FALSE(m.isFieldExist(20));
   m.setField(20, static_cast<uint32_t>(2));
   m.setField(20, static_cast<uint32_t>(3));
   EXPECT_EQ(m.getFieldIds(nullptr, 0), 1u);
   EXPECT_EQ(m.getFieldAsUInt32(20), 3u);
}

/* A message with a field of every settable type and many more, for round trips. */
void FillMixed(QVCPMessage &m)
{
   m.setField(1, static_cast<int16_t>(-5));
   m.setField(2, static_cast<int32_t>(-6));
   m.setField(3, static_cast<uint64_t>(0xFEDCBA9876543210));
   m.setField(4, 3.25);
   m.setField(5, L"\u00fcber \U0001F600 text");
   m.setField(6, reinterpret_cast<const uint8_t *>("\x00\x01\x02\xff"), 4);
   for (uint32_t i = 0; i < 300; i++)
      m.setField(1000 + i, i * 7);
}

void ExpectMixed(const QVCPMessage &m)
{
   EXPECT_EQ(m.getFieldAsInt16(1), -5);
   EXPECT_EQ(m.getFieldAsInt32(2), -6);
   EXPECT_EQ(m.getFieldAsUInt64(3), 0xFEDCBA9876543210u);
   EXPECT_EQ(m.getFieldAsDouble(4), 3.25);
   wchar_t text[32];
   EXPECT_EQ(std::wstring(m.getFieldAsString(5, text, 32)), L"\u00fcber \U0001F600 text");
   size_t size;
   const uint8_t *bytes = m.getBinaryFieldPtr(6, &size);
   ASSERT_EQ(size, 4u);
   EXPECT_EQ(memcmp(bytes, "\x00\x01\x02\xff", 4), 0);
   for (uint32_t i = 0; i < 300; i++)
      ASSERT_EQ(m.getFieldAsUInt32(1000 + i), i * 7) << i;
   EXPECT_EQ(m.getFieldIds(nullptr, 0), 306u);
}

TEST(MessageWire, RoundTripsAndDeepCopies)
{
   for (int version = 1; version <= 4; version++)
   {
      QVCPMessage m(0x0101, 0xCAFE, version);
      m.setEndOfSequence();
      FillMixed(m);
      Bytes wire = Wire(m);
      EXPECT_EQ(wire.size() % 8, 0u);
      MessagePtr back = Parse(wire, version);
      ASSERT_NE(back, nullptr) << version;
      EXPECT_EQ(back->getCode(), 0x0101);
      EXPECT_EQ(back->getId(), 0xCAFEu);
      EXPECT_TRUE(back->isEndOfSequence());
      EXPECT_EQ(back->getProtocolVersion(), version);
      ExpectMixed(*back);
      EXPECT_EQ(Wire(*back), wire) << version;

      QVCPMessage copy(back.get());
      back.reset();
      ExpectMixed(copy);
      EXPECT_EQ(Wire(copy), wire);
      copy.setField(2, static_cast<int32_t>(1));
      EXPECT_EQ(m.getFieldAsInt32(2), -6);
   }
}

TEST(MessageWire, CompressionWhenAllowedAndWorthwhile)
{
   QVCPMessage text(0x10, 3);
   text.setField(1, String(std::wstring(400, L'a').c_str()));
   Bytes plain = Wire(text);
   Bytes packed = Wire(text, true);
   ASSERT_LT(packed.size(), plain.size());
   EXPECT_EQ(packed.size() % 8, 0u);
   EXPECT_EQ(Get32(packed, 4), packed.size());
   EXPECT_EQ(packed[3], QVCP_MF_COMPRESSED);
   EXPECT_EQ(Get32(packed, 16), plain.size());
   EXPECT_TRUE(std::equal(plain.begin() + 8, plain.begin() + 16, packed.begin() + 8));
   Bytes inflated(plain.size() - 16);
   uLongf length = inflated.size();
   EXPECT_EQ(uncompress(inflated.data(), &length, packed.data() + 20, packed.size() - 20), Z_OK);
   EXPECT_TRUE(std::equal(inflated.begin(), inflated.end(), plain.begin() + 16));

   MessagePtr back = Parse(packed);
   ASSERT_NE(back, nullptr);
   EXPECT_EQ(back->getFlags(), 0);
   EXPECT_EQ(Wire(*back), plain);
   // Version 3 neither compresses nor inflates: the stream is no field list.
   MessagePtr old = Parse(packed, 3);
   EXPECT_TRUE(old == nullptr || !old->isFieldExist(1));
   text.setProtocolVersion(3);
   EXPECT_EQ(Wire(text, true).size(), plain.size());

   // Not compressed: 128 bytes or less, random bytes, stream data.
   QVCPMessage small;
   small.setField(1, String(std::wstring(50, L'a').c_str()));
   EXPECT_EQ(Wire(small).size(), 128u);
   EXPECT_EQ(Wire(small, true), Wire(small));
   small.setField(1, String(std::wstring(54, L'a').c_str()));  // 136 bytes: compressed
   EXPECT_EQ(Wire(small).size(), 136u);
   EXPECT_LT(Wire(small, true).size(), 136u);
   QVCPMessage noise;
   Bytes random(1000);
   srand(1);
   for (uint8_t &b : random)
      b = static_cast<uint8_t>(rand());
   noise.setField(1, random.data(), random.size());
   EXPECT_EQ(Wire(noise, true), Wire(noise));

   // Binary messages: compressed only when the data length is a multiple of 8.
   for (size_t length : {800u, 801u})
   {
      Bytes data(length, 'x');
      Bytes raw = Raw(QVCP_MF_BINARY, static_cast<uint32_t>(length), data);
      raw.resize((raw.size() + 7) / 8 * 8);
      Put32(raw, 4, static_cast<uint32_t>(raw.size()));
      MessagePtr bin = Parse(raw);
      ASSERT_NE(bin, nullptr);
      Bytes wire = Wire(*bin, true);
      EXPECT_EQ(wire.size() < raw.size(), length % 8 == 0) << length;
      MessagePtr again = Parse(wire);
      ASSERT_NE(again, nullptr);
      EXPECT_EQ(again->getBinaryDataSize(), length);
      EXPECT_EQ(memcmp(again->getBinaryData(), data.data(), length), 0);
   }
   Bytes stream = Raw(QVCP_MF_BINARY | QVCP_MF_COMPRESSED | QVCP_MF_STREAM, 800, Bytes(800, 'x'));
   MessagePtr streamMsg = Parse(stream);
   ASSERT_NE(streamMsg, nullptr);
   EXPECT_TRUE(streamMsg->isCompressedStream());
   EXPECT_EQ(Wire(*streamMsg, true), stream);
}

TEST(MessageWire, ControlMessagesAndFieldCounts)
{
   MessagePtr control = Parse(Raw(QVCP_MF_CONTROL, 0x04000000, Bytes()));
   ASSERT_NE(control, nullptr);
   EXPECT_TRUE(control->isControl());
   EXPECT_EQ(control->getFieldIds(nullptr, 0), 0u);

   for (uint32_t count : {0u, 0x80000000u, 0xFFFFFFFFu})
   {
      MessagePtr m = Parse(Raw(0, count, INT32_FIELD_5));
      ASSERT_NE(m, nullptr) << count;
      EXPECT_FALSE(m->isFieldExist(5)) << count;
   }

   // Bytes after the last declared field are ignored.
   Bytes extra = INT32_FIELD_5;
   extra.insert(extra.end(), 8, 0xEE);
   EXPECT_NE(Parse(Raw(0, 1, extra)), nullptr);
}

TEST(MessageWire, MalformedInputIsRejected)
{
   const Bytes stringPastEnd = Hex("00000001 01 00 0000 00000010 0041 0042");
   const Bytes lengthWordOutside = Hex("00000001 00 00 0000 00000000 00000000 00000002 04 00 0000");
   const Bytes payload = Hex("00000005 00 00 0000 00000001 00000000");  // a 32-byte message inflated
   struct Case
   {
      const char *name;
      Bytes raw;
      size_t bufferSize;  // 0: the bytes' size
      int version;
   };
   const Case cases[] = {
       {"numFields beyond the fields", Raw(0, 2, INT32_FIELD_5), 0, 4},
       {"field past the end", Raw(0, 1, stringPastEnd), 0, 4},
       {"length word outside", Raw(0, 2, lengthWordOutside), 0, 4},
       {"padding counts from version 2", Raw(0, 2, Hex("00000001 00 00 0000 00000001 00000002 03 00 0007")), 0, 4},
       {"binary longer than its bytes", Raw(QVCP_MF_BINARY, 9, Hex("0102030405060708")), 0, 4},
       {"binary far longer", Raw(QVCP_MF_BINARY, 0xFFFFFFF0, Hex("0102030405060708")), 0, 4},
       {"size below the header", Raw(0, 0, Bytes(), 8), 0, 4},
       {"size beyond the buffer", Raw(0, 1, INT32_FIELD_5, 40), 0, 4},
       {"buffer below the header", Raw(0, 0, Bytes()), 12, 4},
       {"inflates to less than declared", Compressed(0, 1, 40, payload), 0, 4},
       {"inflates to more than declared", Compressed(0, 1, 24, payload), 0, 4},
       {"declared size below 16", Compressed(0, 0, 15, Bytes()), 0, 4},
       {"declared size beyond the stream", Compressed(0, 1, 0xFFFFFFF8, payload), 0, 4},
       {"compressed size field missing", Raw(QVCP_MF_COMPRESSED, 0, Hex("0000")), 0, 4},
       {"broken stream", Raw(QVCP_MF_COMPRESSED, 1, Hex("00000020 78DA0102 03040506")), 0, 4},
       {"binary inflating short", Compressed(QVCP_MF_BINARY, 40, 0, Bytes(32, 'x')), 0, 4},
       {"binary declared beyond the stream", Compressed(QVCP_MF_BINARY, 0xFFFFFFF0, 0, Bytes(32, 'x')), 0, 4},
   };
   for (const Case &c : cases)
   {
      Bytes raw = c.raw;
      size_t bufferSize = (c.bufferSize != 0) ? c.bufferSize : raw.size();
      raw.resize(bufferSize);
      EXPECT_EQ(Parse(raw, c.version), nullptr) << c.name;
   }

   // The same compressed forms with matching sizes are accepted.
   MessagePtr good = Parse(Compressed(0, 1, 32, payload));
   ASSERT_NE(good, nullptr);
   EXPECT_EQ(good->getFieldAsUInt32(5), 1u);
   MessagePtr bin = Parse(Compressed(QVCP_MF_BINARY, 32, 0, Bytes(32, 'x')));
   ASSERT_NE(bin, nullptr);
   EXPECT_EQ(bin->getBinaryDataSize(), 32u);
   EXPECT_EQ(QVCPMessage::deserialize(nullptr, 100, 4), nullptr);

   // The form without a buffer size takes the header's.
   Bytes wire = Raw(0, 1, INT32_FIELD_5);
   MessagePtr trusted(QVCPMessage::deserialize(reinterpret_cast<const QVCP_MESSAGE *>(wire.data()), 4));
   ASSERT_NE(trusted, nullptr);
   EXPECT_EQ(trusted->getFieldAsUInt32(5), 1u);
}

TEST(MessageWire, DecompressionFailuresGoToTheDebugOutput)
{
   const Bytes payload = Hex("00000005 00 00 0000 00000001 00000000");
   std::vector<std::wstring> lines = DebugLinesOf(6, [&] {
      EXPECT_EQ(Parse(Compressed(0, 1, 40, payload)), nullptr);
      EXPECT_EQ(Parse(Compressed(QVCP_MF_BINARY, 40, 0, Bytes(32, 'x'))), nullptr);
      qvlog_set_debug_level(5);
      EXPECT_EQ(Parse(Compressed(0, 1, 40, payload)), nullptr);
   });
   EXPECT_EQ(lines, std::vector<std::wstring>({
                        L"QVCPMessage: failed to decompress message CMD_KEEPALIVE with ID 9",
                        L"QVCPMessage: failed to decompress binary message CMD_KEEPALIVE with ID 9",
                    }));
}

TEST(MessageDump, Texts)
{
   Bytes raw = Raw(0, 1, Hex("00000001 00 01 0000 FFFFFFFE 00000000"));
   EXPECT_EQ(Dump(raw), L"  ** 000000: 00030000000000200000000900000001 ....... ........\n"
                        L"  ** 000010: 0000000100010000FFFFFFFE00000000 ................\n"
                        L"  ** code=0x0003 (CMD_KEEPALIVE) flags=0x0000 id=9 size=32 numFields=1\n"
                        L"  ** 000010: [     1] INT32    -2\n");

   struct Case
   {
      const char *field;
      const wchar_t *line;
   };
   const Case cases[] = {
       {"00000002 01 00 0000 00000004 00480069", L"  ** 000010: [     2] STRING   \"Hi\"\n"},
       {"00000003 02 00 0000 0000011F71FB04CB", L"  ** 000010: [     3] INT64    1234567890123\n"},
       {"00000004 03 01 FFFF", L"  ** 000010: [     4] INT16    65535\n"},
       {"00000005 04 00 0000 00000003 41424300", L"  ** 000010: [     5] BINARY   len=3\n"},
       {"00000006 05 00 0000 4004000000000000", L"  ** 000010: [     6] FLOAT    2.500000\n"},
       {"00000007 06 00 0000 0A000001 000000000000000000000000 00 18 000000000000",
        L"  ** 000010: [     7] INETADDR 10.0.0.1\n"},
       {"00000008 06 00 0000 FE800000000000000000000000000001 01 40 000000000000",
        L"  ** 000010: [     8] INETADDR fe80::1\n"},
       {"00000009 07 00 0000", L"  ** 000010: [     9] unknown type 7\n"},
   };
   for (const Case &c : cases)
   {
      std::wstring text = Dump(Raw(0, 1, Hex(c.field)));
      EXPECT_NE(text.find(c.line), std::wstring::npos) << c.field << "\n" << std::string(text.begin(), text.end());
   }

   struct Error
   {
      Bytes raw;
      const wchar_t *line;
   };
   const Error errors[] = {
       {Raw(0, 2, INT32_FIELD_5), L"  ** message format error (pos > size - 8)\n"},
       {Raw(0, 1, Hex("00000001 01 00 0000")), L"  ** message format error (pos > size - 8 and field type 1)\n"},
       {Raw(0, 1, Hex("00000001 04 00 0000 00000100 00000000")),
        L"  ** message format error (invalid field size 268 at offset 0x000010)\n"},
       {Raw(QVCP_MF_BINARY, 3, Hex("414243 0000000000")), L"  ** binary message\n"},
       {Raw(QVCP_MF_CONTROL, 5, Bytes()), L"  ** control message\n"},
       {Hex("0003 0000 0000"), L"  ** message format error (incomplete header)\n"},
   };
   for (const Error &e : errors)
   {
      std::wstring text = Dump(e.raw);
      ASSERT_GE(text.size(), wcslen(e.line));
      EXPECT_EQ(text.substr(text.size() - wcslen(e.line)), e.line) << std::string(text.begin(), text.end());
   }

   // The version decides where the field after a 3-byte BINARY starts.
   Bytes unpadded = Raw(0, 2, Hex("00000001 04 00 0000 00000003 414243 00000002 03 00 0007 00"));
   EXPECT_NE(Dump(unpadded, 1).find(L"  ** 00001F: [     2] INT16    7\n"), std::wstring::npos);
   EXPECT_NE(Dump(unpadded, 4).find(L"  ** message format error (invalid field size 12 at offset 0x000020)\n"),
             std::wstring::npos);

   // The header claims 64 bytes but the buffer holds 32: the listing stops at 32 and the
   // second field is past the end.
   Bytes cut = Raw(0, 2, INT32_FIELD_5, 64);
   std::wstring text = Dump(cut);
   EXPECT_EQ(text.find(L"  ** 000020:"), std::wstring::npos);
   EXPECT_NE(
       text.find(
           L"size=64 numFields=2\n  ** 000010: [     5] INT32    1\n  ** message format error (pos > size - 8)\n"),
       std::wstring::npos);
}

TEST(MessageFields, SetFieldFromFile)
{
   char path[] = "/tmp/qv_message_test_XXXXXX";
   int fd = mkstemp(path);
   ASSERT_GE(fd, 0);
   const char content[] = "file content\n";
   ASSERT_EQ(write(fd, content, sizeof(content) - 1), static_cast<ssize_t>(sizeof(content) - 1));
   close(fd);
   std::wstring widePath(path, path + strlen(path));

   QVCPMessage m;
   EXPECT_TRUE(m.setFieldFromFile(1, widePath.c_str()));
   uint8_t buffer[32];
   ASSERT_EQ(m.getFieldAsBinary(1, buffer, sizeof(buffer)), sizeof(content) - 1);
   EXPECT_EQ(memcmp(buffer, content, sizeof(content) - 1), 0);
   unlink(path);

   EXPECT_FALSE(m.setFieldFromFile(2, widePath.c_str()));
   EXPECT_FALSE(m.setFieldFromFile(3, L"/tmp"));
   EXPECT_FALSE(m.isFieldExist(2));
   EXPECT_FALSE(m.isFieldExist(3));
}

}  // namespace
