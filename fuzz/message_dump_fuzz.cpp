/* Fuzz target for QVCPMessage::dump, on the input of message_fuzz_input.h. The bounded
 * form must never read past the block; the form that trusts the header is called only
 * when the header's size lies within the block. The text starts and ends as a dump does. */
#include "message_fuzz_input.h"

namespace {

volatile size_t g_sink;

/* The header's size. */
constexpr size_t HEADER_SIZE = 16;

void Check(bool condition)
{
   if (!condition)
      abort();
}

void CheckLines(const String &text)
{
   Check(text.length() > 0 && wcsncmp(text, L"  ** ", 5) == 0 && text.charAt(text.length() - 1) == L'\n');
   g_sink = text.length();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
   if (size < 1)
      return 0;
   MessageFuzzInput input(data, size);
   CheckLines(QVCPMessage::dump(input.message(), input.length, input.version));
   if (input.length >= HEADER_SIZE && MessageFuzzInput::DeclaredSize(input.raw) <= input.length)
      CheckLines(QVCPMessage::dump(input.message(), input.version));
   return 0;
}
