/* Shared by the text fuzz targets: the input's bytes as texts of both widths, each in a
 * heap block of exactly its size with a terminator (a zero byte ends the text), so that a
 * read past the end is caught, and the check that stops the run. */
#ifndef QORVEL_FUZZ_TEXT_FUZZ_INPUT_H
#define QORVEL_FUZZ_TEXT_FUZZ_INPUT_H

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

inline void Check(bool condition)
{
   if (!condition)
      abort();
}

/* A text in a heap block of exactly its length plus the terminator. */
template <typename C> class HeapText
{
public:
   explicit HeapText(const std::basic_string<C> &text)
       : m_length(text.size()), m_text(static_cast<C *>(malloc((text.size() + 1) * sizeof(C))))
   {
      memcpy(m_text, text.c_str(), (text.size() + 1) * sizeof(C));
   }
   ~HeapText() { free(m_text); }
   HeapText(const HeapText &) = delete;
   HeapText &operator=(const HeapText &) = delete;

   C *get() const { return m_text; }
   size_t length() const { return m_length; }

private:
   size_t m_length;
   C *m_text;
};

/* Bytes up to the first zero as 8-bit text. */
inline std::string NarrowText(const uint8_t *data, size_t size)
{
   size_t n = 0;
   while (n < size && data[n] != 0)
      n++;
   return std::string(reinterpret_cast<const char *>(data), n);
}

/* The same bytes as wide text, one character each. */
inline std::wstring WideText(const std::string &bytes)
{
   std::wstring wide;
   for (char b : bytes)
      wide.push_back(static_cast<wchar_t>(static_cast<unsigned char>(b)));
   return wide;
}

/* Bytes up to the first zero, each as one wide character (0-255), on the heap. */
inline HeapText<wchar_t> WidenedText(const uint8_t *data, size_t size)
{
   return HeapText<wchar_t>(WideText(NarrowText(data, size)));
}

/* The bytes as native wide-character units, surrogates and values beyond Unicode
 * included, up to the first zero unit; a trailing part unit is dropped. */
inline HeapText<wchar_t> WideUnitsText(const uint8_t *data, size_t size)
{
   std::wstring units;
   for (size_t i = 0; i + sizeof(wchar_t) <= size; i += sizeof(wchar_t))
   {
      wchar_t unit;
      memcpy(&unit, data + i, sizeof(wchar_t));
      if (unit == 0)
         break;
      units.push_back(unit);
   }
   return HeapText<wchar_t>(units);
}

#endif
