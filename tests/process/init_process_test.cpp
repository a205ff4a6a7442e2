/* Process set-up: numbers formatted with a point whatever locale the host chose. */
#include <qorvel.h>

#include <gtest/gtest.h>

#include <locale.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace {

/* A locale whose numbers use a comma, built in a temporary directory (only its numeric
 * part, which takes a fraction of a second). */
class CommaLocale
{
   std::string m_dir;

public:
   static constexpr const char *NAME = "qv_COMMA";

   CommaLocale()
   {
      char pattern[] = "/tmp/qvlocaleXXXXXX";
      if (mkdtemp(pattern) == nullptr)
         return;
      m_dir = pattern;
      std::ofstream(m_dir + "/source") << "LC_NUMERIC\ndecimal_point \",\"\nthousands_sep \".\"\ngrouping 3;3\n"
                                          "END LC_NUMERIC\n";
      std::string command =
          "localedef -c -i " + m_dir + "/source -f ANSI_X3.4-1968 " + m_dir + "/" + NAME + " >/dev/null 2>&1";
      if (system(command.c_str()) != -1)
         setenv("LOCPATH", m_dir.c_str(), 1);
   }
   ~CommaLocale()
   {
      unsetenv("LOCPATH");
      std::error_code ignored;
      std::filesystem::remove_all(m_dir, ignored);
   }
};

std::string Formatted(double value)
{
   char text[32];
   snprintf(text, sizeof(text), "%.1f", value);
   return text;
}

}  // namespace

TEST(InitQorvelProcess, NumbersAreFormattedWithAPoint)
{
   CommaLocale locale;
   if (setlocale(LC_NUMERIC, CommaLocale::NAME) == nullptr)
      GTEST_SKIP() << "no locale with a decimal comma could be made (localedef)";
   EXPECT_EQ("1,5", Formatted(1.5));
   InitQorvelProcess();
   EXPECT_EQ("1.5", Formatted(1.5));
   EXPECT_STREQ("C", setlocale(LC_NUMERIC, nullptr));
   InitQorvelProcess();  // a second call changes nothing
   EXPECT_EQ("1.5", Formatted(1.5));
}
