/* StringMap lookups of short keys beside std::unordered_map and bare uthash: the same
 * keys, the same lookup order, one run. */
#include <qorvel.h>

#include <benchmark/benchmark.h>

#define HASH_FUNCTION(keyptr, keylen, hashv) HASH_JEN(keyptr, keylen, hashv)
#include <uthash.h>

#include <stdint.h>
#include <stdlib.h>
#include <wchar.h>

#include <algorithm>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

/* Keys in every table, and their lengths in characters. */
constexpr size_t KEY_COUNT = 1000;
constexpr size_t MIN_KEY_LENGTH = 8;
constexpr size_t MAX_KEY_LENGTH = 16;

/* Fixed seed: every run and every table sees the same keys. */
constexpr uint32_t SEED = 20240611;

struct Keys
{
   std::vector<std::wstring> stored;   // as set
   std::vector<std::wstring> exact;    // the stored spelling, in lookup order
   std::vector<std::wstring> swapped;  // the same keys in the other case, in lookup order
};

wchar_t SwapCase(wchar_t ch)
{
   if (ch >= L'a' && ch <= L'z')
      return ch - (L'a' - L'A');
   if (ch >= L'A' && ch <= L'Z')
      return ch + (L'a' - L'A');
   return ch;
}

const Keys &TestKeys()
{
   static const Keys keys = [] {
      static const wchar_t alphabet[] = L"abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789._";
      std::mt19937 random(SEED);
      std::uniform_int_distribution<size_t> length(MIN_KEY_LENGTH, MAX_KEY_LENGTH);
      std::uniform_int_distribution<size_t> letter(0, wcslen(alphabet) - 1);
      Keys k;
      while (k.stored.size() < KEY_COUNT)
      {
         std::wstring key(length(random), L' ');
         for (wchar_t &ch : key)
            ch = alphabet[letter(random)];
         // Unique even without regard to case, so every table holds KEY_COUNT entries.
         bool clash = std::any_of(k.stored.begin(), k.stored.end(), [&](const std::wstring &s) {
            return s.size() == key.size() && qv_wcsicmp(s.c_str(), key.c_str()) == 0;
         });
         if (!clash)
            k.stored.push_back(key);
      }
      std::vector<size_t> order(KEY_COUNT);
      for (size_t i = 0; i < KEY_COUNT; i++)
         order[i] = i;
      std::shuffle(order.begin(), order.end(), random);
      for (size_t i : order)
      {
         k.exact.push_back(k.stored[i]);
         std::wstring swapped = k.stored[i];
         std::transform(swapped.begin(), swapped.end(), swapped.begin(), SwapCase);
         k.swapped.push_back(swapped);
      }
      return k;
   }();
   return keys;
}

/* Looks up every key of lookups once per iteration; find(key) returns the value. */
template <typename Find> void LookUp(benchmark::State &state, const std::vector<std::wstring> &lookups, Find find)
{
   for (auto _ : state)
      for (const std::wstring &key : lookups)
         benchmark::DoNotOptimize(find(key));
   state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * lookups.size()));
}

void FillStringMap(StringMap &map)
{
   for (const std::wstring &key : TestKeys().stored)
      map.set(key.c_str(), L"value");
}

void BM_StringMapIgnoreCase(benchmark::State &state)
{
   StringMap map;
   FillStringMap(map);
   LookUp(state, TestKeys().swapped, [&](const std::wstring &key) { return map.get(key.c_str()); });
}

void BM_StringMapExactCase(benchmark::State &state)
{
   StringMap map;
   map.setIgnoreCase(false);
   FillStringMap(map);
   LookUp(state, TestKeys().exact, [&](const std::wstring &key) { return map.get(key.c_str()); });
}

using WStringMap = std::unordered_map<std::wstring, std::wstring>;

WStringMap FilledUnorderedMap()
{
   WStringMap map;
   for (const std::wstring &key : TestKeys().stored)
      map.emplace(key, L"value");
   return map;
}

/* The peer at its best: the key objects are built before the loop. */
void BM_UnorderedMapExactCase(benchmark::State &state)
{
   WStringMap map = FilledUnorderedMap();
   LookUp(state, TestKeys().exact, [&](const std::wstring &key) { return map.find(key)->second.data(); });
}

/* The peer given a plain text as StringMap is: a key object per lookup. */
void BM_UnorderedMapExactCaseFromText(benchmark::State &state)
{
   WStringMap map = FilledUnorderedMap();
   LookUp(state, TestKeys().exact,
          [&](const std::wstring &key) { return map.find(std::wstring(key.c_str()))->second.data(); });
}

struct BareEntry
{
   UT_hash_handle hh;
   const wchar_t *key;
   const wchar_t *value;
};

/* Bare uthash with the Jenkins hash over the key's characters, looked up exactly. */
void BM_UthashExactCase(benchmark::State &state)
{
   const std::vector<std::wstring> &stored = TestKeys().stored;
   std::vector<BareEntry> entries(stored.size());
   BareEntry *head = nullptr;
   for (size_t i = 0; i < stored.size(); i++)
   {
      entries[i].key = stored[i].c_str();
      entries[i].value = L"value";
      HASH_ADD_KEYPTR(hh, head, entries[i].key, static_cast<unsigned>(stored[i].size() * sizeof(wchar_t)), &entries[i]);
   }
   LookUp(state, TestKeys().exact, [&](const std::wstring &key) {
      const wchar_t *text = key.c_str();
      BareEntry *entry;
      HASH_FIND(hh, head, text, static_cast<unsigned>(wcslen(text) * sizeof(wchar_t)), entry);
      return entry->value;
   });
   HASH_CLEAR(hh, head);
}

/* The hashes alone, over the same keys: uthash's Jenkins hash of the key bytes (4 per
 * character), which the bare uthash table above computes, and the peer's std::hash. */
void BM_HashOnlyJenkins(benchmark::State &state)
{
   LookUp(state, TestKeys().exact, [](const std::wstring &key) {
      unsigned hashv;
      HASH_JEN(key.data(), static_cast<unsigned>(key.size() * sizeof(wchar_t)), hashv);
      return hashv;
   });
}

void BM_HashOnlyStdHash(benchmark::State &state)
{
   std::hash<std::wstring> hash;
   LookUp(state, TestKeys().exact, [&](const std::wstring &key) { return hash(key); });
}

}  // namespace

BENCHMARK(BM_StringMapIgnoreCase);
BENCHMARK(BM_StringMapExactCase);
BENCHMARK(BM_UnorderedMapExactCase);
BENCHMARK(BM_UnorderedMapExactCaseFromText);
BENCHMARK(BM_UthashExactCase);
BENCHMARK(BM_HashOnlyJenkins);
BENCHMARK(BM_HashOnlyStdHash);
