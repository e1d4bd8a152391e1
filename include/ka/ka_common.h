/* ka_core: what every family shares: the export macro on each entry point, the library's version,
 * and the log every diagnostic of the library goes through.
 *
 * Usage:
 *
 *     printf("ka_core %s\n", ka_version());          // "0.1.0"; KA_VERSION_STRING at compile time
 *
 *     static void on_line(void* user, int level, const char* line) {
 *         my_logger_write(user, level, line);         // one line, no trailing newline
 *     }
 *     ka_log_set(on_line, my_logger);                 // nothing reaches standard error any more
 *     ka_log_set_level(KA_LOG_WARNING);               // progress lines dropped
 *     ...
 *     ka_log_set(NULL, NULL);                         // standard error again
 *
 * The log carries every diagnostic of the library (the bracketed "[ka]", "[ka-driver]", ... lines)
 * and, routed into it, ONNX Runtime's and FFmpeg's own lines. By default each line is written to
 * standard error followed by a newline. FFmpeg's log is process-wide: once the library has opened a
 * video, or a callback or level has been set, FFmpeg's lines of the whole process go through this log.
 *
 * Threads: lines are delivered one at a time, from whichever thread logs (the library's own threads
 * included). ka_log_set may be called from any thread, also from within the callback; once it
 * returns, the previous callback is not running and will not be called again.
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

/* Log levels: a line is delivered when its level is at most the level set. */
#define KA_LOG_ERROR 0
#define KA_LOG_WARNING 1
#define KA_LOG_INFO 2

/* Receives one line of the log (no trailing newline) and its level. */
typedef void (*ka_log_fn)(void* user, int level, const char* line);

/* Sends every line of the log to `callback` with `user`; NULL restores standard error. */
KA_API void ka_log_set(ka_log_fn callback, void* user);
/* Delivers lines up to `level` (KA_LOG_ERROR, KA_LOG_WARNING or KA_LOG_INFO, the default).
 * 1, or 0 for another value (the level stays). */
KA_API int ka_log_set_level(int level);

#ifdef __cplusplus
}
#endif

#endif /* KA_KA_COMMON_H */
