/* Pacing of the file sender: the chunk size and the pause between chunks of one transfer,
 * adapted to how long each send takes. Pure logic, fed the duration of every send. */
#ifndef QORVEL_PROTOCOL_FILE_PACER_H
#define QORVEL_PROTOCOL_FILE_PACER_H

#include <qv_protocol.h>

namespace qv::protocol {

/* Pacing: a send slower than SLOW_SEND_MS shrinks the chunk by one step per
 * SLOW_SEND_MS taken (not below MIN_CHUNK_SIZE) and adds PAUSE_STEP_MS per step to the
 * pause (up to MAX_PAUSE_MS). FAST_SENDS_TO_RECOVER sends in a row faster than
 * FAST_SEND_MS grow the chunk by a sixteenth and cut the pause by PAUSE_RECOVERY_MS. */
constexpr uint64_t SLOW_SEND_MS = 200;
constexpr uint64_t FAST_SEND_MS = 50;
constexpr uint32_t MIN_CHUNK_SIZE = 1024;
constexpr uint32_t MAX_PAUSE_MS = 1000;
constexpr uint32_t PAUSE_STEP_MS = 50;
constexpr uint32_t PAUSE_RECOVERY_MS = 5;
constexpr int FAST_SENDS_TO_RECOVER = 11;
constexpr uint32_t CHUNK_GROWTH_DIVISOR = 16;

/* Chunk size and pause of one transfer, adapted to how long each send takes. */
struct FilePacer
{
   uint32_t chunkSize = QVCP_FILE_CHUNK_SIZE;
   uint32_t pause = 0;
   int fastSends = 0;

   void update(uint64_t elapsed)
   {
      if (elapsed > SLOW_SEND_MS && (chunkSize > MIN_CHUNK_SIZE || pause < MAX_PAUSE_MS))
      {
         uint32_t steps = uint32_t(elapsed / SLOW_SEND_MS);
         chunkSize = (chunkSize / steps > MIN_CHUNK_SIZE) ? chunkSize / steps : MIN_CHUNK_SIZE;
         uint64_t longer = uint64_t(pause) + uint64_t(steps) * PAUSE_STEP_MS;
         pause = (longer < MAX_PAUSE_MS) ? uint32_t(longer) : MAX_PAUSE_MS;
      }
      else if (elapsed < FAST_SEND_MS && (chunkSize < QVCP_FILE_CHUNK_SIZE || pause > 0))
      {
         if (++fastSends < FAST_SENDS_TO_RECOVER)
            return;
         fastSends = 0;
         uint32_t grown = chunkSize + chunkSize / CHUNK_GROWTH_DIVISOR;
         chunkSize = (grown < QVCP_FILE_CHUNK_SIZE) ? grown : QVCP_FILE_CHUNK_SIZE;
         pause = (pause < PAUSE_RECOVERY_MS) ? 0 : pause - PAUSE_RECOVERY_MS;
      }
   }
};

}  // namespace qv::protocol

#endif
