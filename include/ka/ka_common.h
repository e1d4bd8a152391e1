/* ka_core: what every family shares: the export macro on each entry point and the library's version.
 *
 * Usage:
 *
 *     printf("ka_core %s\n", ka_version());          // "0.1.0"; KA_VERSION_STRING at compile time
 *
 * Every family header includes this one; a host rarely includes it alone.
 */
#ifndef KA_KA_COMMON_H
#define KA_KA_COMMON_H

/* Marks an entry point of the C interface: the only symbols the shared library exports. */
#if defined(_WIN32)
#define KA_API
#elif defined(__GNUC__) || defined(__clang__)
#define KA_API __attribute__((visibility("default")))
#else
#define KA_API
#endif

/* The version of these headers; ka_version() gives the library's, which a host may compare. */
#define KA_VERSION_MAJOR 0
#define KA_VERSION_MINOR 1
#define KA_VERSION_PATCH 0
#define KA_VERSION_STRING "0.1.0"

#ifdef __cplusplus
extern "C" {
#endif

/* The library's version as "MAJOR.MINOR.PATCH"; never NULL, valid for the life of the process. */
KA_API const char* ka_version(void);

#ifdef __cplusplus
}
#endif

#endif /* KA_KA_COMMON_H */
