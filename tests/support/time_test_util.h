/* Broken-down times for the date and time tests. */
#ifndef QORVEL_TESTS_SUPPORT_TIME_TEST_UTIL_H
#define QORVEL_TESTS_SUPPORT_TIME_TEST_UTIL_H

#include <time.h>

/* The broken-down time of the calendar date and time of day (month 1-12), as given: no
 * field is normalised and the weekday and day of the year are left 0. */
inline struct tm CalendarTime(int year, int month, int day, int hour = 0, int minute = 0, int second = 0)
{
   struct tm t = {};
   t.tm_year = year - 1900;
   t.tm_mon = month - 1;
   t.tm_mday = day;
   t.tm_hour = hour;
   t.tm_min = minute;
   t.tm_sec = second;
   return t;
}

#endif
