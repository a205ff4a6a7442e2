/* Loading configurations: INI and XML files, format detection, directories, templates, and
 * bad input. */
#include <gtest/gtest.h>

#include "config/config_test_util.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <string>

using qvtest::TempDir;
using qvtest::TestConfig;

namespace {

std::wstring Values(const ConfigEntry *e)
{
   if (e == nullptr)
      return L"<none>";
   std::wstring all;
   for (int i = 0; i < e->getValueCount(); i++)
      all += (i > 0 ? L"|" : L"") + std::wstring(e->getValue(i));
   return all;
}

}  // namespace

TEST(ConfigIni, SectionsKeysCommentsAndRepeatedKeys)
{
   TempDir dir;
   std::wstring file = dir.write("a.ini", "# comment\n"
                                          "top = 1\n"
                                          "[Server]\n"
                                          "  port\t=  4701  \n"
                                          "name = a # trailing comment\n"
                                          "server = a\n"
                                          "server = b\r\n"
                                          "[a/b]\n"
                                          "x = 1\n"
                                          "*c/d\n"
                                          "y=2\n"
                                          "[e]f]\n"
                                          "z = 3\n"
                                          "[Server]\n"
                                          "port = 4702\n"
                                          "empty =\n");
   TestConfig config;
   EXPECT_TRUE(config.loadIniConfig(file.c_str(), L"main", false));
   EXPECT_TRUE(config.messages.empty());
   EXPECT_STREQ(config.getValue(L"/main/top"), L"1");
   EXPECT_EQ(Values(config.getEntry(L"/server/port")), L"4701|4702");
   EXPECT_STREQ(config.getValue(L"/server/name"), L"a");
   EXPECT_EQ(Values(config.getEntry(L"/server/server")), L"a|b");
   EXPECT_STREQ(config.getValue(L"/a/b/x"), L"1");
   EXPECT_STREQ(config.getValue(L"/c/d/y"), L"2");
   EXPECT_STREQ(config.getValue(L"/e/z"), L"3");
   EXPECT_STREQ(config.getValue(L"/server/empty"), L"");
   ConfigEntry *port = config.getEntry(L"/server/port");
   EXPECT_EQ(port->getFile(), file);
   EXPECT_EQ(port->getLine(), 4);
   EXPECT_EQ(config.getEntry(L"/a/b")->getLine(), 8);

   // A template takes the last of repeated values.
   wchar_t server[16] = L"";
   QV_CFG_TEMPLATE t[] = {{L"server", CFG_TYPE_STRING, 0, 16, 0, server, nullptr},
                          {L"", CFG_TYPE_END, 0, 0, 0, nullptr, nullptr}};
   EXPECT_TRUE(config.parseTemplate(L"server", t));
   EXPECT_STREQ(server, L"b");
}

TEST(ConfigIni, QuotedValuesAndEnvironment)
{
   TempDir dir;
   setenv("QV_CONFIG_TEST_HOME", "/home/q", 1);
   unsetenv("QV_CONFIG_TEST_UNSET");
   std::wstring file = dir.write("q.ini", "[s]\n"
                                          "a = \"a # b\"\n"
                                          "b = a # b\n"
                                          "c = \"say \"\"hi\"\"\"\n"
                                          "d = 'it''s'\n"
                                          "e = ${QV_CONFIG_TEST_HOME}/x\n"
                                          "f = '${QV_CONFIG_TEST_HOME}/x'\n"
                                          "g = \"${QV_CONFIG_TEST_HOME}\"\n"
                                          "h = pre${QV_CONFIG_TEST_HOME\n"
                                          "i = [${QV_CONFIG_TEST_UNSET}]\n"
                                          "j = cost $5 and $\n"
                                          "k = \"quoted\" tail\n"
                                          "l = mid\"dle\n"
                                          "m = 'a # b'\n");
   Config config;
   EXPECT_TRUE(config.loadIniConfig(file.c_str(), L"main", false));
   EXPECT_STREQ(config.getValue(L"/s/a"), L"a # b");
   EXPECT_STREQ(config.getValue(L"/s/b"), L"a");
   EXPECT_STREQ(config.getValue(L"/s/c"), L"say \"hi\"");
   EXPECT_STREQ(config.getValue(L"/s/d"), L"it's");
   EXPECT_STREQ(config.getValue(L"/s/e"), L"/home/q/x");
   EXPECT_STREQ(config.getValue(L"/s/f"), L"${QV_CONFIG_TEST_HOME}/x");
   EXPECT_STREQ(config.getValue(L"/s/g"), L"/home/q");
   EXPECT_STREQ(config.getValue(L"/s/h"), L"pre");
   EXPECT_STREQ(config.getValue(L"/s/i"), L"[]");
   EXPECT_STREQ(config.getValue(L"/s/j"), L"cost $5 and $");
   EXPECT_STREQ(config.getValue(L"/s/k"), L"quoted tail");
   EXPECT_STREQ(config.getValue(L"/s/l"), L"mid\"dle");
   // A "#" between apostrophes still starts a comment.
   EXPECT_STREQ(config.getValue(L"/s/m"), L"a");

   Config literal(false);
   EXPECT_TRUE(literal.loadIniConfig(file.c_str(), L"main", false));
   EXPECT_STREQ(literal.getValue(L"/s/e"), L"${QV_CONFIG_TEST_HOME}/x");
   unsetenv("QV_CONFIG_TEST_HOME");
}

