/* MIRVO_LAYOUT_CHECK(condition, message): a compile-time check of a record's layout that
 * works in the device interface headers whether they are included from C or from C++. */
#ifndef MIRVO_LAYOUT_CHECK_H
#define MIRVO_LAYOUT_CHECK_H

#ifdef __cplusplus
#define MIRVO_LAYOUT_CHECK static_assert
#else
#define MIRVO_LAYOUT_CHECK _Static_assert
#endif

#endif /* MIRVO_LAYOUT_CHECK_H */
