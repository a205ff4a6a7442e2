/* Messages: a round trip (build, serialize, deserialize, read back every field) of a
 * message of 10 mixed fields and of one of 1000 fields, for QVCPMessage, for protobuf
 * holding the same content, and for a hand-written writer and reader of the QVCP wire
 * layout without index or allocation (the floor); serialize of a 1 MiB binary field
 * against memcpy; compressed serialize and deserialize of a 64 KiB text message against
 * zlib's compress2 and uncompress of the same payload. */
#include <qorvel.h>

#include <benchmark/benchmark.h>
#include <zlib.h>

#include <string.h>

#include <string>
#include <vector>

#include "message_bench.pb.h"

namespace {

constexpr uint16_t CODE = CMD_GET_PARAMETER;
constexpr uint32_t REQUEST_ID = 7;

/* The string field of the mixed message: 20 characters. */
const wchar_t TEXT[] = L"twenty characters ok";
const char TEXT_UTF8[] = "twenty characters ok";
constexpr size_t TEXT_LENGTH = sizeof(TEXT_UTF8) - 1;

/* Bytes of the mixed message's binary field and of the many-field message's ones. */
constexpr size_t MIXED_BLOB = 64;
constexpr size_t MANY_BLOB = 16;

/* Fields of the large message; field i has type i % MANY_TYPES. */
constexpr int MANY_FIELDS = 1000;
constexpr int MANY_TYPES = 5;

/* Characters a string field is read back into. */
constexpr size_t TEXT_BUFFER = 64;

/* The large binary field, and the compressible message: STRING fields of log lines. */
constexpr size_t LARGE_BINARY = 1 << 20;
constexpr size_t COMPRESSIBLE_TARGET = 64 * 1024;
constexpr size_t LOG_FIELD_CHARS = 500;

/* zlib level of the message payload compression. */
constexpr int ZLIB_LEVEL = 9;

const std::vector<uint8_t> &Blob()
{
   static std::vector<uint8_t> blob = [] {
      std::vector<uint8_t> b(LARGE_BINARY);
      for (size_t i = 0; i < b.size(); i++)
         b[i] = static_cast<uint8_t>(i * 131 + 7);
      return b;
   }();
   return blob;
}

size_t WireSize(const void *raw)
{
   const uint8_t *p = static_cast<const uint8_t *>(raw);
   return (size_t(p[4]) << 24) | (size_t(p[5]) << 16) | (size_t(p[6]) << 8) | p[7];
}

/* ---- The mixed message ---- */

void BuildMixed(QVCPMessage &m)
{
   m.setField(1, static_cast<int32_t>(-123456));
   m.setField(2, static_cast<int64_t>(1234567890123));
   m.setField(3, TEXT);
   m.setField(4, 3.14159);
   m.setField(5, Blob().data(), MIXED_BLOB);
   m.setField(6, static_cast<uint32_t>(4000000000u));
   m.setField(7, static_cast<uint64_t>(0xFEDCBA9876543210));
   m.setField(8, static_cast<int16_t>(-7));
   m.setField(9, true);
   m.setFieldFromTime(10, 1765280000);
}

void ReadMixed(const QVCPMessage &m)
{
   benchmark::DoNotOptimize(m.getFieldAsInt32(1));
   benchmark::DoNotOptimize(m.getFieldAsInt64(2));
   wchar_t text[TEXT_BUFFER];
   benchmark::DoNotOptimize(m.getFieldAsString(3, text, TEXT_BUFFER));
   benchmark::DoNotOptimize(m.getFieldAsDouble(4));
   size_t size;
   benchmark::DoNotOptimize(m.getBinaryFieldPtr(5, &size));
   benchmark::DoNotOptimize(m.getFieldAsUInt32(6));
   benchmark::DoNotOptimize(m.getFieldAsUInt64(7));
   benchmark::DoNotOptimize(m.getFieldAsInt16(8));
   benchmark::DoNotOptimize(m.getFieldAsBoolean(9));
   benchmark::DoNotOptimize(m.getFieldAsTime(10));
   benchmark::ClobberMemory();
}

void BM_MixedRoundTrip_Qorvel(benchmark::State &state)
{
   for (auto _ : state)
   {
      QVCPMessage m(CODE, REQUEST_ID);
      BuildMixed(m);
      QVCP_MESSAGE *wire = m.serialize(false);
      QVCPMessage *back = QVCPMessage::deserialize(wire, WireSize(wire), QVCP_DEFAULT_VERSION);
      ReadMixed(*back);
      delete back;
      free(wire);
   }
   state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_MixedRoundTrip_Qorvel);

void BM_MixedRoundTrip_Protobuf(benchmark::State &state)
{
   for (auto _ : state)
   {
      qvbench::Mixed m;
      m.set_i32(-123456);
      m.set_i64(1234567890123);
      m.set_text(TEXT_UTF8, TEXT_LENGTH);
      m.set_real(3.14159);
      m.set_blob(Blob().data(), MIXED_BLOB);
      m.set_u32(4000000000u);
      m.set_u64(0xFEDCBA9876543210);
      m.set_i16(-7);
      m.set_flag(true);
      m.set_time(1765280000);
      std::string wire;
      m.SerializeToString(&wire);
      qvbench::Mixed back;
      back.ParseFromString(wire);
      benchmark::DoNotOptimize(back.i32());
      benchmark::DoNotOptimize(back.i64());
      benchmark::DoNotOptimize(back.text().data());
      benchmark::DoNotOptimize(back.real());
      benchmark::DoNotOptimize(back.blob().data());
      benchmark::DoNotOptimize(back.u32());
      benchmark::DoNotOptimize(back.u64());
      benchmark::DoNotOptimize(back.i16());
      benchmark::DoNotOptimize(back.flag());
      benchmark::DoNotOptimize(back.time());
      benchmark::ClobberMemory();
   }
   state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_MixedRoundTrip_Protobuf);

/* ---- The floor: the QVCP layout written and read by hand, version 4 padding ---- */

void Put16(uint8_t *p, uint16_t v)
{
   p[0] = static_cast<uint8_t>(v >> 8);
   p[1] = static_cast<uint8_t>(v);
}

void Put32(uint8_t *p, uint32_t v)
{
   Put16(p, static_cast<uint16_t>(v >> 16));
   Put16(p + 2, static_cast<uint16_t>(v));
}

void Put64(uint8_t *p, uint64_t v)
{
   Put32(p, static_cast<uint32_t>(v >> 32));
   Put32(p + 4, static_cast<uint32_t>(v));
}

uint16_t Get16(const uint8_t *p)
{
   return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

uint32_t Get32(const uint8_t *p)
{
   return uint32_t(Get16(p)) << 16 | Get16(p + 2);
}

uint64_t Get64(const uint8_t *p)
{
   return uint64_t(Get32(p)) << 32 | Get32(p + 4);
}

class HandWriter
{
private:
   uint8_t *m_start;
   uint8_t *m_p;
   uint32_t m_count = 0;

   void begin(uint32_t id, uint8_t type, uint8_t flags, uint16_t value16)
   {
      Put32(m_p, id);
      m_p[4] = type;
      m_p[5] = flags;
      Put16(m_p + 6, value16);
      m_count++;
   }
   void end(size_t size)
   {
      size_t padded = (size + 7) & ~size_t(7);
      memset(m_p + size, 0, padded - size);
      m_p += padded;
   }

public:
   explicit HandWriter(uint8_t *buffer) : m_start(buffer), m_p(buffer + QVCP_HEADER_SIZE) {}

   void int16(uint32_t id, uint16_t v, uint8_t flags)
   {
      begin(id, QVCP_FT_INT16, flags, v);
      end(8);
   }
   void int32(uint32_t id, uint32_t v, uint8_t flags)
   {
      begin(id, QVCP_FT_INT32, flags, 0);
      Put32(m_p + 8, v);
      end(12);
   }
   void int64(uint32_t id, uint64_t v, uint8_t flags, uint8_t type = QVCP_FT_INT64)
   {
      begin(id, type, flags, 0);
      Put64(m_p + 8, v);
      end(16);
   }
   void real(uint32_t id, double v)
   {
      uint64_t bits;
      memcpy(&bits, &v, sizeof(bits));
      int64(id, bits, 0, QVCP_FT_FLOAT);
   }
   void text(uint32_t id, const wchar_t *s, size_t n)
   {
      begin(id, QVCP_FT_STRING, 0, 0);
      Put32(m_p + 8, static_cast<uint32_t>(n * 2));
      for (size_t i = 0; i < n; i++)
         Put16(m_p + 12 + 2 * i, static_cast<uint16_t>(s[i]));
      end(12 + 2 * n);
   }
   void blob(uint32_t id, const uint8_t *data, size_t n)
   {
      begin(id, QVCP_FT_BINARY, 0, 0);
      Put32(m_p + 8, static_cast<uint32_t>(n));
      memcpy(m_p + 12, data, n);
      end(12 + n);
   }
   size_t finish(uint16_t code, uint32_t id)
   {
      size_t size = static_cast<size_t>(m_p - m_start);
      Put16(m_start, code);
      Put16(m_start + 2, 0);
      Put32(m_start + 4, static_cast<uint32_t>(size));
      Put32(m_start + 8, id);
      Put32(m_start + 12, m_count);
      return size;
   }
};

/* Walks the fields of a message, handing each to visit(id, type, field bytes). */
template <class Visit> void HandRead(const uint8_t *msg, size_t size, Visit &&visit)
{
   uint32_t count = Get32(msg + 12);
   size_t pos = QVCP_HEADER_SIZE;
   for (uint32_t i = 0; i < count && pos + 8 <= size; i++)
   {
      const uint8_t *f = msg + pos;
      int type = f[4];
      size_t fieldSize = (type == QVCP_FT_INT16)                              ? 8
                         : (type == QVCP_FT_INT32)                            ? 12
                         : (type == QVCP_FT_STRING || type == QVCP_FT_BINARY) ? 12 + Get32(f + 8)
                                                                              : 16;
      visit(Get32(f), type, f);
      pos += (fieldSize + 7) & ~size_t(7);
   }
}

/* Reads any field value the way the hand-written reader of either message does. */
void HandReadValue(int type, const uint8_t *f)
{
   switch (type)
   {
      case QVCP_FT_INT16: benchmark::DoNotOptimize(Get16(f + 6)); break;
      case QVCP_FT_INT32: benchmark::DoNotOptimize(Get32(f + 8)); break;
      case QVCP_FT_INT64:
      case QVCP_FT_FLOAT: benchmark::DoNotOptimize(Get64(f + 8)); break;
      case QVCP_FT_STRING:
      {
         wchar_t text[TEXT_BUFFER];
         size_t n = std::min<size_t>(Get32(f + 8) / 2, TEXT_BUFFER - 1);
         for (size_t i = 0; i < n; i++)
            text[i] = Get16(f + 12 + 2 * i);
         text[n] = 0;
         benchmark::DoNotOptimize(text);
         break;
      }
      default: benchmark::DoNotOptimize(f + 12); break;
   }
}

void BM_MixedRoundTrip_HandWritten(benchmark::State &state)
{
   uint8_t buffer[512];
   for (auto _ : state)
   {
      HandWriter w(buffer);
      w.int32(1, static_cast<uint32_t>(-123456), QVCP_FF_SIGNED);
      w.int64(2, 1234567890123, QVCP_FF_SIGNED);
      w.text(3, TEXT, TEXT_LENGTH);
      w.real(4, 3.14159);
      w.blob(5, Blob().data(), MIXED_BLOB);
      w.int32(6, 4000000000u, 0);
      w.int64(7, 0xFEDCBA9876543210, 0);
      w.int16(8, static_cast<uint16_t>(-7), QVCP_FF_SIGNED);
      w.int16(9, 1, QVCP_FF_SIGNED);
      w.int64(10, 1765280000, 0);
      size_t size = w.finish(CODE, REQUEST_ID);
      benchmark::ClobberMemory();
      HandRead(buffer, size, [](uint32_t, int type, const uint8_t *f) { HandReadValue(type, f); });
      benchmark::ClobberMemory();
   }
   state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_MixedRoundTrip_HandWritten);

/* ---- The message of 1000 fields ---- */

struct ManyTexts
{
   std::vector<std::wstring> wide;
   std::vector<std::string> utf8;
   ManyTexts()
   {
      for (int i = 0; i < MANY_FIELDS; i++)
      {
         std::string text = "value-" + std::to_string(100000 + i);
         utf8.push_back(text);
         wide.push_back(std::wstring(text.begin(), text.end()));
      }
   }
};

const ManyTexts &Texts()
{
   static ManyTexts texts;
   return texts;
}

void BM_ManyRoundTrip_Qorvel(benchmark::State &state)
{
   const ManyTexts &texts = Texts();
   for (auto _ : state)
   {
      QVCPMessage m(CODE, REQUEST_ID);
      for (int i = 0; i < MANY_FIELDS; i++)
      {
         uint32_t id = static_cast<uint32_t>(i + 1);
         switch (i % MANY_TYPES)
         {
            case 0: m.setField(id, static_cast<int32_t>(i)); break;
            case 1: m.setField(id, static_cast<int64_t>(i) * 1000003); break;
            case 2: m.setField(id, texts.wide[i].c_str()); break;
            case 3: m.setField(id, i * 0.5); break;
            default: m.setField(id, Blob().data(), MANY_BLOB); break;
         }
      }
      QVCP_MESSAGE *wire = m.serialize(false);
      QVCPMessage *back = QVCPMessage::deserialize(wire, WireSize(wire), QVCP_DEFAULT_VERSION);
      wchar_t text[TEXT_BUFFER];
      size_t size;
      for (int i = 0; i < MANY_FIELDS; i++)
      {
         uint32_t id = static_cast<uint32_t>(i + 1);
         switch (i % MANY_TYPES)
         {
            case 0: benchmark::DoNotOptimize(back->getFieldAsInt32(id)); break;
            case 1: benchmark::DoNotOptimize(back->getFieldAsInt64(id)); break;
            case 2: benchmark::DoNotOptimize(back->getFieldAsString(id, text, TEXT_BUFFER)); break;
            case 3: benchmark::DoNotOptimize(back->getFieldAsDouble(id)); break;
            default: benchmark::DoNotOptimize(back->getBinaryFieldPtr(id, &size)); break;
         }
      }
      benchmark::ClobberMemory();
      delete back;
      free(wire);
   }
   state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ManyRoundTrip_Qorvel);

void BM_ManyRoundTrip_Protobuf(benchmark::State &state)
{
   const ManyTexts &texts = Texts();
   for (auto _ : state)
   {
      qvbench::Many m;
      for (int i = 0; i < MANY_FIELDS; i++)
      {
         qvbench::Field *f = m.add_fields();
         f->set_id(static_cast<uint32_t>(i + 1));
         switch (i % MANY_TYPES)
         {
            case 0: f->set_i32(i); break;
            case 1: f->set_i64(static_cast<int64_t>(i) * 1000003); break;
            case 2: f->set_text(texts.utf8[i]); break;
            case 3: f->set_real(i * 0.5); break;
            default: f->set_blob(Blob().data(), MANY_BLOB); break;
         }
      }
      std::string wire;
      m.SerializeToString(&wire);
      qvbench::Many back;
      back.ParseFromString(wire);
      for (const qvbench::Field &f : back.fields())
      {
         benchmark::DoNotOptimize(f.id());
         switch (f.value_case())
         {
            case qvbench::Field::kI32: benchmark::DoNotOptimize(f.i32()); break;
            case qvbench::Field::kI64: benchmark::DoNotOptimize(f.i64()); break;
            case qvbench::Field::kText: benchmark::DoNotOptimize(f.text().data()); break;
            case qvbench::Field::kReal: benchmark::DoNotOptimize(f.real()); break;
            default: benchmark::DoNotOptimize(f.blob().data()); break;
         }
      }
      benchmark::ClobberMemory();
   }
   state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ManyRoundTrip_Protobuf);

void BM_ManyRoundTrip_HandWritten(benchmark::State &state)
{
   const ManyTexts &texts = Texts();
   std::vector<uint8_t> buffer(64 * MANY_FIELDS);
   for (auto _ : state)
   {
      HandWriter w(buffer.data());
      for (int i = 0; i < MANY_FIELDS; i++)
      {
         uint32_t id = static_cast<uint32_t>(i + 1);
         switch (i % MANY_TYPES)
         {
            case 0: w.int32(id, static_cast<uint32_t>(i), QVCP_FF_SIGNED); break;
            case 1: w.int64(id, static_cast<uint64_t>(i) * 1000003, QVCP_FF_SIGNED); break;
            case 2: w.text(id, texts.wide[i].c_str(), texts.wide[i].size()); break;
            case 3: w.real(id, i * 0.5); break;
            default: w.blob(id, Blob().data(), MANY_BLOB); break;
         }
      }
      size_t size = w.finish(CODE, REQUEST_ID);
      benchmark::ClobberMemory();
      HandRead(buffer.data(), size, [](uint32_t, int type, const uint8_t *f) { HandReadValue(type, f); });
      benchmark::ClobberMemory();
   }
   state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ManyRoundTrip_HandWritten);

/* ---- A 1 MiB binary field against memcpy ---- */

void BM_Serialize1MiBBinary_Qorvel(benchmark::State &state)
{
   QVCPMessage m(CODE, REQUEST_ID);
   m.setField(1, Blob().data(), LARGE_BINARY);
   for (auto _ : state)
   {
      QVCP_MESSAGE *wire = m.serialize(false);
      benchmark::DoNotOptimize(wire);
      free(wire);
   }
   state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * LARGE_BINARY));
}
BENCHMARK(BM_Serialize1MiBBinary_Qorvel);

