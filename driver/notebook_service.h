/* The simulated notebook as the driver's dispatch routine sees it: plain C, so that the
 * kernel-mode part, which includes the DDK headers, can be compiled as C. */
#ifndef KOVALTHERM_DRIVER_NOTEBOOK_SERVICE_H
#define KOVALTHERM_DRIVER_NOTEBOOK_SERVICE_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Results of QorixServe besides 0 (success), as Win32 error codes. */
#define QORIX_ERROR_INVALID_FUNCTION 1
#define QORIX_ERROR_INVALID_PARAMETER 87

/* Loads the default notebook. */
void QorixStartNotebook(void);

/* Serves one control code on a METHOD_BUFFERED system buffer at time `nowMs`: the thermal
 * driver's requests, loading a scenario, reading the request log. The notebook's clock counts
 * from the last scenario load (for the default notebook, from the counter's own start).
 * Returns 0 or a Win32 error code; `*information` is the number of output bytes. Calls must
 * not overlap. */
uint32_t QorixServe(uint32_t code, void *buffer, uint32_t inputLength, uint32_t outputLength,
                    uint32_t *information, uint32_t nowMs);

#ifdef __cplusplus
}
#endif

#endif
