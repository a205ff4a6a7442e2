/* A loopback TCP connection for the benchmarks; a benchmark that cannot get one aborts. */
#ifndef QORVEL_BENCH_BENCH_LOOPBACK_H
#define QORVEL_BENCH_BENCH_LOOPBACK_H

#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

/* *client connected to *server through a listener on 127.0.0.1 that is gone afterwards. */
inline void ConnectLoopbackPair(int *client, int *server)
{
   int listener = socket(AF_INET, SOCK_STREAM, 0);
   sockaddr_in addr = {};
   addr.sin_family = AF_INET;
   addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
   socklen_t len = sizeof(addr);
   if (bind(listener, reinterpret_cast<sockaddr *>(&addr), len) != 0 || listen(listener, 1) != 0 ||
       getsockname(listener, reinterpret_cast<sockaddr *>(&addr), &len) != 0)
      abort();
   *client = socket(AF_INET, SOCK_STREAM, 0);
   if (connect(*client, reinterpret_cast<sockaddr *>(&addr), len) != 0)
      abort();
   *server = accept(listener, nullptr, nullptr);
   close(listener);
}

#endif
