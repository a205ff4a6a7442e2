/* One progress line on standard error for qvtool's long jobs: the share of the work done,
 * the amount done and in all, the current rate and the time left. */
#ifndef QVTOOL_PROGRESS_H
#define QVTOOL_PROGRESS_H

#include <stdint.h>

#include <chrono>
#include <string>

/* Draws "qvtool COMMAND:  42% 81.0 MiB of 193.0 MiB, 27.6 MiB/s, 0:04 left" on standard
 * error while a job runs, redrawn in place at most 10 times a second, and only when
 * standard error is a terminal. finish() clears the line and prints the summary instead
 * (terminal or not), so redirected output holds the summary alone. The line that shows the
 * whole work done is always drawn once, however soon after the previous one it comes.
 * Amounts are bytes, or units of the name given (tasks, files). One thread uses an object. */
class ProgressLine
{
public:
   /* total in bytes or units; -1 when unknown (no percentage or time left then). unit null:
    * bytes, shown in B, KiB, MiB and GiB. */
   ProgressLine(const char *command, int64_t total, const char *unit = nullptr);
   /* Clears a line still drawn, as fail() does. */
   ~ProgressLine();
   ProgressLine(const ProgressLine &) = delete;
   ProgressLine &operator=(const ProgressLine &) = delete;

   /* The total once it is known (a receiver learns it from the announcement). */
   void setTotal(int64_t total) { m_total = total; }
   /* The amount done so far: cheap when no redraw is due. */
   void update(int64_t done);
   /* Clears the line and prints the summary and a newline on standard error. */
   void finish(const char *summary);
   /* Clears the line and prints nothing: the caller reports the failure. */
   void fail();

   /* Time since the object was made, in seconds, for the summary. */
   double elapsedSeconds() const;
   /* "193.0 MiB", "512 B": an amount of bytes as the line shows it. */
   static std::string FormatBytes(int64_t bytes);
   /* The text of the line for these figures (rate below 0: not known yet), without the
    * leading carriage return. */
   std::string text(int64_t done, double ratePerSecond) const;

private:
   using Clock = std::chrono::steady_clock;
   /* Draws kept for the current rate: about three seconds of them. */
   static constexpr int RATE_SAMPLES = 30;

   std::string m_command;
   std::string m_unit;
   int64_t m_total;
   bool m_terminal;
   bool m_drawn = false;         // a line is on the terminal
   bool m_drewComplete = false;  // the line of the whole work has been drawn
   Clock::time_point m_start;
   Clock::time_point m_lastDraw;
   struct Sample
   {
      Clock::time_point when;
      int64_t done;
   };
   Sample m_samples[RATE_SAMPLES];
   int m_sampleCount = 0;
   int m_nextSample = 0;

   void draw(int64_t done, Clock::time_point now);
   void clear();
   std::string amount(int64_t value) const;
};

#endif
