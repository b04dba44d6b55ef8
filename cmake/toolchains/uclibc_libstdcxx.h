/* Included before every C++ source of the uClibc build (arm-uclibc.cmake): the libstdc++
 * headers that come with Debian's cross compiler were configured for glibc and name a few
 * of its functions and types that uClibc lacks. Dropping those settings makes the headers
 * declare only what the C library has, and the locale type that the headers' inline code
 * names is declared as uClibc itself declares it when built with locales. The code we
 * build calls none of these. */
#ifndef MIRVO_UCLIBC_LIBSTDCXX_H
#define MIRVO_UCLIBC_LIBSTDCXX_H

#include <bits/c++config.h>

#undef _GLIBCXX_HAVE_AT_QUICK_EXIT
#undef _GLIBCXX_HAVE_QUICK_EXIT
#undef _GLIBCXX_HAVE_TIMESPEC_GET
#undef _GLIBCXX_USE_TMPNAM
#undef _GLIBCXX_USE_PTHREAD_COND_CLOCKWAIT

#include <features.h>
#ifndef __UCLIBC_HAS_LOCALE__
struct __uclibc_locale_struct;
typedef struct __uclibc_locale_struct *__locale_t;
#endif

#endif
