/* The debug output functions: test the message's level, and only when it passes (and the
 * flood control lets it through) format it and hand it to the log writer's debug path. */
#include "log/debug_flood.h"
#include "log/debug_levels.h"
#include "log/log_writer.h"
#include "log/metrics_registry.h"

using namespace qv::log;

namespace {

void WriteDebug(const wchar_t *tag, const wchar_t *format, va_list args)
{
   if (g_debugRateLimit.load(std::memory_order_relaxed) != 0 && !DebugFloodAdmit(tag))
      return;
   wchar_t text[LOG_MESSAGE_BUFFER_CHARS];
   LogFormatMessage(text, format, args);
   LogWriteDebugMessage(tag, text);
   MetricsCountDebugLine();
}

/* Object messages: tested against, and written with, the object tag; a null tag is
 * treated as by the tag functions. */
void WriteObjectDebug(const wchar_t *tag, uint32_t objectId, int32_t level, const wchar_t *format, va_list args)
{
   DebugCheckExpiry();
   if (tag == nullptr)
   {
      if (DebugLevelPasses(nullptr, level))
         WriteDebug(nullptr, format, args);
      return;
   }
   // A level above every level in force needs no object tag.
   if (level > DebugStateMaxLevel(g_debugState.load(std::memory_order_relaxed)))
      return;
   wchar_t objectTag[DEBUG_OBJECT_TAG_CHARS];
   DebugObjectTag(objectTag, tag, objectId);
   if (DebugLevelPasses(objectTag, level))
      WriteDebug(objectTag, format, args);
}

}  // namespace

QV_API void qvlog_debug(int32_t level, const wchar_t *format, ...)
{
   DebugCheckExpiry();
   if (!DebugLevelPasses(nullptr, level))
      return;
   va_list args;
   va_start(args, format);
   WriteDebug(nullptr, format, args);
   va_end(args);
}

QV_API void qvlog_debug2(int32_t level, const wchar_t *format, va_list args)
{
   DebugCheckExpiry();
   if (DebugLevelPasses(nullptr, level))
      WriteDebug(nullptr, format, args);
}

QV_API void qvlog_debug_tag(const wchar_t *tag, int32_t level, const wchar_t *format, ...)
{
   DebugCheckExpiry();
   if (!DebugLevelPasses(tag, level))
      return;
   va_list args;
   va_start(args, format);
   WriteDebug(tag, format, args);
   va_end(args);
}

QV_API void qvlog_debug_tag2(const wchar_t *tag, int32_t level, const wchar_t *format, va_list args)
{
   DebugCheckExpiry();
   if (DebugLevelPasses(tag, level))
      WriteDebug(tag, format, args);
}

QV_API void qvlog_debug_tag_object(const wchar_t *tag, uint32_t objectId, int32_t level, const wchar_t *format, ...)
{
   va_list args;
   va_start(args, format);
   WriteObjectDebug(tag, objectId, level, format, args);
   va_end(args);
}

QV_API void qvlog_debug_tag_object2(const wchar_t *tag, uint32_t objectId, int32_t level, const wchar_t *format,
                                    va_list args)
{
   WriteObjectDebug(tag, objectId, level, format, args);
}
