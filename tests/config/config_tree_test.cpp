/* The configuration tree: paths, aliases, typed access, sub-entry arrays, the tree print and
 * the XML writer. */
#include <gtest/gtest.h>

#include "config/config_test_util.h"
#include "support/debug_capture.h"
#include "system/stdout_capture.h"

#include <algorithm>
#include <string>

using qvtest::TestConfig;

namespace {

std::wstring ValueOr(const wchar_t *v)
{
   return (v != nullptr) ? v : L"<null>";
}

/* Everything the tree print writes to a file. */
std::string PrintedText(const ConfigEntry &entry, int depth = 0, const wchar_t *prefix = L"")
{
   FILE *f = tmpfile();
   entry.print(f, depth, prefix);
   std::string text;
   rewind(f);
   char chunk[4096];
   size_t n;
   while ((n = fread(chunk, 1, sizeof(chunk), f)) > 0)
      text.append(chunk, n);
   fclose(f);
   return text;
}

/* Two trees are the same: names, ids, values and attributes, children in order. */
void ExpectSameTree(const ConfigEntry *a, const ConfigEntry *b, const std::wstring &where)
{
   ASSERT_NE(a, nullptr) << std::string(where.begin(), where.end());
   ASSERT_NE(b, nullptr) << std::string(where.begin(), where.end());
   std::wstring here = where + L"/" + a->getName();
   std::string h(here.begin(), here.end());
   EXPECT_STREQ(a->getName(), b->getName()) << h;
   EXPECT_EQ(a->getId(), b->getId()) << h;
   ASSERT_EQ(a->getValueCount(), b->getValueCount()) << h;
   for (int i = 0; i < a->getValueCount(); i++)
      EXPECT_STREQ(a->getValue(i), b->getValue(i)) << h;
   for (const wchar_t *name : {L"quote", L"amp", L"mixed"})
      EXPECT_EQ(ValueOr(a->getAttribute(name)), ValueOr(b->getAttribute(name))) << h;
   ObjectArray<ConfigEntry> *ca = a->getSubEntries(nullptr);
   ObjectArray<ConfigEntry> *cb = b->getSubEntries(nullptr);
   EXPECT_EQ(ca->size(), cb->size()) << h;
   for (int i = 0; i < ca->size() && i < cb->size(); i++)
      ExpectSameTree(ca->get(i), cb->get(i), here);
   delete ca;
   delete cb;
}

}  // namespace

TEST(ConfigTree, PathsIgnoreCaseAndCreateWhatIsMissing)
{
   Config config;
   EXPECT_TRUE(config.setValue(L"/server/Port", L"4701"));
   EXPECT_STREQ(config.getValue(L"/Server/PORT"), L"4701");
   EXPECT_TRUE(config.setValue(L"/a/b/c", static_cast<int32_t>(5)));
   ASSERT_NE(config.getEntry(L"/a/b"), nullptr);
   EXPECT_STREQ(config.getValue(L"/a/b/c"), L"5");
   EXPECT_STREQ(config.getEntry(L"/a/b/c")->getFile(), L"<memory>");

   EXPECT_FALSE(config.setValue(L"a/b", L"x"));
   EXPECT_EQ(config.getEntry(L"a"), nullptr);
   EXPECT_EQ(config.getEntry(nullptr), nullptr);
   EXPECT_STREQ(config.getEntry(L"/")->getName(), L"[root]");
   EXPECT_EQ(config.getEntry(L"/a/x/c"), nullptr);
   EXPECT_STREQ(config.getValue(L"/a/x", L"default"), L"default");

   config.deleteEntry(L"/");
   EXPECT_NE(config.getEntry(L"/a/b/c"), nullptr);
   config.deleteEntry(L"/A/b");
   EXPECT_EQ(config.getEntry(L"/a/b/c"), nullptr);
   EXPECT_NE(config.getEntry(L"/a"), nullptr);
   config.deleteEntry(L"/nothing/here");
}