void BM_Serialize1MiBBinary_Memcpy(benchmark::State &state)
{
   std::vector<uint8_t> target(LARGE_BINARY);
   for (auto _ : state)
   {
      memcpy(target.data(), Blob().data(), LARGE_BINARY);
      benchmark::ClobberMemory();
   }
   state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * LARGE_BINARY));
}
BENCHMARK(BM_Serialize1MiBBinary_Memcpy);

/* ---- Compression of a 64 KiB message of log lines ---- */

struct Compressible
{
   QVCPMessage msg;
   std::vector<uint8_t> payload;  // the uncompressed wire form after its header
   std::vector<uint8_t> packed;   // the compressed wire form

   Compressible() : msg(CODE, REQUEST_ID)
   {
      uint32_t seed = 12345;
      auto next = [&seed](uint32_t range) {
         seed = seed * 1103515245 + 12345;
         return (seed >> 16) % range;
      };
      size_t total = QVCP_HEADER_SIZE;
      for (uint32_t id = 1; total < COMPRESSIBLE_TARGET; id++)
      {
         String text;
         while (text.length() < LOG_FIELD_CHARS)
            text.appendFormattedString(L"2026-12-09 12:%02u:%02u node-%03u cpu=%u%% mem=%uMB status=%s\n", next(60),
                                       next(60), next(200), next(100), next(16384), next(8) ? L"ok" : L"degraded");
         msg.setField(id, text.substring(0, LOG_FIELD_CHARS));
         total += 12 + 2 * LOG_FIELD_CHARS + 4;
      }
      QVCP_MESSAGE *plain = msg.serialize(false);
      const uint8_t *p = reinterpret_cast<const uint8_t *>(plain);
      payload.assign(p + QVCP_HEADER_SIZE, p + WireSize(plain));
      free(plain);
      QVCP_MESSAGE *wire = msg.serialize(true);
      p = reinterpret_cast<const uint8_t *>(wire);
      packed.assign(p, p + WireSize(wire));
      free(wire);
   }
};

