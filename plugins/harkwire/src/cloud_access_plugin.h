/*
 * What the shared cloud access code needs of harkwire: the complete system_t
 * (harkwire's whole configuration record).
 */
#ifndef HARKWIRE_CLOUD_ACCESS_PLUGIN_H
#define HARKWIRE_CLOUD_ACCESS_PLUGIN_H

#include "recog_properties.h"

#endif /* HARKWIRE_CLOUD_ACCESS_PLUGIN_H */