TEST(ConfigTree, AliasesResolveTheSameWayWhenStoringAndFinding)
{
   TestConfig config;
   config.setAlias(L"db", L"database");
   EXPECT_STREQ(config.getAlias(L"DB"), L"database");
   config.setValue(L"/database/host", L"h1");
   EXPECT_STREQ(config.getValue(L"/%db/host"), L"h1");
   EXPECT_EQ(config.getEntry(L"/%missing/host"), nullptr);

   // Stored through an alias whose target does not exist yet: found under both names.
   config.setAlias(L"log", L"logging");
   config.setValue(L"/%log/level", L"3");
   EXPECT_STREQ(config.getValue(L"/logging/level"), L"3");
   EXPECT_STREQ(config.getValue(L"/%log/level"), L"3");
   EXPECT_EQ(config.getEntry(L"/%log")->getNext(), nullptr);

   // An unknown alias stands for the plain name, on every path.
   config.setValue(L"/%spool/dir", L"/var");
   EXPECT_STREQ(config.getValue(L"/%spool/dir"), L"/var");
   EXPECT_STREQ(config.getValue(L"/spool/dir"), L"/var");
   ConfigEntry *root = config.getEntry(L"/");
   ConfigEntry *created = root->createEntry(L"%other");
   EXPECT_STREQ(created->getName(), L"other");
   EXPECT_EQ(root->findEntry(L"%other"), created);
   EXPECT_EQ(root->createEntry(L"%db"), config.getEntry(L"/database"));
   EXPECT_EQ(config.createEntry(L"/%db/host"), config.getEntry(L"/database/host"));

   config.setAlias(L"db", nullptr);
   EXPECT_EQ(config.getAlias(L"db"), nullptr);
}

TEST(ConfigTree, TypedGettersParseLeniently)
{
   Config config;
   const struct
   {
      const wchar_t *text;
      bool expected;
   } booleans[] = {{L"ON", true},   {L"Yes", true}, {L"true", true}, {L"0x1", true}, {L"7", true},
                   {L"off", false}, {L"no", false}, {L"0", false},   {L"abc", false}};
   for (const auto &b : booleans)
   {
      config.setValue(L"/b", b.text);
      EXPECT_EQ(config.getValueAsBoolean(L"/b", !b.expected), b.expected)
          << std::string(b.text, b.text + wcslen(b.text));
   }
   EXPECT_TRUE(config.getValueAsBoolean(L"/missing", true));
   EXPECT_FALSE(config.getValueAsBoolean(L"/missing", false));

   config.setValue(L"/n", L"12abc");
   EXPECT_EQ(config.getValueAsInt(L"/n", -1), 12);
   config.setValue(L"/n", L"abc");
   EXPECT_EQ(config.getValueAsInt(L"/n", -1), 0);
   config.setValue(L"/n", L"0x1F");
   EXPECT_EQ(config.getValueAsUInt(L"/n", 0), 31u);
   config.setValue(L"/n", L"010");
   EXPECT_EQ(config.getValueAsInt(L"/n", 0), 8);
   config.setValue(L"/n", static_cast<int64_t>(5000000000LL));
   EXPECT_STREQ(config.getValue(L"/n"), L"5000000000");
   EXPECT_EQ(config.getValueAsInt64(L"/n", 0), 5000000000LL);
   EXPECT_EQ(config.getValueAsUInt64(L"/n", 0), 5000000000ULL);
   EXPECT_EQ(config.getValueAsInt(L"/missing", 42), 42);

   config.setValue(L"/n", static_cast<uint32_t>(4000000000u));
   EXPECT_STREQ(config.getValue(L"/n"), L"4000000000");
   config.setValue(L"/n", static_cast<int32_t>(-5));
   EXPECT_STREQ(config.getValue(L"/n"), L"-5");
   config.setValue(L"/n", static_cast<uint64_t>(18446744073709551615ULL));
   EXPECT_STREQ(config.getValue(L"/n"), L"18446744073709551615");
   config.setValue(L"/n", 2.5);
   EXPECT_STREQ(config.getValue(L"/n"), L"2.500000");

   uuid id = uuid::generate();
   config.setValue(L"/id", id);
   EXPECT_EQ(wcslen(config.getValue(L"/id")), 36u);
   EXPECT_EQ(config.getValueAsUUID(L"/id"), id);
   EXPECT_TRUE(config.getValueAsUUID(L"/n").isNull());
   EXPECT_TRUE(config.getValueAsUUID(L"/missing").isNull());
   EXPECT_EQ(config.getEntry(L"/")->getSubEntryValueAsUUID(L"id"), id);
}

