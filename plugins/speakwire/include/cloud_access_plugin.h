/* What the shared cloud access code needs to know of this plug-in: its general settings. */
#ifndef SPEAKWIRE_CLOUD_ACCESS_PLUGIN_H
#define SPEAKWIRE_CLOUD_ACCESS_PLUGIN_H

#include "synth_properties.h"

#endif
