/* ByteStream: byte layout of typed values and string prefixes, reads past the end,
 * positions, generated records read back value by value, and load and save of files. */
#include <qorvel.h>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <random>
#include <string>
#include <vector>

namespace {

std::vector<uint8_t> Content(const ByteStream &s)
{
   size_t size;
   const uint8_t *data = s.buffer(&size);
   return (data != nullptr) ? std::vector<uint8_t>(data, data + size) : std::vector<uint8_t>();
}

using B = std::vector<uint8_t>;

/* A temporary file, removed with the object. */
struct TempFile
{
   char path[32] = "/tmp/qv_byte_stream_XXXXXX";
   int fd;
   TempFile() : fd(mkstemp(path)) {}
   ~TempFile()
   {
      if (fd >= 0)
         close(fd);
      unlink(path);
   }
   std::wstring widePath() const { return std::wstring(path, path + strlen(path)); }
};

}  // namespace

TEST(ByteStream, IntegersAndDoublesAreBigEndian)
{
   ByteStream s;
   s.write(static_cast<uint32_t>(0x01020304));
   s.write(static_cast<int16_t>(-2));
   s.write(static_cast<uint64_t>(0x1122334455667788));
   s.write(1.0);
   s.write('z');
   s.write(static_cast<unsigned char>(0xFE));
   EXPECT_EQ(Content(s), (B{0x01, 0x02, 0x03, 0x04, 0xFF, 0xFE, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66,
                            0x77, 0x88, 0x3F, 0xF0, 0,    0,    0,    0,    0,    0,    'z',  0xFE}));
   EXPECT_EQ(s.pos(), 24u);
   EXPECT_TRUE(s.eos());
}

TEST(ByteStream, ShortReadsGiveZeroAndMoveToTheEnd)
{
   const uint8_t three[] = {1, 2, 3};
   ByteStream s(three, 3);
   EXPECT_EQ(s.readUInt32(), 0u);
   EXPECT_EQ(s.pos(), 3u);
   EXPECT_EQ(s.readByte(), 0);
   s.seek(2);
   EXPECT_EQ(s.readUInt16(), 0);
   EXPECT_TRUE(s.eos());
   s.seek(1);
   uint8_t buffer[8];
   EXPECT_EQ(s.read(buffer, sizeof(buffer)), 2u);
   EXPECT_EQ(buffer[0], 2);
   EXPECT_EQ(buffer[1], 3);
   EXPECT_EQ(s.readDouble(), 0.0);
}

TEST(ByteStream, StringPrefixesTakeTwoOrFourBytes)
{
   ByteStream s;
   s.writeStringUtf8("hello");
   EXPECT_EQ(Content(s), (B{0x00, 0x05, 'h', 'e', 'l', 'l', 'o'}));

   std::string big(40000, 'q');
   ByteStream b;
   b.writeStringUtf8(big.c_str());
   std::vector<uint8_t> content = Content(b);
   ASSERT_EQ(content.size(), 40004u);
   EXPECT_EQ(B(content.begin(), content.begin() + 4), (B{0x80, 0x00, 0x9C, 0x40}));
   b.seek(0);
   char *text = b.readStringUtf8();
   ASSERT_NE(text, nullptr);
   EXPECT_EQ(std::string(text), big);
   free(text);

   // The longest short form and the shortest long form.
   std::string edge(0x7FFF, 'e');
   ByteStream e;
   e.writeStringUtf8(edge.c_str());
   e.writeStringUtf8((edge + "f").c_str());
   std::vector<uint8_t> bytes = Content(e);
   EXPECT_EQ(bytes[0], 0x7F);
   EXPECT_EQ(bytes[1], 0xFF);
   EXPECT_EQ(B(bytes.begin() + 0x8001, bytes.begin() + 0x8005), (B{0x80, 0x00, 0x80, 0x00}));

   ByteStream nulls;
   nulls.writeStringUtf8(nullptr);
   nulls.writeString(nullptr);
   EXPECT_EQ(Content(nulls), (B{0, 0, 0, 0}));
}

