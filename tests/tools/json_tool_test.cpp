/* qvtool's --json output: each command's document parsed with jansson and checked field
 * by field; standard output holds the document and nothing else. */
#include "support/sample_table.h"
#include "support/tool_run.h"

#include "json_output.h"

#include <qorvel.h>

#include <gtest/gtest.h>
#include <jansson.h>

#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>

#include <string>
#include <vector>

namespace {

/* A parsed document, released with the object. */
class Json
{
public:
   explicit Json(json_t *value = nullptr) : m_value(value) {}
   ~Json() { json_decref(m_value); }
   Json(const Json &) = delete;
   Json &operator=(const Json &) = delete;
   Json(Json &&other) noexcept : m_value(other.m_value) { other.m_value = nullptr; }
   json_t *get() const { return m_value; }

private:
   json_t *m_value;
};

/* Field access that fails the test with the field's name when it is missing. */
json_t *At(json_t *object, const char *key)
{
   json_t *value = json_object_get(object, key);
   EXPECT_NE(value, nullptr) << "no field " << key;
   return value;
}

json_t *At(json_t *array, int index)
{
   json_t *value = json_array_get(array, static_cast<size_t>(index));
   EXPECT_NE(value, nullptr) << "no element " << index;
   return value;
}

std::string Text(json_t *value)
{
   EXPECT_TRUE(json_is_string(value));
   return json_is_string(value) ? json_string_value(value) : "<not a string>";
}

long long Integer(json_t *value)
{
   EXPECT_TRUE(json_is_integer(value));
   return json_integer_value(value);
}

/* The names of an object's fields, in order. */
std::vector<std::string> Keys(json_t *object)
{
   std::vector<std::string> keys;
   const char *key;
   json_t *value;
   json_object_foreach(object, key, value)
   {
      keys.push_back(key);
   }
   return keys;
}

class JsonTool : public ToolDirTest
{
protected:
   int m_status = -1;
   std::string m_stdout;

   /* Runs qvtool with the arguments, standard error thrown away (env: variables set
    * before it); the document its standard output holds, which must be exactly one. */
   Json run(const std::string &arguments, const std::string &env = std::string())
   {
      ToolRun run = RunShell("{ " + env + " '" + ToolPath() + "' " + arguments + " 2>/dev/null; }");
      m_status = run.status;
      m_stdout = run.output;
      json_error_t error;
      json_t *document = json_loads(run.output.c_str(), 0, &error);
      EXPECT_NE(document, nullptr) << arguments << ": " << error.text << "\n" << run.output;
      EXPECT_FALSE(run.output.empty() || run.output.back() != '\n') << run.output;
      return Json(document);
   }
};

}  // namespace

TEST_F(JsonTool, AddrGivesTheAddressSubnetAndClasses)
{
   Json v4 = run("addr 10.1.2.3/24 --json");
   EXPECT_EQ(m_status, 0);
   json_t *d = v4.get();
   ASSERT_NE(d, nullptr);
   EXPECT_EQ(Keys(d), (std::vector<std::string>{"family", "address", "prefixLength", "input", "familyName", "subnet",
                                                "broadcast", "classes"}));
   EXPECT_EQ(Integer(At(d, "family")), AF_INET);
   EXPECT_EQ(Text(At(d, "address")), "10.1.2.3");
   EXPECT_EQ(Integer(At(d, "prefixLength")), 24);
   EXPECT_EQ(Text(At(d, "input")), "10.1.2.3/24");
   EXPECT_EQ(Text(At(d, "familyName")), "IPv4");
   EXPECT_EQ(Text(At(d, "subnet")), "10.1.2.0");
   EXPECT_EQ(Text(At(d, "broadcast")), "10.1.2.255");
   ASSERT_EQ(json_array_size(At(d, "classes")), 1u);
   EXPECT_EQ(Text(At(At(d, "classes"), 0)), "valid unicast");

   Json loopback = run("addr --json ::1");
   d = loopback.get();
   ASSERT_NE(d, nullptr);
   EXPECT_EQ(Integer(At(d, "family")), AF_INET6);
   EXPECT_EQ(Text(At(d, "familyName")), "IPv6");
   EXPECT_EQ(Integer(At(d, "prefixLength")), 128);
   EXPECT_TRUE(json_is_null(At(d, "broadcast")));
   EXPECT_EQ(Text(At(At(d, "classes"), 0)), "loopback");
}

