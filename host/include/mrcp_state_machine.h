#ifndef MRCP_STATE_MACHINE_H
#define MRCP_STATE_MACHINE_H

#include "mrcp_types.h"

APT_BEGIN_EXTERN_C

typedef struct mrcp_state_machine_t mrcp_state_machine_t;

APT_END_EXTERN_C

#endif