TEST(ByteStream, StringThatDoesNotFitLeavesThePrefixConsumed)
{
   const uint8_t data[] = {0x00, 0x0A, 'a', 'b', 'c', 'd'};
   ByteStream s(data, sizeof(data));
   EXPECT_EQ(s.readString(), nullptr);
   EXPECT_EQ(s.pos(), 2u);

   const uint8_t one[] = {0x00};
   ByteStream tooShort(one, 1);
   EXPECT_EQ(tooShort.readStringUtf8(), nullptr);
   EXPECT_EQ(tooShort.pos(), 0u);

   const uint8_t longPrefix[] = {0x80, 0x00, 0x01};
   ByteStream partial(longPrefix, 3);
   EXPECT_EQ(partial.readStringUtf8(), nullptr);
   EXPECT_EQ(partial.pos(), 0u);

   const uint8_t empty[] = {0x00, 0x00};
   ByteStream e(empty, 2);
   wchar_t *text = e.readString();
   ASSERT_NE(text, nullptr);
   EXPECT_STREQ(text, L"");
   free(text);
   EXPECT_TRUE(e.eos());
}

TEST(ByteStream, ReadStringConvertsUtf8)
{
   const uint8_t data[] = {0x00, 0x03, 'a', 0xC3, 0xA9};
   ByteStream s(data, sizeof(data));
   wchar_t *text = s.readString();
   ASSERT_NE(text, nullptr);
   EXPECT_EQ(wcslen(text), 2u);
   EXPECT_STREQ(text, L"a\x00E9");
   free(text);

   ByteStream w;
   w.writeString(L"\x00E9\x10437z");
   w.seek(0);
   EXPECT_EQ(w.readUInt16(), 7);  // 2 + 4 + 1 bytes of UTF-8
   w.seek(0);
   text = w.readString();
   ASSERT_NE(text, nullptr);
   EXPECT_STREQ(text, L"\x00E9\x10437z");
   free(text);
}

TEST(ByteStream, SeekAndOverwriteKeepTheSize)
{
   ByteStream s(static_cast<size_t>(0));
   s.write(static_cast<uint32_t>(0xAAAAAAAA));
   s.seek(100);
   EXPECT_EQ(s.pos(), 4u);
   s.seek(0);
   s.write(static_cast<uint16_t>(0x0102));
   EXPECT_EQ(s.size(), 4u);
   EXPECT_EQ(Content(s), (B{0x01, 0x02, 0xAA, 0xAA}));
   s.seek(3);
   s.write(static_cast<uint16_t>(0x0304));
   EXPECT_EQ(Content(s), (B{0x01, 0x02, 0xAA, 0x03, 0x04}));
}

TEST(ByteStream, GeneratedRecordsReadBackValueByValue)
{
   // Random sequences of every kind of value, written and then read back in the same
   // order, in both byte orders: the stream's own big-endian one, and little-endian
   // values written as raw bytes and read back the same way.
   for (unsigned seed = 1; seed <= 10; seed++)
   {
      std::mt19937_64 random(seed);
      struct Value
      {
         int kind;
         uint64_t bits;
         std::string text;
      };
      std::vector<Value> values;
      ByteStream s(static_cast<size_t>(seed % 3));
      s.setAllocationStep(1 + seed);
      for (int i = 0; i < 500; i++)
      {
         Value v{static_cast<int>(random() % 9), random(), std::string()};
         switch (v.kind)
         {
            case 0: s.write(static_cast<unsigned char>(v.bits)); break;
            case 1: s.write(static_cast<int16_t>(v.bits)); break;
            case 2: s.write(static_cast<uint32_t>(v.bits)); break;
            case 3: s.write(static_cast<int64_t>(v.bits)); break;
            case 4:
            {
               double d;
               memcpy(&d, &v.bits, sizeof(d));
               if (d != d)
                  v.bits = 0;  // NaN payloads compare by bits below anyway
               memcpy(&d, &v.bits, sizeof(d));
               s.write(d);
               break;
            }
            case 5:
               v.text.assign(random() % 50, static_cast<char>('a' + random() % 26));
               s.writeStringUtf8(v.text.c_str());
               break;
            case 6:
            {
               uint32_t le = static_cast<uint32_t>(v.bits);
               s.write(&le, sizeof(le));
               break;
            }
            case 7:
            {
               uint16_t le = static_cast<uint16_t>(v.bits);
               s.write(&le, sizeof(le));
               break;
            }
            default: s.write(static_cast<uint64_t>(v.bits)); break;
         }
         values.push_back(v);
      }
      s.seek(0);
      for (size_t i = 0; i < values.size(); i++)
      {
         const Value &v = values[i];
         switch (v.kind)
         {
            case 0: ASSERT_EQ(s.readByte(), static_cast<uint8_t>(v.bits)) << i; break;
            case 1: ASSERT_EQ(s.readInt16(), static_cast<int16_t>(v.bits)) << i; break;
            case 2: ASSERT_EQ(s.readUInt32(), static_cast<uint32_t>(v.bits)) << i; break;
            case 3: ASSERT_EQ(s.readInt64(), static_cast<int64_t>(v.bits)) << i; break;
            case 4:
            {
               double d = s.readDouble();
               uint64_t bits;
               memcpy(&bits, &d, sizeof(bits));
               ASSERT_EQ(bits, v.bits) << i;
               break;
            }
            case 5:
            {
               char *text = s.readStringUtf8();
               ASSERT_NE(text, nullptr) << i;
               ASSERT_EQ(std::string(text), v.text) << i;
               free(text);
               break;
            }
            case 6:
            {
               uint32_t le;
               ASSERT_EQ(s.read(&le, sizeof(le)), sizeof(le));
               ASSERT_EQ(le, static_cast<uint32_t>(v.bits)) << i;
               break;
            }
            case 7:
            {
               uint16_t le;
               ASSERT_EQ(s.read(&le, sizeof(le)), sizeof(le));
               ASSERT_EQ(le, static_cast<uint16_t>(v.bits)) << i;
               break;
            }
            default: ASSERT_EQ(s.readUInt64(), v.bits) << i; break;
         }
      }
      EXPECT_TRUE(s.eos());
   }
}