TEST(ConfigTree, EntryValuesAndAttributes)
{
   ConfigEntry root(L"root", nullptr, nullptr, nullptr, 0, 0);
   EXPECT_STREQ(root.getFile(), L"(null)");
   ConfigEntry *e = new ConfigEntry(nullptr, &root, nullptr, L"f.ini", 3, 9);
   EXPECT_STREQ(e->getName(), L"(null)");
   EXPECT_EQ(e->getParent(), &root);
   EXPECT_EQ(e->getLine(), 3);
   EXPECT_EQ(e->getId(), 9);
   e->setName(L"list");
   EXPECT_EQ(root.findEntry(L"LIST"), e);

   EXPECT_EQ(e->getConcatenatedValuesLength(), 0);
   e->addValue(L"ab");
   e->addValuePreallocated(qv_wcsdup(L"cde"));
   e->addValue(nullptr);
   EXPECT_EQ(e->getValueCount(), 2);
   EXPECT_EQ(e->getConcatenatedValuesLength(), 7);
   EXPECT_EQ(e->getValue(2), nullptr);
   EXPECT_EQ(e->getValue(-1), nullptr);
   EXPECT_EQ(e->getValueAsInt(5, 77), 77);
   EXPECT_STREQ(root.getSubEntryValue(L"list", 1), L"cde");
   EXPECT_STREQ(root.getSubEntryValue(L"list", 2, L"d"), L"d");
   EXPECT_STREQ(root.getSubEntryValue(L"none", 0, L"d"), L"d");
   e->setValue(L"10");
   EXPECT_EQ(e->getValueCount(), 1);
   EXPECT_EQ(root.getSubEntryValueAsInt(L"list"), 10);
   EXPECT_EQ(root.getSubEntryValueAsInt(L"none", 0, 4), 4);

   e->setAttribute(L"Port", static_cast<int32_t>(-3));
   e->setAttribute(L"big", static_cast<uint64_t>(1ULL << 40));
   e->setAttribute(L"flag", true);
   e->setAttribute(L"text", L"on");
   e->setAttribute(nullptr, L"ignored");
   e->setAttributePreallocated(qv_wcsdup(L"owned"), qv_wcsdup(L"0x10"));
   EXPECT_STREQ(e->getAttribute(L"port"), L"-3");
   EXPECT_EQ(e->getAttributeAsInt(L"PORT", 0), -3);
   EXPECT_EQ(e->getAttributeAsUInt64(L"big", 0), 1ULL << 40);
   EXPECT_TRUE(e->getAttributeAsBoolean(L"flag", false));
   EXPECT_TRUE(e->getAttributeAsBoolean(L"text", false));
   EXPECT_EQ(e->getAttributeAsUInt(L"owned", 0), 16u);
   EXPECT_EQ(e->getAttributeAsInt(L"absent", 8), 8);
   EXPECT_EQ(e->getAttribute(L"absent"), nullptr);

   root.unlinkEntry(e);
   EXPECT_EQ(root.findEntry(L"list"), nullptr);
   delete e;
}

TEST(ConfigTree, SubEntriesByMaskAndId)
{
   Config config;
   ConfigEntry *root = config.getEntry(L"/");
   new ConfigEntry(L"item1", root, &config, nullptr, 0, 5);
   new ConfigEntry(L"other", root, &config, nullptr, 0, 1);
   new ConfigEntry(L"Item2", root, &config, nullptr, 0, 2);
   ObjectArray<ConfigEntry> *items = config.getSubEntries(L"/", L"item*");
   ASSERT_EQ(items->size(), 2);
   EXPECT_STREQ(items->get(0)->getName(), L"item1");
   EXPECT_STREQ(items->get(1)->getName(), L"Item2");
   delete items;
   ObjectArray<ConfigEntry> *ordered = config.getOrderedSubEntries(L"/", L"item*");
   ASSERT_EQ(ordered->size(), 2);
   EXPECT_STREQ(ordered->get(0)->getName(), L"Item2");
   EXPECT_STREQ(ordered->get(1)->getName(), L"item1");
   delete ordered;
   ObjectArray<ConfigEntry> *all = config.getSubEntries(L"/", nullptr);
   EXPECT_EQ(all->size(), 3);
   EXPECT_FALSE(all->isOwner());
   delete all;
   EXPECT_EQ(config.getSubEntries(L"/none", nullptr), nullptr);
}

