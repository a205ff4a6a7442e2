/* Fuzz target for the file receiver: arbitrary message streams into a scratch directory
 * that holds a file, a directory and a symbolic link to a file outside it.
 *
 * Byte 0: bit 0 QVCP_FILE_OVERWRITE; bit 1 how messages arrive (0: ReceiveFileOverQVCP
 * over a channel, 1: writeMessage with blocks of the input's sizes); bits 2-4 the name
 * (one of NAMES); bit 5 a negative size. Bytes 1-2: the announced size (big-endian). The
 * rest, for the channel: records of a length byte and that many bytes (cut short at the
 * end; 0 is a read that timed out); for writeMessage: records of a 2-byte length and that
 * many bytes, each block in a heap block of exactly its size.
 *
 * Afterwards nothing outside the directory may have changed, nothing may be left in it
 * but what was there and a file reported stored, and a file reported stored must be a
 * regular file of exactly the announced size. */
#include <qorvel.h>

#include "record_channel.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>

namespace fs = std::filesystem;

namespace {

volatile uint64_t g_sink;

constexpr uint8_t OVERWRITE_BIT = 0x01;
constexpr uint8_t DIRECT_BIT = 0x02;
constexpr int NAME_SHIFT = 2;
constexpr uint8_t NAME_MASK = 0x07;
constexpr uint8_t NEGATIVE_BIT = 0x20;
constexpr size_t OPTION_BYTES = 3;

constexpr uint32_t ID = 9;

/* What the scratch directory and its surroundings hold between inputs. */
const char *const OUTSIDE_TEXT = "outside";
const char *const EXISTING_TEXT = "existing";
const wchar_t *const NAMES[] = {L"new", L"existing", L"link", L"sub", L"a/b", L"..", L"esc\x1b", L""};

void Check(bool condition)
{
   if (!condition)
      abort();
}

std::string Contents(const fs::path &path)
{
   std::ifstream in(path, std::ios::binary);
   return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

/* The scratch area of this process, made once and removed at exit. */
struct Scratch
{
   fs::path root = fs::temp_directory_path() / ("qv_file_receiver_fuzz_" + std::to_string(getpid()));
   fs::path dir = root / "dir";
   fs::path outside = root / "outside";

   Scratch()
   {
      fs::create_directories(dir / "sub");
      std::ofstream(outside) << OUTSIDE_TEXT;
      restore();
   }
   ~Scratch()
   {
      std::error_code ignored;
      fs::remove_all(root, ignored);
   }

   /* Puts back what an input may have replaced. */
   void restore()
   {
      std::error_code ignored;
      fs::remove(dir / "new", ignored);
      if (fs::is_symlink(dir / "existing") || !fs::is_regular_file(dir / "existing") ||
          Contents(dir / "existing") != EXISTING_TEXT)
      {
         fs::remove(dir / "existing", ignored);
         std::ofstream(dir / "existing") << EXISTING_TEXT;
      }
      if (!fs::is_symlink(dir / "link"))
      {
         fs::remove(dir / "link", ignored);
         fs::create_symlink(outside, dir / "link");
      }
   }
};

Scratch &TheScratch()
{
   static Scratch *scratch = new Scratch();
   static bool registered = (atexit([] { delete scratch; }) == 0);
   (void)registered;
   return *scratch;
}

QVCPFileReceiveResult FeedDirectly(QVCPFileReceiver *receiver, const uint8_t *data, size_t size)
{
   QVCPFileReceiveResult result = receiver->getResult();
   while (result == FILERECV_MORE_DATA && size >= 2)
   {
      size_t length = size_t(data[0]) << 8 | data[1];
      data += 2;
      size -= 2;
      length = (length < size) ? length : size;
      uint8_t *block = static_cast<uint8_t *>(malloc(length > 0 ? length : 1));
      memcpy(block, data, length);
      result = receiver->writeMessage(reinterpret_cast<QVCP_MESSAGE *>(block), length);
      free(block);
      data += length;
      size -= length;
   }
   return result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
   if (size < OPTION_BYTES)
      return 0;
   Scratch &s = TheScratch();
   uint8_t options = data[0];
   const wchar_t *name = NAMES[(options >> NAME_SHIFT) & NAME_MASK];
   int64_t announced = int64_t(data[1]) << 8 | data[2];
   if ((options & NEGATIVE_BIT) != 0)
      announced = -announced - 1;
   bool overwrite = (options & OVERWRITE_BIT) != 0;

   QVCPFileReceiver receiver(ID, overwrite ? QVCP_FILE_OVERWRITE : 0);
   receiver.setLimits(0, INFINITE, QVCP_FILE_MAX_IDLE_MESSAGES);
   QVCPFileReceiveResult result = receiver.open(s.dir.wstring().c_str(), name, announced);
   if (result == FILERECV_MORE_DATA)
   {
      if ((options & DIRECT_BIT) != 0)
      {
         result = FeedDirectly(&receiver, data + OPTION_BYTES, size - OPTION_BYTES);
      }
      else
      {
         RecordChannel *channel = new RecordChannel(data + OPTION_BYTES, size - OPTION_BYTES);
         QVCP_BUFFER *buffer = static_cast<QVCP_BUFFER *>(malloc(sizeof(QVCP_BUFFER)));
         QVCPInitBuffer(buffer);
         result = ReceiveFileOverQVCP(channel, buffer, &receiver, nullptr, nullptr, nullptr, nullptr, nullptr);
         free(buffer);
         channel->decRefCount();
      }
   }
   Check(result != FILERECV_MORE_DATA || receiver.isOpen());
   receiver.cancel();
   Check(!receiver.isOpen());
   g_sink = g_sink + uint64_t(result) + uint64_t(receiver.getBytesWritten());

   // Outside the directory nothing changed.
   Check(Contents(s.outside) == OUTSIDE_TEXT);
   // Inside it: what was there, and the file only when it was stored, whole.
   std::set<std::string> expected = {"existing", "link", "sub"};
   bool stored = result == FILERECV_SUCCESS;
   std::string stored8;
   if (stored)
   {
      char *utf8 = UTF8StringFromWideString(name);
      stored8 = utf8;
      free(utf8);
      expected.insert(stored8);
      struct stat st;
      Check(lstat((s.dir / stored8).c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size == announced);
      Check(overwrite || (stored8 != "existing" && stored8 != "link"));
   }
   std::set<std::string> present;
   for (const auto &e : fs::directory_iterator(s.dir))
      present.insert(e.path().filename().string());
   Check(present == expected);
   Check(fs::is_directory(s.dir / "sub"));
   if (stored8 != "existing")
      Check(Contents(s.dir / "existing") == EXISTING_TEXT);
   if (stored8 != "link")
      Check(fs::is_symlink(s.dir / "link"));
   s.restore();
   return 0;
}
