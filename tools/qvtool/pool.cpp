/* qvtool pool-stress: runs a thread pool under load and prints its statistics once a
 * second, so that one can watch it grow while requests wait and shrink once it is idle. */
#include "qvtool.h"

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

int Usage()
{
   fprintf(stderr,
           "usage: qvtool pool-stress [--workers N] [--tasks N] [--serialized KEYS] [--task-ms N]\n"
           "                          [--time-scale N]\n"
           "  --workers N     most workers of the pool (default %ld; it starts with %d)\n"
           "  --tasks N       tasks submitted at the start (default %ld)\n"
           "  --serialized K  submit the tasks serialized over K keys\n"
           "  --task-ms N     milliseconds each task takes (default %ld)\n"
           "  --time-scale N  divide the pool's tick and idle time-outs by N (1 to 100)\n",
           DEFAULT_WORKERS, MIN_WORKERS, DEFAULT_TASKS, DEFAULT_TASK_MS);
   return 2;
}

/* The option's value in [minimum, MAX_OPTION_VALUE], or -1 (with a message). */
long OptionValue(const char *option, const char *text, long minimum)
{
   char *end = nullptr;
   long value = (text != nullptr) ? strtol(text, &end, 10) : -1;
   if (text == nullptr || *text == 0 || *end != 0 || value < minimum || value > MAX_OPTION_VALUE)
   {
      fprintf(stderr, "qvtool pool-stress: %s needs a number from %ld\n", option, minimum);
      return -1;
   }
   return value;
}

}  // namespace

int CommandPoolStress(int argc, char **argv)
{
   long workers = DEFAULT_WORKERS, tasks = DEFAULT_TASKS, keys = 0, taskMs = DEFAULT_TASK_MS, scale = 1;
   for (int i = 0; i < argc; i++)
   {
      struct
      {
         const char *name;
         long *value;
         long minimum;
      } const options[] = {{"--workers", &workers, 1},
                           {"--tasks", &tasks, 1},
                           {"--serialized", &keys, 1},
                           {"--task-ms", &taskMs, 0},
                           {"--time-scale", &scale, 1}};
      bool known = false;
      for (const auto &option : options)
      {
         if (strcmp(argv[i], option.name) != 0)
            continue;
         known = true;
         *option.value = OptionValue(option.name, (i + 1 < argc) ? argv[i + 1] : nullptr, option.minimum);
         if (*option.value < 0)
            return 2;
         i++;
      }
      if (!known)
         return Usage();
   }

   ThreadPoolSetTimeScale(static_cast<int32_t>(scale));
   ThreadPool *pool = ThreadPoolCreate(L"pool-stress", MIN_WORKERS, static_cast<int32_t>(workers), 0);
   if (pool == nullptr)
   {
      fprintf(stderr, "qvtool pool-stress: cannot create the pool\n");
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

   long seconds = 0;
   PrintInfo(pool, seconds, stress);
   {
      std::unique_lock<std::mutex> guard(stress.mutex);
      while (!stress.finished.wait_for(guard, REPORT_INTERVAL, [&] { return stress.done.load() == tasks; }))
      {
         guard.unlock();
         PrintInfo(pool, ++seconds, stress);
         guard.lock();
      }
   }
   PrintInfo(pool, seconds, stress);
   ThreadPoolDestroy(pool);
   return 0;
}
