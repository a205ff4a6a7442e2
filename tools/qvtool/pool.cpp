/* qvtool pool-stress: runs a thread pool under load and prints its statistics once a
 * second, so that one can watch it grow while requests wait and shrink once it is idle. */
#include "qvtool.h"

#include "progress.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

/* Defaults of the options. */
constexpr long DEFAULT_WORKERS = 8;
constexpr long DEFAULT_TASKS = 20000;
constexpr long DEFAULT_TASK_MS = 1;

/* Largest value accepted for any option. */
constexpr long MAX_OPTION_VALUE = 100000000;

/* Interval of the statistics lines. */
constexpr std::chrono::seconds REPORT_INTERVAL{1};
/* Interval of the progress line's updates. */
constexpr std::chrono::milliseconds PROGRESS_INTERVAL{100};

/* Workers the pool keeps however idle it is. */
constexpr int32_t MIN_WORKERS = 1;

struct Stress
{
   long tasks;
   std::chrono::milliseconds taskTime;
   std::atomic<long> done{0};
   std::mutex mutex;
   std::condition_variable finished;
};

void Task(void *arg)
{
   Stress *stress = static_cast<Stress *>(arg);
   if (stress->taskTime.count() > 0)
      std::this_thread::sleep_for(stress->taskTime);
   if (stress->done.fetch_add(1) + 1 == stress->tasks)
   {
      std::lock_guard<std::mutex> guard(stress->mutex);
      stress->finished.notify_all();
   }
}

void PrintInfo(ThreadPool *pool, long seconds, const Stress &stress)
{
   ThreadPoolInfo info;
   ThreadPoolGetInfo(pool, &info);
   printf("pool-stress: t=%lds workers=%d (min %d, max %d) active=%d done=%ld/%ld load=%.2f %.2f %.2f wait=%u ms "
          "started=%llu stopped=%llu\n",
          seconds, info.currentThreads, info.minimumThreads, info.maximumThreads, info.activeRequestCount,
          stress.done.load(), stress.tasks, info.loadAverageValues[0], info.loadAverageValues[1],
          info.loadAverageValues[2], info.averageWaitTimeMs, static_cast<unsigned long long>(info.threadStartCount),
          static_cast<unsigned long long>(info.threadStopCount));
   fflush(stdout);
}

constexpr int WORKERS_KEY = LONG_OPTION_KEY;
constexpr int TASKS_KEY = LONG_OPTION_KEY + 1;
constexpr int SERIALIZED_KEY = LONG_OPTION_KEY + 2;
constexpr int TASK_MS_KEY = LONG_OPTION_KEY + 3;
constexpr int TIME_SCALE_KEY = LONG_OPTION_KEY + 4;

const CommandOption OPTIONS[] = {
    {"workers", required_argument, WORKERS_KEY, "N", "most workers of the pool (default 8; it starts with 1)"},
    {"tasks", required_argument, TASKS_KEY, "N", "tasks submitted at the start (default 20000)"},
    {"serialized", required_argument, SERIALIZED_KEY, "K", "submit the tasks serialized over K keys"},
    {"task-ms", required_argument, TASK_MS_KEY, "N", "milliseconds each task takes (default 1)"},
    {"time-scale", required_argument, TIME_SCALE_KEY, "N", "divide the pool's tick and idle time-outs by N (1 to 100)"},
    {nullptr, 0, 0, nullptr, nullptr},
};

const CommandSyntax SYNTAX = {"pool-stress",
                              "[--workers N] [--tasks N] [--serialized KEYS] [--task-ms N] [--time-scale N]",
                              "run a thread pool under load and watch it resize",
                              OPTIONS,
                              false,
                              nullptr};

static_assert(DEFAULT_WORKERS == 8 && DEFAULT_TASKS == 20000 && DEFAULT_TASK_MS == 1 && MIN_WORKERS == 1,
              "the help above tells the defaults");

/* The option's value in [minimum, MAX_OPTION_VALUE], or -1. */
long OptionValue(const char *text, long minimum)
{
   char *end = nullptr;
   long value = (text != nullptr) ? strtol(text, &end, 10) : -1;
   if (text == nullptr || *text == 0 || *end != 0 || value < minimum || value > MAX_OPTION_VALUE)
      return -1;
   return value;
}

}  // namespace

int CommandPoolStress(int argc, char **argv)
{
   long workers = DEFAULT_WORKERS, tasks = DEFAULT_TASKS, keys = 0, taskMs = DEFAULT_TASK_MS, scale = 1;
   CommandLine args(SYNTAX, argc, argv);
   while (args.next())
   {
      long *value;
      long minimum = 1;
      switch (args.key())
      {
         case WORKERS_KEY: value = &workers; break;
         case TASKS_KEY: value = &tasks; break;
         case SERIALIZED_KEY: value = &keys; break;
         case TASK_MS_KEY:
            value = &taskMs;
            minimum = 0;
            break;
         case TIME_SCALE_KEY: value = &scale; break;
         default: return args.usage();
      }
      *value = OptionValue(args.value(), minimum);
      if (*value < 0)
         return args.fail("%s needs a number from %ld to %ld", args.optionText(), minimum, MAX_OPTION_VALUE);
   }
   if (args.stopped())
      return args.exitCode();
   if (args.operandCount() != 0)
      return args.usage();

   ThreadPoolSetTimeScale(static_cast<int32_t>(scale));
   ThreadPool *pool = ThreadPoolCreate(L"pool-stress", MIN_WORKERS, static_cast<int32_t>(workers), 0);
   if (pool == nullptr)
   {
      fprintf(stderr, "qvtool pool-stress: cannot create the pool; try fewer --workers\n");
      return 1;
   }
   Stress stress;
   stress.tasks = tasks;
   stress.taskTime = std::chrono::milliseconds(taskMs);
   std::vector<std::wstring> keyNames;
   for (long k = 0; k < keys; k++)
      keyNames.push_back(L"key-" + std::to_wstring(k));
   for (long t = 0; t < tasks; t++)
   {
      if (keys > 0)
         ThreadPoolExecuteSerialized(pool, keyNames[static_cast<size_t>(t % keys)].c_str(), Task, &stress);
      else
         ThreadPoolExecute(pool, Task, &stress);
   }

   // The statistics once a second, the progress line in between; the line makes way for
   // each statistics line.
   ProgressLine line("pool-stress", tasks, "tasks");
   long seconds = 0;
   PrintInfo(pool, seconds, stress);
   {
      std::unique_lock<std::mutex> guard(stress.mutex);
      auto nextReport = std::chrono::steady_clock::now() + REPORT_INTERVAL;
      while (!stress.finished.wait_for(guard, PROGRESS_INTERVAL, [&] { return stress.done.load() == tasks; }))
      {
         guard.unlock();
         if (std::chrono::steady_clock::now() >= nextReport)
         {
            line.hide();
            PrintInfo(pool, ++seconds, stress);
            nextReport += REPORT_INTERVAL;
         }
         line.update(stress.done.load());
         guard.lock();
      }
   }
   line.update(tasks);
   line.hide();
   PrintInfo(pool, seconds, stress);
   double elapsed = line.elapsedSeconds();
   char summary[128];
   snprintf(summary, sizeof(summary), "pool-stress: %ld tasks in %.2f s, %.0f tasks/s", tasks, elapsed,
            (elapsed > 0) ? double(tasks) / elapsed : 0.0);
   line.finish(summary);
   ThreadPoolDestroy(pool);
   return 0;
}
