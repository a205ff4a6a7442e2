/* Helpers of the file transfer tests: test file contents, reading a file back, and a writer that rebuilds a file from
 * the payloads of its CMD_FILE_DATA messages. */
#ifndef QORVEL_TESTS_SUPPORT_FILE_TRANSFER_TEST_UTIL_H
#define QORVEL_TESTS_SUPPORT_FILE_TRANSFER_TEST_UTIL_H

#include "support/raw_io_test_util.h"

#include <gtest/gtest.h>

#include <stdio.h>

#include <filesystem>
#include <random>
#include <string>

namespace qvtest {

/* Length of the runs of text and of noise in a test file. */
constexpr size_t FILE_RUN_LENGTH = 1000;

/* The contents of a test file of size bytes, runs of repeating text and of noise, so that
 * every method has something to compress and something it cannot. */
inline Bytes MakeFileContent(size_t size)
{
   std::mt19937 random{uint32_t(size)};
   Bytes content(size);
   for (size_t i = 0; i < size; i++)
      content[i] = ((i / FILE_RUN_LENGTH) % 2) ? uint8_t(random()) : uint8_t("file transfer "[i % 14]);
   return content;
}

inline void WriteFile(const std::filesystem::path &path, const Bytes &content)
{
   FILE *f = fopen(path.c_str(), "wb");
   ASSERT_NE(f, nullptr);
   if (!content.empty())
   {
      EXPECT_EQ(fwrite(content.data(), 1, content.size(), f), content.size());
   }
   fclose(f);
}

inline Bytes ReadAll(const std::filesystem::path &path)
{
   Bytes content(std::filesystem::file_size(path));
   FILE *f = fopen(path.c_str(), "rb");
   if (!content.empty())
   {
      EXPECT_EQ(fread(content.data(), 1, content.size(), f), content.size());
   }
   fclose(f);
   return content;
}

/* A directory of its own for each test, removed afterwards. */
class FileTransferFixture
{
protected:
   std::filesystem::path m_dir;

public:
   FileTransferFixture()
   {
      m_dir = std::filesystem::temp_directory_path() / ("qv_file_transfer_" + std::to_string(std::random_device()()));
      std::filesystem::create_directories(m_dir);
   }
   ~FileTransferFixture() { std::filesystem::remove_all(m_dir); }

   /* A test file of size bytes named name; its path in *path and its contents returned. */
   Bytes makeFile(const std::string &name, size_t size, std::wstring *path)
   {
      Bytes content = MakeFileContent(size);
      std::filesystem::path p = m_dir / name;
      WriteFile(p, content);
      *path = p.wstring();
      return content;
   }
};

/* Writes a file from the payloads of its data messages in order, restoring the blocks of
 * stream-compressed frames with one decompressor for the whole transfer. */
class FileDataWriter
{
   FILE *m_out;
   StreamCompressor *m_decompressor = nullptr;

public:
   explicit FileDataWriter(const std::filesystem::path &path) : m_out(fopen(path.c_str(), "wb")) {}
   FileDataWriter(const FileDataWriter &) = delete;
   FileDataWriter &operator=(const FileDataWriter &) = delete;
   ~FileDataWriter()
   {
      delete m_decompressor;
      if (m_out != nullptr)
         fclose(m_out);
   }

   /* Writes the payload of one message with these flags; false on a broken frame or a
    * failed write. */
   bool write(uint16_t flags, const uint8_t *payload, size_t length)
   {
      if (m_out == nullptr)
         return false;
      if ((flags & QVCP_MF_COMPRESSED) != 0)
      {
         if (length < QVCP_FILE_FRAME_HEADER_SIZE)
            return false;
         if (m_decompressor == nullptr)
            m_decompressor =
                StreamCompressor::create(QVCPStreamCompressionMethod(payload[0]), false, QVCP_FILE_CHUNK_SIZE);
         if (m_decompressor == nullptr)
            return false;
         const uint8_t *block = nullptr;
         size_t restored = m_decompressor->decompress(payload + QVCP_FILE_FRAME_HEADER_SIZE,
                                                      length - QVCP_FILE_FRAME_HEADER_SIZE, &block);
         if (block == nullptr || restored != GetBE16(payload + 2))
            return false;
         payload = block;
         length = restored;
      }
      return length == 0 || fwrite(payload, 1, length, m_out) == length;
   }
};

}  // namespace qvtest

#endif
