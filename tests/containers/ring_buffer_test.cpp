/* RingBuffer: wrapping, each way of growing, saved positions, and random traffic checked
 * against a plain queue. */
#include <qorvel.h>

#include <gtest/gtest.h>

#include <deque>
#include <random>
#include <vector>

namespace {

std::vector<uint8_t> Read(RingBuffer &rb, size_t n)
{
   std::vector<uint8_t> out(n);
   out.resize(rb.read(out.data(), n));
   return out;
}

using B = std::vector<uint8_t>;

}  // namespace

TEST(RingBuffer, WrapsInsideTheBlockWithoutGrowing)
{
   RingBuffer rb(4, 4);
   const uint8_t first[] = {1, 2, 3}, second[] = {4, 5, 6};
   rb.write(first, 3);
   EXPECT_EQ(Read(rb, 2), (B{1, 2}));
   rb.write(second, 3);
   EXPECT_EQ(rb.capacity(), 4u);
   EXPECT_EQ(rb.size(), 4u);
   EXPECT_EQ(Read(rb, 4), (B{3, 4, 5, 6}));
   EXPECT_TRUE(rb.isEmpty());
   EXPECT_EQ(Read(rb, 4), B{});
   EXPECT_EQ(rb.readByte(), 0);
}

TEST(RingBuffer, GrowsByTheRuleOfEachCase)
{
   // Empty: step + length.
   RingBuffer empty(4, 4);
   const uint8_t five[] = {1, 2, 3, 4, 5};
   empty.write(five, 5);
   EXPECT_EQ(empty.capacity(), 9u);
   EXPECT_EQ(Read(empty, 9), (B{1, 2, 3, 4, 5}));

   // Not wrapping: in place by max(step, length).
   RingBuffer flat(4, 4);
   flat.write(five, 3);
   flat.write(five, 2);
   EXPECT_EQ(flat.capacity(), 8u);
   const uint8_t ten[10] = {10, 11, 12, 13, 14, 15, 16, 17, 18, 19};
   flat.write(ten, 10);
   EXPECT_EQ(flat.capacity(), 18u);
   EXPECT_EQ(Read(flat, 20), (B{1, 2, 3, 1, 2, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19}));

   // Wrapping: a new block of size + step + length with the bytes in order.
   RingBuffer wrapped(4, 4);
   wrapped.write(five, 3);
   EXPECT_EQ(wrapped.readByte(), 1);
   EXPECT_EQ(wrapped.readByte(), 2);
   wrapped.write(ten, 3);  // wraps: 3 | 10 11 12
   EXPECT_EQ(wrapped.capacity(), 4u);
   wrapped.write(ten + 3, 2);
   EXPECT_EQ(wrapped.capacity(), 4u + 4u + 2u);
   EXPECT_EQ(Read(wrapped, 20), (B{3, 10, 11, 12, 13, 14}));

   // Full to the last byte with the write position back at 0.
   RingBuffer full(4, 4);
   full.write(five, 4);
   full.write(five + 4, 1);
   EXPECT_EQ(full.capacity(), 9u);
   EXPECT_EQ(Read(full, 9), (B{1, 2, 3, 4, 5}));
}

TEST(RingBuffer, RestorePosMakesReadBytesReadableAgain)
{
   RingBuffer rb(4, 4);
   const uint8_t bytes[] = {7, 8, 9};
   rb.write(bytes, 3);
   rb.savePos();
   EXPECT_EQ(rb.readByte(), 7);
   EXPECT_EQ(rb.readByte(), 8);
   rb.restorePos();
   EXPECT_EQ(rb.size(), 3u);
   EXPECT_EQ(Read(rb, 3), (B{7, 8, 9}));
}

TEST(RingBuffer, RandomTrafficMatchesAQueue)
{
   // Writes, reads and position rollbacks of random sizes against a std::deque model,
   // small buffers and steps so that every case of growing and wrapping comes up.
   for (unsigned seed = 1; seed <= 20; seed++)
   {
      std::mt19937 random(seed);
      RingBuffer rb(random() % 8, random() % 8);
      std::deque<uint8_t> model;
      uint8_t next = 0;
      for (int op = 0; op < 2000; op++)
      {
         unsigned choice = random() % 10;
         if (choice < 4)
         {
            std::vector<uint8_t> data(random() % 24);
            for (uint8_t &b : data)
               model.push_back(b = next++);
            rb.write(data.data(), data.size());
         }
         else if (choice < 7)
         {
            size_t n = random() % 24;
            std::vector<uint8_t> got = Read(rb, n);
            size_t expected = std::min(n, model.size());
            ASSERT_EQ(got.size(), expected) << "seed " << seed << " op " << op;
            for (size_t i = 0; i < expected; i++)
            {
               ASSERT_EQ(got[i], model.front()) << "seed " << seed << " op " << op;
               model.pop_front();
            }
         }
         else if (choice < 9)
         {
            uint8_t expected = model.empty() ? 0 : model.front();
            if (!model.empty())
               model.pop_front();
            ASSERT_EQ(rb.readByte(), expected) << "seed " << seed << " op " << op;
         }
         else
         {
            // A read that is rolled back leaves everything as it was.
            rb.savePos();
            std::vector<uint8_t> peek = Read(rb, random() % 24);
            for (size_t i = 0; i < peek.size(); i++)
               ASSERT_EQ(peek[i], model[i]);
            rb.restorePos();
         }
         ASSERT_EQ(rb.size(), model.size());
         ASSERT_LE(rb.size(), rb.capacity());
      }
   }
}
