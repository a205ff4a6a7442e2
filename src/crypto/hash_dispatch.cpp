/* Run-time choice of the hash kernels: the processor's CRC folding and SHA instructions where
 * it has them, the portable code otherwise or when a test forces it. */
#include "crypto/hash_internal.h"

#include <atomic>

#ifdef QV_HASH_X86
#include <cpuid.h>
#include <immintrin.h>
#endif

namespace qv::crypto {
namespace {

/* Set by CryptoForcePortableHashes; read on every call, so flipping it takes effect at once. */
std::atomic<bool> g_forcePortable{false};

const HashKernels PORTABLE_KERNELS = {Crc32Portable, Sha1BlocksPortable, Sha256BlocksPortable, 0};

#ifdef QV_HASH_X86
/* Feature bits of CPUID leaf 1 (ECX) and leaf 7 sub-leaf 0 (EBX). */
constexpr unsigned CPUID_LEAF1_PCLMULQDQ = 1u << 1;
constexpr unsigned CPUID_LEAF1_SSSE3 = 1u << 9;
constexpr unsigned CPUID_LEAF1_SSE41 = 1u << 19;
constexpr unsigned CPUID_LEAF7_SHA = 1u << 29;
/* AVX-512 with 512-bit carry-less multiply: CPUID leaf 1 ECX OSXSAVE, leaf 7 EBX AVX512F and
 * ECX VPCLMULQDQ, and the system saving the SSE, AVX, opmask and upper ZMM state (XCR0). */
constexpr unsigned CPUID_LEAF1_OSXSAVE = 1u << 27;
constexpr unsigned CPUID_LEAF7_AVX512F = 1u << 16;
constexpr unsigned CPUID_LEAF7_ECX_VPCLMULQDQ = 1u << 10;
constexpr uint64_t XCR0_AVX512_STATE = 0xE6;

__attribute__((target("xsave"))) bool HasAvx512Clmul(unsigned leaf1Ecx)
{
   unsigned eax, ebx, ecx, edx;
   if (!(leaf1Ecx & CPUID_LEAF1_OSXSAVE) || !__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx))
      return false;
   if (!(ebx & CPUID_LEAF7_AVX512F) || !(ecx & CPUID_LEAF7_ECX_VPCLMULQDQ))
      return false;
   return (_xgetbv(0) & XCR0_AVX512_STATE) == XCR0_AVX512_STATE;
}

HashKernels DetectKernels()
{
   HashKernels kernels = PORTABLE_KERNELS;
   unsigned eax, ebx, ecx, edx;
   if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx))
      return kernels;
   bool sse41 = (ecx & CPUID_LEAF1_SSE41) && (ecx & CPUID_LEAF1_SSSE3);
   if (sse41 && (ecx & CPUID_LEAF1_PCLMULQDQ))
   {
      kernels.crc32 = HasAvx512Clmul(ecx) ? Crc32Vpclmul : Crc32Clmul;
      kernels.acceleration |= HASH_ACCEL_CRC32;
   }
   if (sse41 && __get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) && (ebx & CPUID_LEAF7_SHA))
   {
      kernels.sha1 = Sha1BlocksShaNi;
      kernels.sha256 = Sha256BlocksShaNi;
      kernels.acceleration |= HASH_ACCEL_SHA1 | HASH_ACCEL_SHA256;
   }
   return kernels;
}
#else
HashKernels DetectKernels()
{
   return PORTABLE_KERNELS;
}
#endif

}  // namespace

const HashKernels &ActiveHashKernels()
{
   static const HashKernels detected = DetectKernels();
   return g_forcePortable.load(std::memory_order_relaxed) ? PORTABLE_KERNELS : detected;
}

}  // namespace qv::crypto

QV_API uint32_t CryptoGetHashAcceleration(void)
{
   return qv::crypto::ActiveHashKernels().acceleration;
}

QV_API void CryptoForcePortableHashes(bool portable)
{
   qv::crypto::g_forcePortable.store(portable, std::memory_order_relaxed);
}
