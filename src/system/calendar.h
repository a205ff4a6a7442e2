/* The Gregorian calendar shared by the date and time functions: units, month lengths,
 * leap years and day counts. */
#ifndef QORVEL_SYSTEM_CALENDAR_H
#define QORVEL_SYSTEM_CALENDAR_H

#include <stdint.h>

namespace qv {
namespace system {

constexpr int64_t SECONDS_PER_MINUTE = 60;
constexpr int64_t MINUTES_PER_HOUR = 60;
constexpr int64_t HOURS_PER_DAY = 24;
constexpr int64_t SECONDS_PER_HOUR = SECONDS_PER_MINUTE * MINUTES_PER_HOUR;
constexpr int64_t SECONDS_PER_DAY = SECONDS_PER_HOUR * HOURS_PER_DAY;
constexpr int DAYS_PER_WEEK = 7;

/* Broken-down times count years from 1900 and months 0-11. */
constexpr int TM_YEAR_BASE = 1900;
constexpr int MONTHS = 12;
constexpr int FEBRUARY = 1;
constexpr int MARCH = 2;

/* Days before each month (0-11) in a common year. */
constexpr int DAYS_BEFORE_MONTH[MONTHS] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};

inline bool IsLeapYear(int64_t year)
{
   return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
}

/* Days in month 0-11 of the year. */
inline int DaysInMonth(int64_t year, int month)
{
   int next = (month + 1 < MONTHS) ? DAYS_BEFORE_MONTH[month + 1] : 365;
   return next - DAYS_BEFORE_MONTH[month] + ((month == FEBRUARY && IsLeapYear(year)) ? 1 : 0);
}

/* Day of the year (0-365) of day (1-31) of month 0-11. */
inline int DayOfYear(int64_t year, int month, int day)
{
   return DAYS_BEFORE_MONTH[month] + day - 1 + ((month >= MARCH && IsLeapYear(year)) ? 1 : 0);
}

/* Days from 1970-01-01 to day (any number, counted from 1) of month 0-11 of the year, in
 * the proleptic Gregorian calendar; negative before 1970. */
inline int64_t DaysFromEpoch(int64_t year, int month, int64_t day)
{
   // Years counted from March put the leap day last; eras of 400 years repeat exactly.
   constexpr int64_t YEARS_PER_ERA = 400;
   constexpr int64_t DAYS_PER_ERA = 146097;
   constexpr int64_t ERA_START_TO_EPOCH = 719468;  // 0000-03-01 to 1970-01-01
   int64_t y = year - ((month < MARCH) ? 1 : 0);
   int64_t era = ((y >= 0) ? y : y - (YEARS_PER_ERA - 1)) / YEARS_PER_ERA;
   int64_t yearOfEra = y - era * YEARS_PER_ERA;
   int64_t monthFromMarch = (month + MONTHS - MARCH) % MONTHS;
   // Month lengths from March run 31 30 31 30 31 31 30 31 30 31 31 (28/29): 153 days a
   // five-month cycle.
   int64_t dayOfYear = (153 * monthFromMarch + 2) / 5 + day - 1;
   int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
   return era * DAYS_PER_ERA + dayOfEra - ERA_START_TO_EPOCH;
}

}  // namespace system
}  // namespace qv

#endif
