#ifndef MPF_H
#define MPF_H

#include "apt.h"

#define MPF_DECLARE(type) type

#endif
