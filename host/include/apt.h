/* Base definitions of the server layer: boolean type, C linkage and export macros. */
#ifndef APT_H
#define APT_H

#include <apr.h>
#include <apr_pools.h>
#include <apr_strings.h>
#include <apr_general.h>
#include "mrcp_server_api.h"

#ifdef __cplusplus
#define APT_BEGIN_EXTERN_C extern "C" {
#define APT_END_EXTERN_C }
#else
#define APT_BEGIN_EXTERN_C
#define APT_END_EXTERN_C
#endif

#define APT_DECLARE(type) type
#define APT_DECLARE_DATA

/* Result of most server calls: TRUE or FALSE (from APR). */
typedef int apt_bool_t;

#endif
