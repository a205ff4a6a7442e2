/* Shared by the configuration fuzz targets: the input as a file the loaders can read, and
 * a walk that checks every entry is found again under its own path. */
#ifndef QORVEL_FUZZ_CONFIG_FUZZ_INPUT_H
#define QORVEL_FUZZ_CONFIG_FUZZ_INPUT_H

#include <qorvel.h>

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

namespace qvfuzz {

inline void Check(bool condition)
{
   if (!condition)
      abort();
}

/* Writes the bytes to a file of this process and returns its wide name. */
inline std::wstring InputFile(const uint8_t *data, size_t size, const char *suffix)
{
   std::string name = "/tmp/qv_config_fuzz_" + std::to_string(getpid()) + suffix;
   FILE *f = fopen(name.c_str(), "wb");
   Check(f != nullptr);
   if (size > 0)
      Check(fwrite(data, 1, size, f) == size);
   fclose(f);
   return std::wstring(name.begin(), name.end());
}

inline void RemoveInputFile(const std::wstring &name)
{
   unlink(std::string(name.begin(), name.end()).c_str());
}

/* Every entry whose name can be written in a path (no "/", no leading "%") is found again
 * by that path, unless an earlier sibling has the same name. Returns the entries seen. */
inline size_t CheckPaths(const Config &config, const ConfigEntry *entry, const std::wstring &path)
{
   size_t count = 1;
   ObjectArray<ConfigEntry> *children = entry->getSubEntries(nullptr);
   for (int i = 0; i < children->size(); i++)
   {
      ConfigEntry *c = children->get(i);
      std::wstring name = c->getName();
      // "/" alone names the root, so a top-level entry with an empty name has no path.
      if (name.find(L'/') != std::wstring::npos || (!name.empty() && name[0] == L'%') || (name.empty() && path.empty()))
         continue;
      std::wstring childPath = path + L"/" + name;
      Check(entry->findEntry(name.c_str()) != nullptr);
      if (entry->findEntry(name.c_str()) != c)
         continue;
      Check(config.getEntry(childPath.c_str()) == c);
      count += CheckPaths(config, c, childPath);
   }
   delete children;
   return count;
}

}  // namespace qvfuzz

#endif