TEST(ConfigIni, SyntaxErrorsAreReportedWithLineAndTheRestLoads)
{
   TempDir dir;
   std::wstring file = dir.write("bad.ini", "a = 1\nno equals here\nb = 2\n\n[s]\nalso bad\nc = 3\n");
   for (bool ignoreErrors : {false, true})
   {
      TestConfig config;
      EXPECT_EQ(config.loadIniConfig(file.c_str(), L"main", ignoreErrors), ignoreErrors);
      EXPECT_STREQ(config.getValue(L"/main/a"), L"1");
      EXPECT_STREQ(config.getValue(L"/main/b"), L"2");
      EXPECT_STREQ(config.getValue(L"/s/c"), L"3");
      ASSERT_EQ(config.messages.size(), 2u);
      EXPECT_EQ(config.messages[0], L"Syntax error in configuration file " + file + L" at line 2");
      EXPECT_EQ(config.messages[1], L"Syntax error in configuration file " + file + L" at line 6");
      ASSERT_EQ(config.getErrorRecordCount(), 2);
      EXPECT_EQ(std::wstring(config.getErrorRecord(1)->file), file);
      EXPECT_EQ(config.getErrorRecord(1)->line, 6);
      EXPECT_EQ(config.getErrorCount(), 2);
   }
}

TEST(ConfigIni, LongLinesAreReadInPiecesAndAliasesResolve)
{
   TempDir dir;
   std::string longValue(5000, 'v');
   std::wstring file = dir.write("long.ini", "[s]\nk = " + longValue + "\nafter = 1\n[%db]\nhost = h\n%db = x\n");
   TestConfig config;
   config.setAlias(L"db", L"database");
   EXPECT_FALSE(config.loadIniConfig(file.c_str(), L"main", false));
   // The first 4094 bytes are one line, the rest of the line the next (without "=").
   EXPECT_EQ(wcslen(config.getValue(L"/s/k")), 4094u - 4u);
   ASSERT_EQ(config.getErrorRecordCount(), 1);
   EXPECT_EQ(config.getErrorRecord(0)->line, 3);
   ConfigEntry *after = config.getEntry(L"/s/after");
   ASSERT_NE(after, nullptr);
   EXPECT_EQ(after->getLine(), 4);
   EXPECT_STREQ(config.getValue(L"/database/host"), L"h");
   EXPECT_STREQ(config.getValue(L"/%db/host"), L"h");
   EXPECT_STREQ(config.getValue(L"/database/database"), L"x");
}

