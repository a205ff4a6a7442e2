/* qvtool diff: the lines removed from the first file ("-", red on a terminal) and added in
 * the second ("+", green), as the library's line diff finds them. Like diff, it exits with
 * 0 when the files have the same lines, 1 when they differ and 2 on trouble. */
#include "qvtool.h"

#include "json_output.h"

#include <limits.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>

namespace {

const CommandOption OPTIONS[] = {
    JSON_OPTION,
    {nullptr, 0, 0, nullptr, nullptr},
};

const CommandSyntax SYNTAX = {"diff",
                              "FILE1 FILE2 [--json]",
                              "print the lines removed from FILE1 (red) and added in FILE2 (green); lines that differ "
                              "only in case count as the same, blank lines are not shown",
                              OPTIONS,
                              false,
                              "JSON fields: file1, file2, same (true when no line differs), changes (array of\n"
                              "  change (removed, added) and line, in the order of the text output).\n"
                              "Exit code as diff's: 0 the same lines, 1 lines differ, 2 wrong usage or a file that\n"
                              "  cannot be read.\n"};

constexpr int SAME = 0;
constexpr int DIFFERENT = 1;
constexpr int TROUBLE = 2;

const wchar_t REMOVED_COLOUR[] = L"\x1b[31m";
const wchar_t ADDED_COLOUR[] = L"\x1b[32m";
const wchar_t NORMAL_COLOUR[] = L"\x1b[0m";

/* Control characters are shown as ^X (DEL as ^?), so that the files' bytes can neither
 * act on the terminal nor be taken for colour sequences. */
constexpr wchar_t FIRST_PRINTABLE = 0x20;
constexpr wchar_t DELETE_CHARACTER = 0x7F;
constexpr wchar_t CARET_OFFSET = 0x40;

/* The file's text (multibyte in the default code page) in *text; false after printing
 * why when it cannot be read. */
bool ReadText(const char *path, String *text)
{
   FILE *f = fopen(path, "rb");
   if (f == nullptr)
   {
      fprintf(stderr, "qvtool diff: %s: cannot open the file; check its name and permissions\n", path);
      return false;
   }
   std::string bytes;
   char chunk[65536];
   size_t n;
   while ((n = fread(chunk, 1, sizeof(chunk), f)) > 0)
      bytes.append(chunk, n);
   bool ok = !ferror(f);
   fclose(f);
   if (!ok || bytes.size() >= INT_MAX)
   {
      fprintf(stderr, "qvtool diff: %s: cannot read the file; check that it is a readable file below 2 GiB\n", path);
      return false;
   }
   if (bytes.empty())
      return true;
   // Each byte gives at most one character.
   std::wstring wide(bytes.size(), L'\0');
   int count = mb_to_wchar(bytes.data(), static_cast<int>(bytes.size()), &wide[0], static_cast<int>(wide.size()));
   text->setAllocationStep(static_cast<size_t>(count) + 1);
   text->append(wide.data(), static_cast<size_t>(count));
   return true;
}

void AppendShown(String &out, const wchar_t *line, size_t length)
{
   for (size_t i = 0; i < length; i++)
   {
      wchar_t ch = line[i];
      if ((ch < FIRST_PRINTABLE && ch != L'\t') || ch == DELETE_CHARACTER)
      {
         out.append(L'^');
         out.append(static_cast<wchar_t>(ch == DELETE_CHARACTER ? L'?' : ch + CARET_OFFSET));
      }
      else
      {
         out.append(ch);
      }
   }
}

}  // namespace

/* Calls f(removed, line, length) for each line of the library's diff text: "-line" or
 * "+line", each ended by a line feed; line and length without the sign. */
template <typename F> void ForEachChange(const String &diff, F f)
{
   const wchar_t *text = diff.getBuffer();
   size_t start = 0;
   while (start < diff.length())
   {
      size_t end = start;
      while (text[end] != L'\n')
         end++;
      f(text[start] == L'-', text + start + 1, end - start - 1);
      start = end + 1;
   }
}

/* The changes as JSON. */
json_t *DiffJson(const char *file1, const char *file2, const String &diff)
{
   json_t *changes = json_array();
   ForEachChange(diff, [changes](bool removed, const wchar_t *line, size_t length) {
      json_array_append_new(changes, json_pack("{s:s, s:o}", "change", removed ? "removed" : "added", "line",
                                               JsonString(std::wstring(line, length).c_str())));
   });
   return json_pack("{s:o, s:o, s:b, s:o}", "file1", JsonText(file1), "file2", JsonText(file2), "same", diff.isEmpty(),
                    "changes", changes);
}

int CommandDiff(int argc, char **argv)
{
   bool json = false;
   CommandLine args(SYNTAX, argc, argv);
   if (!args.onlyFlag(JSON_OPTION_KEY, &json))
      return args.exitCode();
   if (args.operandCount() != 2)
      return args.usage();
   String left, right;
   if (!ReadText(args.operand(0), &left) || !ReadText(args.operand(1), &right))
      return TROUBLE;

   String diff = GenerateLineDiff(left, right);
   if (json)
   {
      int printed = PrintJson(DiffJson(args.operand(0), args.operand(1), diff), "diff");
      return (printed != 0) ? TROUBLE : (diff.isEmpty() ? SAME : DIFFERENT);
   }
   if (diff.isEmpty())
      return SAME;
   String out;
   out.setAllocationStep(diff.length() * 2);
   ForEachChange(diff, [&out](bool removed, const wchar_t *line, size_t length) {
      out.append(removed ? REMOVED_COLOUR : ADDED_COLOUR);
      out.append(removed ? L'-' : L'+');
      AppendShown(out, line, length);
      out.append(NORMAL_COLOUR);
      out.append(L'\n');
   });
   WriteToTerminal(out);
   return DIFFERENT;
}
