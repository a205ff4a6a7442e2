/* Named pipes: the listener with its server thread and access rule, and one connected
 * end on either side. */
#include <qv_net.h>
#include <qv_log.h>
#include <qv_platform.h>

#include "platform/local_pipe.h"
#include "platform/named_pipe.h"
#include "sync/lock_guard.h"
#include "system/files.h"

#include <errno.h>
#include <stdlib.h>

#include <new>

using namespace qv::platform;
using qv::system::Utf8Path;

namespace {

/* Pause after a failed wait for a client; a stop ends it at once. */
constexpr uint32_t ACCEPT_ERROR_PAUSE_MS = 5000;

/* Least time a listener that took the connection gets to confirm it, whatever the
 * caller's time-out: a free listener answers within it even when the caller is in a
 * hurry. */
constexpr uint32_t CONFIRM_MIN_WAIT_MS = 1000;

/* Name of a user that cannot be found. */
const wchar_t UNKNOWN_USER[] = L"[unknown]";

/* Room for a system error text and for an account name (UTF-8). */
constexpr size_t ERROR_TEXT_CHARS = 256;
constexpr size_t USER_NAME_BYTES = 256;

bool IsEveryone(const wchar_t *user)
{
   return user == nullptr || user[0] == 0 || (user[0] == L'*' && user[1] == 0);
}

}  // namespace

/* ---------------------------------------------------------------------------------------
 * NamedPipeListener
 * ------------------------------------------------------------------------------------- */

NamedPipeListener::NamedPipeListener(const wchar_t *name, QvPipeServer *server, NamedPipeCallback callback, void *arg,
                                     const wchar_t *user)
    : m_server(server), m_callback(callback), m_arg(arg), m_serverThread(nullptr), m_stop(false)
{
   wcslcpy(m_name, name, NAME_LENGTH + 1);
   wcslcpy(m_user, IsEveryone(user) ? L"" : user, USER_LENGTH + 1);
}

NamedPipeListener *NamedPipeListener::create(const wchar_t *name, NamedPipeCallback callback, void *arg,
                                             const wchar_t *user)
{
   wchar_t errorText[ERROR_TEXT_CHARS];
   if (name == nullptr)
      name = L"";
   uint32_t allowedUid = PIPE_ANY_USER;
   int error = 0;
   if (!IsEveryone(user))
   {
      qvlog_debug(2, L"NamedPipeListener(%s): will allow connections only for user %s", name, user);
      Utf8Path account(user);
      if (account.get() == nullptr || !UserIdOf(account.get(), &allowedUid, &error))
      {
         qvlog_debug(2, L"NamedPipeListener(%s): SetEntriesInAcl failed (%s)", name,
                     (error == 0) ? L"No such user"
                                  : GetSystemErrorText(static_cast<uint32_t>(error), errorText, ERROR_TEXT_CHARS));
         return nullptr;
      }
   }
   Utf8Path pipeName(name);
   QvPipeServer *server = nullptr;
   if (pipeName.get() == nullptr)
      error = EINVAL;
   else
      server = PipeServerCreate(pipeName.get(), allowedUid, &error);
   if (server == nullptr)
   {
      qvlog_debug(2, L"NamedPipeListener(%s): CreateNamedPipe failed (%s)", name,
                  GetSystemErrorText(static_cast<uint32_t>(error), errorText, ERROR_TEXT_CHARS));
      return nullptr;
   }
   NamedPipeListener *listener = new (std::nothrow) NamedPipeListener(name, server, callback, arg, user);
   if (listener == nullptr)
      PipeServerDestroy(server);
   return listener;
}

NamedPipeListener::~NamedPipeListener()
{
   // The thread goes before the socket it waits on.
   stop();
   PipeServerDestroy(m_server);
}

void NamedPipeListener::start()
{
   if (m_serverThread != nullptr)
      return;
   __atomic_store_n(&m_stop, false, __ATOMIC_RELEASE);
   // A stop leaves the wake-up set; a new start must not see it.
   PipeServerClearWake(m_server);
   m_serverThread = ThreadStart(serverThread, 0, this);
   if (m_serverThread != nullptr)
      ThreadSetName(m_serverThread, "qvpipe-listener");
}

void NamedPipeListener::stop()
{
   __atomic_store_n(&m_stop, true, __ATOMIC_RELEASE);
   PipeServerWake(m_server);
   if (m_serverThread != nullptr)
   {
      ThreadWaitForExit(m_serverThread);
      m_serverThread = nullptr;
   }
}