TEST(ConfigXml, ElementsIdsAttributesAndMerging)
{
   const char *xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                     "<CONFIG version=\"2\">top\n"
                     "  <server port=\"4701\">\n"
                     "    <name>  caf\xC3\xA9  </name>\n"
                     "    <keep trim=\"false\">  x  </keep>\n"
                     "  </server>\n"
                     "  <item id=\"5\">five</item>\n"
                     "  <item id=\"0x6\">six</item>\n"
                     "  <item>plain</item>\n"
                     "  <server><name>second</name></server>\n"
                     "  <server merge=\"no\"><name>own</name></server>\n"
                     "</CONFIG>\n";
   TestConfig config;
   EXPECT_TRUE(config.loadXmlConfigFromMemory(xml, -1, nullptr, "config", true));
   EXPECT_TRUE(config.messages.empty());
   ConfigEntry *server = config.getEntry(L"/server");
   ASSERT_NE(server, nullptr);
   EXPECT_STREQ(server->getAttribute(L"PORT"), L"4701");
   EXPECT_STREQ(server->getFile(), L"<mem>");
   EXPECT_EQ(server->getLine(), 3);
   EXPECT_EQ(Values(config.getEntry(L"/server/name")), L"caf\u00e9|second");
   EXPECT_STREQ(config.getValue(L"/server/keep"), L"  x  ");
   ConfigEntry *five = config.getEntry(L"/item#5");
   ASSERT_NE(five, nullptr);
   EXPECT_EQ(five->getId(), 5);
   EXPECT_STREQ(five->getAttribute(L"id"), L"5");
   EXPECT_STREQ(config.getValue(L"/item#6"), L"six");
   EXPECT_STREQ(config.getValue(L"/item"), L"plain");
   EXPECT_EQ(Values(config.getEntry(L"/")), L"top");
   EXPECT_STREQ(config.getEntry(L"/")->getAttribute(L"version"), L"2");
   // merge="no" made a second entry of the same name, after the first.
   ObjectArray<ConfigEntry> *servers = config.getSubEntries(L"/", L"server");
   ASSERT_EQ(servers->size(), 2);
   EXPECT_STREQ(servers->get(1)->getSubEntryValue(L"name"), L"own");
   delete servers;

   // Without merging every element is a new entry.
   Config separate;
   EXPECT_TRUE(separate.loadXmlConfigFromMemory("<config><a>1</a><a>2</a></config>", -1, L"m", nullptr, false));
   ObjectArray<ConfigEntry> *as = separate.getSubEntries(L"/", L"a");
   EXPECT_EQ(as->size(), 2);
   delete as;
}

TEST(ConfigXml, WrongTopLevelDepthLimitAndErrors)
{
   TestConfig other;
   EXPECT_TRUE(other.loadXmlConfigFromMemory("<settings><a>1</a></settings>", -1));
   EXPECT_EQ(other.getEntry(L"/a"), nullptr);
   EXPECT_TRUE(other.messages.empty());

   // 300 nested elements: the top-level one and 255 levels below it are kept.
   std::string deep = "<config>";
   for (int i = 0; i < 300; i++)
      deep += "<d>";
   deep += "text";
   for (int i = 0; i < 300; i++)
      deep += "</d>";
   deep += "<after>1</after></config>";
   Config limited;
   EXPECT_TRUE(limited.loadXmlConfigFromMemory(deep.c_str(), static_cast<int32_t>(deep.size())));
   std::wstring path;
   for (int i = 0; i < 255; i++)
      path += L"/d";
   ConfigEntry *bottom = limited.getEntry(path.c_str());
   ASSERT_NE(bottom, nullptr);
   EXPECT_EQ(bottom->findEntry(L"d"), nullptr);
   EXPECT_STREQ(bottom->getValue(0), L"");
   EXPECT_STREQ(limited.getValue(L"/after"), L"1");

   TestConfig broken;
   EXPECT_FALSE(broken.loadXmlConfigFromMemory("<config>\n<a>1</a>\n<b></c>\n</config>", -1, L"b.xml"));
   ASSERT_EQ(broken.messages.size(), 1u);
   EXPECT_EQ(broken.messages[0], L"mismatched tag at line 3");
   EXPECT_STREQ(broken.getValue(L"/a"), L"1");
   ASSERT_EQ(broken.getErrorRecordCount(), 1);
   EXPECT_EQ(std::wstring(broken.getErrorRecord(0)->file), L"b.xml");
   EXPECT_EQ(broken.getErrorRecord(0)->line, 3);

   TestConfig empty;
   EXPECT_FALSE(empty.loadXmlConfigFromMemory("", 0));
   EXPECT_FALSE(empty.loadXmlConfigFromMemory(nullptr, 5));
   EXPECT_EQ(empty.getErrorCount(), 2);
}

TEST(ConfigXml, TextsExpandTheEnvironment)
{
   setenv("QV_CONFIG_TEST_DIR", "/opt/q", 1);
   Config expanding;
   expanding.loadXmlConfigFromMemory("<config><p>\"${QV_CONFIG_TEST_DIR}/bin\"</p></config>", -1);
   EXPECT_STREQ(expanding.getValue(L"/p"), L"\"/opt/q/bin\"");
   Config literal(false);
   literal.loadXmlConfigFromMemory("<config><p>${QV_CONFIG_TEST_DIR}</p></config>", -1);
   EXPECT_STREQ(literal.getValue(L"/p"), L"${QV_CONFIG_TEST_DIR}");
   unsetenv("QV_CONFIG_TEST_DIR");
}

