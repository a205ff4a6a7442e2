/* The file sender's pacing on exact send durations: slow sends cut the chunk and lengthen
 * the pause, runs of fast sends restore them, within their limits. */
#include "protocol/file_pacer.h"

#include <gtest/gtest.h>

using qv::protocol::FilePacer;

TEST(FilePacer, NormalSendsChangeNothing)
{
   FilePacer pacer;
   for (uint64_t elapsed : {0, 10, 49, 50, 120, 200})
      pacer.update(elapsed);
   EXPECT_EQ(pacer.chunkSize, 32768u);
   EXPECT_EQ(pacer.pause, 0u);
}

TEST(FilePacer, SlowSendCutsTheChunkAndAddsPausePerStepOf200Ms)
{
   FilePacer pacer;
   pacer.update(201);  // one step
   EXPECT_EQ(pacer.chunkSize, 32768u);
   EXPECT_EQ(pacer.pause, 50u);
   pacer.update(450);  // two steps
   EXPECT_EQ(pacer.chunkSize, 16384u);
   EXPECT_EQ(pacer.pause, 150u);
   pacer.update(1000);  // five steps
   EXPECT_EQ(pacer.chunkSize, 3276u);
   EXPECT_EQ(pacer.pause, 400u);
   pacer.update(4000);  // twenty steps: the floor of 1024 bytes and the ceiling of one second
   EXPECT_EQ(pacer.chunkSize, 1024u);
   EXPECT_EQ(pacer.pause, 1000u);
   pacer.update(100000);
   EXPECT_EQ(pacer.chunkSize, 1024u);
   EXPECT_EQ(pacer.pause, 1000u);
}

TEST(FilePacer, ElevenFastSendsGrowTheChunkBySixteenthAndShortenThePause)
{
   FilePacer pacer;
   pacer.update(450);
   ASSERT_EQ(pacer.chunkSize, 16384u);
   ASSERT_EQ(pacer.pause, 100u);
   for (int i = 1; i <= 10; i++)
   {
      pacer.update(0);
      ASSERT_EQ(pacer.chunkSize, 16384u) << i;
      ASSERT_EQ(pacer.pause, 100u) << i;
   }
   pacer.update(49);
   EXPECT_EQ(pacer.chunkSize, 17408u);
   EXPECT_EQ(pacer.pause, 95u);
   EXPECT_EQ(pacer.fastSends, 0);

   // Sends neither slow nor fast leave the count where it is.
   for (int i = 0; i < 10; i++)
      pacer.update((i % 2 == 0) ? 0 : 100);
   EXPECT_EQ(pacer.fastSends, 5);
}

TEST(FilePacer, RecoveryStopsAtTheFullChunkAndNoPause)
{
   FilePacer pacer;
   pacer.update(201);  // pause 50, chunk unchanged
   int rounds = 0;
   while (pacer.pause > 0 && rounds < 100)
   {
      for (int i = 0; i < 11; i++)
         pacer.update(0);
      rounds++;
   }
   EXPECT_EQ(rounds, 10);
   EXPECT_EQ(pacer.pause, 0u);
   EXPECT_EQ(pacer.chunkSize, 32768u);
   // Nothing left to restore: fast sends are no longer counted.
   pacer.update(0);
   EXPECT_EQ(pacer.fastSends, 0);

   FilePacer small;
   small.update(8000);  // forty steps: the floor
   small.pause = 3;
   for (int i = 0; i < 11; i++)
      small.update(0);
   EXPECT_EQ(small.pause, 0u);  // below the step: to zero
   EXPECT_EQ(small.chunkSize, 1088u);
}
