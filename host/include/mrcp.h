#ifndef MRCP_H
#define MRCP_H

#include "apt.h"
#include "apt_dir_layout.h"

#define MRCP_DECLARE(type) type

#endif