TEST_F(JsonTool, HashGivesEachFileAndItsDigest)
{
   std::string abc = writeFile("abc.txt", "abc");
   Json sha = run("hash --json '" + abc + "'");
   EXPECT_EQ(m_status, 0);
   ASSERT_NE(sha.get(), nullptr);
   EXPECT_EQ(Text(At(sha.get(), "algorithm")), "sha256");
   json_t *files = At(sha.get(), "files");
   ASSERT_EQ(json_array_size(files), 1u);
   EXPECT_EQ(Text(At(At(files, 0), "file")), abc);
   EXPECT_EQ(Text(At(At(files, 0), "digest")), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");

   // A file that cannot be read keeps its place with a null digest, and the code is 1.
   Json md5 = run("hash --md5 --json '" + abc + "' '" + path("missing") + "' '" + abc + "'");
   EXPECT_EQ(m_status, 1);
   ASSERT_NE(md5.get(), nullptr);
   EXPECT_EQ(Text(At(md5.get(), "algorithm")), "md5");
   files = At(md5.get(), "files");
   ASSERT_EQ(json_array_size(files), 3u);
   EXPECT_EQ(Text(At(At(files, 0), "digest")), "900150983cd24fb0d6963f7d28e17f72");
   EXPECT_EQ(Text(At(At(files, 1), "file")), path("missing"));
   EXPECT_TRUE(json_is_null(At(At(files, 1), "digest")));
   EXPECT_EQ(Text(At(At(files, 2), "digest")), "900150983cd24fb0d6963f7d28e17f72");

   Json crc = run("hash --crc32 --json '" + abc + "'");
   ASSERT_NE(crc.get(), nullptr);
   EXPECT_EQ(Text(At(At(At(crc.get(), "files"), 0), "digest")), "352441c2");
}

TEST_F(JsonTool, TextGivesCodePointsUnitsAndBytes)
{
   Json doc = run("text --json 'h\xc3\xa9\xf0\x9f\x98\x80'");
   EXPECT_EQ(m_status, 0);
   ASSERT_NE(doc.get(), nullptr);
   EXPECT_EQ(Text(At(doc.get(), "text")), "h\xc3\xa9\xf0\x9f\x98\x80");
   auto numbers = [](json_t *array) {
      std::vector<long long> values;
      for (size_t i = 0; i < json_array_size(array); i++)
         values.push_back(json_integer_value(json_array_get(array, i)));
      return values;
   };
   EXPECT_EQ(numbers(At(doc.get(), "codePoints")), (std::vector<long long>{0x68, 0xE9, 0x1F600}));
   EXPECT_EQ(numbers(At(doc.get(), "utf16Units")), (std::vector<long long>{0x68, 0xE9, 0xD83D, 0xDE00}));
   EXPECT_EQ(numbers(At(doc.get(), "utf8Bytes")), (std::vector<long long>{0x68, 0xC3, 0xA9, 0xF0, 0x9F, 0x98, 0x80}));
}

TEST_F(JsonTool, MsgDumpGivesHeadersAndTypedFields)
{
   std::string file = path("m.bin");
   ASSERT_EQ(RunTool("msg build --code 0x67 --id 42 -o '" + file +
                     "' 1:int32=-5 2:string=caf\xc3\xa9 3:binary=00ff10 4:int64=-1 5:float=1.5 6:int16=7")
                 .status,
             0);
   // A second message after the first, to see the offsets.
   std::string twice = path("twice.bin");
   ASSERT_EQ(RunShell("cat '" + file + "' '" + file + "' > '" + twice + "'").status, 0);
   Json doc = run("msg dump --json '" + twice + "'");
   EXPECT_EQ(m_status, 0);
   ASSERT_NE(doc.get(), nullptr);
   EXPECT_EQ(Text(At(doc.get(), "file")), twice);
   EXPECT_EQ(Integer(At(doc.get(), "version")), QVCP_DEFAULT_VERSION);
   json_t *messages = At(doc.get(), "messages");
   ASSERT_EQ(json_array_size(messages), 2u);
   json_t *m = At(messages, 0);
   long long size = Integer(At(m, "size"));
   EXPECT_EQ(Integer(At(m, "offset")), 0);
   EXPECT_EQ(Integer(At(At(messages, 1), "offset")), size);
   EXPECT_EQ(Integer(At(m, "code")), 0x67);
   EXPECT_EQ(Integer(At(m, "flags")), 0);
   EXPECT_EQ(Integer(At(m, "id")), 42);
   EXPECT_TRUE(json_is_true(At(m, "valid")));
   EXPECT_TRUE(json_is_false(At(m, "binary")));
   EXPECT_EQ(json_object_get(m, "binaryDataSize"), nullptr);
   json_t *fields = At(m, "fields");
   ASSERT_EQ(json_array_size(fields), 6u);
   // Fields come in the message's order; found by id here.
   auto field = [fields](long long id) -> json_t * {
      for (size_t i = 0; i < json_array_size(fields); i++)
         if (json_integer_value(json_object_get(json_array_get(fields, i), "id")) == id)
            return json_array_get(fields, i);
      ADD_FAILURE() << "no field " << id;
      return json_object();
   };
   EXPECT_EQ(Text(At(field(1), "type")), "INT32");
   EXPECT_EQ(Integer(At(field(1), "value")), 4294967291LL);
   EXPECT_EQ(Integer(At(field(1), "signedValue")), -5);
   EXPECT_EQ(Text(At(field(2), "type")), "STRING");
   EXPECT_EQ(Text(At(field(2), "value")), "caf\xc3\xa9");
   EXPECT_EQ(json_object_get(field(2), "signedValue"), nullptr);
   EXPECT_EQ(Text(At(field(3), "type")), "BINARY");
   EXPECT_EQ(Text(At(field(3), "value")), "00ff10");
   EXPECT_EQ(Text(At(field(4), "type")), "INT64");
   EXPECT_EQ(Text(At(field(4), "value")), "18446744073709551615");
   EXPECT_EQ(Integer(At(field(4), "signedValue")), -1);
   EXPECT_EQ(Text(At(field(5), "type")), "FLOAT");
   EXPECT_DOUBLE_EQ(json_real_value(At(field(5), "value")), 1.5);
   EXPECT_EQ(Text(At(field(6), "type")), "INT16");
   EXPECT_EQ(Integer(At(field(6), "value")), 7);

   // A message that does not read as one: valid false, its header still given; code 1.
   std::string bad = writeFile("bad.hex", "0067000000000010000000090000000a");
   Json invalid = run("msg dump --hex --json '" + bad + "'");
   EXPECT_EQ(m_status, 1);
   ASSERT_NE(invalid.get(), nullptr);
   json_t *only = At(At(invalid.get(), "messages"), 0);
   EXPECT_EQ(Integer(At(only, "id")), 9);
   EXPECT_TRUE(json_is_false(At(only, "valid")));
   EXPECT_EQ(json_object_get(only, "fields"), nullptr);
}

TEST_F(JsonTool, InfoGivesTextsDirectoriesAndFigures)
{
   Json doc = run("info --json --heap-report");
   EXPECT_EQ(m_status, 0);
   json_t *d = doc.get();
   ASSERT_NE(d, nullptr);
   EXPECT_EQ(Keys(d), (std::vector<std::string>{"system", "osVersion", "hostName", "fullHostName", "directories",
                                                "memory", "heapReport"}));
   for (const char *key : {"system", "osVersion", "hostName", "fullHostName"})
      EXPECT_TRUE(json_is_string(At(d, key)) || json_is_null(At(d, key))) << key;
   EXPECT_FALSE(Text(At(d, "osVersion")).empty());
   EXPECT_EQ(Keys(At(d, "directories")),
             (std::vector<std::string>{"installation", "bin", "var", "etc", "lib", "share"}));
   EXPECT_EQ(Text(At(At(d, "directories"), "bin")).compare(0, 1, "/"), 0);
   json_t *memory = At(d, "memory");
   EXPECT_EQ(Keys(memory),
             (std::vector<std::string>{"residentBytes", "heapAllocatedBytes", "heapActiveBytes", "heapMappedBytes"}));
   EXPECT_GT(Integer(At(memory, "residentBytes")), 0);
   for (const char *key : {"heapAllocatedBytes", "heapActiveBytes", "heapMappedBytes"})
      EXPECT_TRUE(json_is_integer(At(memory, key)) || json_is_null(At(memory, key))) << key;
   EXPECT_TRUE(json_is_string(At(d, "heapReport")));

   Json plain = run("info --json");
   ASSERT_NE(plain.get(), nullptr);
   EXPECT_EQ(json_object_get(plain.get(), "heapReport"), nullptr);
}

TEST_F(JsonTool, ConfigGivesTheTreeSourcesAndErrors)
{
   std::string ini = writeFile("a.ini", "port = 4701\n[log]\nlevel = 3\nlevel = 4\nnot a pair\n");
   std::filesystem::create_directories(m_dir / "conf.d");
   writeFile("conf.d/b.xml", "<config><log><file>x&amp;y</file></log></config>");
   Json doc = run("config --json '" + ini + "' '" + path("conf.d") + "'");
   EXPECT_EQ(m_status, 0);
   json_t *d = doc.get();
   ASSERT_NE(d, nullptr);
   EXPECT_EQ(Keys(d), (std::vector<std::string>{"sources", "errorCount", "errors", "entries"}));
   EXPECT_EQ(Text(At(At(d, "sources"), 1)), path("conf.d"));
   EXPECT_EQ(Integer(At(d, "errorCount")), 1);
   json_t *error = At(At(d, "errors"), 0);
   EXPECT_EQ(Text(At(error, "file")), ini);
   EXPECT_EQ(Integer(At(error, "line")), 5);
   EXPECT_NE(Text(At(error, "message")).find("Syntax error"), std::string::npos);

   json_t *entries = At(d, "entries");
   ASSERT_EQ(json_array_size(entries), 2u);
   json_t *main = At(entries, 0);
   EXPECT_EQ(Text(At(main, "name")), "main");
   json_t *port = At(At(main, "entries"), 0);
   EXPECT_EQ(Text(At(port, "name")), "port");
   EXPECT_EQ(Text(At(At(port, "values"), 0)), "4701");
   EXPECT_EQ(Text(At(port, "file")), ini);
   EXPECT_EQ(Integer(At(port, "line")), 1);
   EXPECT_EQ(json_array_size(At(port, "entries")), 0u);
   json_t *log = At(entries, 1);
   EXPECT_EQ(Text(At(log, "name")), "log");
   json_t *level = At(At(log, "entries"), 0);
   ASSERT_EQ(json_array_size(At(level, "values")), 2u);
   EXPECT_EQ(Text(At(At(level, "values"), 1)), "4");
   json_t *file = At(At(log, "entries"), 1);
   EXPECT_EQ(Text(At(At(file, "values"), 0)), "x&y");
   EXPECT_EQ(Text(At(file, "file")), path("conf.d") + "/b.xml");

   // --check: the errors without the tree, and the code 1.
   Json check = run("config --check --json '" + ini + "'");
   EXPECT_EQ(m_status, 1);
   ASSERT_NE(check.get(), nullptr);
   EXPECT_EQ(Keys(check.get()), (std::vector<std::string>{"sources", "errorCount", "errors"}));
}

TEST_F(JsonTool, ScheduleGivesTheMatches)
{
   Json doc = run("schedule '0 0 29 2 *' --from '2024-03-01 00:00' --count 3 --json", "TZ=UTC0");
   EXPECT_EQ(m_status, 0);
   json_t *d = doc.get();
   ASSERT_NE(d, nullptr);
   EXPECT_EQ(Keys(d), (std::vector<std::string>{"schedule", "from", "count", "yearsSearched", "matches", "complete"}));
   EXPECT_EQ(Text(At(d, "schedule")), "0 0 29 2 *");
   EXPECT_EQ(Text(At(d, "from")), "2024-03-01 00:00");
   EXPECT_EQ(Integer(At(d, "count")), 3);
   EXPECT_EQ(Integer(At(d, "yearsSearched")), 4);
   ASSERT_EQ(json_array_size(At(d, "matches")), 1u);
   json_t *match = At(At(d, "matches"), 0);
   EXPECT_EQ(Text(At(match, "time")), "2028-02-29 00:00");
   EXPECT_EQ(Text(At(match, "weekday")), "Tue");
   EXPECT_EQ(Integer(At(match, "unixTime")), 1835395200);
   EXPECT_TRUE(json_is_false(At(d, "complete")));

   Json none = run("schedule '0 0 31 2 *' --from '2024-01-01 00:00' --json", "TZ=UTC0");
   EXPECT_EQ(m_status, 1);
   ASSERT_NE(none.get(), nullptr);
   EXPECT_EQ(json_array_size(At(none.get(), "matches")), 0u);
}

TEST_F(JsonTool, MacGeoAndPasswordGiveTheirReadings)
{
   Json mac = run("mac 01:00:5e:00:00:01 --json");
   EXPECT_EQ(m_status, 0);
   ASSERT_NE(mac.get(), nullptr);
   EXPECT_EQ(Text(At(mac.get(), "input")), "01:00:5e:00:00:01");
   EXPECT_EQ(Integer(At(mac.get(), "length")), 6);
   json_t *notations = At(mac.get(), "notations");
   EXPECT_EQ(Keys(notations),
             (std::vector<std::string>{"flat", "colon", "colonPairs", "hyphen", "dotTriplets", "dotPairs"}));
   EXPECT_EQ(Text(At(notations, "flat")), "01005E000001");
   EXPECT_EQ(Text(At(notations, "colon")), "01:00:5E:00:00:01");
   EXPECT_EQ(Text(At(notations, "dotTriplets")), "010.05E.000.001");
   EXPECT_TRUE(json_is_true(At(mac.get(), "valid")));
   EXPECT_EQ(Text(At(mac.get(), "class")), "multicast");

   Json geo = run("geo -0.5 --json");
   EXPECT_EQ(m_status, 0);
   ASSERT_NE(geo.get(), nullptr);
   EXPECT_EQ(Text(At(geo.get(), "input")), "-0.5");
   json_t *latitude = At(geo.get(), "latitude");
   EXPECT_TRUE(json_is_true(At(latitude, "valid")));
   EXPECT_DOUBLE_EQ(json_real_value(At(latitude, "value")), -0.5);
   EXPECT_EQ(Text(At(latitude, "text")), "S 00\xc2\xb0 30' 00.000\"");
   EXPECT_EQ(Text(At(At(geo.get(), "longitude"), "text")), "W 00\xc2\xb0 30' 00.000\"");
   Json north = run("geo --json north");
   EXPECT_EQ(m_status, 1);
   ASSERT_NE(north.get(), nullptr);
   EXPECT_TRUE(json_is_false(At(At(north.get(), "longitude"), "valid")));
   EXPECT_TRUE(json_is_null(At(At(north.get(), "longitude"), "value")));

   Json encrypted = run("password --json encrypt bob secret");
   EXPECT_EQ(m_status, 0);
   ASSERT_NE(encrypted.get(), nullptr);
   EXPECT_EQ(Text(At(encrypted.get(), "login")), "bob");
   std::string form = Text(At(encrypted.get(), "encrypted"));
   Json decrypted = run("password --json decrypt bob '" + form + "'");
   ASSERT_NE(decrypted.get(), nullptr);
   EXPECT_EQ(Text(At(decrypted.get(), "password")), "secret");
   EXPECT_TRUE(json_is_true(At(decrypted.get(), "wasEncrypted")));
   Json plain = run("password --json decrypt bob plain");
   ASSERT_NE(plain.get(), nullptr);
   EXPECT_EQ(Text(At(plain.get(), "password")), "plain");
   EXPECT_TRUE(json_is_false(At(plain.get(), "wasEncrypted")));
}

TEST_F(JsonTool, TableAndDiffGiveTheirContents)
{
   Table *t = qvtest::SampleTable();
   char *packed = t->createPackedXML();
   std::string file = writeFile("t.packed", packed);
   free(packed);
   t->decRefCount();
   Json table = run("table --json '" + file + "'");
   EXPECT_EQ(m_status, 0);
   json_t *d = table.get();
   ASSERT_NE(d, nullptr);
   EXPECT_EQ(Text(At(d, "title")), "Interfaces");
   EXPECT_EQ(Integer(At(d, "source")), 2);
   EXPECT_EQ(Text(At(d, "format")), "plain");
   json_t *first = At(At(d, "columns"), 0);
   EXPECT_EQ(Text(At(first, "name")), "name");
   EXPECT_EQ(Text(At(first, "displayName")), "Interface");
   EXPECT_EQ(Integer(At(first, "dataType")), 0);
   EXPECT_TRUE(json_is_true(At(first, "instance")));
   EXPECT_TRUE(json_is_false(At(At(At(d, "columns"), 1), "instance")));
   json_t *rows = At(d, "rows");
   ASSERT_EQ(json_array_size(rows), 2u);
   EXPECT_EQ(Text(At(At(rows, 0), 1)), "10.0.0.1\t(primary)");
   EXPECT_EQ(Text(At(At(rows, 1), 0)), "\xE4\xB8\xAD\xE6\x96\x87");

   std::string left = writeFile("left.txt", "a\nb\nc\n");
   std::string right = writeFile("right.txt", "a\nB\nx\td\n");
   Json diff = run("diff --json '" + left + "' '" + right + "'");
   EXPECT_EQ(m_status, 1);
   ASSERT_NE(diff.get(), nullptr);
   EXPECT_EQ(Text(At(diff.get(), "file1")), left);
   EXPECT_EQ(Text(At(diff.get(), "file2")), right);
   EXPECT_TRUE(json_is_false(At(diff.get(), "same")));
   json_t *changes = At(diff.get(), "changes");
   ASSERT_EQ(json_array_size(changes), 2u);
   EXPECT_EQ(Text(At(At(changes, 0), "change")), "removed");
   EXPECT_EQ(Text(At(At(changes, 0), "line")), "c");
   EXPECT_EQ(Text(At(At(changes, 1), "change")), "added");
   EXPECT_EQ(Text(At(At(changes, 1), "line")), "x\td");
   Json same = run("diff --json '" + left + "' '" + left + "'");
   EXPECT_EQ(m_status, 0);
   ASSERT_NE(same.get(), nullptr);
   EXPECT_TRUE(json_is_true(At(same.get(), "same")));
   EXPECT_EQ(json_array_size(At(same.get(), "changes")), 0u);
}

/* Both ends of a transfer report it; the receiver's port line moves to standard error. */
TEST_F(JsonTool, SendAndReceiveReportTheTransfer)
{
   std::string content(300000, 'q');
   std::string source = writeFile("data.bin", content);
   std::filesystem::create_directories(m_dir / "in");
   // Standard error (the port line) to the pipe, standard output (the document) to a file.
   std::string command =
       "'" + ToolPath() + "' receive-file --json 0 '" + path("in") + "' 2>&1 >'" + path("received.json") + "'";
   FILE *receiver = popen(command.c_str(), "r");
   ASSERT_NE(receiver, nullptr);
   int port = 0;
   char line[256];
   if (fgets(line, sizeof(line), receiver) == nullptr || sscanf(line, "listening on port %d", &port) != 1)
      port = 0;
   ASSERT_NE(port, 0);
   Json sent = run("send-file --json 127.0.0.1:" + std::to_string(port) + " '" + source + "' --compress deflate");
   EXPECT_EQ(m_status, 0);
   std::string notices;
   while (fgets(line, sizeof(line), receiver) != nullptr)
      notices += line;
   EXPECT_EQ(pclose(receiver), 0) << notices;
   EXPECT_NE(notices.find("received 300000 bytes ("), std::string::npos) << notices;
   std::string received = RunShell("cat '" + path("received.json") + "'").output;

   ASSERT_NE(sent.get(), nullptr);
   EXPECT_EQ(Keys(sent.get()), (std::vector<std::string>{"file", "receiver", "protocolVersion", "compression", "bytes",
                                                         "wireBytes", "milliseconds"}));
   EXPECT_EQ(Text(At(sent.get(), "file")), source);
   EXPECT_EQ(Text(At(sent.get(), "receiver")), "127.0.0.1:" + std::to_string(port));
   EXPECT_EQ(Integer(At(sent.get(), "protocolVersion")), QVCP_DEFAULT_VERSION);
   EXPECT_EQ(Text(At(sent.get(), "compression")), "deflate");
   EXPECT_EQ(Integer(At(sent.get(), "bytes")), 300000);
   long long wire = Integer(At(sent.get(), "wireBytes"));
   EXPECT_LT(wire, 300000);
   EXPECT_GE(Integer(At(sent.get(), "milliseconds")), 0);

   json_error_t error;
   Json got(json_loads(received.c_str(), 0, &error));
   ASSERT_NE(got.get(), nullptr) << received;
   EXPECT_EQ(Keys(got.get()), (std::vector<std::string>{"name", "path", "bytes", "wireBytes", "milliseconds", "port"}));
   EXPECT_EQ(Text(At(got.get(), "name")), "data.bin");
   EXPECT_EQ(Text(At(got.get(), "path")), path("in") + "/data.bin");
   EXPECT_EQ(Integer(At(got.get(), "bytes")), 300000);
   EXPECT_EQ(Integer(At(got.get(), "wireBytes")), wire);
   EXPECT_EQ(Integer(At(got.get(), "port")), port);
}

/* Bytes that are not UTF-8 (file names, arguments) become U+FFFD, one for each byte that
 * starts no valid sequence; valid text passes unchanged. */
TEST(JsonText, ReplacesWhatIsNotUtf8)
{
   const struct
   {
      const char *in;
      const char *out;
   } cases[] = {
       {"plain", "plain"},
       {"caf\xc3\xa9 \xf0\x9f\x98\x80", "caf\xc3\xa9 \xf0\x9f\x98\x80"},
       {"a\xffz", "a\xef\xbf\xbdz"},
       {"\xc3", "\xef\xbf\xbd"},                                                  // cut short
       {"\xc0\xaf", "\xef\xbf\xbd\xef\xbf\xbd"},                                  // overlong
       {"\xed\xa0\x80", "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},                  // a surrogate
       {"\xf4\x90\x80\x80", "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},  // beyond U+10FFFF
       {"", ""},
   };
   for (const auto &c : cases)
   {
      Json value(JsonText(c.in));
      ASSERT_TRUE(json_is_string(value.get())) << c.in;
      EXPECT_EQ(std::string(json_string_value(value.get())), c.out) << c.in;
   }
   Json none(JsonText(nullptr));
   EXPECT_TRUE(json_is_null(none.get()));
   Json wide(JsonString(L"\x4E2D"));
   EXPECT_STREQ(json_string_value(wide.get()), "\xe4\xb8\xad");
}
