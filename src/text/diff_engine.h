/* The difference engine under GenerateLineDiff: Myers' O(ND) difference with bisection and
 * a deadline, the half-match shortcut, and the merge and semantic cleanups with overlap
 * extraction. It compares sequences of 32-bit units; the line diff gives each distinct
 * line one unit, so every difference it reports is made of whole lines. */
#ifndef QORVEL_TEXT_DIFF_ENGINE_H
#define QORVEL_TEXT_DIFF_ENGINE_H

#include <qv_base.h>

#include <string>
#include <vector>

namespace qv {
namespace text {

typedef std::u32string DiffText;

/* Kinds of a difference, with the values callers of the engine store. */
enum DiffOperation : int32_t
{
   DIFF_DELETE = 0,
   DIFF_INSERT = 1,
   DIFF_EQUAL = 2
};

struct Diff
{
   DiffOperation operation;
   DiffText text;
};

/* A result: the delete and equal texts in order give the first sequence, the insert and
 * equal texts the second. */
typedef std::vector<Diff> DiffList;

/* What the units of the sequences stand for, as far as the semantic cleanup needs it: the
 * length of a run of units in the caller's terms (characters of the lines, for the line
 * diff), which decides what is short, and how good a place the boundary between one and
 * two is for the edge of an edit, from 0 (inside a word) to 5 (next to a blank line).
 * Both runs given to boundaryScore are non-empty. */
class DiffUnitModel
{
public:
   virtual ~DiffUnitModel() = default;
   virtual size_t length(const char32_t *units, size_t count) const = 0;
   virtual int boundaryScore(const char32_t *one, size_t oneLength, const char32_t *two, size_t twoLength) const = 0;
};

struct DiffSettings
{
   /* Milliseconds the difference may take; 0 or less: no limit and no half-match. */
   int32_t timeoutMs;
   /* Cost of an empty edit, for the efficiency cleanup (not used by the line diff). */
   int32_t editCost;
};

/* Settings of the line diff. */
constexpr DiffSettings LINE_DIFF_SETTINGS = {5000, 4};

/* The differences of a and b. When the time-out passes, the parts not finished come out as
 * a deletion of the old text and an insertion of the new. */
DiffList DiffMain(const DiffText &a, const DiffText &b, const DiffSettings &settings);

/* Joins neighbours of one kind, moves common prefixes and suffixes of edit pairs into the
 * equalities around them, and slides single edits sideways where that removes an
 * equality, until nothing changes. Drops empty differences. */
void DiffCleanupMerge(DiffList &diffs);

/* Removes equalities no longer than the edits on both sides, slides edits to the best
 * boundaries, and turns overlaps between a deletion and the insertion after it into
 * equalities where the overlap is at least half of either; lengths and boundaries are
 * the model's. Edits only ever move by whole units. */
void DiffCleanupSemantic(DiffList &diffs, const DiffUnitModel &model);

}  // namespace text
}  // namespace qv

#endif