TEST(ConfigTree, ManyChildrenKeepFirstMatchThroughRenamesAndRemovals)
{
   Config config;
   ConfigEntry *root = config.getEntry(L"/");
   const int count = 300;
   std::vector<ConfigEntry *> made;
   for (int i = 0; i < count; i++)
      made.push_back(new ConfigEntry((L"Key" + std::to_wstring(i)).c_str(), root, &config, nullptr, 0, 0));
   ConfigEntry *second = new ConfigEntry(L"key7", root, &config, nullptr, 0, 0);
   for (int i = 0; i < count; i++)
      ASSERT_EQ(config.getEntry((L"/KEY" + std::to_wstring(i)).c_str()), made[static_cast<size_t>(i)]);
   EXPECT_EQ(config.getEntry(L"/key7"), made[7]);
   EXPECT_EQ(config.getEntry(L"/key300"), nullptr);

   config.deleteEntry(L"/key7");
   EXPECT_EQ(config.getEntry(L"/key7"), second);
   second->setName(L"renamed");
   EXPECT_EQ(config.getEntry(L"/key7"), nullptr);
   EXPECT_EQ(config.getEntry(L"/RENAMED"), second);
   made[8]->setName(L"key9");
   EXPECT_EQ(config.getEntry(L"/key9"), made[8]);
   EXPECT_EQ(config.getEntry(L"/key8"), nullptr);
}

TEST(ConfigTree, ErrorsAreCountedAndReachTheDebugOutput)
{
   TestConfig counting;
   counting.error(L"bad %d", 42);
   EXPECT_EQ(counting.getErrorCount(), 1);
   ASSERT_EQ(counting.messages.size(), 1u);
   EXPECT_EQ(counting.messages[0], L"bad 42");
   ASSERT_EQ(counting.getErrorRecordCount(), 1);
   EXPECT_EQ(counting.getErrorRecord(0)->line, 0);
   EXPECT_EQ(counting.getErrorRecord(1), nullptr);

   class PlainConfig : public Config
   {
   public:
      using Config::error;
   } plain;
   std::vector<std::wstring> lines = qvtest::DebugLinesOf(1, [&] { plain.error(L"file %s", L"x.ini"); });
   ASSERT_EQ(lines.size(), 1u);
   EXPECT_EQ(lines[0], L"Configuration loading error: file x.ini");
   EXPECT_TRUE(qvtest::DebugLinesOf(0, [&] { plain.error(L"quiet"); }).empty());
   EXPECT_EQ(plain.getErrorCount(), 2);
}

TEST(ConfigTree, XmlOfAnEntryWithTwoValuesIdAndAttribute)
{
   Config config;
   ConfigEntry *root = config.getEntry(L"/");
   ConfigEntry *e = new ConfigEntry(L"server#7", root, &config, nullptr, 0, 7);
   e->addValue(L"1");
   e->addValue(L"2");
   e->setAttribute(L"mode", L"fast");
   e->setAttribute(L"id", L"7");
   String xml;
   e->createXml(xml, 1);
   EXPECT_STREQ(xml, L"    <server id=\"7\" mode=\"fast\">1</server>\n    <server id=\"7\">2</server>\n");

   config.setTopLevelTag(L"config");
   config.setValue(L"/a/b", L"x<y & \"z\"");
   config.getEntry(L"/a")->setAttribute(L"q", L"it's \"<&>\"");
   String whole = config.createXml();
   EXPECT_STREQ(whole, L"<config>\n"
                       L"    <server id=\"7\" mode=\"fast\">1</server>\n"
                       L"    <server id=\"7\">2</server>\n"
                       L"    <a q=\"it&apos;s &quot;&lt;&amp;&gt;&quot;\">\n"
                       L"        <b>x&lt;y &amp; &quot;z&quot;</b>\n"
                       L"    </a>\n"
                       L"</config>\n");
}

TEST(ConfigTree, MergedDocumentsWriteOneTopLevelElement)
{
   // Each document adds its top-level text to the root; the XML form keeps the first, as a
   // document has one top-level element.
   Config merged;
   merged.setTopLevelTag(L"config");
   merged.loadXmlConfigFromMemory("<config>one<a>1</a></config>", -1);
   merged.loadXmlConfigFromMemory("<config>two<a>2</a></config>", -1);
   EXPECT_EQ(merged.getEntry(L"/")->getValueCount(), 2);
   String xml = merged.createXml();
   EXPECT_STREQ(xml, L"<config>\n    <a>1</a>\n    <a>2</a>\none</config>\n");
   char *utf8 = UTF8StringFromWideString(xml);
   Config loaded;
   EXPECT_TRUE(loaded.loadXmlConfigFromMemory(utf8, -1));
   free(utf8);
   EXPECT_STREQ(loaded.getValue(L"/"), L"one");
   EXPECT_EQ(loaded.getEntry(L"/a")->getValueCount(), 2);
}