TEST(ByteStream, SaveAndLoadRoundTrip)
{
   TempFile file;
   ASSERT_GE(file.fd, 0);
   ByteStream s;
   std::vector<uint8_t> data(50000);
   for (size_t i = 0; i < data.size(); i++)
      data[i] = static_cast<uint8_t>(i * 31 + 5);
   s.write(data.data(), data.size());
   ASSERT_TRUE(s.save(file.fd));

   ByteStream *loaded = ByteStream::load(file.widePath().c_str());
   ASSERT_NE(loaded, nullptr);
   EXPECT_EQ(Content(*loaded), data);
   EXPECT_EQ(loaded->pos(), 0u);
   size_t size;
   EXPECT_EQ(loaded->buffer(&size)[size], 0);  // the terminating byte after the content
   loaded->seek(loaded->size());
   loaded->write(static_cast<uint32_t>(1));
   EXPECT_EQ(loaded->size(), data.size() + 4);
   delete loaded;

   EXPECT_FALSE(s.save(-1));
   EXPECT_EQ(ByteStream::load(L"/nonexistent/qv/file"), nullptr);
   EXPECT_EQ(ByteStream::load(nullptr), nullptr);
   EXPECT_EQ(ByteStream::load(L"/"), nullptr);  // opens, but cannot be read

   TempFile empty;
   ByteStream *none = ByteStream::load(empty.widePath().c_str());
   ASSERT_NE(none, nullptr);
   EXPECT_EQ(none->size(), 0u);
   delete none;
}

TEST(ByteStream, LoadOfAFileThatComesUpShortKeepsWhatWasRead)
{
   // Attribute files of sysfs report a size of a whole page and hold a few bytes.
   const char *path = "/sys/devices/system/cpu/online";
   struct stat st;
   FILE *f = fopen(path, "rb");
   if (f == nullptr || stat(path, &st) != 0)
   {
      if (f != nullptr)
         fclose(f);
      GTEST_SKIP() << path << " is not available";
   }
   std::vector<uint8_t> content;
   int ch;
   while ((ch = fgetc(f)) != EOF)
      content.push_back(static_cast<uint8_t>(ch));
   fclose(f);
   ASSERT_LT(content.size(), static_cast<size_t>(st.st_size)) << "the file must report more than it holds";

   std::wstring wide(path, path + strlen(path));
   ByteStream *loaded = ByteStream::load(wide.c_str());
   ASSERT_NE(loaded, nullptr);
   EXPECT_EQ(loaded->size(), content.size());
   EXPECT_EQ(Content(*loaded), content);
   loaded->seek(loaded->size());
   EXPECT_TRUE(loaded->eos());
   EXPECT_EQ(loaded->readByte(), 0);
   delete loaded;
}

TEST(ByteStream, LoadRefusesFilesBeyondFourGiB)
{
   // A sparse file: no disk space is used. Its size does not fit 32 bits, so it is
   // refused rather than read as its size modulo 2^32.
   TempFile file;
   ASSERT_GE(file.fd, 0);
   if (ftruncate(file.fd, static_cast<off_t>(ByteStream::MAX_LOAD_SIZE) + 1 + 16) != 0)
      GTEST_SKIP() << "cannot make a sparse file here";
   EXPECT_EQ(ByteStream::load(file.widePath().c_str()), nullptr);
}
