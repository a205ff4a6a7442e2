/* Internal platform service of the file receiver: a new file in a directory, written
 * under a temporary name of its own and given its final name only when it is complete.
 * No OS header appears here; the POSIX side is incoming_file_posix.cpp. */
#ifndef QORVEL_PLATFORM_INCOMING_FILE_H
#define QORVEL_PLATFORM_INCOMING_FILE_H

#include <qv_base.h>

namespace qv {
namespace platform {

/* Room for the temporary file's name: a point, a fixed word and random digits. */
constexpr size_t INCOMING_TEMP_NAME_BYTES = 64;

/* What storing a file under its name came to. */
enum class StoreResult
{
   STORED,  // the file has the name now
   EXISTS,  // something had the name already; nothing was changed
   FAILED   // the system refused; see lastError
};

/* One file being received into a directory. Names given to it are plain names within the
 * directory (no separator; the caller checks them). Nothing in the directory is ever
 * followed through a symbolic link, and nothing that is there already is opened,
 * truncated or removed, except that store with replace puts the file in place of what
 * has its name, in one step. Not thread-safe. */
class IncomingFile
{
   int m_dir = -1;                             // the directory, for every call relative to it
   int m_file = -1;                            // the temporary file, open for writing until stored
   int m_error = 0;                            // the system's code of the last failure
   char m_tempName[INCOMING_TEMP_NAME_BYTES];  // empty when no temporary file exists

public:
   IncomingFile() { m_tempName[0] = 0; }
   IncomingFile(const IncomingFile &) = delete;
   IncomingFile &operator=(const IncomingFile &) = delete;
   /* Removes the temporary file unless it was stored. */
   ~IncomingFile();

   /* Opens the directory of the UTF-8 path (followed when it is itself a link: the caller
    * chose it) and creates a new, empty temporary file in it, under a name starting with
    * a point that no file has. False on failure. */
   bool create(const char *dir);

   /* Whether anything (file, directory, symbolic link, even a dangling one) has the UTF-8
    * name in the directory. */
   bool nameTaken(const char *name) const;

   /* Appends all size bytes to the temporary file; false on failure (disk full, ...). */
   bool write(const void *data, size_t size);

   /* Closes the temporary file and gives it the UTF-8 name. Without replace only when
    * nothing has the name; with replace in place of the file or link that has it, in one
    * step, so that readers see the old file or the new one, never a part. */
   StoreResult store(const char *name, bool replace);

   /* Closes and removes the temporary file, unless it was stored. */
   void discard();

   /* The system's error code of the last failure (0: none). */
   int lastError() const { return m_error; }
};

}  // namespace platform
}  // namespace qv

#endif
