/* The Telnet client's handling of one received chunk: commands removed from the data, and
 * the answers to the server's option negotiation. Kept in a header so that the tests and
 * the fuzz target can drive it on its own. */
#ifndef QORVEL_NET_TELNET_FILTER_H
#define QORVEL_NET_TELNET_FILTER_H

#include <qv_base.h>

namespace qv {
namespace net {

/* Telnet bytes. */
constexpr uint8_t TELNET_IAC = 255;   // interpret as command
constexpr uint8_t TELNET_WILL = 251;  // first of the four negotiation verbs
constexpr uint8_t TELNET_WONT = 252;
constexpr uint8_t TELNET_DO = 253;
constexpr uint8_t TELNET_DONT = 254;
constexpr uint8_t TELNET_OPTION_ECHO = 1;

/* The one option the client agrees to when the server asks or offers it. */
constexpr uint8_t TELNET_AGREED_OPTION = 249;

/* Bytes of one negotiation command or answer: IAC, verb, option. */
constexpr int TELNET_NEGOTIATION_SIZE = 3;

/* Removes the Telnet commands from the count bytes at data, in place, and returns how
 * many data bytes remain. Zero bytes are dropped; IAC IAC leaves one data byte 255 and the
 * walk goes on after it; IAC and a command byte below WILL are dropped; IAC, a
 * negotiation verb and an option are dropped and answered: the answer (IAC, verb, option)
 * is appended to replies, which must hold count bytes (an answer replaces as many bytes
 * as it takes), and *replySize is set to the bytes appended. A command whose bytes do not
 * all lie in the chunk is left in the data (the last byte is never the start of one). */
inline int FilterTelnetChunk(uint8_t *data, int count, uint8_t *replies, int *replySize)
{
   int out = 0;
   int answered = 0;
   int i = 0;
   while (i < count)
   {
      uint8_t b = data[i];
      if (b == 0)
      {
         i++;
         continue;
      }
      if (b != TELNET_IAC || i + 1 >= count)
      {
         data[out++] = b;
         i++;
         continue;
      }
      uint8_t command = data[i + 1];
      if (command == TELNET_IAC)
      {
         data[out++] = TELNET_IAC;
         i += 2;
      }
      else if (command < TELNET_WILL)
      {
         i += 2;
      }
      else if (i + 2 < count)
      {
         uint8_t option = data[i + 2];
         uint8_t verb;
         if (option == TELNET_AGREED_OPTION)
            verb = (command == TELNET_DO) ? TELNET_WILL : TELNET_DO;
         else
            verb = (command == TELNET_DO) ? TELNET_WONT : TELNET_DONT;
         replies[answered++] = TELNET_IAC;
         replies[answered++] = verb;
         replies[answered++] = option;
         i += TELNET_NEGOTIATION_SIZE;
      }
      else
      {
         // The option byte is in the next chunk: the verb stays in the data too.
         data[out++] = b;
         data[out++] = command;
         i += 2;
      }
   }
   *replySize = answered;
   return out;
}

}  // namespace net
}  // namespace qv

#endif
