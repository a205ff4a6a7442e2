/* The progress line of qvtool's long jobs. */
#include "progress.h"

#include <stdio.h>
#include <unistd.h>

namespace {

/* Least time between two redraws: at most 10 a second. */
constexpr std::chrono::milliseconds REDRAW_INTERVAL{100};

constexpr double KIB = 1024.0;
constexpr int64_t SECONDS_PER_MINUTE = 60;
constexpr int64_t SECONDS_PER_HOUR = 3600;

/* Carriage return, then erase to the end of the line. */
constexpr const char *CLEAR_LINE = "\r\033[K";

/* "0:04", "12:30", "2:05:00". */
std::string FormatDuration(double seconds)
{
   int64_t s = static_cast<int64_t>(seconds + 0.5);
   char text[32];
   if (s >= SECONDS_PER_HOUR)
      snprintf(text, sizeof(text), "%lld:%02lld:%02lld", static_cast<long long>(s / SECONDS_PER_HOUR),
               static_cast<long long>(s % SECONDS_PER_HOUR / SECONDS_PER_MINUTE),
               static_cast<long long>(s % SECONDS_PER_MINUTE));
   else
      snprintf(text, sizeof(text), "%lld:%02lld", static_cast<long long>(s / SECONDS_PER_MINUTE),
               static_cast<long long>(s % SECONDS_PER_MINUTE));
   return text;
}

}  // namespace

ProgressLine::ProgressLine(const char *command, int64_t total, const char *unit)
    : m_command(command), m_unit((unit != nullptr) ? unit : ""), m_total(total), m_terminal(isatty(STDERR_FILENO) != 0),
      m_start(Clock::now()), m_lastDraw(m_start)
{}

ProgressLine::~ProgressLine()
{
   clear();
}

double ProgressLine::elapsedSeconds() const
{
   return std::chrono::duration<double>(Clock::now() - m_start).count();
}

std::string ProgressLine::FormatBytes(int64_t bytes)
{
   static const char *const UNITS[] = {"KiB", "MiB", "GiB", "TiB"};
   char text[32];
   if (bytes < 1024)
   {
      snprintf(text, sizeof(text), "%lld B", static_cast<long long>(bytes));
      return text;
   }
   double value = static_cast<double>(bytes) / KIB;
   size_t unit = 0;
   while (value >= KIB && unit + 1 < sizeof(UNITS) / sizeof(UNITS[0]))
   {
      value /= KIB;
      unit++;
   }
   snprintf(text, sizeof(text), "%.1f %s", value, UNITS[unit]);
   return text;
}

std::string ProgressLine::amount(int64_t value) const
{
   return m_unit.empty() ? FormatBytes(value) : std::to_string(value);
}

std::string ProgressLine::text(int64_t done, double ratePerSecond) const
{
   std::string line = "qvtool " + m_command + ": ";
   char piece[64];
   if (m_total > 0)
   {
      int64_t shown = (done < m_total) ? done : m_total;
      snprintf(piece, sizeof(piece), "%3d%% ", static_cast<int>(shown * 100 / m_total));
      line += piece + amount(done) + " of " + amount(m_total);
   }
   else
   {
      line += amount(done);
   }
   if (!m_unit.empty())
      line += " " + m_unit;
   if (ratePerSecond >= 0)
   {
      if (m_unit.empty())
         line += ", " + FormatBytes(static_cast<int64_t>(ratePerSecond)) + "/s";
      else
      {
         snprintf(piece, sizeof(piece), ", %.0f %s/s", ratePerSecond, m_unit.c_str());
         line += piece;
      }
      if (m_total > 0 && done < m_total && ratePerSecond > 0)
         line += ", " + FormatDuration(static_cast<double>(m_total - done) / ratePerSecond) + " left";
   }
   return line;
}

void ProgressLine::update(int64_t done)
{
   if (!m_terminal)
      return;
   bool complete = m_total >= 0 && done >= m_total;
   Clock::time_point now = Clock::now();
   if (m_drawn && now - m_lastDraw < REDRAW_INTERVAL && !(complete && !m_drewComplete))
      return;
   draw(done, now);
   m_drewComplete = m_drewComplete || complete;
}

void ProgressLine::draw(int64_t done, Clock::time_point now)
{
   m_samples[m_nextSample] = Sample{now, done};
   m_nextSample = (m_nextSample + 1) % RATE_SAMPLES;
   if (m_sampleCount < RATE_SAMPLES)
      m_sampleCount++;
   // The rate over the draws kept; before there are two apart in time, over the whole run.
   const Sample &oldest = m_samples[(m_sampleCount < RATE_SAMPLES) ? 0 : m_nextSample];
   double seconds = std::chrono::duration<double>(now - oldest.when).count();
   int64_t moved = done - oldest.done;
   if (m_sampleCount < 2 || seconds <= 0)
   {
      seconds = std::chrono::duration<double>(now - m_start).count();
      moved = done;
   }
   double rate = (seconds > 0) ? static_cast<double>(moved) / seconds : -1;
   fprintf(stderr, "%s%s", CLEAR_LINE, text(done, rate).c_str());
   fflush(stderr);
   m_drawn = true;
   m_lastDraw = now;
}

void ProgressLine::clear()
{
   if (!m_drawn)
      return;
   fputs(CLEAR_LINE, stderr);
   fflush(stderr);
   m_drawn = false;
}

void ProgressLine::finish(const char *summary)
{
   clear();
   fprintf(stderr, "%s\n", summary);
   fflush(stderr);
}

void ProgressLine::fail()
{
   clear();
}