TEST(ConfigFiles, FormatDetectionAndFilesThatCannotBeLoaded)
{
   TempDir dir;
   std::wstring xml = dir.write("x.conf", "\xEF\xBB\xBF \n\t<config><k>xml</k></config>");
   std::wstring ini = dir.write("i.conf", "\n  k = ini\n");
   TestConfig config;
   EXPECT_TRUE(config.loadConfig(xml.c_str(), L"main", false));
   EXPECT_TRUE(config.loadConfig(ini.c_str(), L"main", false));
   EXPECT_STREQ(config.getValue(L"/k"), L"xml");
   EXPECT_STREQ(config.getValue(L"/main/k"), L"ini");
   EXPECT_TRUE(config.messages.empty());

   std::wstring missing = dir.wfile("missing.conf");
   EXPECT_FALSE(config.loadConfig(missing.c_str(), L"main", true));
   EXPECT_FALSE(config.loadConfig(dir.wpath().c_str(), L"main", true));
   EXPECT_FALSE(config.loadIniConfig(missing.c_str(), L"main", true));
   EXPECT_FALSE(config.loadIniConfig(dir.wpath().c_str(), L"main", true));
   EXPECT_FALSE(config.loadXmlConfig(missing.c_str()));
   EXPECT_FALSE(config.loadXmlConfig(dir.wpath().c_str()));
   ASSERT_EQ(config.messages.size(), 6u);
   EXPECT_EQ(config.messages[0], L"Could not process \"" + missing + L"\"!");
   EXPECT_EQ(config.messages[1], L"\"" + dir.wpath() + L"\" is not a file!");
   EXPECT_EQ(config.messages[2], L"Cannot open file " + missing);
   EXPECT_EQ(config.messages[3], L"Cannot open file " + dir.wpath());
   EXPECT_EQ(config.messages[4], L"Cannot open file " + missing);
   EXPECT_EQ(config.messages[5], L"Cannot open file " + dir.wpath());
}

TEST(ConfigFiles, DirectoryOfMixedFilesLoadsInNameOrder)
{
   TempDir dir;
   dir.write("b.xml", "<config><main><k>from b</k></main></config>");
   dir.write("c.ini", "k = from c\n");
   dir.write("a.ini", "k = from a\n[only]\na = 1\n");
   mkdir(dir.file("d.sub").c_str(), 0700);
   TestConfig config;
   EXPECT_FALSE(config.loadConfigDirectory(dir.wpath().c_str(), L"main", false));
   EXPECT_EQ(Values(config.getEntry(L"/main/k")), L"from a|from b|from c");
   EXPECT_STREQ(config.getValue(L"/only/a"), L"1");
   ASSERT_EQ(config.messages.size(), 1u);
   EXPECT_EQ(config.messages[0], L"\"" + dir.wfile("d.sub") + L"\" is not a file!");

   TestConfig none;
   EXPECT_FALSE(none.loadConfigDirectory(dir.wfile("nothing").c_str(), L"main", true));
   EXPECT_EQ(none.getErrorCount(), 1);
}

/* The progress callback: the count first, then each entry in name order (one that fails
 * to load counted too), the last with filesDone equal to the count. */
TEST(ConfigFiles, DirectoryLoadReportsProgressPerFile)
{
   TempDir dir;
   dir.write("b.ini", "k = b\n");
   dir.write("a.ini", "k = a\n");
   mkdir(dir.file("c.sub").c_str(), 0700);
   std::vector<std::wstring> calls;
   auto record = [](const wchar_t *file, int32_t done, int32_t count, void *arg) {
      static_cast<std::vector<std::wstring> *>(arg)->push_back(((file != nullptr) ? file : L"(null)") +
                                                               std::wstring(L" ") + std::to_wstring(done) + L"/" +
                                                               std::to_wstring(count));
   };
   TestConfig config;
   config.setLoadProgress(record, &calls);
   EXPECT_FALSE(config.loadConfigDirectory(dir.wpath().c_str(), L"main", true));
   std::vector<std::wstring> expected = {L"(null) 0/3", dir.wfile("a.ini") + L" 1/3", dir.wfile("b.ini") + L" 2/3",
                                         dir.wfile("c.sub") + L" 3/3"};
   EXPECT_EQ(calls, expected);

   // Off again: nothing more is reported.
   config.setLoadProgress(nullptr, nullptr);
   config.loadConfigDirectory(dir.wpath().c_str(), L"main", true);
   EXPECT_EQ(calls.size(), expected.size());
}

