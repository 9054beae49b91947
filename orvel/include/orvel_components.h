/* The contract between Sorvik and the served product's components library.
 *
 * The program finds the library through the registry: the default value of
 * HKEY_CLASSES_ROOT\CLSID\{class identifier}\InprocServer32 is its path. Lines and texts are
 * single-byte (ISO-8859-1) bytes. Every text or error handed out is released with orvel_free.
 */
#ifndef ORVEL_COMPONENTS_H
#define ORVEL_COMPONENTS_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Class identifiers of the two components. */
#define ORVEL_STATUS_OBJECT_CLSID "{60EB7702-6A7A-11D1-8029-00C04FAD610B}"
#define ORVEL_DIAG_FORMATTER_CLSID "{CA877C14-DCEE-459B-89B7-7A9E841558D5}"

/* The served product's status: 32 while it runs. Returns 0 when the status was read. */
#define ORVEL_STATUS_RUNNING 32
int orvel_status_read(int32_t *status);

/* The diagnostic line formatter: turns one raw diagnostic record into readable text. */
void *orvel_diag_formatter_create(void);
/* Returns 0 and sets text (and its length), or non-zero and sets error, a description of what is
 * wrong with the line. */
int orvel_diag_formatter_format_line(void *formatter, const char *line, size_t length, char **text,
                                     size_t *text_length, char **error);
void orvel_diag_formatter_destroy(void *formatter);

void orvel_free(void *p);

#ifdef __cplusplus
}
#endif

#endif
