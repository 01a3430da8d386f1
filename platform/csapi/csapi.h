/* Platform parameter library: read access to the gateway's device data model (TR-181).
 *
 * A caller opens a session with CS_Init, reads any number of parameters as text with
 * CS_GetParamValue and releases the session with CS_UnInit. */
#ifndef CSAPI_H
#define CSAPI_H

#ifdef __cplusplus
extern "C" {
#endif

/* An open session; 0 (NULL) is never a valid handle. */
typedef struct cs_session* CS_HANDLE;

/* Results. Anything other than CS_OK is a failure. */
#define CS_OK 0
#define CS_ERR_INIT 2      /* no session could be opened */
#define CS_ERR_HANDLE 3    /* the handle is not an open session */
#define CS_ERR_ARGUMENT 4  /* no name, buffer or handle variable, or a negative size */
#define CS_ERR_NO_PARAM 5  /* the data model has no such parameter */
#define CS_ERR_TOO_SMALL 6 /* the value and its terminating NUL don't fit in the buffer */
#define CS_ERR_FAILED 7    /* the parameter could not be read */
#define CS_ERR_INTERNAL 8  /* the library ran out of resources */

/* Opens a session. *handle must be 0 on entry; it becomes non-zero on success and is left
 * untouched on failure. */
int CS_Init(CS_HANDLE* handle);

/* Copies the value of the parameter `name` as a NUL-terminated text into value[0, size). After
 * a failure the buffer's content is unspecified. */
int CS_GetParamValue(CS_HANDLE handle, const char* name, char* value, int size);

/* Releases a session opened by CS_Init. */
int CS_UnInit(CS_HANDLE handle);

#ifdef __cplusplus
}
#endif

#endif /* CSAPI_H */