void NamedPipeListener::serverThread(void *listener)
{
   static_cast<NamedPipeListener *>(listener)->serve();
}

void NamedPipeListener::serve()
{
   wchar_t errorText[ERROR_TEXT_CHARS];
   qvlog_debug(2, L"NamedPipeListener(%s): waiting for connection", m_name);
   while (!__atomic_load_n(&m_stop, __ATOMIC_ACQUIRE))
   {
      HPIPE client = INVALID_PIPE_HANDLE;
      int error = 0;
      PipeAcceptResult result = PipeServerAccept(m_server, &client, &error);
      if (result == PipeAcceptResult::STOPPED)
         break;
      if (result == PipeAcceptResult::FAILED)
      {
         qvlog_debug(2, L"NamedPipeListener(%s): ConnectNamedPipe failed (%s)", m_name,
                     GetSystemErrorText(static_cast<uint32_t>(error), errorText, ERROR_TEXT_CHARS));
         PipeServerWaitWake(m_server, ACCEPT_ERROR_PAUSE_MS);
         continue;
      }
      if (result == PipeAcceptResult::REFUSED)
      {
         qvlog_debug(5, L"NamedPipeListener(%s): connection of another user refused", m_name);
         continue;
      }
      if (result != PipeAcceptResult::CLIENT)
         continue;

      qvlog_debug(5, L"NamedPipeListener(%s): accepted connection", m_name);
      NamedPipe *pipe = new (std::nothrow) NamedPipe(m_name, client);
      if (pipe == nullptr)
      {
         LocalPipeClose(client);
         continue;
      }
      if (m_callback != nullptr)
         m_callback(pipe, m_arg);
      delete pipe;  // disconnects the client
   }
   qvlog_debug(2, L"NamedPipeListener(%s): stopped", m_name);
}

/* ---------------------------------------------------------------------------------------
 * NamedPipe
 * ------------------------------------------------------------------------------------- */

NamedPipe::NamedPipe(const wchar_t *name, HPIPE handle) : m_handle(handle)
{
   wcslcpy(m_name, name, NAME_LENGTH + 1);
   m_user[0] = 0;
}

NamedPipe::~NamedPipe()
{
   PipeDisconnect(m_handle);
   LocalPipeClose(m_handle);
}

NamedPipe *NamedPipe::connect(const wchar_t *name, uint32_t timeout)
{
   if (name == nullptr)
      return nullptr;
   Utf8Path pipeName(name);
   if (pipeName.get() == nullptr)
      return nullptr;
   int error = 0;
   HPIPE handle = PipeConnect(pipeName.get(), timeout, CONFIRM_MIN_WAIT_MS, &error);
   if (handle == INVALID_PIPE_HANDLE)
      return nullptr;
   NamedPipe *pipe = new (std::nothrow) NamedPipe(name, handle);
   if (pipe == nullptr)
      LocalPipeClose(handle);
   return pipe;
}

bool NamedPipe::write(const void *data, size_t size)
{
   if (size == 0)
      return true;
   if (data == nullptr)
      return false;
   qv::sync::LockGuard guard(m_mutex);
   return LocalPipeWrite(m_handle, data, size);
}

const wchar_t *NamedPipe::user()
{
   if (m_user[0] != 0)
      return m_user;
   wchar_t errorText[ERROR_TEXT_CHARS];
   uint32_t uid = 0;
   char account[USER_NAME_BYTES];
   if (!PipePeerUserId(m_handle, &uid))
   {
      qvlog_debug(5, L"NamedPipeListener(%s): GetNamedPipeHandleState failed (%s)", m_name,
                  GetSystemErrorText(static_cast<uint32_t>(errno), errorText, ERROR_TEXT_CHARS));
      wcslcpy(m_user, UNKNOWN_USER, USER_LENGTH + 1);
   }
   else if (!UserNameOf(uid, account, sizeof(account)))
   {
      qvlog_debug(5, L"NamedPipeListener(%s): GetNamedPipeHandleState failed (no account for user id %u)", m_name, uid);
      wcslcpy(m_user, UNKNOWN_USER, USER_LENGTH + 1);
   }
   else
   {
      utf8_to_wchar(account, -1, m_user, static_cast<int>(USER_LENGTH + 1));
   }
   return m_user;
}
