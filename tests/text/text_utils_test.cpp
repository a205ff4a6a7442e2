/* The small text utilities: trimming, words, splitting, replacing, option strings, hex
 * text, tables, names, escaping, command lines, byte helpers and XML attributes. */
#include <qorvel.h>

#include "text/ctype_locale.h"

#include <gtest/gtest.h>
#include <jansson.h>

#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

namespace {

TEST(TextEdit, StripTrimAndLineEnds)
{
   wchar_t w[] = L" \t a b \t ";
   StrStripW(w);
   EXPECT_STREQ(w, L"a b");
   char blanks[] = " \t \t";
   StrStripA(blanks);
   EXPECT_STREQ(blanks, "");
   char keep[] = "\na\n";
   StrStripA(keep);
   EXPECT_STREQ(keep, "\na\n");
   wchar_t t[] = L"\r\n\t x y\v\f\n";
   EXPECT_EQ(Trim(t), t);
   EXPECT_STREQ(t, L"x y");
   {
      CtypeLocale utf8("C.UTF-8");
      ASSERT_TRUE(utf8.ok());
      wchar_t wide[] = L"\u3000x\u2003";
      EXPECT_STREQ(Trim(wide), L"x");
   }
   EXPECT_EQ(Trim(nullptr), nullptr);

   const struct
   {
      const char *in, *out;
   } lineEnds[] = {{"a\r\n", "a"},   {"a\n", "a"},     {"a\r", "a"}, {"\n", ""},
                   {"a\n\n", "a\n"}, {"a\n\r", "a\n"}, {"", ""}};
   for (const auto &c : lineEnds)
   {
      char buffer[16];
      strcpy(buffer, c.in);
      RemoveTrailingCRLFA(buffer);
      EXPECT_STREQ(buffer, c.out);
   }
   wchar_t wl[] = L"x\r\n";
   RemoveTrailingCRLFW(wl);
   EXPECT_STREQ(wl, L"x");
}

TEST(TextEdit, ExtractWordSplitAndCount)
{
   char word[32];
   const char *rest = ExtractWordA(" \tfirst second", word);
   EXPECT_STREQ(word, "first");
   EXPECT_STREQ(rest, " second");
   rest = ExtractWordA(rest, word);
   EXPECT_STREQ(word, "second");
   EXPECT_STREQ(rest, "");
   rest = ExtractWordA(rest, word);
   EXPECT_STREQ(word, "");
   wchar_t wword[8];
   EXPECT_STREQ(ExtractWordW(L"ab\tc", wword), L"\tc");
   EXPECT_STREQ(wword, L"ab");

   int32_t count = -1;
   wchar_t **pieces = SplitString(L",a,,", L',', &count);
   ASSERT_NE(pieces, nullptr);
   ASSERT_EQ(count, 4);
   EXPECT_STREQ(pieces[0], L"");
   EXPECT_STREQ(pieces[1], L"a");
   EXPECT_STREQ(pieces[2], L"");
   EXPECT_STREQ(pieces[3], L"");
   for (int32_t i = 0; i < count; i++)
      free(pieces[i]);
   free(pieces);
   pieces = SplitString(L"", L';', &count);
   ASSERT_EQ(count, 1);
   EXPECT_STREQ(pieces[0], L"");
   free(pieces[0]);
   free(pieces);
   EXPECT_EQ(SplitString(nullptr, L';', &count), nullptr);
   EXPECT_EQ(count, 0);

   EXPECT_EQ(NumCharsW(L"a.b.c.", L'.'), 3);
   EXPECT_EQ(NumCharsA("abc", 'x'), 0);
   EXPECT_EQ(NumCharsA(nullptr, 'x'), 0);
}

TEST(TextEdit, TranslateReplacesWithoutGrowing)
{
   wchar_t text[] = L"a--b----c-";
   EXPECT_TRUE(TranslateStr(text, L"--", L"+"));
   EXPECT_STREQ(text, L"a+b++c-");
   wchar_t same[] = L"aaa";
   EXPECT_TRUE(TranslateStr(same, L"aa", L"b"));
   EXPECT_STREQ(same, L"ba");
   wchar_t gone[] = L"xyxy";
   EXPECT_TRUE(TranslateStr(gone, L"xy", L""));
   EXPECT_STREQ(gone, L"");
}

TEST(TextEdit, TranslateRefusesWhatCannotFit)
{
   // The text sits between guards: a longer replacement would have to write past it.
   struct
   {
      wchar_t text[8];
      wchar_t guard[4];
   } block = {L"abcabc", L"GGG"};
   EXPECT_FALSE(TranslateStr(block.text, L"b", L"BBBB"));
   EXPECT_STREQ(block.text, L"abcabc");
   EXPECT_FALSE(TranslateStr(block.text, L"", L"x"));
   EXPECT_FALSE(TranslateStr(block.text, L"", L""));
   EXPECT_STREQ(block.text, L"abcabc");
   EXPECT_STREQ(block.guard, L"GGG");
   EXPECT_FALSE(TranslateStr(block.text, nullptr, L""));
   EXPECT_FALSE(TranslateStr(nullptr, L"a", L""));
}

TEST(OptionString, FindsValuesByName)
{
   wchar_t value[64];
   EXPECT_TRUE(ExtractNamedOptionValueW(L"a=1; mode = fast ;b=2", L"MODE", value, 64));
   EXPECT_STREQ(value, L"fast");
   EXPECT_FALSE(ExtractNamedOptionValueW(L"a=1; mode = fast ;b=2", L"c", value, 64));
   EXPECT_TRUE(ExtractNamedOptionValueW(L"junk;x=a=b;x=2", L"x", value, 64));
   EXPECT_STREQ(value, L"a=b");
   EXPECT_TRUE(ExtractNamedOptionValueW(L"y=1=2;x=3", L"x", value, 64));
   EXPECT_STREQ(value, L"3");
   EXPECT_TRUE(ExtractNamedOptionValueW(L"x=", L"x", value, 64));
   EXPECT_STREQ(value, L"");
   // A name without "=" before a ";" is no option.
   EXPECT_FALSE(ExtractNamedOptionValueW(L"x;y=1", L"x", value, 64));

   char cut[4];
   EXPECT_TRUE(ExtractNamedOptionValueA("name=abcdef", "NAME", cut, 4));
   EXPECT_STREQ(cut, "abc");
   EXPECT_FALSE(ExtractNamedOptionValueA("name=abc", "name", cut, 0));
   EXPECT_FALSE(ExtractNamedOptionValueA(nullptr, "name", cut, 4));

   // Names longer than the compared 255 characters are cut, never read past.
   std::wstring longName(400, L'n');
   std::wstring options = longName + L"=1;n=2";
   EXPECT_TRUE(ExtractNamedOptionValueW(options.c_str(), L"n", value, 64));
   EXPECT_STREQ(value, L"2");
   EXPECT_TRUE(ExtractNamedOptionValueW(options.c_str(), longName.substr(0, 255).c_str(), value, 64));
   EXPECT_STREQ(value, L"1");
}

TEST(OptionString, TypedReaders)
{
   EXPECT_EQ(ExtractNamedOptionValueAsIntW(L"n=0x10", L"n", 7), 16);
   EXPECT_EQ(ExtractNamedOptionValueAsIntW(L"n=010", L"n", 7), 8);
   EXPECT_EQ(ExtractNamedOptionValueAsIntW(L"n=12abc", L"n", 7), 7);
   EXPECT_EQ(ExtractNamedOptionValueAsIntW(L"n=", L"n", 7), 0);
   EXPECT_EQ(ExtractNamedOptionValueAsIntW(L"m=1", L"n", 7), 7);
   EXPECT_EQ(ExtractNamedOptionValueAsIntA("n= -5 ", "n", 7), -5);
   EXPECT_EQ(ExtractNamedOptionValueAsIntA("n=99999999999", "n", 7), INT32_MAX);
   EXPECT_EQ(ExtractNamedOptionValueAsUIntA("n=4294967295", "n", 7), 4294967295u);
   EXPECT_EQ(ExtractNamedOptionValueAsUIntW(L"n=0x", L"n", 7), 7u);
   EXPECT_EQ(ExtractNamedOptionValueAsUInt64W(L"n=18446744073709551615", L"n", 7), UINT64_MAX);
   EXPECT_EQ(ExtractNamedOptionValueAsUInt64A("n=1 2", "n", 7), 7u);

   EXPECT_TRUE(ExtractNamedOptionValueAsBoolW(L"on=YES", L"on", false));
   EXPECT_TRUE(ExtractNamedOptionValueAsBoolA("on=True", "on", false));
   EXPECT_FALSE(ExtractNamedOptionValueAsBoolA("on=1", "on", true));
   EXPECT_TRUE(ExtractNamedOptionValueAsBoolA("off=1", "on", true));
}

TEST(HexText, BothDirections)
{
   const BYTE bytes[] = {0x00, 0x0A, 0xFF, 0x5c};
   char text[9];
   EXPECT_EQ(BinToStrA(bytes, 4, text), text);
   EXPECT_STREQ(text, "000AFF5C");
   wchar_t wtext[9];
   EXPECT_STREQ(BinToStrW(bytes, 4, wtext), L"000AFF5C");
   EXPECT_STREQ(BinToStrA(bytes, 0, text), "");

   BYTE out[4];
   EXPECT_EQ(StrToBinA("0a1", out, 4), 2u);
   EXPECT_EQ(out[0], 0x0A);
   EXPECT_EQ(out[1], 0x10);
   EXPECT_EQ(out[2], 0);
   EXPECT_EQ(out[3], 0);
   memset(out, 0xEE, sizeof(out));
   EXPECT_EQ(StrToBinW(L"fFzz0102", out, 3), 3u);
   EXPECT_EQ(out[0], 0xFF);
   EXPECT_EQ(out[1], 0x00);
   EXPECT_EQ(out[2], 0x01);
   EXPECT_EQ(out[3], 0xEE);
   EXPECT_EQ(StrToBinA("", out, 3), 0u);
   EXPECT_EQ(out[0], 0);
}

TEST(CodeTables, DataTypesTablesAndNames)
{
   EXPECT_EQ(QvDCIDataTypeFromText(L"int"), 0);
   EXPECT_EQ(QvDCIDataTypeFromText(L"UInt64"), 3);
   EXPECT_EQ(QvDCIDataTypeFromText(L"float"), 5);
   EXPECT_EQ(QvDCIDataTypeFromText(L"double"), -1);
   EXPECT_EQ(QvDCIDataTypeFromText(nullptr), -1);

   const CodeTextEntry table[] = {{1, L"one"}, {2, L"two"}, {1, L"uno"}, {0, nullptr}};
   EXPECT_STREQ(CodeToText(1, table, L"?"), L"one");
   EXPECT_STREQ(CodeToText(3, table, L"?"), L"?");
   EXPECT_EQ(CodeFromText(L"TWO", table, -1), 2);
   EXPECT_EQ(CodeFromText(L"three", table, -1), -1);

   EXPECT_TRUE(IsValidObjectName(L"Node 1 (core)/eth0.1@x_y-z", false));
   EXPECT_FALSE(IsValidObjectName(L"a:b", false));
   EXPECT_TRUE(IsValidObjectName(L"a:b \u00e9", true));
   EXPECT_FALSE(IsValidObjectName(L"", true));
   for (wchar_t bad : std::wstring(L"|\"'*%#\\`;?<>=\x01\x1f"))
      EXPECT_FALSE(IsValidObjectName((std::wstring(L"a") + bad).c_str(), true)) << int(bad);
   EXPECT_TRUE(IsValidScriptName(L"_lib::func2"));
   EXPECT_FALSE(IsValidScriptName(L"2func"));
   EXPECT_FALSE(IsValidScriptName(L":x"));
   EXPECT_FALSE(IsValidScriptName(L"a-b"));
   EXPECT_FALSE(IsValidScriptName(L""));
}

TEST(Escape, XmlJsonAndAgentForms)
{
   wchar_t *xml = EscapeStringForXML(L"<a href=\"x\">&'\t</a>", -1);
   EXPECT_STREQ(xml, L"&lt;a href=&quot;x&quot;&gt;&amp;&apos;&#x09;&lt;/a&gt;");
   free(xml);
   xml = EscapeStringForXML(L"<<<", 2);
   EXPECT_STREQ(xml, L"&lt;&lt;");
   free(xml);
   xml = EscapeStringForXML(nullptr, -1);
   EXPECT_STREQ(xml, L"");
   free(xml);
   EXPECT_STREQ(EscapeStringForXML2(L"a\x1f", 5), L"a&#x1F;");
   // A wchar_t below 0 is no control character: copied, not formatted past its room.
   const wchar_t negative[] = {L'<', static_cast<wchar_t>(-1), static_cast<wchar_t>(INT32_MIN), 0};
   const wchar_t negativeXml[] = {L'&', L'l', L't', L';', static_cast<wchar_t>(-1), static_cast<wchar_t>(INT32_MIN), 0};
   EXPECT_STREQ(EscapeStringForXML2(negative), negativeXml);
   EXPECT_STREQ(EscapeStringForJSON(negative + 1), negative + 1);

   EXPECT_STREQ(EscapeStringForJSON(L"say \"hi\" \\ now"), L"say \\\"hi\\\" \\\\ now");
   EXPECT_STREQ(EscapeStringForJSON(nullptr), L"");
   EXPECT_STREQ(EscapeStringForAgent(L"a \"b\""), L"a \"\"b\"\"");
   EXPECT_STREQ(EscapeStringForAgent(nullptr), L"");
}

TEST(Escape, JsonStringsStayValidWithControlCharacters)
{
   String escaped = EscapeStringForJSON(L"line1\nline2\r\t\b\f\x01");
   EXPECT_STREQ(escaped, L"line1\\nline2\\r\\t\\b\\f\\u0001");
   // The result embedded in a document must parse back to the original.
   String document(L"[\"");
   document += escaped;
   document += L"\"]";
   char *utf8 = document.getUTF8String();
   json_error_t error;
   json_t *parsed = json_loads(utf8, 0, &error);
   free(utf8);
   ASSERT_NE(parsed, nullptr) << error.text;
   EXPECT_STREQ(json_string_value(json_array_get(parsed, 0)), "line1\nline2\r\t\b\f\x01");
   json_decref(parsed);
}

std::vector<std::wstring> Arguments(const wchar_t *line)
{
   StringList *list = ParseCommandLine(line);
   std::vector<std::wstring> result;
   for (int32_t i = 0; i < list->size(); i++)
      result.push_back(list->get(i));
   delete list;
   return result;
}

TEST(CommandLine, SplitsAtSpacesOutsideQuotes)
{
   typedef std::vector<std::wstring> Args;
   EXPECT_EQ(Arguments(L"prog \"two words\" 'it''s'"), (Args{L"prog", L"two words", L"its"}));
   EXPECT_EQ(Arguments(L"   a   b  "), (Args{L"a", L"b"}));
   EXPECT_EQ(Arguments(L"a\tb c"), (Args{L"a\tb", L"c"}));
   EXPECT_EQ(Arguments(L"x\"a b\"y 'q\"' \"q'\""), (Args{L"xa by", L"q\"", L"q'"}));
   EXPECT_EQ(Arguments(L"a \"unclosed rest"), (Args{L"a", L"unclosed rest"}));
   EXPECT_EQ(Arguments(L""), Args{});
   EXPECT_EQ(Arguments(nullptr), Args{});
}

TEST(CommandLine, EmptyQuotedArgumentsCountEverywhere)
{
   typedef std::vector<std::wstring> Args;
   EXPECT_EQ(Arguments(L"a \"\" b"), (Args{L"a", L"", L"b"}));
   EXPECT_EQ(Arguments(L"a \"\""), (Args{L"a", L""}));
   EXPECT_EQ(Arguments(L"a ''"), (Args{L"a", L""}));
   EXPECT_EQ(Arguments(L"\"\""), (Args{L""}));
   EXPECT_EQ(Arguments(L"'' a"), (Args{L"", L"a"}));
}

TEST(MemoryBlocks, CopySwapAndByteOrder)
{
   const char data[] = "block";
   char *copy = static_cast<char *>(MemCopyBlock(data, sizeof(data)));
   ASSERT_NE(copy, nullptr);
   EXPECT_STREQ(copy, "block");
   free(copy);
   void *empty = MemCopyBlock(data, 0);
   EXPECT_NE(empty, nullptr);
   free(empty);

   // Larger than the exchange's step, and not a multiple of it.
   std::vector<unsigned char> a(1000), b(1000);
   for (size_t i = 0; i < a.size(); i++)
   {
      a[i] = static_cast<unsigned char>(i);
      b[i] = static_cast<unsigned char>(255 - i % 256);
   }
   std::vector<unsigned char> a0 = a, b0 = b;
   qv_memswap(a.data(), b.data(), a.size());
   EXPECT_EQ(a, b0);
   EXPECT_EQ(b, a0);

   uint16_t v16[] = {0x1234, 0x5678, 0, 0xABCD};
   bswap_array_16(v16, -1);
   EXPECT_EQ(v16[0], 0x3412);
   EXPECT_EQ(v16[1], 0x7856);
   EXPECT_EQ(v16[2], 0);
   EXPECT_EQ(v16[3], 0xABCD);
   uint32_t v32[] = {0x11223344, 0};
   bswap_array_32(v32, 2);
   EXPECT_EQ(v32[0], 0x44332211u);
   EXPECT_EQ(v32[1], 0u);
}

TEST(XmlAttributes, LookupAndTypedValues)
{
   const char *attrs[] = {"Name", "eth0", "mtu",  "0x5DC", "flag", "yes",  "zero",
                          "0",    "num",  "12ab", "empty", "",     nullptr};
   EXPECT_STREQ(XMLGetAttr(attrs, "name"), "eth0");
   EXPECT_EQ(XMLGetAttr(attrs, "missing"), nullptr);
   EXPECT_EQ(XMLGetAttrInt(attrs, "MTU", -1), 1500);
   EXPECT_EQ(XMLGetAttrInt(attrs, "num", -1), 12);
   EXPECT_EQ(XMLGetAttrInt(attrs, "missing", -1), -1);
   EXPECT_EQ(XMLGetAttrUINT32(attrs, "mtu", 0), 1500u);
   EXPECT_TRUE(XMLGetAttrBoolean(attrs, "flag", false));
   EXPECT_FALSE(XMLGetAttrBoolean(attrs, "zero", true));
   EXPECT_TRUE(XMLGetAttrBoolean(attrs, "mtu", false));
   EXPECT_FALSE(XMLGetAttrBoolean(attrs, "num", true));
   EXPECT_FALSE(XMLGetAttrBoolean(attrs, "empty", true));
   EXPECT_TRUE(XMLGetAttrBoolean(attrs, "missing", true));
   EXPECT_EQ(XMLGetAttr(nullptr, "name"), nullptr);
}

}  // namespace
