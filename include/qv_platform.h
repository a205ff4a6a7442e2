/* libqorvel Process and platform support: process setup, crash handling, files, option parsing,
 * date and time, console output. */
#ifndef QORVEL_QV_PLATFORM_H
#define QORVEL_QV_PLATFORM_H

#include <qv_strings.h>

#include <stdio.h>
#include <sys/stat.h>
#include <time.h>

/* ---------------------------------------------------------------------------------------
 * Files and directories
 *
 * Stateless helpers; every one may be called from any thread. Paths are wide text and go
 * to the system as UTF-8; "/" separates directories. Failures are told by the result only
 * (null, false, -1 or a size of 0), _statw32 also through errno. Paths are not limited to
 * 259 characters: what the system accepts works, longer ones fail. The 8-bit directory
 * reader (opendir, readdir, closedir, scandir, alphasort) and mkstemp are the C library's
 * own here.
 * ------------------------------------------------------------------------------------- */

/* Characters of wdirent::d_name, terminator included. */
#define QV_DIRENT_NAME_CHARS 260

/* Entry of the wide directory reader. */
struct wdirent
{
   int32_t d_ino;    /* 0 for the first entry returned, one more for each further entry */
   int32_t d_type;   /* 2 for a directory (links followed), 1 for anything else */
   int32_t d_namlen; /* length of d_name in characters */
   wchar_t d_name[QV_DIRENT_NAME_CHARS];
};

/* An open wide directory listing. */
typedef struct WDIR WDIR;

/* Opens the directory for reading; one trailing "/" is ignored. Null for a null or empty
 * path and when the path is not a directory that can be read. Close with wclosedir. */
QV_API WDIR *wopendir(const wchar_t *path);

/* The next entry ("." and ".." included, in the system's order), valid until the next call
 * on the listing; null at the end and for a null listing. */
QV_API struct wdirent *wreaddir(WDIR *dir);

/* Closes the listing and frees it: 0, or -1 for a null listing. */
QV_API int wclosedir(WDIR *dir);

/* stat of a wide path that accepts a trailing "/". Fills record with the type (S_IFDIR,
 * S_IFCHR or S_IFREG), the permissions 0400 (the owner may not write) or 0600, the size,
 * and the access, modification and creation times (status change where the file system
 * keeps no creation time), everything else 0; returns 0. Fails with -1 and errno ENOENT
 * when the file does not exist, EACCES for any other failure. */
QV_API int _statw32(const wchar_t *path, struct stat *record);

/* The whole file in a new block (free() it) with one zero byte after the data, and its
 * size in *size (may be null). Null when the file cannot be read or is 4 GiB or more. A
 * file that shrinks while it is read gives what was read. */
QV_API BYTE *LoadFile(const wchar_t *fileName, uint32_t *size);
QV_API BYTE *LoadFileA(const char *fileName, uint32_t *size);

/* Creates the directory, and its missing parents first. True when the directory itself
 * was created by this call (an existing directory gives false). */
QV_API bool CreateFolder(const wchar_t *directory);

/* Copies a file (replacing the destination; mode and times go with it) or a directory
 * tree. A tree is merged into an existing destination directory. Symbolic links are
 * followed; a link that leads back into the tree is not followed again. The copy goes on
 * after a failure below the top and writes each failure to the debug output (tag
 * "files", level 1) with the path it concerns; the result is true only when everything
 * was copied. */
QV_API bool CopyFileOrDirectory(const wchar_t *oldName, const wchar_t *newName);

/* Moves a file or directory tree: renamed where the system can, otherwise (another file
 * system, a destination directory that exists) copied and deleted entry by entry, so a
 * tree is merged into an existing destination. Entries that cannot be moved stay where
 * they were and are written to the debug output as above; the result is true only when
 * everything was moved. */
QV_API bool MoveFileOrDirectory(const wchar_t *oldName, const wchar_t *newName);

/* Expands a file name template into buffer (size characters, terminator included): the
 * template is formatted as a strftime format with the current local time ("%Y", "%m"...,
 * "%%" for a percent sign), then "${NAME}" is replaced by the environment variable NAME
 * (nothing when it is not set; names of at most 255 characters) and, when
 * allowShellCommands is set, "`command`" by the first line of the command's output (at
 * most 1023 characters of command and of output); otherwise a backquote is an ordinary
 * character. A "${" or backquote without its closing character takes the rest of the text
 * and ends it. The output is cut at size - 1 characters and always terminated; an empty
 * template or expansion gives the empty text. Returns buffer, or null for a null
 * template or buffer, or a size of 0. */
QV_API wchar_t *ExpandFileName(const wchar_t *name, wchar_t *buffer, size_t size, bool allowShellCommands);

/* Replaces the trailing XXXXXX of templ (changed in place) by a unique text and creates
 * that file, failing if it exists, for reading and writing with permissions 0600. The
 * open descriptor (not inherited by child processes), or -1. */
QV_API int wmkstemp(wchar_t *templ);

/* Size of the file in bytes; 0 when it does not exist. */
QV_API int64_t FileSizeW(const wchar_t *fileName);
QV_API int64_t FileSizeA(const char *fileName);

/* Pointer into fileName just after its last "/", "\" or ":" (the whole text when there is
 * none). */
QV_API const wchar_t *GetCleanFileName(const wchar_t *fileName);

/* Sets the access and the modification time of the file to t (seconds since 1970); true
 * when both were set. */
QV_API bool SetLastModificationTime(const wchar_t *fileName, time_t t);

/* Compresses the rest of inFile into outFile (level 9; in gzip form when gzip is set,
 * otherwise in zlib form). Returns 0 on success, -1 on a read or write error, otherwise
 * the zlib error. Neither stream is closed. */
QV_API int DeflateFileStream(FILE *inFile, FILE *outFile, bool gzip);

/* Writes a gzip copy of inName to outName (null: inName followed by ".gz"). True when it
 * was written; a failed compression removes its partial output. */
QV_API bool DeflateFile(const wchar_t *inName, const wchar_t *outName);

#endif
