/* The difference engine: Myers' O(ND) algorithm with bisection, after stripping common
 * prefixes and suffixes and trying the half-match shortcut, followed by the cleanups. */
#include "text/diff_engine.h"

#include <algorithm>
#include <memory>

namespace qv {
namespace text {

namespace {

/* Deadline of a difference without a time-out. */
constexpr int64_t NO_DEADLINE = INT64_MAX;

/* Shorter sequences than this go to the bisection without looking for a common unit
 * first: the bisection is cheap for them anyway. */
constexpr size_t COMMON_UNIT_CHECK_MIN = 256;

/* The common-unit check uses a bit set when it has at most this many bits per unit of the
 * shorter text. */
constexpr size_t BIT_SET_UNITS_PER_UNIT = 64;

/* Score of a boundary at either end of the text. */
constexpr int END_OF_TEXT_SCORE = 6;

size_t CommonPrefix(const char32_t *a, size_t aLength, const char32_t *b, size_t bLength)
{
   size_t n = std::min(aLength, bLength);
   return static_cast<size_t>(std::mismatch(a, a + n, b).first - a);
}

size_t CommonPrefix(const DiffText &a, const DiffText &b)
{
   return CommonPrefix(a.data(), a.size(), b.data(), b.size());
}

size_t CommonSuffix(const char32_t *a, size_t aLength, const char32_t *b, size_t bLength)
{
   size_t n = std::min(aLength, bLength);
   size_t k = 0;
   while (k < n && a[aLength - 1 - k] == b[bLength - 1 - k])
      k++;
   return k;
}

size_t CommonSuffix(const DiffText &a, const DiffText &b)
{
   return CommonSuffix(a.data(), a.size(), b.data(), b.size());
}

bool EndsWith(const DiffText &text, const DiffText &suffix)
{
   return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool StartsWith(const DiffText &text, const DiffText &prefix)
{
   return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

/* Length of the longest suffix of a that is a prefix of b. */
size_t CommonOverlap(const DiffText &a, const DiffText &b)
{
   if (a.empty() || b.empty())
      return 0;
   size_t length = std::min(a.size(), b.size());
   const char32_t *tail = a.data() + a.size() - length;  // the last length units of a
   if (std::equal(tail, tail + length, b.data()))
      return length;
   // Look for a single unit match first, then grow the candidate by the distance to where
   // the next longer suffix occurs.
   size_t best = 0;
   size_t candidate = 1;
   DiffText head(b, 0, length);
   for (;;)
   {
      DiffText pattern(tail + length - candidate, candidate);
      size_t found = head.find(pattern);
      if (found == DiffText::npos)
         return best;
      candidate += found;
      if (found == 0 || std::equal(tail + length - candidate, tail + length, head.data()))
      {
         best = candidate;
         candidate++;
      }
      if (candidate > length)
         return best;
   }
}

/* The two texts split around a long common middle: each text's part before and after it. */
struct HalfMatch
{
   DiffText aBefore, aAfter, bBefore, bAfter, common;
};

class Engine
{
public:
   Engine(const DiffSettings &settings)
       : m_settings(settings),
         m_deadline((settings.timeoutMs > 0) ? GetCurrentTimeMs() + settings.timeoutMs : NO_DEADLINE)
   {}

   DiffList diff(const DiffText &a, const DiffText &b);

private:
   DiffSettings m_settings;
   int64_t m_deadline;

   DiffList compute(const DiffText &a, const DiffText &b);
   bool halfMatch(const DiffText &a, const DiffText &b, HalfMatch *result) const;
   bool halfMatchAt(const DiffText &longer, const DiffText &shorter, size_t seedStart, HalfMatch *result) const;
   DiffList bisect(const DiffText &a, const DiffText &b);
   DiffList bisectSplit(const DiffText &a, const DiffText &b, size_t x, size_t y);
   bool pastDeadline() const { return m_deadline != NO_DEADLINE && GetCurrentTimeMs() > m_deadline; }
};

void Append(DiffList &to, DiffList &&from)
{
   to.insert(to.end(), std::make_move_iterator(from.begin()), std::make_move_iterator(from.end()));
}

DiffList DeleteAndInsert(const DiffText &a, const DiffText &b)
{
   return DiffList{{DIFF_DELETE, a}, {DIFF_INSERT, b}};
}

/* True when some unit occurs in both texts. Units that are small numbers (the line codes
 * are) go through a bit set, others through a sorted copy. */
bool ShareAUnit(const DiffText &a, const DiffText &b)
{
   const DiffText &shorter = (a.size() < b.size()) ? a : b;
   const DiffText &longer = (a.size() < b.size()) ? b : a;
   char32_t largest = *std::max_element(shorter.begin(), shorter.end());
   if (largest / BIT_SET_UNITS_PER_UNIT < shorter.size())
   {
      std::vector<bool> present(static_cast<size_t>(largest) + 1);
      for (char32_t unit : shorter)
         present[unit] = true;
      return std::any_of(longer.begin(), longer.end(),
                         [&present](char32_t unit) { return unit < present.size() && present[unit]; });
   }
   DiffText sorted = shorter;
   std::sort(sorted.begin(), sorted.end());
   return std::any_of(longer.begin(), longer.end(),
                      [&sorted](char32_t unit) { return std::binary_search(sorted.begin(), sorted.end(), unit); });
}

DiffList Engine::diff(const DiffText &a, const DiffText &b)
{
   if (a == b)
      return a.empty() ? DiffList() : DiffList{{DIFF_EQUAL, a}};
   size_t prefix = CommonPrefix(a, b);
   size_t suffix = CommonSuffix(a.data() + prefix, a.size() - prefix, b.data() + prefix, b.size() - prefix);
   DiffList diffs = compute(a.substr(prefix, a.size() - prefix - suffix), b.substr(prefix, b.size() - prefix - suffix));
   if (prefix > 0)
      diffs.insert(diffs.begin(), Diff{DIFF_EQUAL, a.substr(0, prefix)});
   if (suffix > 0)
      diffs.push_back(Diff{DIFF_EQUAL, a.substr(a.size() - suffix)});
   DiffCleanupMerge(diffs);
   return diffs;
}

DiffList Engine::compute(const DiffText &a, const DiffText &b)
{
   if (a.empty())
      return DiffList{{DIFF_INSERT, b}};
   if (b.empty())
      return DiffList{{DIFF_DELETE, a}};

   const DiffText &longer = (a.size() > b.size()) ? a : b;
   const DiffText &shorter = (a.size() > b.size()) ? b : a;
   size_t at = longer.find(shorter);
   if (at != DiffText::npos)
   {
      DiffOperation op = (a.size() > b.size()) ? DIFF_DELETE : DIFF_INSERT;
      return DiffList{{op, longer.substr(0, at)}, {DIFF_EQUAL, shorter}, {op, longer.substr(at + shorter.size())}};
   }
   if (shorter.size() == 1)
      return DeleteAndInsert(a, b);
   // Without a unit in common every path is all edits, which the bisection would find
   // only after walking the whole square.
   if (shorter.size() >= COMMON_UNIT_CHECK_MIN && !ShareAUnit(a, b))
      return DeleteAndInsert(a, b);

   HalfMatch hm;
   if (halfMatch(a, b, &hm))
   {
      DiffList diffs = diff(hm.aBefore, hm.bBefore);
      diffs.push_back(Diff{DIFF_EQUAL, hm.common});
      Append(diffs, diff(hm.aAfter, hm.bAfter));
      return diffs;
   }
   return bisect(a, b);
}

/* Looks for a common part of the two texts at least half as long as the longer one; the
 * result may not be the smallest difference, so it is only tried with a time-out. */
bool Engine::halfMatch(const DiffText &a, const DiffText &b, HalfMatch *result) const
{
   if (m_settings.timeoutMs <= 0)
      return false;
   const DiffText &longer = (a.size() > b.size()) ? a : b;
   const DiffText &shorter = (a.size() > b.size()) ? b : a;
   if (longer.size() < 4 || shorter.size() * 2 < longer.size())
      return false;

   // Seeds at the second and third quarter of the longer text.
   HalfMatch first, second;
   bool hasFirst = halfMatchAt(longer, shorter, (longer.size() + 3) / 4, &first);
   bool hasSecond = halfMatchAt(longer, shorter, (longer.size() + 1) / 2, &second);
   if (!hasFirst && !hasSecond)
      return false;
   HalfMatch &best =
       !hasSecond ? first : (!hasFirst ? second : (first.common.size() > second.common.size() ? first : second));
   if (a.size() > b.size())
   {
      *result = std::move(best);
   }
   else
   {
      result->aBefore = std::move(best.bBefore);
      result->aAfter = std::move(best.bAfter);
      result->bBefore = std::move(best.aBefore);
      result->bAfter = std::move(best.aAfter);
      result->common = std::move(best.common);
   }
   return true;
}

/* The longest common part around each occurrence in shorter of the quarter of longer that
 * starts at seedStart; the a fields of the result are longer's parts, the b fields
 * shorter's. */
bool Engine::halfMatchAt(const DiffText &longer, const DiffText &shorter, size_t seedStart, HalfMatch *result) const
{
   DiffText seed = longer.substr(seedStart, longer.size() / 4);
   size_t bestLength = 0;
   size_t bestLongAt = 0, bestShortAt = 0, bestPrefix = 0, bestSuffix = 0;
   for (size_t j = shorter.find(seed); j != DiffText::npos; j = shorter.find(seed, j + 1))
   {
      size_t prefix =
          CommonPrefix(longer.data() + seedStart, longer.size() - seedStart, shorter.data() + j, shorter.size() - j);
      size_t suffix = CommonSuffix(longer.data(), seedStart, shorter.data(), j);
      if (bestLength < prefix + suffix)
      {
         bestLength = prefix + suffix;
         bestLongAt = seedStart;
         bestShortAt = j;
         bestPrefix = prefix;
         bestSuffix = suffix;
      }
   }
   if (bestLength * 2 < longer.size())
      return false;
   result->common = shorter.substr(bestShortAt - bestSuffix, bestLength);
   result->aBefore = longer.substr(0, bestLongAt - bestSuffix);
   result->aAfter = longer.substr(bestLongAt + bestPrefix);
   result->bBefore = shorter.substr(0, bestShortAt - bestSuffix);
   result->bAfter = shorter.substr(bestShortAt + bestPrefix);
   return true;
}

/* The furthest x reached on each diagonal k of one direction of the bisection. Cells
 * outside the radius read as -1 (not reached) without having been written, so that a
 * bisection that ends early touches only the diagonals it walked, not arrays as long as
 * both texts. */
class Frontier
{
public:
   explicit Frontier(ptrdiff_t maxD) : m_maxD(maxD), m_cells(new ptrdiff_t[static_cast<size_t>(2 * maxD + 1)]) {}

   /* Makes the diagonals -radius to radius readable. */
   void reach(ptrdiff_t radius)
   {
      radius = std::min(radius, m_maxD);
      for (; m_radius < radius; m_radius++)
      {
         cell(-(m_radius + 1)) = -1;
         cell(m_radius + 1) = -1;
      }
   }

   /* A diagonal within the radius. */
   ptrdiff_t &operator[](ptrdiff_t k) { return cell(k); }

   /* Any diagonal: -1 outside the radius. */
   ptrdiff_t get(ptrdiff_t k) const { return (k >= -m_radius && k <= m_radius) ? m_cells[m_maxD + k] : -1; }

private:
   ptrdiff_t m_maxD;
   std::unique_ptr<ptrdiff_t[]> m_cells;  // diagonal k at m_maxD + k
   ptrdiff_t m_radius = -1;

   ptrdiff_t &cell(ptrdiff_t k) { return m_cells[m_maxD + k]; }
};

/* Finds the middle snake of the shortest edit path by walking forward from the start and
 * backward from the end at once, then solves the two halves around it. */
DiffList Engine::bisect(const DiffText &a, const DiffText &b)
{
   const ptrdiff_t aLength = static_cast<ptrdiff_t>(a.size());
   const ptrdiff_t bLength = static_cast<ptrdiff_t>(b.size());
   const ptrdiff_t maxD = (aLength + bLength + 1) / 2;
   Frontier v1(maxD), v2(maxD);
   v1.reach(1);
   v2.reach(1);
   v1[1] = 0;
   v2[1] = 0;
   const ptrdiff_t delta = aLength - bLength;
   // With an odd delta the forward path meets the reverse one; with an even one, the
   // reverse path meets the forward one.
   const bool front = (delta % 2 != 0);
   // Diagonals that have run off the edges of the grid are not walked again.
   ptrdiff_t k1Start = 0, k1End = 0, k2Start = 0, k2End = 0;
   for (ptrdiff_t d = 0; d < maxD; d++)
   {
      if (pastDeadline())
         break;
      v1.reach(d + 1);
      v2.reach(d + 1);
      for (ptrdiff_t k1 = -d + k1Start; k1 <= d - k1End; k1 += 2)
      {
         ptrdiff_t x1;
         if (k1 == -d || (k1 != d && v1[k1 - 1] < v1[k1 + 1]))
            x1 = v1[k1 + 1];
         else
            x1 = v1[k1 - 1] + 1;
         ptrdiff_t y1 = x1 - k1;
         while (x1 < aLength && y1 < bLength && a[static_cast<size_t>(x1)] == b[static_cast<size_t>(y1)])
         {
            x1++;
            y1++;
         }
         v1[k1] = x1;
         if (x1 > aLength)
         {
            k1End += 2;
         }
         else if (y1 > bLength)
         {
            k1Start += 2;
         }
         else if (front)
         {
            ptrdiff_t reverse = v2.get(delta - k1);
            if (reverse != -1 && x1 >= aLength - reverse)
               return bisectSplit(a, b, static_cast<size_t>(x1), static_cast<size_t>(y1));
         }
      }
      for (ptrdiff_t k2 = -d + k2Start; k2 <= d - k2End; k2 += 2)
      {
         ptrdiff_t x2;
         if (k2 == -d || (k2 != d && v2[k2 - 1] < v2[k2 + 1]))
            x2 = v2[k2 + 1];
         else
            x2 = v2[k2 - 1] + 1;
         ptrdiff_t y2 = x2 - k2;
         while (x2 < aLength && y2 < bLength &&
                a[static_cast<size_t>(aLength - x2 - 1)] == b[static_cast<size_t>(bLength - y2 - 1)])
         {
            x2++;
            y2++;
         }
         v2[k2] = x2;
         if (x2 > aLength)
         {
            k2End += 2;
         }
         else if (y2 > bLength)
         {
            k2Start += 2;
         }
         else if (!front)
         {
            ptrdiff_t k1 = delta - k2;
            ptrdiff_t x1 = v1.get(k1);
            if (x1 != -1 && x1 >= aLength - x2)
               return bisectSplit(a, b, static_cast<size_t>(x1), static_cast<size_t>(x1 - k1));
         }
      }
   }
   // Out of time (or no path, which cannot happen): the coarse but correct answer.
   return DeleteAndInsert(a, b);
}

DiffList Engine::bisectSplit(const DiffText &a, const DiffText &b, size_t x, size_t y)
{
   DiffList diffs = diff(a.substr(0, x), b.substr(0, y));
   Append(diffs, diff(a.substr(x), b.substr(y)));
   return diffs;
}

/* Pushes d, joining it to the last difference when that is an equality too. */
void PushMerged(DiffList &out, Diff &&d)
{
   if (d.text.empty())
      return;
   if (d.operation == DIFF_EQUAL && !out.empty() && out.back().operation == DIFF_EQUAL)
      out.back().text += d.text;
   else
      out.push_back(std::move(d));
}

/* One pass of joining runs of edits into one deletion and one insertion, with their
 * common prefix and suffix moved into the equalities around them. */
void MergeRuns(DiffList &diffs)
{
   DiffList out;
   out.reserve(diffs.size());
   DiffText deleted, inserted;
   size_t deleteCount = 0, insertCount = 0;
   diffs.push_back(Diff{DIFF_EQUAL, DiffText()});  // flushes the last run
   for (Diff &d : diffs)
   {
      if (d.operation == DIFF_INSERT)
      {
         insertCount++;
         inserted += d.text;
         continue;
      }
      if (d.operation == DIFF_DELETE)
      {
         deleteCount++;
         deleted += d.text;
         continue;
      }
      if (deleteCount > 0 && insertCount > 0)
      {
         size_t prefix = CommonPrefix(inserted, deleted);
         if (prefix > 0)
         {
            PushMerged(out, Diff{DIFF_EQUAL, inserted.substr(0, prefix)});
            inserted.erase(0, prefix);
            deleted.erase(0, prefix);
         }
         size_t suffix = CommonSuffix(inserted, deleted);
         if (suffix > 0)
         {
            d.text.insert(0, inserted, inserted.size() - suffix, suffix);
            inserted.resize(inserted.size() - suffix);
            deleted.resize(deleted.size() - suffix);
         }
      }
      PushMerged(out, Diff{DIFF_DELETE, std::move(deleted)});
      PushMerged(out, Diff{DIFF_INSERT, std::move(inserted)});
      PushMerged(out, std::move(d));
      deleted.clear();
      inserted.clear();
      deleteCount = insertCount = 0;
   }
   diffs.swap(out);
}

/* Slides single edits between two equalities sideways where the edit ends with the
 * equality before it or starts with the one after it, which removes that equality.
 * Returns true when anything moved. */
bool ShiftSingleEdits(DiffList &diffs)
{
   bool changes = false;
   for (size_t i = 1; i + 1 < diffs.size(); i++)
   {
      Diff &previous = diffs[i - 1];
      Diff &current = diffs[i];
      Diff &next = diffs[i + 1];
      if (previous.operation != DIFF_EQUAL || next.operation != DIFF_EQUAL)
         continue;
      if (EndsWith(current.text, previous.text))
      {
         current.text = previous.text + current.text.substr(0, current.text.size() - previous.text.size());
         next.text = previous.text + next.text;
         diffs.erase(diffs.begin() + static_cast<ptrdiff_t>(i - 1));
         changes = true;
      }
      else if (StartsWith(current.text, next.text))
      {
         previous.text += next.text;
         current.text = current.text.substr(next.text.size()) + next.text;
         diffs.erase(diffs.begin() + static_cast<ptrdiff_t>(i + 1));
         changes = true;
      }
   }
   return changes;
}

/* Removes equalities that are no longer than the edits on both sides of them (turning
 * each into a deletion and an insertion). Returns true when it removed any. */
bool EliminateShortEqualities(DiffList &diffs, const DiffUnitModel &model)
{
   auto length = [&model](const DiffText &text) { return model.length(text.data(), text.size()); };
   bool changes = false;
   std::vector<size_t> equalities;  // indexes of the equalities still in question
   bool haveLastEquality = false;
   size_t lastEqualityLength = 0;
   size_t inserted1 = 0, deleted1 = 0;  // edit lengths before the last equality
   size_t inserted2 = 0, deleted2 = 0;  // and after it
   for (size_t i = 0; i < diffs.size(); i++)
   {
      if (diffs[i].operation == DIFF_EQUAL)
      {
         equalities.push_back(i);
         inserted1 = inserted2;
         deleted1 = deleted2;
         inserted2 = deleted2 = 0;
         haveLastEquality = !diffs[i].text.empty();
         lastEqualityLength = length(diffs[i].text);
         continue;
      }
      if (diffs[i].operation == DIFF_INSERT)
         inserted2 += length(diffs[i].text);
      else
         deleted2 += length(diffs[i].text);
      if (haveLastEquality && lastEqualityLength <= std::max(inserted1, deleted1) &&
          lastEqualityLength <= std::max(inserted2, deleted2))
      {
         size_t at = equalities.back();
         diffs.insert(diffs.begin() + static_cast<ptrdiff_t>(at), Diff{DIFF_DELETE, diffs[at].text});
         diffs[at + 1].operation = DIFF_INSERT;
         equalities.pop_back();
         // The equality before it has to be weighed again against the new edits.
         if (!equalities.empty())
            equalities.pop_back();
         inserted1 = deleted1 = inserted2 = deleted2 = 0;
         haveLastEquality = false;
         changes = true;
         // Go on after the equality now on top, or from the start.
         i = equalities.empty() ? static_cast<size_t>(-1) : equalities.back();
      }
   }
   return changes;
}

/* Slides each single edit between two equalities to the place where the model likes its
 * two boundaries best (the rightmost of equal scores). */
void AlignEditsToBoundaries(DiffList &diffs, const DiffUnitModel &model)
{
   for (size_t i = 1; i + 1 < diffs.size(); i++)
   {
      if (diffs[i - 1].operation != DIFF_EQUAL || diffs[i + 1].operation != DIFF_EQUAL)
         continue;
      const DiffText &equality1 = diffs[i - 1].text;
      const DiffText &edit = diffs[i].text;
      const DiffText &equality2 = diffs[i + 1].text;
      if (edit.empty())
         continue;
      // The whole stretch; the edit is the window [at, at + length) within it, and every
      // place the window can slide to leaves both texts as they are.
      DiffText all = equality1 + edit + equality2;
      const char32_t *s = all.data();
      size_t length = edit.size();
      size_t at = equality1.size() - CommonSuffix(equality1, edit);
      auto boundary = [&model](const char32_t *one, size_t oneLength, const char32_t *two, size_t twoLength) {
         return (oneLength == 0 || twoLength == 0) ? END_OF_TEXT_SCORE
                                                   : model.boundaryScore(one, oneLength, two, twoLength);
      };
      auto scoreAt = [&](size_t p) {
         return boundary(s, p, s + p, length) + boundary(s + p, length, s + p + length, all.size() - p - length);
      };
      size_t best = at;
      int bestScore = scoreAt(at);
      while (at + length < all.size() && s[at] == s[at + length])
      {
         at++;
         int score = scoreAt(at);
         if (score >= bestScore)
         {
            bestScore = score;
            best = at;
         }
      }
      if (best == equality1.size())
         continue;
      DiffText newEquality1 = all.substr(0, best);
      DiffText newEdit = all.substr(best, length);
      DiffText newEquality2 = all.substr(best + length);
      diffs[i].text = std::move(newEdit);
      if (newEquality2.empty())
         diffs.erase(diffs.begin() + static_cast<ptrdiff_t>(i + 1));
      else
         diffs[i + 1].text = std::move(newEquality2);
      if (newEquality1.empty())
      {
         diffs.erase(diffs.begin() + static_cast<ptrdiff_t>(i - 1));
         i--;
      }
      else
      {
         diffs[i - 1].text = std::move(newEquality1);
      }
   }
}

/* Where a deletion is followed by an insertion and the end of one overlaps the start of
 * the other by at least half of either, the overlap becomes an equality between them. */
void ExtractOverlaps(DiffList &diffs, const DiffUnitModel &model)
{
   auto length = [&model](const DiffText &text, size_t count) { return model.length(text.data(), count); };
   for (size_t i = 1; i < diffs.size(); i++)
   {
      if (diffs[i - 1].operation != DIFF_DELETE || diffs[i].operation != DIFF_INSERT)
         continue;
      DiffText deletion = diffs[i - 1].text;
      DiffText insertion = diffs[i].text;
      size_t deletionLength = length(deletion, deletion.size());
      size_t insertionLength = length(insertion, insertion.size());
      // The overlaps in units, and what they weigh.
      size_t overlap1 = CommonOverlap(deletion, insertion);
      size_t overlap2 = CommonOverlap(insertion, deletion);
      size_t weight1 = length(insertion, overlap1);
      size_t weight2 = length(deletion, overlap2);
      if (weight1 >= weight2)
      {
         if (overlap1 > 0 && (weight1 * 2 >= deletionLength || weight1 * 2 >= insertionLength))
         {
            diffs.insert(diffs.begin() + static_cast<ptrdiff_t>(i), Diff{DIFF_EQUAL, insertion.substr(0, overlap1)});
            diffs[i - 1].text = deletion.substr(0, deletion.size() - overlap1);
            diffs[i + 1].text = insertion.substr(overlap1);
            i++;
         }
      }
      else if (weight2 * 2 >= deletionLength || weight2 * 2 >= insertionLength)
      {
         diffs.insert(diffs.begin() + static_cast<ptrdiff_t>(i), Diff{DIFF_EQUAL, deletion.substr(0, overlap2)});
         diffs[i - 1] = Diff{DIFF_INSERT, insertion.substr(0, insertion.size() - overlap2)};
         diffs[i + 1] = Diff{DIFF_DELETE, deletion.substr(overlap2)};
         i++;
      }
      i++;
   }
}

}  // namespace

DiffList DiffMain(const DiffText &a, const DiffText &b, const DiffSettings &settings)
{
   Engine engine(settings);
   return engine.diff(a, b);
}

void DiffCleanupMerge(DiffList &diffs)
{
   do
      MergeRuns(diffs);
   while (ShiftSingleEdits(diffs));
}

void DiffCleanupSemantic(DiffList &diffs, const DiffUnitModel &model)
{
   if (EliminateShortEqualities(diffs, model))
      DiffCleanupMerge(diffs);
   AlignEditsToBoundaries(diffs, model);
   ExtractOverlaps(diffs, model);
}

}  // namespace text
}  // namespace qv
