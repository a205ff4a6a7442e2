/* qvtool msg: builds QVCP messages from field arguments and writes their wire form, and
 * describes wire messages read from a file (binary, or hex text), so that the two round
 * trip: `qvtool msg build -o F 1:int32=5` then `qvtool msg dump F`. */
#include "qvtool.h"

#include "json_output.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

namespace {

typedef std::vector<uint8_t> Bytes;

/* Bytes of BINARY values shown in the field listing; longer values end in "...". */
constexpr size_t SHOWN_BINARY_BYTES = 32;

/* Hex digits per line of the hex output. */
constexpr size_t HEX_LINE_BYTES = 32;

/* Room for the text form of any value shown in the field listing. */
constexpr size_t VALUE_TEXT_SIZE = 64;

/* The field of a table's column count, present in a message that carries a table. */
constexpr uint32_t TABLE_COLUMN_COUNT_FIELD = 329;

/* Largest wire message read: the size word is 32 bits. */
constexpr uint64_t MAX_MESSAGE_SIZE = UINT32_MAX;

const char TYPES_NOTE[] = "types: int16 uint16 int32 uint32 int64 uint64 bool time float string binary (hex digits)\n"
                          "       uuid file (the file's content)\n";

const CommandSyntax MSG_SYNTAX = {
    "msg",
    "dump [--hex] [--version N] [--json] FILE\n"
    "build [--code N] [--id N] [--version N] [--compress] [--hex] [-o FILE] ID:TYPE=VALUE...",
    "describe wire messages of a file, or build one from fields (qvtool msg dump --help, "
    "qvtool msg build --help)",
    nullptr,
    true,
    TYPES_NOTE};

constexpr int HEX_KEY = LONG_OPTION_KEY;
constexpr int VERSION_KEY = LONG_OPTION_KEY + 1;
constexpr int CODE_KEY = LONG_OPTION_KEY + 2;
constexpr int ID_KEY = LONG_OPTION_KEY + 3;
constexpr int COMPRESS_KEY = LONG_OPTION_KEY + 4;

const CommandOption DUMP_OPTIONS[] = {
    {"hex", no_argument, HEX_KEY, nullptr, "the file holds hex text, not binary"},
    {"version", required_argument, VERSION_KEY, "N", "protocol version to read the messages in"},
    JSON_OPTION,
    {nullptr, 0, 0, nullptr, nullptr},
};

const CommandSyntax DUMP_SYNTAX = {
    "msg dump",
    "[--hex] [--version N] [--json] FILE",
    "describe the wire messages of a file",
    DUMP_OPTIONS,
    false,
    "JSON fields: file, version, messages (array of offset, size, code, flags, id (from the header),\n"
    "  valid (false when it does not read as a message of the version), binary, binaryDataSize\n"
    "  (binary messages), fields (array of id, type (INT16, INT32, INT64, FLOAT, STRING, BINARY,\n"
    "  INETADDR or the type's number), value, and for the integer types signedValue; an INT64's\n"
    "  value is a decimal string, a BINARY's value its bytes in hex, an INETADDR's its text or null),\n"
    "  table (when the message carries one: as qvtool table --json prints it)).\n"
    "Exit code 1 when the file cannot be read, ends inside a message, or holds a message that is\n"
    "  not valid.\n"};

const CommandOption BUILD_OPTIONS[] = {
    {"code", required_argument, CODE_KEY, "N", "message code (default 0)"},
    {"id", required_argument, ID_KEY, "N", "request id (default 0)"},
    {"version", required_argument, VERSION_KEY, "N", "protocol version of the message"},
    {"compress", no_argument, COMPRESS_KEY, nullptr, "compress the payload when that is worthwhile"},
    {"hex", no_argument, HEX_KEY, nullptr, "write hex text instead of binary"},
    {"output", required_argument, 'o', "FILE", "write to FILE instead of standard output"},
    {nullptr, 0, 0, nullptr, nullptr},
};

const CommandSyntax BUILD_SYNTAX = {"msg build",
                                    "[--code N] [--id N] [--version N] [--compress] [--hex] [-o FILE] ID:TYPE=VALUE...",
                                    "build a message from fields and write its wire form",
                                    BUILD_OPTIONS,
                                    false,
                                    TYPES_NOTE};

int HexValue(int ch)
{
   if (ch >= '0' && ch <= '9')
      return ch - '0';
   if (ch >= 'a' && ch <= 'f')
      return ch - 'a' + 10;
   if (ch >= 'A' && ch <= 'F')
      return ch - 'A' + 10;
   return -1;
}

/* Hex digits to bytes, white space between them ignored; false on anything else or an
 * odd count of digits. */
bool ParseHex(const char *text, size_t length, Bytes *out)
{
   int high = -1;
   for (size_t i = 0; i < length; i++)
   {
      unsigned char ch = static_cast<unsigned char>(text[i]);
      if (ch == ' ' || ch == '\t' || ch == '\n' || ch == '\r')
         continue;
      int value = HexValue(ch);
      if (value < 0)
         return false;
      if (high < 0)
      {
         high = value;
      }
      else
      {
         out->push_back(static_cast<uint8_t>(high << 4 | value));
         high = -1;
      }
   }
   return high < 0;
}

bool ReadFile(const char *path, Bytes *content)
{
   FILE *f = fopen(path, "rb");
   if (f == nullptr)
      return false;
   uint8_t chunk[4096];
   size_t n;
   while ((n = fread(chunk, 1, sizeof(chunk), f)) > 0)
      content->insert(content->end(), chunk, chunk + n);
   bool ok = !ferror(f);
   fclose(f);
   return ok;
}

/* A whole number in text (base 0: decimal, 0x hex, leading 0 octal) within [min, max]. */
bool ParseNumber(const char *text, long long min, unsigned long long max, unsigned long long *value)
{
   if (*text == 0)
      return false;
   char *end;
   errno = 0;
   if (*text == '-')
   {
      long long v = strtoll(text, &end, 0);
      if (errno != 0 || *end != 0 || v < min)
         return false;
      *value = static_cast<unsigned long long>(v);
      return true;
   }
   unsigned long long v = strtoull(text, &end, 0);
   if (errno != 0 || *end != 0 || v > max)
      return false;
   *value = v;
   return true;
}

/* The integer field types: their names, ranges and setters. */
struct IntegerType
{
   const char *name;
   long long min;
   unsigned long long max;
   void (*set)(QVCPMessage *msg, uint32_t id, unsigned long long value);
};

template <typename T> void SetAs(QVCPMessage *msg, uint32_t id, unsigned long long value)
{
   msg->setField(id, static_cast<T>(value));
}

void SetAsTime(QVCPMessage *msg, uint32_t id, unsigned long long value)
{
   msg->setFieldFromTime(id, static_cast<int64_t>(value));
}

const IntegerType INTEGER_TYPES[] = {
    {"int16", INT16_MIN, INT16_MAX, SetAs<int16_t>}, {"uint16", 0, UINT16_MAX, SetAs<uint16_t>},
    {"int32", INT32_MIN, INT32_MAX, SetAs<int32_t>}, {"uint32", 0, UINT32_MAX, SetAs<uint32_t>},
    {"int64", INT64_MIN, INT64_MAX, SetAs<int64_t>}, {"uint64", 0, UINT64_MAX, SetAs<uint64_t>},
    {"time", INT64_MIN, INT64_MAX, SetAsTime},       {"bool", 0, 1, SetAs<bool>},
};

/* Results of setting a field: set, a value that the type cannot take (wrong usage), a
 * file that cannot be read (a failure). */
enum FieldResult
{
   FIELD_SET,
   FIELD_BAD_VALUE,
   FIELD_FILE_UNREADABLE,
};

/* Sets a field of a type that takes text. */
FieldResult SetTextField(QVCPMessage *msg, uint32_t id, const std::string &type, const char *value)
{
   if (type == "float")
   {
      char *end;
      double d = strtod(value, &end);
      if (*value == 0 || *end != 0)
         return FIELD_BAD_VALUE;
      msg->setField(id, d);
      return FIELD_SET;
   }
   if (type == "binary")
   {
      Bytes bytes;
      if (!ParseHex(value, strlen(value), &bytes))
         return FIELD_BAD_VALUE;
      msg->setField(id, bytes.data(), bytes.size());
      return FIELD_SET;
   }
   wchar_t *text = WideStringFromUTF8String(value);
   FieldResult result = FIELD_SET;
   if (type == "string")
   {
      msg->setField(id, text);
   }
   else if (type == "uuid")
   {
      unsigned char bytes[QV_UUID_LENGTH];
      if (_uuid_parse(text, bytes) == 0)
         msg->setField(id, uuid(bytes));
      else
         result = FIELD_BAD_VALUE;
   }
   else if (!msg->setFieldFromFile(id, text))
   {
      result = FIELD_FILE_UNREADABLE;
   }
   free(text);
   return result;
}

/* Sets the field that one ID:TYPE=VALUE argument describes: 0, or the exit code after a
 * message (2 for a malformed argument, 1 for a file that cannot be read). */
int SetFieldFromArgument(QVCPMessage *msg, const char *argument)
{
   const char *colon = strchr(argument, ':');
   const char *equals = (colon != nullptr) ? strchr(colon, '=') : nullptr;
   unsigned long long id;
   if (equals == nullptr || !ParseNumber(std::string(argument, colon).c_str(), 0, UINT32_MAX, &id))
   {
      fprintf(stderr, "qvtool msg build: \"%s\" is not ID:TYPE=VALUE; write fields as 1:int32=5\n", argument);
      return 2;
   }
   std::string type(colon + 1, equals);
   const char *value = equals + 1;
   uint32_t fieldId = static_cast<uint32_t>(id);
   FieldResult result;
   const IntegerType *integer = nullptr;
   for (const IntegerType &t : INTEGER_TYPES)
      integer = (type == t.name) ? &t : integer;
   if (integer != nullptr)
   {
      unsigned long long n;
      result = ParseNumber(value, integer->min, integer->max, &n) ? FIELD_SET : FIELD_BAD_VALUE;
      if (result == FIELD_SET)
         integer->set(msg, fieldId, n);
   }
   else if (type == "float" || type == "binary" || type == "string" || type == "uuid" || type == "file")
   {
      result = SetTextField(msg, fieldId, type, value);
   }
   else
   {
      fprintf(stderr, "qvtool msg build: unknown field type \"%s\"; see the types in qvtool msg build --help\n",
              type.c_str());
      return 2;
   }
   if (result == FIELD_BAD_VALUE)
   {
      fprintf(stderr, "qvtool msg build: bad %s value \"%s\"; give one that the type can hold\n", type.c_str(), value);
      return 2;
   }
   if (result == FIELD_FILE_UNREADABLE)
   {
      fprintf(stderr, "qvtool msg build: cannot read the file \"%s\" of field %u; check its name and permissions\n",
              value, fieldId);
      return 1;
   }
   return 0;
}

void PrintUtf8(const String &text)
{
   char *utf8 = text.getUTF8String();
   fputs((utf8 != nullptr) ? utf8 : "", stdout);
   free(utf8);
}

/* The value of one field as the getters give it. */
std::string FieldValue(const QVCPMessage &msg, uint32_t id)
{
   char text[VALUE_TEXT_SIZE];
   switch (msg.getFieldType(id))
   {
      case QVCP_FT_INT16:
         snprintf(text, sizeof(text), "INT16    %u (signed %d)", msg.getFieldAsUInt16(id), msg.getFieldAsInt16(id));
         return text;
      case QVCP_FT_INT32:
         snprintf(text, sizeof(text), "INT32    %u (signed %d)", msg.getFieldAsUInt32(id), msg.getFieldAsInt32(id));
         return text;
      case QVCP_FT_INT64:
         snprintf(text, sizeof(text), "INT64    %llu (signed %lld)",
                  static_cast<unsigned long long>(msg.getFieldAsUInt64(id)),
                  static_cast<long long>(msg.getFieldAsInt64(id)));
         return text;
      case QVCP_FT_FLOAT: snprintf(text, sizeof(text), "FLOAT    %.17g", msg.getFieldAsDouble(id)); return text;
      case QVCP_FT_STRING:
      {
         char *utf8 = msg.getFieldAsUtf8String(id);
         std::string value = std::string("STRING   \"") + ((utf8 != nullptr) ? utf8 : "") + "\"";
         free(utf8);
         return value;
      }
      case QVCP_FT_BINARY:
      {
         size_t length;
         const uint8_t *bytes = msg.getBinaryFieldPtr(id, &length);
         snprintf(text, sizeof(text), "BINARY   %zu bytes", length);
         std::string value = text;
         if (length > 0)
            value += ":";
         for (size_t i = 0; i < length && i < SHOWN_BINARY_BYTES; i++)
         {
            snprintf(text, sizeof(text), " %02X", bytes[i]);
            value += text;
         }
         return (length > SHOWN_BINARY_BYTES) ? value + " ..." : value;
      }
      case QVCP_FT_INETADDR:
      {
         uint32_t v4 = msg.getFieldAsUInt32(id);
         return (v4 != 0) ? std::string("INETADDR ") + IpToStrA(v4, text) : std::string("INETADDR");
      }
      default: snprintf(text, sizeof(text), "type %d", msg.getFieldType(id)); return text;
   }
}

/* The value of one field as JSON members of entry: type, value and, for integers,
 * signedValue. */
void FieldJson(const QVCPMessage &msg, uint32_t id, json_t *entry)
{
   char text[VALUE_TEXT_SIZE];
   auto set = [entry](const char *type, json_t *value) {
      json_object_set_new(entry, "type", json_string(type));
      json_object_set_new(entry, "value", value);
   };
   switch (msg.getFieldType(id))
   {
      case QVCP_FT_INT16:
         set("INT16", json_integer(msg.getFieldAsUInt16(id)));
         json_object_set_new(entry, "signedValue", json_integer(msg.getFieldAsInt16(id)));
         break;
      case QVCP_FT_INT32:
         set("INT32", json_integer(msg.getFieldAsUInt32(id)));
         json_object_set_new(entry, "signedValue", json_integer(msg.getFieldAsInt32(id)));
         break;
      case QVCP_FT_INT64:
         // JSON numbers of parsers commonly stop at 2^53 or 2^63: the unsigned value is text.
         snprintf(text, sizeof(text), "%llu", static_cast<unsigned long long>(msg.getFieldAsUInt64(id)));
         set("INT64", json_string(text));
         json_object_set_new(entry, "signedValue", json_integer(static_cast<json_int_t>(msg.getFieldAsInt64(id))));
         break;
      case QVCP_FT_FLOAT: set("FLOAT", json_real(msg.getFieldAsDouble(id))); break;
      case QVCP_FT_STRING:
      {
         char *utf8 = msg.getFieldAsUtf8String(id);
         set("STRING", JsonText(utf8));
         free(utf8);
         break;
      }
      case QVCP_FT_BINARY:
      {
         size_t length;
         const uint8_t *bytes = msg.getBinaryFieldPtr(id, &length);
         std::string hex;
         for (size_t i = 0; i < length; i++)
         {
            snprintf(text, sizeof(text), "%02x", bytes[i]);
            hex += text;
         }
         set("BINARY", json_string(hex.c_str()));
         break;
      }
      case QVCP_FT_INETADDR:
      {
         uint32_t v4 = msg.getFieldAsUInt32(id);
         set("INETADDR", (v4 != 0) ? json_string(IpToStrA(v4, text)) : json_null());
         break;
      }
      default:
         snprintf(text, sizeof(text), "%d", msg.getFieldType(id));
         set(text, json_null());
         break;
   }
}

/* The message of size bytes at raw as JSON (its header fields read from the bytes). */
json_t *MessageJson(const uint8_t *raw, size_t size, size_t offset, int version)
{
   json_t *entry = json_pack(
       "{s:I, s:I, s:i, s:i, s:I}", "offset", static_cast<json_int_t>(offset), "size", static_cast<json_int_t>(size),
       "code", raw[0] << 8 | raw[1], "flags", raw[2] << 8 | raw[3], "id",
       static_cast<json_int_t>(uint32_t(raw[8]) << 24 | uint32_t(raw[9]) << 16 | uint32_t(raw[10]) << 8 | raw[11]));
   QVCPMessage *msg = QVCPMessage::deserialize(reinterpret_cast<const QVCP_MESSAGE *>(raw), size, version);
   json_object_set_new(entry, "valid", json_boolean(msg != nullptr));
   if (msg == nullptr)
      return entry;
   json_object_set_new(entry, "binary", json_boolean(msg->isBinary()));
   if (msg->isBinary())
      json_object_set_new(entry, "binaryDataSize", json_integer(static_cast<json_int_t>(msg->getBinaryDataSize())));
   size_t count = msg->getFieldIds(nullptr, 0);
   std::vector<uint32_t> ids(count);
   msg->getFieldIds(ids.data(), count);
   json_t *fields = json_array();
   for (uint32_t id : ids)
   {
      json_t *field = json_pack("{s:I}", "id", static_cast<json_int_t>(id));
      FieldJson(*msg, id, field);
      json_array_append_new(fields, field);
   }
   json_object_set_new(entry, "fields", fields);
   if (msg->isFieldExist(TABLE_COLUMN_COUNT_FIELD))
   {
      Table *table = new Table(msg);
      json_object_set_new(entry, "table", TableJson(table));
      table->decRefCount();
   }
   delete msg;
   return entry;
}

/* Prints the dump and the fields of the message of size bytes at raw; false when it does
 * not deserialize. */
bool DescribeMessage(const uint8_t *raw, size_t size, int version)
{
   const QVCP_MESSAGE *wire = reinterpret_cast<const QVCP_MESSAGE *>(raw);
   PrintUtf8(QVCPMessage::dump(wire, size, version));
   QVCPMessage *msg = QVCPMessage::deserialize(wire, size, version);
   if (msg == nullptr)
   {
      printf("not a valid message for protocol version %d\n", version);
      return false;
   }
   size_t count = msg->getFieldIds(nullptr, 0);
   std::vector<uint32_t> ids(count);
   msg->getFieldIds(ids.data(), count);
   if (msg->isBinary())
      printf("binary data: %llu bytes\n", static_cast<unsigned long long>(msg->getBinaryDataSize()));
   else
      printf("fields: %zu\n", count);
   for (uint32_t id : ids)
      printf("  [%u] %s\n", id, FieldValue(*msg, id).c_str());
   // A message that carries a table's column count carries a whole table or its first
   // slice: shown as the table it reads back as.
   if (msg->isFieldExist(TABLE_COLUMN_COUNT_FIELD))
   {
      printf("table:\n");
      Table *table = new Table(msg);
      PrintTable(table, stdout);
      table->decRefCount();
   }
   delete msg;
   return true;
}

int Dump(int argc, char **argv)
{
   bool hex = false, json = false;
   unsigned long long version = QVCP_DEFAULT_VERSION;
   CommandLine args(DUMP_SYNTAX, argc, argv);
   while (args.next())
   {
      if (args.key() == HEX_KEY)
         hex = true;
      else if (args.key() == JSON_OPTION_KEY)
         json = true;
      else if (args.key() != VERSION_KEY || !ParseNumber(args.value(), 0, INT32_MAX, &version))
         return args.usage();
   }
   if (args.stopped())
      return args.exitCode();
   if (args.operandCount() != 1)
      return args.usage();
   const char *path = args.operand(0);

   Bytes content;
   if (!ReadFile(path, &content))
   {
      fprintf(stderr, "qvtool msg dump: cannot read \"%s\"; check its name and permissions\n", path);
      return 1;
   }
   if (hex)
   {
      Bytes bytes;
      if (!ParseHex(reinterpret_cast<const char *>(content.data()), content.size(), &bytes))
      {
         fprintf(stderr, "qvtool msg dump: \"%s\" is not hex text; leave out --hex for a binary file\n", path);
         return 1;
      }
      content.swap(bytes);
   }

   bool valid = true, complete = true;
   size_t offset = 0;
   json_t *messages = json_array();
   for (int n = 1; offset < content.size(); n++)
   {
      size_t left = content.size() - offset;
      const uint8_t *p = content.data() + offset;
      uint64_t size = (left >= QVCP_HEADER_SIZE) ? (uint64_t(p[4]) << 24 | p[5] << 16 | p[6] << 8 | p[7]) : 0;
      if (size < QVCP_HEADER_SIZE || size > left || size > MAX_MESSAGE_SIZE)
      {
         complete = false;
         break;
      }
      if (json)
      {
         json_t *entry = MessageJson(p, static_cast<size_t>(size), offset, static_cast<int>(version));
         valid = json_is_true(json_object_get(entry, "valid")) && valid;
         json_array_append_new(messages, entry);
      }
      else
      {
         printf("message %d (%llu bytes at offset %zu):\n", n, static_cast<unsigned long long>(size), offset);
         valid = DescribeMessage(p, static_cast<size_t>(size), static_cast<int>(version)) && valid;
      }
      offset += static_cast<size_t>(size);
   }
   if (json)
   {
      int printed = PrintJson(json_pack("{s:o, s:I, s:o}", "file", JsonText(path), "version",
                                        static_cast<json_int_t>(version), "messages", messages),
                              "msg dump");
      if (printed != 0)
         return printed;
   }
   else
   {
      json_decref(messages);
      fflush(stdout);
   }
   if (!complete)
   {
      fprintf(stderr,
              "qvtool msg dump: incomplete message at offset %zu (%zu bytes left); check that the file holds whole "
              "messages\n",
              offset, content.size() - offset);
      return 1;
   }
   if (!valid)
      fprintf(stderr, "qvtool msg dump: a message is not valid for protocol version %llu; try another --version\n",
              version);
   return valid ? 0 : 1;
}

bool WriteMessage(const uint8_t *bytes, size_t size, const char *path, bool hex)
{
   FILE *out = (path != nullptr) ? fopen(path, "wb") : stdout;
   if (out == nullptr)
      return false;
   bool ok = true;
   if (hex)
   {
      for (size_t i = 0; i < size; i++)
         ok = fprintf(out, (i % HEX_LINE_BYTES == HEX_LINE_BYTES - 1 || i == size - 1) ? "%02X\n" : "%02X", bytes[i]) >
                  0 &&
              ok;
   }
   else
   {
      ok = fwrite(bytes, 1, size, out) == size;
   }
   if (path != nullptr)
      ok = (fclose(out) == 0) && ok;
   return ok;
}

int Build(int argc, char **argv)
{
   unsigned long long code = 0, id = 0, version = QVCP_DEFAULT_VERSION;
   bool compress = false, hex = false;
   const char *output = nullptr;
   CommandLine args(BUILD_SYNTAX, argc, argv);
   while (args.next())
   {
      bool ok = true;
      switch (args.key())
      {
         case CODE_KEY: ok = ParseNumber(args.value(), 0, UINT16_MAX, &code); break;
         case ID_KEY: ok = ParseNumber(args.value(), 0, UINT32_MAX, &id); break;
         case VERSION_KEY: ok = ParseNumber(args.value(), 0, INT32_MAX, &version); break;
         case 'o': output = args.value(); break;
         case COMPRESS_KEY: compress = true; break;
         case HEX_KEY: hex = true; break;
         default: ok = false; break;
      }
      if (!ok)
         return args.usage();
   }
   if (args.stopped())
      return args.exitCode();
   std::vector<const char *> fields(args.operands(), args.operands() + args.operandCount());

   QVCPMessage msg(static_cast<uint16_t>(code), static_cast<uint32_t>(id), static_cast<int>(version));
   for (const char *field : fields)
   {
      int rc = SetFieldFromArgument(&msg, field);
      if (rc == 2)
         return args.usage();
      if (rc != 0)
         return rc;
   }
   QVCP_MESSAGE *wire = msg.serialize(compress);
   if (wire == nullptr)
   {
      fprintf(stderr, "qvtool msg build: the message does not fit the wire format; give fewer or smaller fields\n");
      return 1;
   }
   const uint8_t *bytes = reinterpret_cast<const uint8_t *>(wire);
   size_t size = size_t(bytes[4]) << 24 | bytes[5] << 16 | bytes[6] << 8 | bytes[7];
   bool written = WriteMessage(bytes, size, output, hex);
   free(wire);
   if (!written)
   {
      fprintf(stderr, "qvtool msg build: cannot write \"%s\"; check the place and the free space\n",
              (output != nullptr) ? output : "standard output");
      return 1;
   }
   return 0;
}

}  // namespace

int CommandMsg(int argc, char **argv)
{
   if (argc >= 1 && !strcmp(argv[0], "dump"))
      return Dump(argc - 1, argv + 1);
   if (argc >= 1 && !strcmp(argv[0], "build"))
      return Build(argc - 1, argv + 1);
   CommandLine args(MSG_SYNTAX, argc, argv);
   if (!args.onlyOperands())
      return args.exitCode();
   return args.usage();
}