TEST(ConfigTree, GeneratedTreeRoundTripsThroughXml)
{
   // Deep, wide, with attributes holding every character XML gives a meaning to. Every
   // entry has a value, since a loaded element always has its text as one.
   Config source;
   source.setTopLevelTag(L"config");
   ConfigEntry *root = source.getEntry(L"/");
   root->addValue(L"");
   ConfigEntry *deep = root;
   for (int level = 0; level < 120; level++)
   {
      deep = new ConfigEntry((L"level" + std::to_wstring(level)).c_str(), deep, &source, nullptr, 0, 0);
      deep->addValue((L"v" + std::to_wstring(level) + L" <&> \"'").c_str());
      deep->setAttribute(L"quote", L"say \"hi\" & 'bye'");
   }
   ConfigEntry *wide = new ConfigEntry(L"wide", root, &source, nullptr, 0, 0);
   wide->addValue(L"w");
   for (int i = 0; i < 500; i++)
   {
      ConfigEntry *c = new ConfigEntry((L"item" + std::to_wstring(i)).c_str(), wide, &source, nullptr, 0, 0);
      c->addValue((L"caf\u00e9 \u20ac" + std::to_wstring(i)).c_str());
      c->addValue(L"second]]>");
      c->setAttribute(L"amp", L"a&b<c>d");
      c->setAttribute(L"mixed", L"tab\there\nnew line\r&#38;");
   }

   String xml = source.createXml();
   char *utf8 = UTF8StringFromWideString(xml);
   TestConfig loaded;
   loaded.setTopLevelTag(L"config");
   EXPECT_TRUE(loaded.loadXmlConfigFromMemory(utf8, -1, L"round.xml"));
   free(utf8);
   EXPECT_TRUE(loaded.messages.empty());
   ExpectSameTree(source.getEntry(L"/"), loaded.getEntry(L"/"), L"");
   EXPECT_STREQ(loaded.getEntry(L"/wide/item3")->getFile(), L"round.xml");

   // Written again, the loaded tree gives the same text.
   EXPECT_STREQ(loaded.createXml(), xml);
}

TEST(ConfigTree, PrintDrawsTreeLinesAtAnyDepth)
{
   Config config;
   config.setValue(L"/server", L"1");
   config.setValue(L"/server/port", L"4701");
   config.createXml();  // writing does not change the tree
   config.getEntry(L"/")->createEntry(L"logging");
   EXPECT_EQ(PrintedText(*config.getEntry(L"/")), "[root]\n"
                                                  " +- server\n"
                                                  " |    value: 1\n"
                                                  " |   +- port\n"
                                                  " |        value: 4701\n"
                                                  " +- logging\n");

   // An entry with children shows its values only when the first is not empty.
   config.getEntry(L"/server")->setValue(L"");
   std::string printed = PrintedText(*config.getEntry(L"/server"));
   EXPECT_EQ(printed, "server\n +- port\n      value: 4701\n");

   // Far deeper than a fixed prefix buffer would allow.
   Config deep;
   std::wstring path;
   for (int i = 0; i < 200; i++)
      path += L"/d";
   deep.setValue(path.c_str(), L"bottom");
   std::string text = PrintedText(*deep.getEntry(L"/"));
   std::string lastLine = std::string(200 * 4, ' ') + "  value: bottom\n";
   ASSERT_GE(text.size(), lastLine.size());
   EXPECT_EQ(text.substr(text.size() - lastLine.size()), lastLine);
   EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 202);

   // A prefix shorter than the depth needs is left alone.
   EXPECT_EQ(PrintedText(*config.getEntry(L"/server/port"), 3, L">"), ">port\n>  value: 4701\n");
}

TEST(ConfigTree, PrintColoursNamesAndValuesOnATerminal)
{
   Config config;
   config.setValue(L"/key", L"val");
   StdoutCapture capture(StdoutCapture::TERMINAL);
   config.print(stdout);
   fflush(stdout);
   std::string text = capture.finish();
   // The terminal writer spells bright green with the intensity reset first.
   EXPECT_NE(text.find("\x1b[22;32;1m[root]\x1b[0m"), std::string::npos) << text;
   EXPECT_NE(text.find(" +- \x1b[22;32;1mkey\x1b[0m"), std::string::npos) << text;
   EXPECT_NE(text.find("  value: \x1b[1mval\x1b[0m"), std::string::npos) << text;
}
