/* Connections for the transport tests: loopback TCP, and a TLS session between the two
 * ends of a socketpair with a self-signed certificate made once. */
#ifndef QORVEL_TESTS_SUPPORT_TRANSPORT_TEST_UTIL_H
#define QORVEL_TESTS_SUPPORT_TRANSPORT_TEST_UTIL_H

#include "support/thread_test_util.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <sys/socket.h>
#include <unistd.h>

namespace qvtest {

/* A loopback TCP connection: *client connected to *server through a listener on
 * 127.0.0.1 that is gone afterwards. */
inline void ConnectLoopback(int *client, int *server)
{
   int listener = socket(AF_INET, SOCK_STREAM, 0);
   sockaddr_in addr = {};
   addr.sin_family = AF_INET;
   addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
   socklen_t len = sizeof(addr);
   EXPECT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&addr), len), 0);
   EXPECT_EQ(listen(listener, 1), 0);
   EXPECT_EQ(getsockname(listener, reinterpret_cast<sockaddr *>(&addr), &len), 0);
   *client = socket(AF_INET, SOCK_STREAM, 0);
   EXPECT_EQ(connect(*client, reinterpret_cast<sockaddr *>(&addr), len), 0);
   *server = accept(listener, nullptr, nullptr);
   close(listener);
}

/* Both ends of a loopback TCP connection, closed with the object. */
struct Loopback
{
   int client = -1, server = -1;

   Loopback() { ConnectLoopback(&client, &server); }
   Loopback(const Loopback &) = delete;
   Loopback &operator=(const Loopback &) = delete;
   ~Loopback()
   {
      close(client);
      close(server);
   }
};

/* Lifetime of the test certificate, in seconds. */
constexpr long TEST_CERTIFICATE_LIFETIME = 3600;

/* A self-signed certificate and its key, made once. */
struct Identity
{
   EVP_PKEY *key = EVP_RSA_gen(2048);
   X509 *cert = X509_new();

   Identity()
   {
      ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
      X509_gmtime_adj(X509_getm_notBefore(cert), 0);
      X509_gmtime_adj(X509_getm_notAfter(cert), TEST_CERTIFICATE_LIFETIME);
      X509_NAME *name = X509_get_subject_name(cert);
      X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char *>("qorvel test"), -1,
                                 -1, 0);
      X509_set_issuer_name(cert, name);
      X509_set_pubkey(cert, key);
      EXPECT_GT(X509_sign(cert, key, EVP_sha256()), 0);
   }
   static Identity &get()
   {
      static Identity identity;
      return identity;
   }
};

/* The session after its handshake: the server on fd[0] (blocking), the client on fd[1]
 * (non-blocking unless asked otherwise). */
struct TlsPair
{
   SSL_CTX *serverCtx = SSL_CTX_new(TLS_server_method());
   SSL_CTX *clientCtx = SSL_CTX_new(TLS_client_method());
   SSL *server = nullptr;
   SSL *client = nullptr;
   int fd[2] = {-1, -1};

   explicit TlsPair(bool nonBlockingClient = true)
   {
      EXPECT_EQ(1, SSL_CTX_use_certificate(serverCtx, Identity::get().cert));
      EXPECT_EQ(1, SSL_CTX_use_PrivateKey(serverCtx, Identity::get().key));
      server = SSL_new(serverCtx);
      client = SSL_new(clientCtx);
      EXPECT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, fd));
      SSL_set_fd(server, fd[0]);
      SSL_set_fd(client, fd[1]);
      int accepted = 0;
      {
         Worker handshake([&] { accepted = SSL_accept(server); });
         EXPECT_EQ(1, SSL_connect(client));
      }
      EXPECT_EQ(1, accepted);
      if (nonBlockingClient)
         fcntl(fd[1], F_SETFL, fcntl(fd[1], F_GETFL) | O_NONBLOCK);
   }
   TlsPair(const TlsPair &) = delete;
   TlsPair &operator=(const TlsPair &) = delete;
   ~TlsPair()
   {
      SSL_free(server);
      SSL_free(client);
      SSL_CTX_free(serverCtx);
      SSL_CTX_free(clientCtx);
      close(fd[0]);
      close(fd[1]);
   }
};

}  // namespace qvtest

#endif
