/* Clearing key material and decrypted secrets before their memory is released. */
#ifndef QORVEL_CRYPTO_WIPE_H
#define QORVEL_CRYPTO_WIPE_H

#include <stddef.h>

namespace qv::crypto {

/* Sets size bytes at p to zero through a volatile pointer, so that the stores are kept
 * even though the memory is not read again. */
inline void SecureWipe(void *p, size_t size)
{
   volatile unsigned char *bytes = static_cast<volatile unsigned char *>(p);
   for (size_t i = 0; i < size; i++)
      bytes[i] = 0;
}

}  // namespace qv::crypto

#endif