const Compressible &Log()
{
   static Compressible log;
   return log;
}

void BM_Compress64K_QorvelSerialize(benchmark::State &state)
{
   const Compressible &log = Log();
   for (auto _ : state)
   {
      QVCP_MESSAGE *wire = log.msg.serialize(true);
      benchmark::DoNotOptimize(wire);
      free(wire);
   }
   state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * log.payload.size()));
   state.counters["compressed"] = static_cast<double>(log.packed.size());
}
BENCHMARK(BM_Compress64K_QorvelSerialize);

void BM_Compress64K_ZlibCompress2(benchmark::State &state)
{
   const Compressible &log = Log();
   std::vector<uint8_t> out(compressBound(log.payload.size()));
   for (auto _ : state)
   {
      uLongf length = out.size();
      compress2(out.data(), &length, log.payload.data(), log.payload.size(), ZLIB_LEVEL);
      benchmark::DoNotOptimize(length);
      benchmark::ClobberMemory();
   }
   state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * log.payload.size()));
}
BENCHMARK(BM_Compress64K_ZlibCompress2);

void BM_Decompress64K_QorvelDeserialize(benchmark::State &state)
{
   const Compressible &log = Log();
   const QVCP_MESSAGE *wire = reinterpret_cast<const QVCP_MESSAGE *>(log.packed.data());
   for (auto _ : state)
   {
      QVCPMessage *m = QVCPMessage::deserialize(wire, log.packed.size(), QVCP_DEFAULT_VERSION);
      benchmark::DoNotOptimize(m);
      delete m;
   }
   state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * log.payload.size()));
}
BENCHMARK(BM_Decompress64K_QorvelDeserialize);

void BM_Decompress64K_ZlibUncompress(benchmark::State &state)
{
   const Compressible &log = Log();
   std::vector<uint8_t> out(log.payload.size());
   // The stream after the header and the uncompressed size word.
   const uint8_t *stream = log.packed.data() + QVCP_HEADER_SIZE + 4;
   size_t streamLength = log.packed.size() - QVCP_HEADER_SIZE - 4;
   for (auto _ : state)
   {
      uLongf length = out.size();
      uncompress(out.data(), &length, stream, streamLength);
      benchmark::DoNotOptimize(length);
      benchmark::ClobberMemory();
   }
   state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * log.payload.size()));
}
BENCHMARK(BM_Decompress64K_ZlibUncompress);

}  // namespace
