/* Texts made from fuzz input for the text parsers: the bytes as 8-bit text, each byte as
 * one wide character, and the bytes as native wide-character units (any value). Each text
 * lies in a heap block of exactly its size plus the terminator, so that a read past the
 * end is caught. */
#ifndef QORVEL_FUZZ_TEXT_FUZZ_INPUT_H
#define QORVEL_FUZZ_TEXT_FUZZ_INPUT_H

#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

/* A terminated heap copy that frees itself. */
template <typename C> class FuzzText
{
   C *m_text;

   FuzzText(const FuzzText &) = delete;
   FuzzText &operator=(const FuzzText &) = delete;

public:
   /* count units taken from data by convert(data, i). */
   template <typename F> FuzzText(size_t count, F convert) : m_text(static_cast<C *>(malloc((count + 1) * sizeof(C))))
   {
      for (size_t i = 0; i < count; i++)
         m_text[i] = convert(i);
      m_text[count] = 0;
   }
   ~FuzzText() { free(m_text); }
   C *get() const { return m_text; }
};

/* The bytes as 8-bit text (a zero byte ends the text early, as it would in C). */
inline FuzzText<char> NarrowText(const uint8_t *data, size_t size)
{
   return FuzzText<char>(size, [data](size_t i) { return static_cast<char>(data[i]); });
}

/* Each byte as one wide character (0-255). */
inline FuzzText<wchar_t> WidenedText(const uint8_t *data, size_t size)
{
   return FuzzText<wchar_t>(size, [data](size_t i) { return static_cast<wchar_t>(data[i]); });
}

/* The bytes as native wide-character units, surrogates and values beyond Unicode
 * included; a trailing part unit is dropped. */
inline FuzzText<wchar_t> WideUnitsText(const uint8_t *data, size_t size)
{
   return FuzzText<wchar_t>(size / sizeof(wchar_t), [data](size_t i) {
      wchar_t unit;
      memcpy(&unit, data + i * sizeof(wchar_t), sizeof(wchar_t));
      return unit;
   });
}

#endif
