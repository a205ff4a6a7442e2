/* What qvtool agent and qvtool call say to each other: the message codes of each request,
 * the fields of this program pair, the result codes, and the encrypted send that both
 * sides use once the session key is agreed.
 *
 * A session: the agent sends CMD_REQUEST_SESSION_KEY with its public key (id 0, not
 * encrypted), the client answers with CMD_SESSION_KEY, and from then on every message
 * travels encrypted. Each request carries an id of the client's choosing; the agent
 * answers it with CMD_REQUEST_COMPLETED of the same id, after any stream of
 * CMD_COMMAND_OUTPUT or CMD_FILE_DATA messages of that id. */
#ifndef QVTOOL_AGENT_PROTOCOL_H
#define QVTOOL_AGENT_PROTOCOL_H

#include <qorvel.h>

#include <stdint.h>

#include <string>

namespace agent {

/* Requests. Codes of the core protocol where one fits, codes of this program pair (from
 * 0x0200, beyond the core range) for the rest. */
constexpr uint16_t CMD_GET_TABLE_REQUEST = CMD_GET_TABLE;      // info, metrics, schedule
constexpr uint16_t CMD_EXEC_REQUEST = CMD_EXECUTE_ACTION;      // exec, output as CMD_COMMAND_OUTPUT
constexpr uint16_t CMD_GET_FILE_REQUEST = CMD_GET_AGENT_FILE;  // get-file, data as CMD_FILE_DATA
constexpr uint16_t CMD_PUT_FILE_REQUEST = CMD_UPLOAD_FILE;     // put-file, data as CMD_FILE_DATA
constexpr uint16_t CMD_AGENT_ECHO = 0x0200;
constexpr uint16_t CMD_AGENT_PING = 0x0201;
constexpr uint16_t CMD_AGENT_SET_DEBUG = 0x0202;

/* The system's result-code field; the rest are this program pair's own. */
constexpr uint32_t FIELD_RCC = 28;
constexpr uint32_t FIELD_ERROR_TEXT = 0x7A000001;      // STRING: why a request failed
constexpr uint32_t FIELD_TABLE_NAME = 0x7A000002;      // STRING: "info", "metrics", "schedule"
constexpr uint32_t FIELD_ARGUMENT = 0x7A000003;        // STRING: command line, path, target
constexpr uint32_t FIELD_PAYLOAD = 0x7A000004;         // BINARY: echo payload
constexpr uint32_t FIELD_EXIT_CODE = 0x7A000005;       // INT32: exit code of an executed command
constexpr uint32_t FIELD_OUTPUT = 0x7A000006;          // BINARY: a chunk of command output, as written
constexpr uint32_t FIELD_FILE_NAME = 0x7A000007;       // STRING: plain name of a transferred file
constexpr uint32_t FIELD_FILE_SIZE = 0x7A000008;       // INT64: its size in bytes
constexpr uint32_t FIELD_DEBUG_TAG = 0x7A000009;       // STRING: tag, "*" for the default level
constexpr uint32_t FIELD_DEBUG_LEVEL = 0x7A00000A;     // INT32: level 0 to 9
constexpr uint32_t FIELD_DEBUG_SECONDS = 0x7A00000B;   // INT32: seconds until the change expires (0: stays)
constexpr uint32_t FIELD_PING_RESULT = 0x7A00000C;     // INT32: PING_OK ... PING_INTERNAL_ERROR
constexpr uint32_t FIELD_PING_RTT = 0x7A00000D;        // INT32: round trip in milliseconds
constexpr uint32_t FIELD_PING_ADDRESS = 0x7A00000E;    // STRING: the address pinged
constexpr uint32_t FIELD_WIRE_BYTES = 0x7A00000F;      // INT64: bytes of a transfer on the wire
constexpr uint32_t FIELD_PREVIOUS_LEVEL = 0x7A000010;  // INT32: level in force before a debug change
constexpr uint32_t FIELD_JSON = 0x7A000011;            // STRING: the same facts as a JSON document

/* Result codes in FIELD_RCC. */
constexpr uint32_t RCC_SUCCESS = 0;
constexpr uint32_t RCC_FAILED = 1;           // the operation failed; FIELD_ERROR_TEXT says why
constexpr uint32_t RCC_NOT_ALLOWED = 2;      // the configuration does not allow the request
constexpr uint32_t RCC_BAD_REQUEST = 3;      // a missing or malformed field
constexpr uint32_t RCC_UNKNOWN_COMMAND = 4;  // a request code the agent does not serve

/* Bytes of the echo payload the benchmark sends. */
constexpr size_t ECHO_PAYLOAD_SIZE = 64;

/* Buffer limits of the message receivers on both sides: a new receiver's buffer, and the
 * largest message taken (a file data message with its frame and envelope fits easily). */
constexpr size_t RECEIVER_INITIAL_SIZE = 16384;
constexpr size_t RECEIVER_MAX_SIZE = 4 * 1024 * 1024;

/* Milliseconds of one wait of a reader for bytes; the sockets are non-blocking, so a
 * reader waits in rounds (closing the channel ends the wait at once). */
constexpr uint32_t READ_WAIT_MS = 1000;

/* Milliseconds either side waits for the other during the key exchange. */
constexpr uint32_t KEY_EXCHANGE_TIMEOUT = 10000;

/* Serialises msg, encrypts it with context unless it carries QVCP_MF_DONT_ENCRYPT (or
 * context is null) and sends it whole while holding mutex. False when any step fails. */
bool SendMessage(AbstractCommChannel *channel, QVCPEncryptionContext *context, Mutex *mutex, const QVCPMessage &msg);

/* UTF-8 of wide text (null gives "") and back. */
std::string Utf8(const wchar_t *text);
std::wstring Wide(const char *text);

/* Names the codes of this program pair in debug output (registered once per process). */
void RegisterCodeNames();

}  // namespace agent

#endif
