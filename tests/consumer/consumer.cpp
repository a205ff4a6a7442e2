/* A minimal host program: includes the umbrella header and calls into the library. */
#include <qorvel.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int main()
{
   wchar_t *text = qv_aswprintf(L"%s %hs %d", L"installed", "library", 42);
   bool ok = (text != nullptr) && wcscmp(text, L"installed library 42") == 0 && GetCurrentTimeMs() > 0;
   free(text);
   printf("consumer: %s\n", ok ? "ok" : "FAILED");
   return ok ? 0 : 1;
}