TEST(ConfigFiles, HugeOneLineFilesGiveErrors)
{
   TempDir dir;
   const size_t size = 100u * 1024 * 1024;
   std::string line(size, 'x');
   std::wstring ini = dir.write("huge.ini", line);
   line.replace(0, 11, "<config><a>");
   std::wstring xml = dir.write("huge.xml", line);
   line.clear();
   line.shrink_to_fit();

   TestConfig config;
   EXPECT_FALSE(config.loadConfig(ini.c_str(), L"main", false));
   // Every piece of 4094 bytes is a line without "=".
   EXPECT_EQ(config.getErrorCount(), static_cast<int32_t>((size + 4093) / 4094));
   EXPECT_EQ(config.getErrorRecordCount(), 1000);

   TestConfig xmlConfig;
   EXPECT_FALSE(xmlConfig.loadConfig(xml.c_str(), L"main", false));
   ASSERT_EQ(xmlConfig.messages.size(), 1u);
   EXPECT_EQ(xmlConfig.messages[0], L"no element found at line 1");
   EXPECT_EQ(xmlConfig.getEntry(L"/a")->getValueCount(), 0);
}

TEST(ConfigTemplate, EveryValueType)
{
   TempDir dir;
   std::wstring file = dir.write("t.ini", "[s]\n"
                                          "int = 0x10\n"
                                          "bad = 12x\n"
                                          "port = 70000\n"
                                          "str = abcdefghij\n"
                                          "mb = caf\xC3\xA9\xC3\xA9\n"
                                          "list = a\nlist = bc\n"
                                          "on = Yes\noff = nope\nbit64 = 1\n"
                                          "bytes = 10 M\ndec = 2k\ntera = 3T\nhuge = 20000000T\n"
                                          "preset = 99\npresetStr = new\n"
                                          "ignored = 5\nodd = 5\n"
                                          "abcdefghijabcdefghijabcdefghijabcdefghijabcdefghijabcdefghijabcd = long\n");
   TestConfig config;
   ASSERT_TRUE(config.loadIniConfig(file.c_str(), L"main", false));

   int32_t i = 0, bad = 0, preset = 5, marker = 1, untouched = 77;
   uint16_t port = 0;
   wchar_t str[5];
   char mb[7];
   wchar_t *list = nullptr;
   uint32_t flags = 0x100;
   uint64_t flags64 = 0xFF00000000ULL, bytes = 0, dec = 0, tera = 0, huge = 0, ignored = 1, odd = 2;
   wchar_t presetStr[8] = L"old";
   wchar_t longKey[8] = L"";
   QV_CFG_TEMPLATE t[] = {
       {L"int", CFG_TYPE_INT32, 0, 0, 0, &i, nullptr},
       {L"bad", CFG_TYPE_INT32, 0, 0, 0, &bad, nullptr},
       {L"port", CFG_TYPE_UINT16, 0, 0, 0, &port, nullptr},
       {L"str", CFG_TYPE_STRING, 0, 5, 0, str, nullptr},
       {L"mb", CFG_TYPE_MB_STRING, 0, 7, 0, mb, nullptr},
       {L"list", CFG_TYPE_STRING_LIST, ',', 0, 0, &list, nullptr},
       {L"on", CFG_TYPE_FLAG32, 0, 0x3, 0, &flags, nullptr},
       {L"off", CFG_TYPE_FLAG32, 0, 0x100, 0, &flags, nullptr},
       {L"bit64", CFG_TYPE_FLAG64, 0, 0x1ULL << 40, 0, &flags64, nullptr},
       {L"bytes", CFG_TYPE_BYTES, 0, 0, 0, &bytes, nullptr},
       {L"dec", CFG_TYPE_DECIMAL_UNITS, 0, 0, 0, &dec, nullptr},
       {L"tera", CFG_TYPE_BYTES, 0, 0, 0, &tera, nullptr},
       {L"huge", CFG_TYPE_BYTES, 0, 0, 0, &huge, nullptr},
       {L"preset", CFG_TYPE_INT32, 0, 0, 0, &preset, &marker},
       {L"presetStr", CFG_TYPE_STRING, 0, 8, 0, presetStr, presetStr},
       {L"missing", CFG_TYPE_INT32, 0, 0, 0, &untouched, nullptr},
       {L"ignored", CFG_TYPE_IGNORED, 0, 0, 0, &ignored, nullptr},
       {L"odd", 99, 0, 0, 0, &odd, nullptr},
       {L"", CFG_TYPE_END, 0, 0, 0, nullptr, nullptr},
   };
   // A key that fills all 64 characters has no terminator.
   QV_CFG_TEMPLATE longTemplate[2] = {{{0}, CFG_TYPE_STRING, 0, 8, 0, longKey, nullptr},
                                      {L"", CFG_TYPE_END, 0, 0, 0, nullptr, nullptr}};
   for (int k = 0; k < QV_CFG_TEMPLATE_KEY_SIZE; k++)
      longTemplate[0].key[k] = static_cast<wchar_t>(L'a' + k % 10);

   EXPECT_FALSE(config.parseTemplate(L"s", t));
   EXPECT_EQ(i, 16);
   EXPECT_EQ(bad, 12);
   ASSERT_EQ(config.messages.size(), 1u);
   EXPECT_EQ(config.messages[0], L"Invalid number '12x' in configuration file " + file + L" at line 3\n");
   EXPECT_EQ(port, static_cast<uint16_t>(70000));
   EXPECT_STREQ(str, L"abcd");
   EXPECT_STREQ(mb, "caf\xC3\xA9");  // whole characters only
   ASSERT_NE(list, nullptr);
   EXPECT_STREQ(list, L"a,bc,");
   free(list);
   EXPECT_EQ(flags, 0x3u);
   EXPECT_EQ(flags64, 0xFF00000000ULL | (1ULL << 40));
   EXPECT_EQ(bytes, 10485760u);
   EXPECT_EQ(dec, 2000u);
   EXPECT_EQ(tera, 3ULL << 40);
   EXPECT_EQ(huge, UINT64_MAX);
   EXPECT_EQ(preset, 5);
   EXPECT_STREQ(presetStr, L"old");
   EXPECT_EQ(untouched, 77);
   EXPECT_EQ(ignored, 1u);
   EXPECT_EQ(odd, 2u);

   EXPECT_TRUE(config.parseTemplate(L"s", longTemplate));
   EXPECT_STREQ(longKey, L"long");

   // Preset markers that say "not set" let the value through.
   int32_t notSet = -1;
   wchar_t emptyStr[8] = L"";
   uint16_t portMarker = 0xFFFF;
   QV_CFG_TEMPLATE open[] = {{L"preset", CFG_TYPE_INT32, 0, 0, 0, &preset, &notSet},
                             {L"presetStr", CFG_TYPE_STRING, 0, 8, 0, emptyStr, emptyStr},
                             {L"port", CFG_TYPE_UINT16, 0, 0, 0, &port, &portMarker},
                             {L"dec", CFG_TYPE_DECIMAL_UNITS, 0, 0, 0, &dec, &marker},
                             {L"", CFG_TYPE_END, 0, 0, 0, nullptr, nullptr}};
   dec = 1;
   port = 0;
   EXPECT_TRUE(config.parseTemplate(L"s", open));
   EXPECT_EQ(preset, 99);
   EXPECT_STREQ(emptyStr, L"new");
   EXPECT_EQ(port, static_cast<uint16_t>(70000));
   EXPECT_EQ(dec, 1u);
}

/* An overlong form that decodes to a zero character ends the line there, as a zero byte
 * does, so that no name or value holds a character that would cut it short: every entry
 * stays reachable by its name. */
TEST(ConfigIni, ZeroCharactersFromOverlongFormsEndTheLine)
{
   TempDir dir;
   std::wstring file = dir.write("z.ini", "[s]\n"
                                          "v = a\xC0\x80"
                                          "b\n"
                                          "[t\xC0\x80]\n"
                                          "x = 3\n"
                                          "[u]\n"
                                          "y = 4\n");
   TestConfig config;
   config.loadIniConfig(file.c_str(), L"main", true);
   EXPECT_STREQ(config.getValue(L"/s/v"), L"a");
   // "[t" is what is left of the header, which names section t as an unclosed one does.
   EXPECT_STREQ(config.getValue(L"/t/x"), L"3");
   EXPECT_STREQ(config.getValue(L"/u/y"), L"4");
   ConfigEntry *root = config.getEntry(L"/");
   ObjectArray<ConfigEntry> *top = root->getSubEntries(nullptr);
   for (int i = 0; i < top->size(); i++)
      EXPECT_EQ(root->findEntry(top->get(i)->getName()), top->get(i)) << i;
   delete top;
}
