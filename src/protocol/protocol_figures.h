/* The counters that message receivers and wait queues keep for the registry of the
 * library's figures, beside their registry entries. */
#ifndef QORVEL_PROTOCOL_PROTOCOL_FIGURES_H
#define QORVEL_PROTOCOL_PROTOCOL_FIGURES_H

#include "log/metrics_registry.h"

#include <atomic>

namespace qv {
namespace protocol {

/* Written by the receiver's one reading thread (without locked instructions), read by the
 * registry. */
struct ReceiverFigures
{
   qv::log::MetricsSource source{};
   std::atomic<uint64_t> messages{0};
   std::atomic<uint64_t> bytes{0};
   std::atomic<uint64_t> decryptionFailures{0};
};

/* Under the queue's lock, which the queue takes for every put and wait anyway. */
struct WaitQueueFigures
{
   /* Waits that timed out lately, remembered so that a reply put for one of them is seen as
    * late; the oldest is forgotten first. */
   static constexpr int32_t GAVE_UP_MEMORY = 16;

   struct GaveUp
   {
      uint32_t id;
      uint16_t code;
      bool raw;
   };

   qv::log::MetricsSource source{};
   int32_t waiters = 0;  // threads inside a wait that found nothing at once
   uint64_t expired = 0;
   uint64_t lateReplies = 0;
   GaveUp gaveUp[GAVE_UP_MEMORY] = {};
   int32_t gaveUpCount = 0;
   int32_t gaveUpNext = 0;  // where the next one is written: gaveUpCount until the memory is full

   /* Forgets a wait that gave up for code, id and kind; whether there was one. */
   bool forget(uint16_t code, uint32_t id, bool raw)
   {
      for (int32_t i = 0; i < gaveUpCount; i++)
      {
         if (gaveUp[i].code == code && gaveUp[i].id == id && gaveUp[i].raw == raw)
         {
            // The last one takes its place; the ring then continues from the count.
            gaveUp[i] = gaveUp[--gaveUpCount];
            gaveUpNext = gaveUpCount;
            return true;
         }
      }
      return false;
   }

   void remember(uint16_t code, uint32_t id, bool raw)
   {
      forget(code, id, raw);  // kept once
      gaveUp[gaveUpNext] = GaveUp{id, code, raw};
      if (gaveUpCount < GAVE_UP_MEMORY)
         gaveUpCount++;
      gaveUpNext = (gaveUpNext + 1) % GAVE_UP_MEMORY;
   }
};

}  // namespace protocol
}  // namespace qv

#endif
