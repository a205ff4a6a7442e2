/* Configuration loading and lookups beside POCO's IniFileConfiguration, XMLConfiguration
 * and getString: an INI file of 10 000 keys in 500 sections, the same tree as XML, and
 * 1 000 000 path lookups of existing keys. Both sides read the same files. */
#include <benchmark/benchmark.h>

#include <qorvel.h>

#include <Poco/AutoPtr.h>
#include <Poco/SAX/InputSource.h>
#include <Poco/Util/IniFileConfiguration.h>
#include <Poco/Util/XMLConfiguration.h>

#include <stdio.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

namespace {

constexpr int SECTIONS = 500;
constexpr int KEYS_PER_SECTION = 20;
constexpr int LOOKUPS = 1000000;

/* POCO's default XML name pool holds 509 names; the tree has 520 distinct ones. */
constexpr unsigned long POCO_NAME_POOL = 2039;

struct Files
{
   std::string ini;
   std::string xml;
   std::vector<std::wstring> paths;  // ours: "/sectionN/keyM"
   std::vector<std::string> keys;    // POCO: "sectionN.keyM"

   Files()
   {
      std::string base = "/tmp/qv_config_bench_" + std::to_string(getpid());
      ini = base + ".ini";
      xml = base + ".xml";
      std::string iniText, xmlText = "<config>\n";
      for (int s = 0; s < SECTIONS; s++)
      {
         std::string section = "section" + std::to_string(s);
         iniText += "[" + section + "]\n";
         xmlText += "  <" + section + ">\n";
         for (int k = 0; k < KEYS_PER_SECTION; k++)
         {
            std::string key = "key" + std::to_string(k);
            std::string value = "value of " + section + " " + key;
            iniText += key + " = " + value + "\n";
            xmlText += "    <" + key + ">" + value + "</" + key + ">\n";
         }
         xmlText += "  </" + section + ">\n";
      }
      xmlText += "</config>\n";
      std::ofstream(ini) << iniText;
      std::ofstream(xml) << xmlText;

      // Lookups in a scattered but fixed order.
      unsigned state = 12345;
      for (int i = 0; i < 4096; i++)
      {
         state = state * 1103515245u + 12345u;
         int s = static_cast<int>((state >> 8) % SECTIONS);
         int k = static_cast<int>((state >> 20) % KEYS_PER_SECTION);
         std::string section = "section" + std::to_string(s), key = "key" + std::to_string(k);
         keys.push_back(section + "." + key);
         std::string path = "/" + section + "/" + key;
         paths.push_back(std::wstring(path.begin(), path.end()));
      }
   }
   ~Files()
   {
      unlink(ini.c_str());
      unlink(xml.c_str());
   }
};

const Files &TestFiles()
{
   static Files files;
   return files;
}

std::wstring Wide(const std::string &s)
{
   return std::wstring(s.begin(), s.end());
}

void BM_IniLoad_Qorvel(benchmark::State &state)
{
   std::wstring file = Wide(TestFiles().ini);
   for (auto _ : state)
   {
      Config config;
      if (!config.loadIniConfig(file.c_str(), L"main", false))
         state.SkipWithError("load failed");
      benchmark::DoNotOptimize(config.getEntry(L"/section499/key19"));
   }
}
BENCHMARK(BM_IniLoad_Qorvel)->Unit(benchmark::kMillisecond);

void BM_IniLoad_Poco(benchmark::State &state)
{
   for (auto _ : state)
   {
      Poco::AutoPtr<Poco::Util::IniFileConfiguration> config(new Poco::Util::IniFileConfiguration(TestFiles().ini));
      benchmark::DoNotOptimize(config->hasProperty("section499.key19"));
   }
}
BENCHMARK(BM_IniLoad_Poco)->Unit(benchmark::kMillisecond);

void BM_XmlLoad_Qorvel(benchmark::State &state)
{
   std::wstring file = Wide(TestFiles().xml);
   for (auto _ : state)
   {
      Config config;
      if (!config.loadXmlConfig(file.c_str()))
         state.SkipWithError("load failed");
      benchmark::DoNotOptimize(config.getEntry(L"/section499/key19"));
   }
}
BENCHMARK(BM_XmlLoad_Qorvel)->Unit(benchmark::kMillisecond);

void BM_XmlLoad_Poco(benchmark::State &state)
{
   for (auto _ : state)
   {
      Poco::AutoPtr<Poco::Util::XMLConfiguration> config(new Poco::Util::XMLConfiguration());
      Poco::XML::InputSource source(TestFiles().xml);
      config->load(&source, POCO_NAME_POOL);
      benchmark::DoNotOptimize(config->hasProperty("section499.key19"));
   }
}
BENCHMARK(BM_XmlLoad_Poco)->Unit(benchmark::kMillisecond);

void BM_Lookups_Qorvel(benchmark::State &state)
{
   Config config;
   config.loadIniConfig(Wide(TestFiles().ini).c_str(), L"main", false);
   const std::vector<std::wstring> &paths = TestFiles().paths;
   for (auto _ : state)
   {
      for (int i = 0; i < LOOKUPS; i++)
      {
         const wchar_t *value = config.getValue(paths[static_cast<size_t>(i) & 4095].c_str());
         benchmark::DoNotOptimize(value);
      }
   }
   state.SetItemsProcessed(state.iterations() * LOOKUPS);
}
BENCHMARK(BM_Lookups_Qorvel)->Unit(benchmark::kMillisecond);

void BM_Lookups_Poco(benchmark::State &state)
{
   Poco::AutoPtr<Poco::Util::IniFileConfiguration> config(new Poco::Util::IniFileConfiguration(TestFiles().ini));
   const std::vector<std::string> &keys = TestFiles().keys;
   for (auto _ : state)
   {
      for (int i = 0; i < LOOKUPS; i++)
      {
         std::string value = config->getString(keys[static_cast<size_t>(i) & 4095]);
         benchmark::DoNotOptimize(value);
      }
   }
   state.SetItemsProcessed(state.iterations() * LOOKUPS);
}
BENCHMARK(BM_Lookups_Poco)->Unit(benchmark::kMillisecond);

}  // namespace
