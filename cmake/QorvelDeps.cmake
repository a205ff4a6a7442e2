# The Debian packages the library builds on.
find_package(Threads REQUIRED)
find_package(OpenSSL 3 REQUIRED)
find_package(ZLIB REQUIRED)
find_package(EXPAT REQUIRED)
find_package(PkgConfig REQUIRED)
pkg_check_modules(JANSSON REQUIRED IMPORTED_TARGET jansson)
pkg_check_modules(LZ4 REQUIRED IMPORTED_TARGET liblz4)
pkg_check_modules(TRE REQUIRED IMPORTED_TARGET tre)
find_path(UTHASH_INCLUDE_DIR uthash.h REQUIRED)

# libbacktrace of the compiler's support library (libgcc-12-dev): stack walks of the crash
# report with symbols and source lines, without the heap. Taken from gcc's directory also
# when clang builds.
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libbacktrace.a
                OUTPUT_VARIABLE QV_BACKTRACE_LIBRARY OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
if(NOT IS_ABSOLUTE "${QV_BACKTRACE_LIBRARY}" OR NOT EXISTS "${QV_BACKTRACE_LIBRARY}")
  file(GLOB QV_BACKTRACE_CANDIDATES /usr/lib/gcc/*/*/libbacktrace.a)
  list(SORT QV_BACKTRACE_CANDIDATES)
  list(REVERSE QV_BACKTRACE_CANDIDATES)
  list(GET QV_BACKTRACE_CANDIDATES 0 QV_BACKTRACE_LIBRARY)
endif()
get_filename_component(QV_BACKTRACE_DIR ${QV_BACKTRACE_LIBRARY} DIRECTORY)
if(NOT EXISTS "${QV_BACKTRACE_DIR}/include/backtrace.h")
  message(FATAL_ERROR "libbacktrace (libgcc-12-dev) not found")
endif()
add_library(QvBacktrace STATIC IMPORTED)
set_target_properties(QvBacktrace PROPERTIES IMPORTED_LOCATION ${QV_BACKTRACE_LIBRARY})
# Only its own header from that directory, so clang keeps its own compiler headers.
set(QV_BACKTRACE_INCLUDE_DIR ${CMAKE_BINARY_DIR}/backtrace-include)
file(COPY ${QV_BACKTRACE_DIR}/include/backtrace.h DESTINATION ${QV_BACKTRACE_INCLUDE_DIR})
set_target_properties(QvBacktrace PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${QV_BACKTRACE_INCLUDE_DIR})
